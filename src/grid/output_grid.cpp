#include "grid/output_grid.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "geo/footprint.h"
#include "linalg/stats.h"
#include "logx.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

constexpr size_t FOOTPRINT_SAMPLES = 16;
// The output gsd may be at most this many times finer than the finest photo's.
constexpr double MAX_OVERSAMPLING = 10.0;
constexpr double INF = std::numeric_limits<double>::infinity();

// trunc toward zero into signed 64 bits, saturating: a footprint point near the horizon can
// lie 1e20 pixels away, and converting such a value unchecked is undefined.
int64_t trunc_i64(double v) {
  constexpr double LIMIT = 9.2e18;
  if (std::isnan(v)) return 0;
  return static_cast<int64_t>(std::clamp(v, -LIMIT, LIMIT));
}

bool positive_finite(double v) { return std::isfinite(v) && v > 0.0; }

struct Box {
  double min_e = INF, min_n = INF, max_e = -INF, max_n = -INF;
};

PixelWindow window_of(const Polygon& points, double left_e, double top_n, double gsd, uint64_t width, uint64_t height) {
  double umin = INF, umax = -INF, vmin = INF, vmax = -INF;
  bool any_u = false, any_v = false;
  for (const Vec2& p : points) {
    const double u = (p.x - left_e) / gsd;
    const double v = (top_n - p.y) / gsd;
    if (std::isfinite(u)) {
      any_u = true;
      umin = std::min(umin, u);
      umax = std::max(umax, u);
    }
    if (std::isfinite(v)) {
      any_v = true;
      vmin = std::min(vmin, v);
      vmax = std::max(vmax, v);
    }
  }
  if (!any_u || !any_v) return {};
  const double w = static_cast<double>(width), h = static_cast<double>(height);
  if (umin > w + 2 || vmin > h + 2 || umax < -2 || vmax < -2) return {};
  const int64_t iw = static_cast<int64_t>(std::min<uint64_t>(width, INT64_MAX));
  const int64_t ih = static_cast<int64_t>(std::min<uint64_t>(height, INT64_MAX));
  PixelWindow win;
  win.x0 = static_cast<uint64_t>(std::max<int64_t>(trunc_i64(umin) - 2, 0));
  win.x1 = static_cast<uint64_t>(std::min(std::max<int64_t>(trunc_i64(umax) + 3, 0), iw));
  win.y0 = static_cast<uint64_t>(std::max<int64_t>(trunc_i64(vmin) - 2, 0));
  win.y1 = static_cast<uint64_t>(std::min(std::max<int64_t>(trunc_i64(vmax) + 3, 0), ih));
  return win;
}

// The finest ground sampling distance of the photos at their recorded height above the
// take-off point, m; infinity when no photo records one.
double finest_recorded_gsd(std::span<const ImageMeta> images) {
  double finest = INF;
  for (const ImageMeta& m : images)
    if (m.lens && positive_finite(m.rel_alt) && positive_finite(m.lens->fx))
      finest = std::min(finest, m.rel_alt / m.lens->fx);
  return finest;
}

}  // namespace

std::string size_text(double value) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general);
  return std::string(buf, r.ptr);
}

double surface_reference_height(const Surface& surface) { return surface.z ? surface.z_median : surface.z0; }

std::vector<double> native_gsds(std::span<const ImageMeta> images, std::span<const Vec3> positions, double ground) {
  const size_t m = std::min(images.size(), positions.size());
  std::vector<double> out(m);
  for (size_t i = 0; i < m; ++i) {
    if (!images[i].lens) internal_error(format("photo {} has no camera model", images[i].path.string()));
    out[i] = (positions[i][2] - ground) / images[i].lens->fx;
  }
  return out;
}

