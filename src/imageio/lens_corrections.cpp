#include "imageio/lens_corrections.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

#include "img/ops/resample.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {
namespace {

// Node spacing of the vignetting grid, in pixels.
constexpr size_t VIGN_STEP = 16;

// round(v) with halves away from zero, clamped to 0..65535; NaN gives 0. For v in range the
// fraction v - trunc(v) is exact, so the comparison decides the rounding exactly.
inline uint16_t scale_sample(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 65535.0f) return 65535;
  const float t = std::trunc(v);
  return static_cast<uint16_t>(static_cast<uint32_t>(t) + static_cast<uint32_t>(v - t >= 0.5f));
}

struct GainMapRows {
  const GainOp* op = nullptr;
  size_t width = 0;
  size_t corrected = 0;  // channels from op.plane on
  std::vector<float> col_pos;
  std::vector<float> row_pos;
};

// Node coordinate of each pixel centre on one axis, clamped to the map.
std::vector<float> node_positions(size_t pixels, double origin, double spacing, uint64_t points) {
  std::vector<float> pos(pixels);
  const double last = static_cast<double>(points - 1);
  for (size_t i = 0; i < pixels; ++i) {
    const double p = ((static_cast<double>(i) + 0.5) / static_cast<double>(pixels) - origin) / spacing;
    pos[i] = static_cast<float>(std::clamp(p, 0.0, last));
  }
  return pos;
}

// The gain map's row job: changes only the samples of row y.
void apply_gain_map_row(const GainMapRows& g, size_t y, std::span<uint16_t> row) {
  if (g.width == 0 || g.corrected == 0) return;
  const GainOp& op = *g.op;
  const float* map = op.gains.data();
  const uint64_t planes = op.map_planes;
  const float b = g.row_pos[y];
  const uint64_t r0 = static_cast<uint64_t>(std::floor(b));
  const uint64_t r1 = std::min(r0 + 1, op.points_v - 1);
  const float fy = b - static_cast<float>(r0);
  for (size_t x = 0; x < g.width; ++x) {
    const float d = g.col_pos[x];
    const uint64_t c0 = static_cast<uint64_t>(std::floor(d));
    const uint64_t c1 = std::min(c0 + 1, op.points_h - 1);
    const float fx = d - static_cast<float>(c0);
    for (size_t j = 0; j < g.corrected; ++j) {
      const uint64_t p = std::min<uint64_t>(j, planes - 1);
      auto at = [&](uint64_t r, uint64_t c) { return map[planes * (c + op.points_h * r) + p]; };
      const float gain = (at(r1, c1) * fx + at(r1, c0) * (1.0f - fx)) * fy +
                         (at(r0, c1) * fx + at(r0, c0) * (1.0f - fx)) * (1.0f - fy);
      uint16_t& s = row[3 * x + op.plane + j];
      s = scale_sample(static_cast<float>(s) * gain);
    }
  }
}

bool finite_all(std::initializer_list<double> values) {
  return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

}  // namespace

std::optional<std::string> vignette_problem(const VignOp& op) {
  if (!finite_all({op.k0, op.k1, op.k2, op.k3, op.k4, op.cx, op.cy})) return "non-finite vignetting coefficient";
  return std::nullopt;
}

std::optional<std::string> gain_map_problem(const GainOp& op) {
  if (op.points_v == 0 || op.points_h == 0 || op.map_planes == 0)
    return format("gain map of {}x{} points and {} planes", op.points_v, op.points_h, op.map_planes);
  uint64_t nodes = 0, values = 0;
  if (__builtin_mul_overflow(op.points_v, op.points_h, &nodes) ||
      __builtin_mul_overflow(nodes, op.map_planes, &values) || values != op.gains.size())
    return format("gain map holds {} values, not {}x{}x{}", op.gains.size(), op.points_v, op.points_h, op.map_planes);
  if (!(op.spacing_v > 0.0) || !(op.spacing_h > 0.0) || !finite_all({op.spacing_v, op.spacing_h}))
    return format("gain map spacing {} x {}", op.spacing_v, op.spacing_h);
  if (!finite_all({op.origin_v, op.origin_h})) return format("gain map origin {}, {}", op.origin_v, op.origin_h);
  if (!std::all_of(op.gains.begin(), op.gains.end(), [](float g) { return std::isfinite(g); }))
    return "non-finite gain map value";
  return std::nullopt;
}

void apply_vignette(ImageU16& image, const VignOp& op) {
  const size_t w = image.width, h = image.height;
  if (w == 0 || h == 0) return;
  const double cx = op.cx * static_cast<double>(w - 1);
  const double cy = op.cy * static_cast<double>(h - 1);
  const double rmax = std::hypot(std::max(cx, static_cast<double>(w - 1) - cx),
                                 std::max(cy, static_cast<double>(h - 1) - cy));
  // A single pixel has no radius: the gain is 1 there rather than 0 / 0.
  const double inv_r2 = rmax > 0.0 ? 1.0 / (rmax * rmax) : 0.0;
  ImageF32 grid((w + VIGN_STEP - 1) / VIGN_STEP, (h + VIGN_STEP - 1) / VIGN_STEP, 1);
  for (size_t j = 0; j < grid.height; ++j)
    for (size_t i = 0; i < grid.width; ++i) {
      const double dx = static_cast<double>(VIGN_STEP * i) - cx;
      const double dy = static_cast<double>(VIGN_STEP * j) - cy;
      const double q = (dx * dx + dy * dy) * inv_r2;
      const double gain = ((((op.k4 * q + op.k3) * q + op.k2) * q + op.k1) * q + op.k0) * q + 1.0;
      grid.row(j)[i] = static_cast<float>(gain);
    }
  const ImageF32 gains = resize_bilinear(grid, w, h);
  for (size_t p = 0; p < w * h; ++p) {
    const float g = gains.data[p];
    for (size_t c = 0; c < 3; ++c) {
      uint16_t& s = image.data[3 * p + c];
      s = scale_sample(static_cast<float>(s) * g);
    }
  }
}

void apply_gain_map(ImageU16& image, const GainOp& op) {
  if (image.channels != 3) internal_error("gain map on an image without 3 channels");
  GainMapRows g;
  g.op = &op;
  g.width = image.width;
  g.corrected = op.plane >= 3 ? 0 : static_cast<size_t>(std::min<uint64_t>(3 - op.plane, op.planes));
  if (g.width == 0 || image.height == 0 || g.corrected == 0) return;
  g.col_pos = node_positions(image.width, op.origin_h, op.spacing_h, op.points_h);
  g.row_pos = node_positions(image.height, op.origin_v, op.spacing_v, op.points_v);
  // The largest index any pixel reads: the last node's last plane.
  if (op.map_planes * (op.points_h * op.points_v) > op.gains.size())
    internal_error("gain map index beyond its values");
  par_chunks(std::span<uint16_t>(image.data), image.width * 3, cpu_budget(),
             [&](size_t y, std::span<uint16_t> row) { apply_gain_map_row(g, y, row); });
}

}  // namespace tsl
