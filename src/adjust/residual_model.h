#pragma once
// The measurement model of the bundle adjustment, in ground space: each observation of a tie
// becomes a viewing ray through its photo's current pose, the ray is cut with the horizontal
// plane at the tie's height, and the residual is the east and north gap between the two
// ground points in units of the tie's metric sigma. Priors tie every parameter to its
// metadata value.
//
// Parameter vector (BaParams), f64: per photo p the corrections 6p .. 6p+5 (east, north,
// height in metres; rotation vector w0, w1, w2 in radians about the image's right, down and
// viewing axes), the ground height at 6n, with self-calibration G * T lens terms group-major
// at 6n+1 .. P0-1, and in the relief stage one height per tie at P0 + t. A tie takes part
// only where its byte of the active mask is 1.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "geo/vec.h"

namespace tsl {

// Everything a stage reads; filled by the driver and read-only while a stage runs.
struct AdjustProblem {
  std::vector<size_t> photo_group;  // camera group per photo
  std::vector<double> focal;        // fx per photo, pixels
  std::vector<size_t> tie_photo_a;  // the two photos of every tie
  std::vector<size_t> tie_photo_b;
  std::vector<Vec2> obs_a;  // normalised camera coordinates, lens removed, no self-calibration
  std::vector<Vec2> obs_b;
  std::vector<double> tie_scale;         // factor k of the tie sigma
  std::vector<double> lens_prior_mean;   // per lens parameter (G * T)
  std::vector<double> lens_prior_sigma;  // per lens parameter
  std::vector<Mat3> rotations0;          // metadata world-to-camera rotations
  std::vector<Vec3> positions0;          // metadata positions, local metres
  size_t photo_count = 0;                // n
  size_t group_count = 0;                // G
  size_t terms_per_group = 2;            // T: 2 (k1, k2) or 6 (k1, k2, dx, dy, p1, p2)
  size_t first_height = 0;               // P0 = 6n + 1 + (G * T with self-calibration)
  std::array<double, 6> pose_sigma{};    // east, north, height (m); w0, w1, w2 (rad)
  double sigma_ground = 30.0;            // of the ground height about the take-off point, m
  double sigma_relief = 20.0;            // of a tie height about the ground height, m
  // The cameras' height above the ground at which sigma_relief holds, m. With a positive
  // value the height prior is taken relative to the tie's current camera height above the
  // ground, so that it stays the same when the block is scaled; 0 keeps it in metres.
  double relief_ref_height = 0.0;
  bool selfcal = false;                  // lens terms are parameters
};

// The poses, lens and ground a parameter vector stands for.
struct PoseState {
  std::vector<Mat3> rotations;
  std::vector<Vec3> positions;
  std::vector<double> lens_terms;  // G * T values, zeros without self-calibration
  double ground = 0.0;
  bool has_heights = false;  // the vector carries tie heights (longer than P0)
};

// One active tie's two ground points, the height they were cut at and the tie's sigma, m.
struct TieGap {
  double east_a = 0.0;
  double north_a = 0.0;
  double east_b = 0.0;
  double north_b = 0.0;
  double height = 0.0;
  double sigma = 0.0;
};

// One observation's ground point and, when asked for, its derivatives: index 0 the east row,
// 1 the north row. Rotation derivatives are by a small extra rotation (I + [d]x) applied on
// the camera side of the current rotation.
struct GroundHit {
  double east = 0.0;
  double north = 0.0;
  double lambda = 0.0;  // ray parameter: distance along the ray in units of its z step
  std::array<std::array<double, 3>, 2> d_position{};
  std::array<std::array<double, 3>, 2> d_rotation{};
  std::array<double, 2> d_height{};
  std::array<std::array<double, 6>, 2> d_lens{};
};

struct TieSigma {
  double sigma = 0.0;  // metres
  double d_a = 0.0;    // d sigma / d (height of camera a)
  double d_b = 0.0;
};

// One tie height's prior residual and its derivatives.
struct ReliefPrior {
  double value = 0.0;
  double d_height = 0.0;  // by the tie height
  double d_ground = 0.0;  // by the ground height
  double d_a = 0.0;       // by the height of the tie's camera a
  double d_b = 0.0;
};

// The prior of tie `tie`'s height about the ground: (height - ground) / sigma_relief, scaled
// with a reference height by relief_ref_height / (mean camera height above the ground), that
// height floored at 0.5 m. A prior in plain metres would favour shrinking the whole block,
// which flattens every tie's relief at no cost to the ties, against the GNSS priors alone.
ReliefPrior relief_prior(const AdjustProblem& problem, std::span<const double> params, size_t tie);

// The rotation increment exp([w]x) (Rodrigues), exact to rounding for every |w|.
Mat3 rotation_increment(double w0, double w1, double w2);

// The poses of a parameter vector (at least P0 values; a shorter one is a caller's bug).
PoseState camera_poses(const AdjustProblem& problem, std::span<const double> params);

// Ground point of the normalised observation (x, y) of `photo`, cut at `height`. A ray
// parallel to the ground is cut with a z step of -1e-6; the sign of the ray parameter is
// not tested here.
GroundHit project_observation(const AdjustProblem& problem, const PoseState& poses, size_t photo, double x, double y,
                              double height, bool with_derivatives);

// The metric sigma of `tie` at `height`: half the tie's scale times the two photos' ground
// sampling distances, each camera's height above the tie floored at 0.5 m.
TieSigma tie_sigma(const AdjustProblem& problem, std::span<const Vec3> positions, size_t tie, double height);

// One TieGap per active tie, in tie order.
std::vector<TieGap> tie_residuals(const AdjustProblem& problem, std::span<const double> params,
                                  std::span<const uint8_t> mask);

// The normalised residuals: two per active tie (east, north gap over sigma), six pose priors
// per photo, the ground prior, the lens priors with self-calibration, and one height prior per
// tie (active or not) in the relief stage.
std::vector<double> residual_vector(const AdjustProblem& problem, std::span<const double> params,
                                    std::span<const uint8_t> mask);

// Number of active ties in a mask.
size_t active_count(std::span<const uint8_t> mask);

}  // namespace tsl
