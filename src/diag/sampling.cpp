#include "diag/sampling.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "geo/footprint.h"
#include "img/ops/grid.h"
#include "img/ops/luma.h"
#include "img/ops/sample.h"
#include "imageio/load_image.h"
#include "imageio/srgb.h"

namespace tsl {

namespace {

constexpr uint64_t NODE_STEP = 8;
constexpr float FAR_OUTSIDE = -1e7f;

double dot_row(const Mat3& r, int row, double x, double y, double z) {
  return r[3 * row] * x + r[3 * row + 1] * y + r[3 * row + 2] * z;
}

}  // namespace

std::optional<SeamSample> diag_sample_image(const SamplingContext& context, size_t index) {
  const ShotPose& pose = context.poses[index];
  const ImageMeta& photo = context.photos[index];
  if (!pose.present || !photo.lens || context.surface == nullptr) return std::nullopt;
  const CameraModel& camera = *photo.lens;
  const AnalysisGrid& g = context.grid;
  const Surface& surface = *context.surface;
  const double r_lim = camera.monotonic_radius();

  const Polygon outline = footprint(camera, pose.rotation, {pose.e, pose.n, pose.h}, ground_heights(surface), 8);
  double min_x = std::numeric_limits<double>::infinity(), max_x = -min_x;
  double min_y = min_x, max_y = -min_x;
  for (const Vec2& p : outline) {
    const double cx = (p.x - g.left_e) / g.cell, cy = (g.top_n - p.y) / g.cell;
    if (std::isfinite(cx)) min_x = std::min(min_x, cx), max_x = std::max(max_x, cx);
    if (std::isfinite(cy)) min_y = std::min(min_y, cy), max_y = std::max(max_y, cy);
  }
  if (!std::isfinite(min_x) || !std::isfinite(min_y)) return std::nullopt;
  // Window bounds in floating point first: a footprint far off the grid must not wrap.
  const double fx0 = std::max(std::floor(min_x), 0.0);
  const double fy0 = std::max(std::floor(min_y), 0.0);
  const double fx1 = std::min(static_cast<double>(g.nx), std::ceil(max_x) + 1.0);
  const double fy1 = std::min(static_cast<double>(g.ny), std::ceil(max_y) + 1.0);
  if (!(fx0 + 8.0 < fx1) || !(fy0 + 8.0 < fy1)) return std::nullopt;

  SeamSample s;
  s.x0 = static_cast<uint64_t>(fx0);
  s.y0 = static_cast<uint64_t>(fy0);
  s.width = static_cast<uint64_t>(fx1) - s.x0;
  s.height = static_cast<uint64_t>(fy1) - s.y0;

  const size_t node_cols = std::max<size_t>((s.width - 1 + NODE_STEP - 1) / NODE_STEP + 1, 2);
  const size_t node_rows = std::max<size_t>((s.height - 1 + NODE_STEP - 1) / NODE_STEP + 1, 2);
  std::vector<float> node_x(node_rows * node_cols), node_y(node_rows * node_cols);
  for (size_t r = 0; r < node_rows; ++r) {
    for (size_t c = 0; c < node_cols; ++c) {
      const double east = g.left_e + (static_cast<double>(s.x0 + NODE_STEP * c) + 0.5) * g.cell;
      const double north = g.top_n - (static_cast<double>(s.y0 + NODE_STEP * r) + 0.5) * g.cell;
      const double dx = east - pose.e, dy = north - pose.n, dz = surface.height_at(east, north) - pose.h;
      float px = FAR_OUTSIDE, py = FAR_OUTSIDE;
      const double depth = dot_row(pose.rotation, 2, dx, dy, dz);
      if (depth > 1e-6) {
        const double x = dot_row(pose.rotation, 0, dx, dy, dz) / depth;
        const double y = dot_row(pose.rotation, 1, dx, dy, dz) / depth;
        if (x * x + y * y < r_lim * r_lim) {
          const Vec2 pix = camera.project(x, y, camera.selfcal);
          if (std::isfinite(pix.x) && std::isfinite(pix.y)) {
            px = static_cast<float>(pix.x);
            py = static_cast<float>(pix.y);
          }
        }
      }
      node_x[r * node_cols + c] = px;
      node_y[r * node_cols + c] = py;
    }
  }
  const std::vector<float> xs = upsample_grid(node_x, node_rows, node_cols, s.height, s.width, NODE_STEP);
  const std::vector<float> ys = upsample_grid(node_y, node_rows, node_cols, s.height, s.width, NODE_STEP);

  auto decoded = load_image(photo, 0.5);
  if (!decoded) return std::nullopt;
  const float sx = static_cast<float>(decoded->scale_x), sy = static_cast<float>(decoded->scale_y);
  const float w = static_cast<float>(photo.width), h = static_cast<float>(photo.height);

  const size_t n = s.width * s.height;
  s.grey.assign(n, 0.0f);
  s.valid.assign(n, 0);
  s.radial.assign(n, 9.0f);
  std::array<float, 4> px{};
  for (size_t k = 0; k < n; ++k) {
    const float x = xs[k], y = ys[k];
    if (!(2.0f < x && x < w - 3.0f && 2.0f < y && y < h - 3.0f)) continue;
    sample_u16(decoded->image, (x + 0.5f) * sx - 0.5f, (y + 0.5f) * sy - 0.5f, false, BorderMode::Zero, px);
    float rgb[3];
    for (int c = 0; c < 3; ++c) rgb[c] = srgb_encode(px[c] / 65535.0f);
    s.grey[k] = std::round(luma(rgb[0], rgb[1], rgb[2]) * 255.0f);
    s.valid[k] = 1;
    const float rx = std::abs(x - w / 2.0f) / (w / 2.0f), ry = std::abs(y - h / 2.0f) / (h / 2.0f);
    s.radial[k] = std::fmax(rx, ry);  // fmax ignores a NaN term
  }
  return s;
}

}  // namespace tsl
