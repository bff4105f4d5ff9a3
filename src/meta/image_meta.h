#pragma once
// The per-photo metadata record: everything read from one photograph's own file, plus the
// three placement fields the metadata stage fills in. A number the photo does not carry is
// NaN (never 0), except `gimbal_roll` (0), `width` / `height` (0) and the placement fields
// (0 until placed); consumers test finiteness, not zero. A text it does not carry is empty.
#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "geo/camera.h"

namespace tsl {

// How the reader treats files a raw developer has already corrected for lens and vignetting.
enum class ProcessedMode { No = 0, Yes = 1, Auto = 2 };

// The `processed` option text, compared exactly: "no", "yes", anything else detects.
ProcessedMode processed_mode_from_text(std::string_view text);

// DNG WarpRectilinear reduced to one colour plane. The centre is in relative image
// coordinates: 0 at the first pixel, 1 at the last pixel of the row or column.
struct WarpOp {
  double kr0 = 0.0, kr1 = 0.0, kr2 = 0.0, kr3 = 0.0;  // radial
  double kt0 = 0.0, kt1 = 0.0;                        // tangential
  double cx = 0.5, cy = 0.5;
};

// DNG FixVignetteRadial: gain polynomial k0..k4 in the squared radius around (cx, cy).
struct VignOp {
  double k0 = 0.0, k1 = 0.0, k2 = 0.0, k3 = 0.0, k4 = 0.0;
  double cx = 0.5, cy = 0.5;
};

// DNG GainMap. `gains` holds points_v x points_h x map_planes values in stored order (row by
// row, point by point, plane by plane); spacings and origins are relative image coordinates.
struct GainOp {
  std::vector<float> gains;
  uint64_t plane = 0;   // first image plane the map applies to
  uint64_t planes = 0;  // number of image planes it applies to
  double spacing_v = 0.0, spacing_h = 0.0;
  double origin_v = 0.0, origin_h = 0.0;
  uint64_t points_v = 0, points_h = 0, map_planes = 0;
};

// One lens-correction item of a DNG, in the order of its opcode list.
using LensOp = std::variant<WarpOp, VignOp, GainOp>;

// "warp", "vign" or "gain".
std::string_view lens_op_name(const LensOp& op);

// The drone's "drone-dji:" XMP attributes: names without the prefix, values as written.
// Each name occurs once; lookups are exact and case-sensitive.
using XmpAttrs = std::vector<std::pair<std::string, std::string>>;

// The value stored under `name`, or nothing.
const std::string* xmp_value(const XmpAttrs& attrs, std::string_view name);

struct ImageMeta {
  static constexpr double NO_VALUE = std::numeric_limits<double>::quiet_NaN();

  std::filesystem::path path;  // as the reader was given it
  std::string make;
  std::string model;
  XmpAttrs xmp;
  std::vector<LensOp> lens_ops;  // empty whenever `processed` is set
  std::string time;              // EXIF DateTimeOriginal, "YYYY:MM:DD HH:MM:SS"
  std::string software;
  std::string meta_from;      // file name of the original whose pose was borrowed
  std::string original_name;  // file name before a raw developer processed the photo
  std::optional<CameraModel> lens;  // absent when no focal length could be derived
  uint64_t width = 0;  // full size as stored, pixels
  uint64_t height = 0;
  double lat = NO_VALUE;  // degrees WGS84, south negative
  double lon = NO_VALUE;  // degrees WGS84, west negative
  double rel_alt = NO_VALUE;       // m above the take-off point
  double abs_alt = NO_VALUE;       // m
  double gimbal_yaw = NO_VALUE;    // degrees clockwise from true north
  double gimbal_pitch = NO_VALUE;  // degrees, -90 looks straight down
  double gimbal_roll = 0.0;        // degrees
  double flight_yaw = NO_VALUE;    // degrees
  double exposure = NO_VALUE;      // exposure time x ISO / f-number^2
  double focal_mm = NO_VALUE;
  double focal_35mm = NO_VALUE;
  double px_per_mm = NO_VALUE;  // focal-plane resolution
  double local_e = 0.0;         // m east of the build's UTM origin
  double local_n = 0.0;         // m north of it
  double grid_yaw = 0.0;        // gimbal_yaw from grid north of the UTM zone, degrees
  bool is_dng = false;
  bool processed = false;
};

// "{model}|{width}x{height}|{focal_mm:.1}" ("nan", "inf", "-inf" for a focal length that is
// not finite): photos with equal keys are one camera.
std::string camera_key(const ImageMeta& meta);

}  // namespace tsl
