#include "img/tiff/dsm_tiff.h"

#include <bit>

#include "img/tiff/buffered_file.h"
#include "util/deflate.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

constexpr size_t DSM_BUFFER_BYTES = 8192;
constexpr uint64_t CLASSIC_LIMIT = 0xFFFFFFFF;

std::vector<uint8_t> strip_bytes(std::span<const float> heights) {
  std::vector<uint8_t> raw;
  raw.reserve(heights.size() * 4);
  for (float h : heights) {
    const uint32_t v = std::bit_cast<uint32_t>(h);
    for (int i = 0; i < 4; ++i) raw.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  return raw;
}

}  // namespace

GeoTiffRef dsm_georef(double node_east, double node_north, double cell, int32_t epsg) {
  return {cell, node_east - cell / 2, node_north + cell / 2, epsg};
}

std::expected<void, std::string> write_dsm_tiff(const std::filesystem::path& path, uint64_t columns, uint64_t rows,
                                                std::span<const float> heights, const GeoTiffRef& ref) {
  if (columns == 0 || rows == 0 || heights.size() / columns != rows || heights.size() % columns != 0)
    internal_error(format("terrain grid of {} heights for {}x{} nodes", heights.size(), columns, rows));
  auto file = create_buffered_file(path, DSM_BUFFER_BYTES);
  if (!file) return std::unexpected(std::move(file.error()));
  const uint8_t header[] = {'I', 'I', 42, 0, 0, 0, 0, 0};
  if (auto r = write_bytes(*file, header); !r) return r;

  std::vector<uint64_t> offsets, counts;
  for (uint64_t row = 0; row < rows; row += DSM_ROWS_PER_STRIP) {
    const uint64_t n = std::min(DSM_ROWS_PER_STRIP, rows - row);
    const auto strip = zlib_compress(strip_bytes(heights.subspan(row * columns, n * columns)), 6);
    if (file->size + strip.size() > CLASSIC_LIMIT)
      return std::unexpected(format("terrain raster would pass the 4 GiB reach of a classic TIFF at row {}", row));
    offsets.push_back(file->size);
    counts.push_back(strip.size());
    if (auto r = write_bytes(*file, strip); !r) return r;
  }

  const uint64_t w[] = {columns}, h[] = {rows}, bits[] = {32}, deflate_code[] = {8}, black_is_zero[] = {1};
  const uint64_t one[] = {1}, rows_per_strip[] = {DSM_ROWS_PER_STRIP}, ieee_float[] = {3};
  std::vector<TiffTag> tags = {
      tiff_longs(256, w),          tiff_longs(257, h),     tiff_shorts(258, bits),
      tiff_shorts(259, deflate_code), tiff_shorts(262, black_is_zero), tiff_longs(273, offsets),
      tiff_ascii(305, "tessaly"),  tiff_shorts(277, one),  tiff_longs(278, rows_per_strip),
      tiff_longs(279, counts),     tiff_shorts(284, one),  tiff_shorts(339, ieee_float),
  };
  for (TiffTag& t : geotiff_tags(ref)) tags.push_back(std::move(t));
  if (auto r = write_ifd(*file, std::move(tags), false); !r) return r;
  return close(*file);
}

}  // namespace tsl
