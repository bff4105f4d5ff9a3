#include "geo/footprint.h"

#include "util/error.h"
#include "util/text.h"

namespace tsl {

Polygon footprint(const CameraModel& camera, const Mat3& cam_from_world, const Vec3& position,
                  const GroundHeights& ground, size_t n) {
  if (n < 2) internal_error(format("footprint needs at least 2 samples per side, got {}", n));
  const double w = static_cast<double>(camera.width) - 1.0;
  const double h = static_cast<double>(camera.height) - 1.0;
  std::vector<Vec2> pixels;
  pixels.reserve(4 * n);
  for (size_t k = 0; k < n; ++k) pixels.push_back({static_cast<double>(k) / static_cast<double>(n - 1) * w, 0.0});
  for (size_t k = 0; k < n; ++k) pixels.push_back({w, static_cast<double>(k) / static_cast<double>(n - 1) * h});
  for (size_t k = 0; k < n; ++k)
    pixels.push_back({(1.0 - static_cast<double>(k) / static_cast<double>(n - 1)) * w, h});
  for (size_t k = 0; k < n; ++k)
    pixels.push_back({0.0, (1.0 - static_cast<double>(k) / static_cast<double>(n - 1)) * h});

  const Mat3& r = cam_from_world;
  const double ce = position[0], cn = position[1], cu = position[2];
  Polygon out;
  out.reserve(pixels.size());
  for (const Vec2& px : pixels) {
    const Vec2 lens = camera.unproject(px.x, px.y);
    const Vec2 z = selfcal_distort(lens.x, lens.y, camera.selfcal);
    // World direction R^T (z.x, z.y, 1), not normalised: t below is in units of it.
    const double de = r[0] * z.x + r[3] * z.y + r[6];
    const double dn = r[1] * z.x + r[4] * z.y + r[7];
    const double du = r[2] * z.x + r[5] * z.y + r[8];
    double t = (ground.start_m - cu) / du;
    if (ground.height_at)
      for (int i = 0; i < 7; ++i) t = (ground.height_at(ce + t * de, cn + t * dn) - cu) / du;
    out.push_back({ce + t * de, cn + t * dn});
  }
  return out;
}

}  // namespace tsl