std::expected<OutputGrid, std::string> plan_output_grid(const PlacedPhotos& photos, const Surface& surface,
                                                        std::optional<double> gsd_m, double max_mpix,
                                                        const std::optional<GroundBounds>& bounds, bool verbose) {
  const auto& [images, rotations, positions] = photos;
  if (rotations.size() < images.size() || positions.size() < images.size())
    internal_error(
        format("{} photos with {} rotations and {} positions", images.size(), rotations.size(), positions.size()));
  std::vector<Polygon> footprints;
  footprints.reserve(images.size());
  Box box;
  const GroundHeights ground = ground_heights(surface);
  for (size_t i = 0; i < images.size(); ++i) {
    if (!images[i].lens)
      internal_error(format("footprint of {} without a camera model", images[i].path.filename().string()));
    footprints.push_back(footprint(*images[i].lens, rotations[i], positions[i], ground, FOOTPRINT_SAMPLES));
    for (const Vec2& p : footprints.back()) {
      if (!std::isfinite(p.x) || !std::isfinite(p.y)) continue;
      box.min_e = std::min(box.min_e, p.x);
      box.min_n = std::min(box.min_n, p.y);
      box.max_e = std::max(box.max_e, p.x);
      box.max_n = std::max(box.max_n, p.y);
    }
  }
  // Without a single ground point the plan would be an empty 1 x 1 raster.
  if (!(box.min_e <= box.max_e)) return std::unexpected(std::string("no photo footprint reaches the ground"));

  if (bounds) {
    const GroundBounds& b = *bounds;
    if (!std::isnan(b[0])) box.min_e = std::max(box.min_e, b[0]);
    if (!std::isnan(b[1])) box.min_n = std::max(box.min_n, b[1]);
    if (!std::isnan(b[2])) box.max_e = std::min(box.max_e, b[2]);
    if (!std::isnan(b[3])) box.max_n = std::min(box.max_n, b[3]);
    if (box.min_e >= box.max_e || box.min_n >= box.max_n)
      return std::unexpected(std::string("bounds do not overlap the mosaic"));
    if (verbose) logf("  clipped to {:.0} x {:.0} m area of interest", box.max_e - box.min_e, box.max_n - box.min_n);
  }

  double gsd;
  if (gsd_m) {
    gsd = *gsd_m;
    if (!positive_finite(gsd)) return std::unexpected(format("output gsd {} m is not a positive number", gsd));
  } else {
    const std::vector<double> natives = native_gsds(images, positions, surface_reference_height(surface));
    gsd = median(natives);
    if (!positive_finite(gsd))
      return std::unexpected(format("native gsd {} m is not a positive number: cameras at or below the ground", gsd));
  }
  // Far finer than any photo samples the ground at its recorded height is no detail, only
  // pixels: a mosaic of millimetres over a flight of centimetres (asked for, or from poses
  // that put the ground at the cameras) runs to billions of them.
  if (const double finest = finest_recorded_gsd(images); std::isfinite(finest) && gsd < finest / MAX_OVERSAMPLING)
    return std::unexpected(format("output gsd {} m is far below the finest native gsd of the photos ({} m)",
                                  size_text(gsd), size_text(finest)));
  if (!positive_finite(max_mpix)) return std::unexpected(format("max_mpix {} is not a positive number", max_mpix));

  // Sizes stay in floating point until they are known to fit: a count saturated on conversion
  // could never be brought back under the cap.
  const double extent_e = box.max_e - box.min_e, extent_n = box.max_n - box.min_n;
  if (!std::isfinite(extent_e) || !std::isfinite(extent_n))
    return std::unexpected(
        format("mosaic extent {} x {} m is not a finite size", size_text(extent_e), size_text(extent_n)));
  const double cap = max_mpix * 1e6;
  if (!(cap >= 1.0)) return std::unexpected(format("max_mpix {} is less than one pixel", size_text(max_mpix)));
  double width = std::ceil(extent_e / gsd), height = std::ceil(extent_n / gsd);
  if (!std::isfinite(width) || !std::isfinite(height))
    return std::unexpected(format("mosaic of {} x {} m at {} m per pixel does not fit", size_text(extent_e),
                                  size_text(extent_n), size_text(gsd)));
  if (width * height > cap) {
    // sqrt(width x height / cap) in two factors: the product alone may overflow.
    gsd *= std::sqrt(width) * std::sqrt(height / cap);
    width = std::ceil(extent_e / gsd);
    height = std::ceil(extent_n / gsd);
    if (verbose) logf("  output capped at {} MP -> GSD raised to {:.2} cm", max_mpix, gsd * 100.0);
  }
  width = std::max(width, 1.0);
  height = std::max(height, 1.0);
  if (!positive_finite(gsd) || !(width <= MAX_OUTPUT_SIDE_PX) || !(height <= MAX_OUTPUT_SIDE_PX))
    return std::unexpected(format("mosaic of {} x {} px at {} m per pixel does not fit (at most {} px a side)",
                                  size_text(width), size_text(height), size_text(gsd), MAX_OUTPUT_SIDE_PX));

  OutputGrid grid;
  grid.width = static_cast<uint64_t>(width);
  grid.height = static_cast<uint64_t>(height);
  grid.left_e = box.min_e;
  grid.top_n = box.max_n;
  grid.gsd = gsd;
  grid.windows.reserve(images.size());
  for (const Polygon& fp : footprints)
    grid.windows.push_back(window_of(fp, grid.left_e, grid.top_n, gsd, grid.width, grid.height));
  return grid;
}

}  // namespace tsl
