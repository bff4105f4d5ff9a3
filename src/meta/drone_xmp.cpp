#include "meta/drone_xmp.h"

#include <cmath>

#include "util/text.h"

namespace tsl {
namespace {

constexpr std::string_view PREFIX = "drone-dji:";
constexpr std::string_view CLOSE_PREFIX = "</drone-dji:";

bool is_name_byte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_xml_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::string find_xmp_packet(std::span<const uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const size_t open = text.find("<x:xmpmeta");
  if (open == std::string_view::npos) return {};
  constexpr std::string_view CLOSE = "</x:xmpmeta>";
  const size_t close = text.find(CLOSE, open);
  if (close == std::string_view::npos) return {};
  return sanitize_utf8(text.substr(open, close + CLOSE.size() - open));
}

void add_new_attr(XmpAttrs& attrs, std::string_view name, std::string_view value) {
  if (xmp_value(attrs, name) == nullptr) attrs.emplace_back(name, value);
}

XmpAttrs scan_drone_xmp(std::string_view text) {
  XmpAttrs attrs;
  XmpAttrs elements;
  const size_t len = text.size();
  size_t i = 0;
  for (;;) {
    i = text.find(PREFIX, i);
    // A prefix with nothing after it names nothing.
    if (i == std::string_view::npos || i + PREFIX.size() >= len) break;
    const size_t s = i + PREFIX.size();
    size_t e = s;
    while (e < len && is_name_byte(text[e])) ++e;
    const std::string_view name = text.substr(s, e - s);
    if (e + 1 < len && text[e] == '=' && text[e + 1] == '"') {
      const size_t q = text.find('"', e + 2);
      if (q != std::string_view::npos) add_new_attr(attrs, name, text.substr(e + 2, q - e - 2));
    } else if (e < len && text[e] == '>' && i > 0 && text[i - 1] == '<') {
      const size_t q = text.find('<', e + 1);
      if (q != std::string_view::npos && text.substr(q, CLOSE_PREFIX.size()) == CLOSE_PREFIX)
        elements.emplace_back(name, text.substr(e + 1, q - e - 1));
    }
    i = e;
  }
  for (auto& [name, value] : elements) add_new_attr(attrs, name, value);
  return attrs;
}

double xmp_number(const XmpAttrs& attrs, std::initializer_list<std::string_view> names) {
  for (std::string_view name : names) {
    const std::string* value = xmp_value(attrs, name);
    if (value == nullptr) continue;
    std::string cleaned;
    cleaned.reserve(value->size());
    for (char c : *value)
      if (c != '+') cleaned += c;
    if (auto v = parse_decimal(trim_unicode(cleaned))) return *v;
  }
  return std::nan("");
}

std::optional<std::string> xmp_original_name(std::string_view text) {
  for (std::string_view name : {std::string_view("PreservedFileName"), std::string_view("OriginalFileName")}) {
    const size_t at = text.find(name);
    if (at == std::string_view::npos) continue;
    size_t p = at + name.size();
    while (p < text.size() && is_xml_space(text[p])) ++p;
    if (p >= text.size() || text[p] != '=') continue;
    ++p;
    while (p < text.size() && is_xml_space(text[p])) ++p;
    if (p >= text.size() || text[p] != '"') continue;
    const size_t close = text.find('"', p + 1);
    if (close == std::string_view::npos) continue;
    return std::string(text.substr(p + 1, close - p - 1));
  }
  return std::nullopt;
}

void apply_drone_xmp(ImageMeta& meta, XmpAttrs attrs) {
  const double la = xmp_number(attrs, {"GpsLatitude", "GPSLatitude"});
  // "GpsLongtitude" is how some firmware spells it.
  const double lo = xmp_number(attrs, {"GpsLongitude", "GpsLongtitude", "GPSLongitude"});
  // Drones without a GPS fix write 0, 0: the EXIF position (if any) is then the better one.
  if (std::isfinite(la) && std::isfinite(lo) && !(la == 0.0 && lo == 0.0)) {
    meta.lat = la;
    meta.lon = lo;
  }
  meta.rel_alt = xmp_number(attrs, {"RelativeAltitude"});
  const double abs_alt = xmp_number(attrs, {"AbsoluteAltitude"});
  if (std::isfinite(abs_alt)) meta.abs_alt = abs_alt;
  meta.gimbal_yaw = xmp_number(attrs, {"GimbalYawDegree"});
  meta.gimbal_pitch = xmp_number(attrs, {"GimbalPitchDegree"});
  const double roll = xmp_number(attrs, {"GimbalRollDegree"});
  meta.gimbal_roll = std::isfinite(roll) ? roll : 0.0;
  meta.flight_yaw = xmp_number(attrs, {"FlightYawDegree"});
  if (std::isnan(meta.gimbal_yaw)) meta.gimbal_yaw = meta.flight_yaw;
  meta.xmp = std::move(attrs);
}

}  // namespace tsl
