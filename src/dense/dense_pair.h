#pragma once
// Dense ties of one photo pair: both photos rendered onto a common ground grid over their
// overlap with the current poses and the preliminary terrain, optical flow both ways between
// the renderings, and the consistent, textured lattice points turned into tie points.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "geo/polygon.h"
#include "geo/vec.h"
#include "flow/optical_flow.h"
#include "matching/match_pair.h"
#include "matching/pair_match.h"
#include "matching/pair_selection.h"
#include "meta/placed_photos.h"
#include "imageio/image_cache.h"
#include "surface/surface.h"

namespace tsl {

// The read-only input every dense_pair call of a stage shares.
struct DenseContext {
  std::span<const PhotoPair> pairs;    // candidate pairs, i < j
  std::vector<Polygon> footprints;     // per photo, on `surface`
  double dense_gsd = 0.0;              // metres per pixel of the decoded photos
  double grid_cap_mp = 1.2;            // cap on one pair's ground grid, millions of cells
  PlacedPhotos photos;                 // current poses; each photo with its camera model
  const Surface* surface = nullptr;    // the preliminary terrain model
  std::vector<double> scales;          // decode scale per photo
  ImageCache* cache = nullptr;
  uint64_t lattice_step = 6;           // spacing of tie candidates, grid cells
  uint64_t tie_cap = 80;               // most ties kept per pair
  FlowOptions flow;                    // the optical flow's back end
  double fundamental_px = FTHR_DEFAULT; // two-view threshold, pixels of the decoded photos
};

// The dense PairMatch of the pair at index k, or none when the overlap is too thin, too
// small or too plain to give at least 50 candidates, or when fewer than 50 of them agree with
// one two-view model of the pair (the verification sparse ties pass); only those that agree
// are kept. A photo that cannot be loaded logs
// "  dense: {}" and gives none. A photo without a camera model is a caller's bug.
std::optional<PairMatch> dense_pair(const DenseContext& ctx, size_t k);

// At most `cap` indices of `points`: one random point of each occupied cell of a 10 x 10
// partition of their bounding box first, then a random choice of the rest. Seeded, so the
// same points and seed give the same choice.
std::vector<size_t> balanced_subsample(std::span<const Vec2> points, size_t cap, uint64_t seed);

// Bilinear value of a W x H plane at (x, y); NaN outside [0, W-1] x [0, H-1] or when a tap
// is NaN.
float sample_bilinear_nan(std::span<const float> plane, size_t W, size_t H, float x, float y);

// The median of the plane's values under mask bytes equal to 1, plus 1e-4 (NaN when none).
double masked_median(std::span<const float> plane, std::span<const uint8_t> mask);

// The points at `keep`, in that order; an index outside `points` is an internal error.
std::vector<Vec2> gather_points(std::span<const Vec2> points, std::span<const size_t> keep);

}  // namespace tsl
