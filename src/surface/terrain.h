#pragma once
// The terrain model: a north-up height grid built from the adjusted photos and their tie
// points (or the adjustment's own relief points), robust against stray points and filled over
// gaps, through which the render projects; a plane at the ground height when the ties are
// too few to carry a grid.
#include <optional>
#include <span>
#include <vector>

#include "geo/vec.h"
#include "matching/pair_match.h"
#include "meta/placed_photos.h"
#include "surface/surface.h"

namespace tsl {

// Fewer usable points than this give the plane: the outlier test's 5 x 5 median reference and
// the trend plane's robust weights need a few dozen points before one stray point stops
// moving them, and fewer ties spread over a whole flight describe no relief a plane misses.
inline constexpr size_t DSM_MIN_POINTS = 30;

// The terrain grid holds at most this many cells, 16 million (a 4000 x 4000 grid): at its
// peak the model holds about a dozen working grids of doubles (medians, residuals, class
// weights, the fill scales' sums and smoothing buffers), 1.5 GB here, which keeps a whole
// build within 2 GB. A finer cell, asked for or reached through a footprint running to the
// horizon, is coarsened to fit before anything is allocated.
inline constexpr size_t DSM_MAX_CELLS = 16'000'000;

// The options of the terrain model.
struct DsmOptions {
  std::optional<double> cell;  // grid cell, metres; absent: chosen from the photos and the point density
  bool verbose = true;         // write the log lines (the dense road's preliminary model is silent)
};

// The terrain model over the photos at their adjusted poses, from the adjustment's relief
// points when there are at least as many as the ties triangulate into, else from the ties;
// `ground` is the height of the plane the footprints are measured on and of the plane given
// when the points are too few. Photos without a camera model, tie pairs naming a
// photo outside the set or with fewer b than a points are a caller's bug (internal error).
// Never fails otherwise.
Surface build_dsm_surface(const PlacedPhotos& photos, double ground, const std::optional<std::vector<Vec3>>& relief_points,
                          std::span<const PairMatch> ties, const DsmOptions& options);

// Every inlier correspondence of every pair with at least 5 of them, triangulated from the
// two photos' rays; rays within 2 degrees of parallel, points behind either camera and rays
// passing further apart than 2.5 pixels of photo i are dropped.
std::vector<Vec3> triangulate_ties(const PlacedPhotos& photos, std::span<const PairMatch> ties);

// The cell size, at least `cell`, at which a grid over a `width_m` x `height_m` box with a
// margin of 2 cells a side holds at most DSM_MAX_CELLS cells; NaN when the box is not finite.
double bounded_dsm_cell(double cell, double width_m, double height_m);

// The median height of the points in each cell of a grid whose rows count from the north
// (NaN where a cell has none); points outside the grid are ignored, a point on the top edge
// falls into row 0.
std::vector<double> grid_median(std::span<const Vec3> points, double west, double south, double cell, size_t nx,
                                size_t ny);

// The 5 x 5 median of a grid (13th smallest of 25), indices outside reflected symmetrically.
std::vector<double> median_filter_5x5(std::span<const double> grid, size_t nx, size_t ny);

}  // namespace tsl
