#pragma once
// Writes one little-endian TIFF image file directory of EXIF entries, as the frames of the
// diagnostics bundle carry them. Offsets count from the start of the TIFF header.
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace tsl {

// One entry: a tag and one value, written as ASCII (text, NUL added), SHORT (u16), LONG (u32)
// or one RATIONAL (a double as round(v * 1e6) / 1e6, limited to 0..4294967295 / 1e6, NaN as 0).
struct ExifTag {
  uint16_t tag = 0;
  std::variant<std::string, uint16_t, uint32_t, double> value;
};

// The directory bytes (entry count, 12-byte entries in the given order, next-directory offset
// 0) for a directory at `ifd_offset`. Values longer than 4 bytes go to the directory's data
// area, which is appended to `data` (padded to even length) and must follow the directory
// directly. Callers give the entries in ascending tag order.
std::vector<uint8_t> write_exif_ifd(std::span<const ExifTag> tags, uint32_t ifd_offset, std::vector<uint8_t>& data);

}  // namespace tsl
