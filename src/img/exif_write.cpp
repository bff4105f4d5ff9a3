#include "img/exif_write.h"

#include <cmath>

namespace tsl {

namespace {

constexpr uint16_t TYPE_ASCII = 2, TYPE_SHORT = 3, TYPE_LONG = 4, TYPE_RATIONAL = 5;
constexpr double RATIONAL_DENOMINATOR = 1e6;

void put16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
  for (int k = 0; k < 4; ++k) b.push_back(static_cast<uint8_t>(v >> (8 * k)));
}

uint32_t rational_numerator(double v) {
  if (std::isnan(v)) return 0;
  const double n = std::round(v * RATIONAL_DENOMINATOR);  // halves away from zero
  if (n <= 0) return 0;
  if (n >= 4294967295.0) return 4294967295u;
  return static_cast<uint32_t>(n);
}

}  // namespace

std::vector<uint8_t> write_exif_ifd(std::span<const ExifTag> tags, uint32_t ifd_offset, std::vector<uint8_t>& data) {
  const uint32_t area_at = ifd_offset + 12 * static_cast<uint32_t>(tags.size()) + 6;
  std::vector<uint8_t> dir, area;
  put16(dir, static_cast<uint32_t>(tags.size()));
  for (const ExifTag& t : tags) {
    put16(dir, t.tag);
    if (const auto* text = std::get_if<std::string>(&t.value)) {
      const uint32_t count = static_cast<uint32_t>(text->size()) + 1;
      put16(dir, TYPE_ASCII);
      put32(dir, count);
      if (count <= 4) {
        std::vector<uint8_t> field(text->begin(), text->end());
        field.resize(4, 0);
        dir.insert(dir.end(), field.begin(), field.end());
      } else {
        put32(dir, area_at + static_cast<uint32_t>(area.size()));
        area.insert(area.end(), text->begin(), text->end());
        area.push_back(0);
        if (area.size() % 2 != 0) area.push_back(0);  // values start on even offsets
      }
    } else if (const auto* s = std::get_if<uint16_t>(&t.value)) {
      put16(dir, TYPE_SHORT);
      put32(dir, 1);
      put16(dir, *s);
      put16(dir, 0);
    } else if (const auto* l = std::get_if<uint32_t>(&t.value)) {
      put16(dir, TYPE_LONG);
      put32(dir, 1);
      put32(dir, *l);
    } else {
      put16(dir, TYPE_RATIONAL);
      put32(dir, 1);
      put32(dir, area_at + static_cast<uint32_t>(area.size()));
      put32(area, rational_numerator(std::get<double>(t.value)));
      put32(area, static_cast<uint32_t>(RATIONAL_DENOMINATOR));
    }
  }
  put32(dir, 0);
  data.insert(data.end(), area.begin(), area.end());
  return dir;
}

}  // namespace tsl
