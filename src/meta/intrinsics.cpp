#include "meta/intrinsics.h"

#include <cmath>
#include <string_view>
#include <vector>

#include "meta/drone_xmp.h"
#include "util/path.h"
#include "util/text.h"

namespace tsl {
namespace {

constexpr double FRAME_35MM_DIAGONAL_MM = 43.266615305567875;  // hypot(36, 24)
// A focal-plane resolution is believed only when it makes a plausible sensor width: from
// small drone sensors (about 6 mm) to full frame (36 mm).
constexpr double MIN_SENSOR_WIDTH_MM = 4.0;
constexpr double MAX_SENSOR_WIDTH_MM = 40.0;
// DewarpData: fx, fy, centre offsets x and y, then k1, k2, p1, p2, k3.
constexpr size_t DEWARP_NUMBERS = 9;

struct Focal {
  double f = 0.0;
  Vec2 c;
};

bool usable_focal(double f) { return std::isfinite(f) && f > 0.0; }

std::optional<Focal> focal_from_meta(const ImageMeta& m, std::optional<double> override_px) {
  const double w = static_cast<double>(m.width), h = static_cast<double>(m.height);
  const Vec2 c0{(w - 1.0) / 2.0, (h - 1.0) / 2.0};
  const bool override_nan = override_px && std::isnan(*override_px);
  if (override_px && !override_nan && *override_px != 0.0) return Focal{*override_px, c0};
  if (!override_nan) {
    const double v = xmp_number(m.xmp, {"CalibratedFocalLength"});
    if (usable_focal(v)) {
      const double x = xmp_number(m.xmp, {"CalibratedOpticalCenterX"});
      const double y = xmp_number(m.xmp, {"CalibratedOpticalCenterY"});
      const bool inside = std::isfinite(x) && std::isfinite(y) && x > 0.0 && x < w && y > 0.0 && y < h;
      return Focal{v, inside ? Vec2{x, y} : c0};
    }
  }
  if (std::isfinite(m.px_per_mm) && std::isfinite(m.focal_mm)) {
    const double sensor_mm = w / m.px_per_mm;
    const double f = m.px_per_mm * m.focal_mm;
    if (sensor_mm > MIN_SENSOR_WIDTH_MM && sensor_mm < MAX_SENSOR_WIDTH_MM && usable_focal(f)) return Focal{f, c0};
  }
  if (std::isfinite(m.focal_35mm) && m.focal_35mm > 0.0) {
    const double f = m.focal_35mm * std::hypot(w, h) / FRAME_35MM_DIAGONAL_MM;
    if (usable_focal(f)) return Focal{f, c0};
  }
  return std::nullopt;
}

// The numbers after the last ";" of DewarpData, unparsable pieces left out.
std::vector<double> dewarp_numbers(std::string_view value) {
  const size_t semi = value.rfind(';');
  if (semi != std::string_view::npos) value.remove_prefix(semi + 1);
  std::vector<double> numbers;
  for (;;) {
    const size_t comma = value.find(',');
    if (auto v = parse_decimal(trim_unicode(value.substr(0, comma)))) numbers.push_back(*v);
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return numbers;
}

bool dewarp_applies(const ImageMeta& m) {
  const std::string* data = xmp_value(m.xmp, "DewarpData");
  if (data == nullptr || data->empty() || m.processed) return false;
  const std::string* flag = xmp_value(m.xmp, "DewarpFlag");
  // Flag 1: the drone already removed the distortion from the pixels.
  return flag == nullptr || trim_unicode(*flag) != "1";
}

}  // namespace

std::expected<CameraModel, std::string> lens_from_meta(const ImageMeta& meta, std::optional<double> focal_override) {
  const auto focal = focal_from_meta(meta, focal_override);
  if (!focal) {
    return std::unexpected(
        format("{}: cannot determine focal length (use --focal-px)", file_name_string(meta.path.native())));
  }
  CameraModel cam;
  cam.coeffs.assign(7, 0.0);
  cam.selfcal = {0.0, 0.0};
  cam.width = meta.width;
  cam.height = meta.height;
  cam.fx = cam.fy = focal->f;
  cam.cx = focal->c.x;
  cam.cy = focal->c.y;
  cam.kind = LensKind::None;
  const double w = static_cast<double>(meta.width), h = static_cast<double>(meta.height);
  for (const LensOp& op : meta.lens_ops) {
    if (const auto* warp = std::get_if<WarpOp>(&op)) {
      cam.kind = LensKind::DngWarp;
      cam.coeffs = {warp->kr0, warp->kr1, warp->kr2, warp->kr3, warp->kt0, warp->kt1};
      cam.dng_center = {warp->cx, warp->cy};
      cam.cx = (w - 1.0) * warp->cx;
      cam.cy = (h - 1.0) * warp->cy;
      return cam;
    }
  }
  if (dewarp_applies(meta)) {
    const std::vector<double> d = dewarp_numbers(*xmp_value(meta.xmp, "DewarpData"));
    if (d.size() >= DEWARP_NUMBERS) {
      cam.kind = LensKind::Brown;
      cam.fx = d[0];
      cam.fy = d[1];
      // The offsets are from the image centre, never from a calibrated optical centre.
      cam.cx = (w - 1.0) / 2.0 + d[2];
      cam.cy = (h - 1.0) / 2.0 + d[3];
      cam.coeffs = {d[4], d[5], d[6], d[7], d[8]};
    }
  }
  return cam;
}

}  // namespace tsl
