#include "meta/exif_tags.h"

#include <cmath>
#include <string>

namespace tsl {
namespace {

constexpr uint16_t TAG_MAKE = 271;
constexpr uint16_t TAG_MODEL = 272;
constexpr uint16_t TAG_SOFTWARE = 305;
constexpr uint16_t TAG_EXPOSURE_TIME = 33434;
constexpr uint16_t TAG_F_NUMBER = 33437;
constexpr uint16_t TAG_ISO = 34855;
constexpr uint16_t TAG_DATE_TIME_ORIGINAL = 36867;
constexpr uint16_t TAG_FOCAL_LENGTH = 37386;
constexpr uint16_t TAG_FOCAL_PLANE_X_RESOLUTION = 41486;
constexpr uint16_t TAG_FOCAL_PLANE_RESOLUTION_UNIT = 41488;
constexpr uint16_t TAG_FOCAL_LENGTH_35MM = 41989;
constexpr uint16_t TAG_GPS_LATITUDE_REF = 1;
constexpr uint16_t TAG_GPS_LATITUDE = 2;
constexpr uint16_t TAG_GPS_LONGITUDE_REF = 3;
constexpr uint16_t TAG_GPS_LONGITUDE = 4;
constexpr uint16_t TAG_GPS_ALTITUDE_REF = 5;
constexpr uint16_t TAG_GPS_ALTITUDE = 6;

constexpr uint64_t UNIT_CENTIMETRE = 3;
constexpr uint64_t UNIT_MILLIMETRE = 4;

// The entry's text with NULs and spaces also trimmed; nothing when the tag is absent.
std::optional<std::string> text_of(const Ifd& dir, uint16_t tag) {
  const TiffEntry* e = find_entry(dir, tag);
  if (e == nullptr) return std::nullopt;
  std::string s = tag_text(*e);
  const size_t first = s.find_first_not_of(std::string_view(" \0", 2));
  if (first == std::string::npos) return std::string();
  const size_t last = s.find_last_not_of(std::string_view(" \0", 2));
  return s.substr(first, last - first + 1);
}

void set_if_empty(std::string& field, const Ifd& dir, uint16_t tag) {
  if (!field.empty()) return;
  if (auto t = text_of(dir, tag)) field = std::move(*t);
}

// Element 0 of the entry's values; NaN when the tag is absent or holds none.
double first_f64(const Ifd& dir, uint16_t tag, bool le) {
  const TiffEntry* e = find_entry(dir, tag);
  if (e == nullptr) return std::nan("");
  const std::vector<double> v = tag_f64s(*e, le);
  return v.empty() ? std::nan("") : v[0];
}

double mm_per_unit(uint64_t unit) {
  if (unit == UNIT_CENTIMETRE) return 10.0;
  if (unit == UNIT_MILLIMETRE) return 1.0;
  return 25.4;  // inches (2), and every other value
}

void read_exif_dir(ImageMeta& meta, const Ifd& exif, bool le, ExposureTriple& triple) {
  triple = {first_f64(exif, TAG_EXPOSURE_TIME, le), first_f64(exif, TAG_F_NUMBER, le), first_f64(exif, TAG_ISO, le)};
  meta.focal_mm = first_f64(exif, TAG_FOCAL_LENGTH, le);
  meta.focal_35mm = first_f64(exif, TAG_FOCAL_LENGTH_35MM, le);
  const double r = first_f64(exif, TAG_FOCAL_PLANE_X_RESOLUTION, le);
  // A unit entry without values is treated as absent.
  const uint64_t unit = find_u64(exif, TAG_FOCAL_PLANE_RESOLUTION_UNIT, le).value_or(2);
  if (auto t = text_of(exif, TAG_DATE_TIME_ORIGINAL)) meta.time = std::move(*t);
  if (std::isfinite(r) && r > 0.0) meta.px_per_mm = r / mm_per_unit(unit);
}

void read_gps_dir(ImageMeta& meta, const Ifd& gps, bool le) {
  meta.lat = gps_dms_to_deg(gps, le, TAG_GPS_LATITUDE, TAG_GPS_LATITUDE_REF);
  meta.lon = gps_dms_to_deg(gps, le, TAG_GPS_LONGITUDE, TAG_GPS_LONGITUDE_REF);
  if (find_entry(gps, TAG_GPS_ALTITUDE) == nullptr) return;
  const double alt = first_f64(gps, TAG_GPS_ALTITUDE, le);
  // Reference 1 means the (unsigned) altitude is below sea level.
  meta.abs_alt = find_u64(gps, TAG_GPS_ALTITUDE_REF, le) == 1u ? -alt : alt;
}

}  // namespace

double gps_dms_to_deg(const Ifd& gps, bool little_endian, uint16_t value_tag, uint16_t ref_tag) {
  const TiffEntry* e = find_entry(gps, value_tag);
  if (e == nullptr) return std::nan("");
  const std::vector<double> dms = tag_f64s(*e, little_endian);
  if (dms.size() < 3) return std::nan("");
  const double deg = (dms[0] + dms[1] / 60.0) + dms[2] / 3600.0;
  const TiffEntry* ref = find_entry(gps, ref_tag);
  if (ref != nullptr) {
    const std::string r = tag_text(*ref);
    if (r == "S" || r == "W") return -deg;
  }
  return deg;
}

void read_camera_names(ImageMeta& meta, const Ifd& dir) {
  set_if_empty(meta.make, dir, TAG_MAKE);
  set_if_empty(meta.model, dir, TAG_MODEL);
  set_if_empty(meta.software, dir, TAG_SOFTWARE);
}

ExposureTriple read_exif_tags(ImageMeta& meta, const Ifd& dir, bool little_endian) {
  read_camera_names(meta, dir);
  ExposureTriple triple = {std::nan(""), std::nan(""), std::nan("")};
  if (dir.exif) read_exif_dir(meta, *dir.exif, little_endian, triple);
  if (dir.gps) read_gps_dir(meta, *dir.gps, little_endian);
  return triple;
}

double relative_exposure(const ExposureTriple& t) {
  const double fn = t[1];
  if (!std::isfinite(fn) || fn == 0.0) return std::nan("");
  return t[0] * t[2] / (fn * fn);
}

}  // namespace tsl
