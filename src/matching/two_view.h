#pragma once
// Two-view models of a photo pair and their robust search: a fundamental matrix (points on
// each other's epipolar lines, so relief is tolerated) or a homography (a plane mapped onto a
// plane), found by RANSAC with MSAC scoring, local refits after each improvement and an
// adaptive iteration limit. Points are pixels of each photo's undistorted working frame, so
// thresholds are in working-scale pixels. Everything is deterministic for a given seed.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "geo/vec.h"

namespace tsl {

enum class TwoViewKind : uint8_t {
  Fundamental = 0,  // 8-point samples; residual the squared Sampson distance
  Homography = 1,   // 4-point samples; residual the squared transfer error in photo b
};

// Row-major 3 x 3. Fundamental: (u, v, 1) m (x, y, 1)^T = 0 for a point (x, y) of photo a and
// its partner (u, v) of photo b. Homography: m maps (x, y, 1) of photo a to photo b, m33 = 1.
struct TwoViewModel {
  std::array<double, 9> m{};
};

// Hartley normalisation: points centred on their mean and scaled so that their mean distance
// from it is sqrt(2). The similarity T = [[s, 0, -s cx], [0, s, -s cy], [0, 0, 1]] maps an
// input point to its normalised one.
struct NormalizedPoints {
  std::vector<Vec2> points;
  double scale = 1.0;  // 1 when the points (nearly) coincide
  Vec2 centre;
};

// Points a model fit needs: 8 for Fundamental, 4 for Homography.
size_t sample_size(TwoViewKind kind);

// Normalises a non-empty list (an empty one is a caller's bug).
NormalizedPoints normalize_points(std::span<const Vec2> points);

// The model through the correspondences `indices` (at least sample_size of them, no repeats)
// of the parallel lists points_a and points_b, each side normalised on its own. A fundamental
// fit always gives a rank-2 model; a homography fails when its m33 is below 1e-15 in size.
std::optional<TwoViewModel> fit_model(TwoViewKind kind, std::span<const Vec2> points_a,
                                      std::span<const Vec2> points_b, std::span<const size_t> indices);

// The residual of correspondence k under a model: non-negative, +infinity where the model
// degenerates (a point on a homography's horizon, a vanishing Sampson denominator).
double model_residual(TwoViewKind kind, std::span<const Vec2> points_a, std::span<const Vec2> points_b,
                      const TwoViewModel& model, size_t k);

// The random state a search starts from: seed x 0x9E3779B97F4A7C15 (wrapping), bit 0 set.
uint64_t ransac_state(uint64_t seed);

// Draws sample_size distinct indices below n into `out` (xorshift64 steps, index = state mod n,
// a repeat drawn again). n must be at least out.size().
void draw_sample(uint64_t& state, size_t n, std::span<size_t> out);

// The inlier mask (1 where the residual is below threshold^2 under the best model found), or
// nothing when there are fewer correspondences than a sample needs or no sample could be
// fitted. At most `max_iterations` samples are fitted; the limit drops as the inlier ratio of
// the best model rises (99.9 % confidence).
std::optional<std::vector<uint8_t>> ransac(TwoViewKind kind, std::span<const Vec2> points_a,
                                           std::span<const Vec2> points_b, double threshold,
                                           uint64_t max_iterations, uint64_t seed);

}  // namespace tsl
