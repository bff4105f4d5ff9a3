#include "grid/proj_grid.h"

#include <algorithm>
#include <cmath>

#include "util/count.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {

std::optional<Vec2> project_ground_point(const CameraModel& camera, const Mat3& r, const Vec3& position, double east,
                                         double north, double z, double r_max) {
  const double de = east - position[0], dn = north - position[1], du = z - position[2];
  const double c0 = r[0] * de + r[1] * dn + r[2] * du;
  const double c1 = r[3] * de + r[4] * dn + r[5] * du;
  const double depth = r[6] * de + r[7] * dn + r[8] * du;
  if (!(depth > 1e-6)) return std::nullopt;
  const double x = c0 / depth, y = c1 / depth;
  if (!(x * x + y * y < r_max * r_max)) return std::nullopt;
  const Vec2 px = camera.project(x, y, camera.selfcal);
  if (!std::isfinite(px.x) || !std::isfinite(px.y)) return std::nullopt;
  return px;
}

void ProjGrid::row(uint64_t y, std::vector<float>& out_x, std::vector<float>& out_y) const {
  const float t = static_cast<float>(y) / static_cast<float>(step);
  const uint64_t r = std::min<uint64_t>(static_cast<uint64_t>(std::max(std::floor(t), 0.0f)), rows - 2);
  const float f = t - static_cast<float>(r);
  out_x.resize(cols);
  out_y.resize(cols);
  const float* x0 = xs.data() + r * cols;
  const float* y0 = ys.data() + r * cols;
  for (uint64_t j = 0; j < cols; ++j) {
    out_x[j] = x0[j] * (1.0f - f) + x0[j + cols] * f;
    out_y[j] = y0[j] * (1.0f - f) + y0[j + cols] * f;
  }
}

ProjGrid build_proj_grid(const ImageMeta& image, const Mat3& rotation, const Vec3& position, const Surface& surface,
                         const OutputGrid& grid, uint64_t step, uint64_t x0, uint64_t x1, uint64_t y0, uint64_t y1) {
  if (!image.lens) internal_error(format("photo {} has no camera model", image.path.string()));
  if (step == 0) internal_error("projection grid step 0");
  const CameraModel& cam = *image.lens;
  const double s = static_cast<double>(step);
  ProjGrid g;
  g.step = step;
  g.cols =
      std::max<uint64_t>(to_count(std::ceil((static_cast<double>(x1) - static_cast<double>(x0) - 1.0) / s)) + 1, 2);
  g.rows =
      std::max<uint64_t>(to_count(std::ceil((static_cast<double>(y1) - static_cast<double>(y0) - 1.0) / s)) + 1, 2);
  g.xs.assign(g.cols * g.rows, NO_PROJECTION);
  g.ys.assign(g.cols * g.rows, NO_PROJECTION);
  const double r_max = cam.monotonic_radius();
  for (uint64_t i = 0; i < g.rows; ++i) {
    const double north = grid.top_n - (static_cast<double>(y0 + i * step) + 0.5) * grid.gsd;
    for (uint64_t j = 0; j < g.cols; ++j) {
      const double east = grid.left_e + (static_cast<double>(x0 + j * step) + 0.5) * grid.gsd;
      const double z = surface.height_at(east, north);
      const auto px = project_ground_point(cam, rotation, position, east, north, z, r_max);
      if (!px) continue;
      g.xs[i * g.cols + j] = static_cast<float>(px->x);
      g.ys[i * g.cols + j] = static_cast<float>(px->y);
    }
  }
  return g;
}

}  // namespace tsl
