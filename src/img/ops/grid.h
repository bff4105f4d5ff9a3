#pragma once
// Operations on plain row-major grids (width values per row, no padding): gaussian
// smoothing of height grids and bilinear upsampling of coarse node grids.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tsl {

// Separable gaussian of radius trunc(4 sigma + 0.5) in double precision, edges reflected
// with the edge sample repeated (-1 -> 0, n -> n-1; a radius past the grid keeps
// reflecting). NaN values spread to the outputs whose window holds them. A radius of 0
// (sigma below 0.125, or NaN) returns the values unchanged. Values not width x height long,
// or a radius above a million, are internal errors. Large grids with wide kernels are
// smoothed on the workers, with the same result.
std::vector<double> smooth_grid(std::span<const double> values, size_t width, size_t height, double sigma);

// Bilinear interpolation of a grid_rows x grid_cols node grid, node (r, c) standing at
// output pixel (c x step, r x step), to out_height x out_width pixels in f32. Pixels past
// the last node column or row extrapolate from the last cell. Needs grid_rows and grid_cols
// >= 2, step >= 1 and a coarse grid of exactly that many values (internal error otherwise).
// Row-parallel.
std::vector<float> upsample_grid(std::span<const float> coarse, size_t grid_rows, size_t grid_cols,
                                 size_t out_height, size_t out_width, uint64_t step);

// Where output index i lies on one axis of such a node grid: the node before it (the last pair
// of nodes extrapolates) and the fraction of a step past that node. Needs nodes >= 2.
struct GridAxisPos {
  size_t node = 0;
  float frac = 0.0f;
};

inline GridAxisPos grid_axis_pos(size_t i, size_t nodes, uint64_t step) {
  const float u = static_cast<float>(i) / static_cast<float>(step);
  const size_t c = std::min(static_cast<size_t>(std::floor(u)), nodes - 2);
  return {c, u - static_cast<float>(c)};
}

// upsample_grid's value between nodes c and c + 1 of the node rows `top` and `bottom`, fx and
// fy of a step past node c and past `top`. Callers that interpolate lattices themselves use it
// so that their values stay bit-equal to upsample_grid's.
inline float grid_lerp(const float* top, const float* bottom, size_t c, float fx, float fy) {
  return (1.0f - fx) * (bottom[c] * fy + top[c] * (1.0f - fy)) + (bottom[c + 1] * fy + top[c + 1] * (1.0f - fy)) * fx;
}

}  // namespace tsl
