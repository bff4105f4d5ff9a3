#pragma once
// Where the output pixels of a window fall in one photo: the full projection (surface
// height, pose, lens) evaluated exactly at a lattice of nodes every `step` output pixels, and
// linear interpolation in between. Pixel positions are in the photo's full-resolution frame,
// whole numbers at pixel centres.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "geo/camera.h"
#include "geo/vec.h"
#include "grid/output_grid.h"
#include "meta/image_meta.h"
#include "surface/surface.h"

namespace tsl {

// Marks a node without a valid projection, in both coordinates.
inline constexpr float NO_PROJECTION = -1e7f;

struct ProjGrid {
  std::vector<float> xs;  // photo column of every node, row-major (node row i, column j at i cols + j)
  std::vector<float> ys;  // photo row of every node
  uint64_t cols = 2;      // node columns and rows, each at least 2
  uint64_t rows = 2;
  uint64_t step = 1;  // output pixels between neighbouring nodes

  // For output row y of the window (0 = its first row): the photo column and row at every
  // node column, linear between the two node rows around y. The lists are cleared and
  // refilled with `cols` values each; callers reuse them row by row.
  void row(uint64_t y, std::vector<float>& out_x, std::vector<float>& out_y) const;
};

// The pixel (column, row) at which a photo sees the ground point (east, north, z), or nothing
// when the point lies behind the camera (depth <= 1e-6), at or beyond the lens model's
// monotonic radius `r_max`, or projects to a non-finite pixel.
std::optional<Vec2> project_ground_point(const CameraModel& camera, const Mat3& cam_from_world, const Vec3& position,
                                         double east, double north, double z, double r_max);

// The projection grid of a photo over the output window [x0, x1) x [y0, y1) of `grid`, with a
// node every `step` (>= 1) pixels; the last node column and row lie at or past the window's
// last column and row. A photo without a camera model is a caller's bug (internal error).
ProjGrid build_proj_grid(const ImageMeta& image, const Mat3& cam_from_world, const Vec3& position,
                         const Surface& surface, const OutputGrid& grid, uint64_t step, uint64_t x0, uint64_t x1,
                         uint64_t y0, uint64_t y1);

// The value at column offset `dx` (from the window's first column) between the node values
// of one row, linear between node e = min(cols - 2, dx / step) and e + 1, in f32.
inline float interpolate_nodes(const float* nodes, uint64_t cols, float step, uint64_t dx) {
  const float t = static_cast<float>(dx) / step;
  const uint64_t e = std::min<uint64_t>(cols - 2, static_cast<uint64_t>(t));
  const float f = t - static_cast<float>(e);
  return nodes[e] * (1.0f - f) + nodes[e + 1] * f;
}

}  // namespace tsl
