#include "img/ops/grid.h"

#include <algorithm>
#include <cmath>

#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {

namespace {

// A radius of a million cells is far beyond any terrain grid's smoothing and bounds the
// kernel's size.
constexpr int64_t MAX_SMOOTH_RADIUS = 1 << 20;

// Below this many multiply-adds a pass is quicker on the calling thread than spread out.
constexpr double PAR_SMOOTH_TAPS = 4e6;

// Reflection that repeats the edge sample; period 2n.
size_t reflect(int64_t i, int64_t n) {
  int64_t m = i % (2 * n);
  if (m < 0) m += 2 * n;
  return static_cast<size_t>(m < n ? m : 2 * n - 1 - m);
}

// One pass along an axis: `count` lines of `n` samples, sample k of line l at
// base(l) + k * stride. Each line is gathered into a padded copy first, so the tap loop
// reads contiguous memory and has no border tests. Lines are independent, so wide kernels
// on large grids spread them over the workers; the result does not depend on that.
void smooth_pass(const std::vector<double>& in, std::vector<double>& out, size_t n, size_t count, size_t line_step,
                 size_t stride, const std::vector<double>& kernel) {
  const int64_t r = static_cast<int64_t>(kernel.size() / 2);
  const auto lines = [&](size_t first, size_t last) {
    std::vector<double> padded(n + 2 * static_cast<size_t>(r));
    for (size_t l = first; l < last; ++l) {
      const size_t base = l * line_step;
      for (size_t p = 0; p < padded.size(); ++p)
        padded[p] = in[base + reflect(static_cast<int64_t>(p) - r, static_cast<int64_t>(n)) * stride];
      for (size_t k = 0; k < n; ++k) {
        double acc = 0.0;
        for (size_t t = 0; t < kernel.size(); ++t) acc += kernel[t] * padded[k + t];
        out[base + k * stride] = acc;
      }
    }
  };
  if (static_cast<double>(count) * static_cast<double>(n) * static_cast<double>(kernel.size()) < PAR_SMOOTH_TAPS) {
    lines(0, count);
    return;
  }
  par_rows(count, 8, cpu_budget(), lines);
}

}  // namespace

std::vector<double> smooth_grid(std::span<const double> values, size_t width, size_t height, double sigma) {
  if (values.size() != width * height)
    internal_error(format("grid of {} values is not {}x{}", values.size(), width, height));
  std::vector<double> out(values.begin(), values.end());
  const double radius = std::trunc(4.0 * sigma + 0.5);
  if (!(radius >= 1.0) || out.empty()) return out;
  if (radius > static_cast<double>(MAX_SMOOTH_RADIUS)) internal_error(format("smoothing sigma {} too large", sigma));
  const int64_t r = static_cast<int64_t>(radius);
  std::vector<double> kernel(2 * static_cast<size_t>(r) + 1);
  double sum = 0.0;
  for (int64_t o = -r; o <= r; ++o) {
    const double v = std::exp((static_cast<double>(o * o) * -0.5) / (sigma * sigma));
    kernel[static_cast<size_t>(o + r)] = v;
    sum += v;
  }
  for (double& k : kernel) k /= sum;
  std::vector<double> horizontal(out.size());
  smooth_pass(out, horizontal, width, height, width, 1, kernel);
  smooth_pass(horizontal, out, height, width, 1, width, kernel);
  return out;
}

std::vector<float> upsample_grid(std::span<const float> coarse, size_t grid_rows, size_t grid_cols,
                                 size_t out_height, size_t out_width, uint64_t step) {
  if (grid_rows < 2 || grid_cols < 2 || step < 1 || coarse.size() != grid_rows * grid_cols)
    internal_error(format("bad node grid: {} values for {}x{} nodes, step {}", coarse.size(), grid_rows, grid_cols,
                          step));
  std::vector<float> out(out_height * out_width);
  if (out.empty()) return out;
  std::vector<GridAxisPos> cols(out_width);
  for (size_t x = 0; x < out_width; ++x) cols[x] = grid_axis_pos(x, grid_cols, step);
  // upsample_grid_row: one output row per chunk.
  par_chunks(std::span<float>(out), out_width, cpu_budget(), [&](size_t y, std::span<float> row) {
    const GridAxisPos r = grid_axis_pos(y, grid_rows, step);
    const float* top = coarse.data() + r.node * grid_cols;
    const float* bottom = top + grid_cols;
    for (size_t x = 0; x < out_width; ++x) row[x] = grid_lerp(top, bottom, cols[x].node, cols[x].frac, r.frac);
  });
  return out;
}

}  // namespace tsl
