#pragma once
// Writing one little-endian TIFF or BigTIFF image file directory at the end of a file, and
// the three GeoTIFF entries that place a raster in a UTM zone.
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "img/tiff/buffered_file.h"

namespace tsl {

// One directory entry to write.
struct TiffTag {
  std::vector<uint8_t> value;  // the value bytes, little-endian (SHORT 512 is 00 02)
  uint64_t count = 0;          // number of values
  uint16_t tag = 0;
  uint16_t field_type = 0;     // 2 ASCII, 3 SHORT, 4 LONG, 12 DOUBLE, 16 LONG8
};

// Where a raster lies: metres per pixel (both directions), the UTM east and north of the
// outer top-left corner of the top-left pixel, and the EPSG code of the UTM zone (32600 +
// zone north, 32700 + zone south).
struct GeoTiffRef {
  double gsd = 1.0;
  double east = 0.0;
  double north = 0.0;
  int32_t epsg = 32601;
};

// Entry builders; values are stored little-endian. A LONG value above 2^32 - 1 is a caller's
// bug (internal error): classic offsets are checked before they get here.
TiffTag tiff_shorts(uint16_t tag, std::span<const uint64_t> values);
TiffTag tiff_longs(uint16_t tag, std::span<const uint64_t> values);
TiffTag tiff_long8s(uint16_t tag, std::span<const uint64_t> values);
TiffTag tiff_doubles(uint16_t tag, std::span<const double> values);
TiffTag tiff_ascii(uint16_t tag, std::string_view text);  // a NUL is added

// ModelPixelScale (gsd, gsd, 0), ModelTiepoint (0, 0, 0, east, north, 0) and the
// GeoKeyDirectory of a projected, pixel-is-area raster in the given EPSG system.
std::vector<TiffTag> geotiff_tags(const GeoTiffRef& ref);

// Appends one directory (entries sorted stably by tag) at the next even offset of `file`,
// its out-of-line values after it at even offsets, and patches the header's first-directory
// pointer (offset 4 classic, 8 BigTIFF). A classic directory that would end past 4 GiB is
// refused with an error rather than written with cut offsets.
std::expected<void, std::string> write_ifd(BufferedFile& file, std::vector<TiffTag> tags, bool bigtiff);

}  // namespace tsl
