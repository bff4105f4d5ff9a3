#include "img/tiff/geotiff_writer.h"

#include <cerrno>
#include <system_error>

#include "util/deflate.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {
namespace {

constexpr uint64_t CLASSIC_LIMIT = 0xFFFFFFFF;
constexpr unsigned TILE_LEVEL = 6;

uint64_t tiles_across(const GeoTiffWriter& w) { return (w.width + w.tile_size - 1) / w.tile_size; }

// Fills one tile row with the band's samples differenced against the same channel one pixel
// to the left (wrapping; the row's first pixel is kept as it is). The first padding pixel
// right of the image stores the negated last real pixel; the rest of the row stays zero.
template <typename T>
void difference_row(const uint16_t* src, uint64_t cols, T* dst) {
  if (cols == 0) return;
  for (size_t c = 0; c < 4; ++c) dst[c] = static_cast<T>(src[c]);
  for (size_t k = 4; k < cols * 4; ++k) dst[k] = static_cast<T>(src[k] - src[k - 4]);
  if (cols < GEOTIFF_TILE_SIZE)
    for (size_t c = 0; c < 4; ++c) dst[cols * 4 + c] = static_cast<T>(0 - src[(cols - 1) * 4 + c]);
}

template <typename T>
std::vector<uint8_t> tile_bytes(std::span<const uint16_t> rgba, uint64_t width, uint64_t band_rows, uint64_t tile_row,
                                uint64_t tile_col) {
  constexpr size_t N = GEOTIFF_TILE_SIZE;
  std::vector<T> tile(N * N * 4, 0);
  const uint64_t x0 = tile_col * N;
  const uint64_t cols = x0 < width ? std::min<uint64_t>(N, width - x0) : 0;
  for (size_t i = 0; i < N; ++i) {
    const uint64_t y = tile_row * N + i;
    if (y >= band_rows) break;
    difference_row(rgba.data() + (y * width + x0) * 4, cols, tile.data() + i * N * 4);
  }
  if constexpr (sizeof(T) == 1) {
    return zlib_compress(tile, TILE_LEVEL);
  } else {
    std::vector<uint8_t> bytes(tile.size() * 2);
    for (size_t k = 0; k < tile.size(); ++k) {
      bytes[2 * k] = static_cast<uint8_t>(tile[k]);
      bytes[2 * k + 1] = static_cast<uint8_t>(tile[k] >> 8);
    }
    return zlib_compress(bytes, TILE_LEVEL);
  }
}

}  // namespace

bool geotiff_needs_bigtiff(uint64_t width, uint64_t height, unsigned bits, uint64_t bigtiff_above) {
  // Sides up to 2^24 keep the product inside 64 bits; beyond that it is a BigTIFF anyway.
  if (width >> 24 || height >> 24) return true;
  return width * (bits / 8 * 4) * height > bigtiff_above;
}

std::expected<GeoTiffWriter, std::string> GeoTiffWriter::create(const std::filesystem::path& path, uint64_t width,
                                                                uint64_t height, unsigned bits,
                                                                const GeoTiffRef& georef, uint64_t bigtiff_above) {
  if (width == 0 || height == 0 || (bits != 8 && bits != 16))
    internal_error(format("GeoTIFF of {}x{} pixels at {} bits", width, height, bits));
  auto out = create_buffered_file(path, GEOTIFF_BUFFER_BYTES);
  if (!out) return std::unexpected(std::move(out.error()));
  GeoTiffWriter w;
  w.out = std::move(*out);
  w.width = width;
  w.height = height;
  w.bits = bits;
  w.georef = georef;
  w.bigtiff = geotiff_needs_bigtiff(width, height, bits, bigtiff_above);
  std::vector<uint8_t> header = {'I', 'I', 42, 0, 0, 0, 0, 0};
  if (w.bigtiff) header = {'I', 'I', 43, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  if (auto r = write_bytes(w.out, header); !r) return std::unexpected(std::move(r.error()));
  w.pos = header.size();
  const uint64_t tiles = tiles_across(w) * ((height + w.tile_size - 1) / w.tile_size);
  w.tile_offsets.assign(tiles, 0);
  w.tile_byte_counts.assign(tiles, 0);
  return w;
}

std::vector<uint8_t> encode_tile(std::span<const uint16_t> rgba, uint64_t width, uint64_t band_rows, unsigned bits,
                                 uint64_t tile_row, uint64_t tile_col) {
  if (rgba.size() != width * band_rows * 4)
    internal_error(format("band of {} samples for {}x{} RGBA", rgba.size(), width, band_rows));
  return bits == 8 ? tile_bytes<uint8_t>(rgba, width, band_rows, tile_row, tile_col)
                   : tile_bytes<uint16_t>(rgba, width, band_rows, tile_row, tile_col);
}

std::expected<void, std::string> append_tile(GeoTiffWriter& w, size_t index, std::span<const uint8_t> tile) {
  if (index >= w.tile_offsets.size()) internal_error(format("tile {} of {}", index, w.tile_offsets.size()));
  // Offsets and lengths of a classic file are 32 bits; cutting them would point the reader
  // into the wrong bytes, so the write fails instead.
  if (!w.bigtiff && w.pos + tile.size() > CLASSIC_LIMIT)
    return std::unexpected(format("tile {} would end at byte {}, past the 4 GiB reach of a classic TIFF", index,
                                  w.pos + tile.size()));
  if (auto r = write_bytes(w.out, tile); !r) return r;
  w.tile_offsets[index] = w.pos;
  w.tile_byte_counts[index] = tile.size();
  w.pos += tile.size();
  return {};
}

std::expected<void, std::string> GeoTiffWriter::write_band(uint64_t first_row, uint64_t rows,
                                                           std::span<const uint16_t> rgba) {
  if (first_row % tile_size != 0 || first_row + rows > height || (rows % tile_size != 0 && first_row + rows != height) ||
      rgba.size() != rows * width * 4)
    internal_error(format("band of {} rows at row {} ({} samples) for a {}x{} GeoTIFF", rows, first_row, rgba.size(),
                          width, height));
  const uint64_t across = tiles_across(*this);
  const uint64_t tile_rows = (rows + tile_size - 1) / tile_size;
  auto tiles = par_map(tile_rows * across, cpu_budget(), [&](size_t k) {
    return encode_tile(rgba, width, rows, bits, k / across, k % across);
  });
  for (size_t k = 0; k < tiles.size(); ++k) {
    const size_t index = (first_row / tile_size + k / across) * across + k % across;
    if (auto r = append_tile(*this, index, tiles[k]); !r) return r;
  }
  return {};
}

std::expected<void, std::string> GeoTiffWriter::finish() {
  const uint64_t b = bits;
  const uint64_t bits4[] = {b, b, b, b};
  const uint64_t one[] = {1}, two[] = {2}, four[] = {4}, deflate_code[] = {8}, tile[] = {tile_size};
  const uint64_t unsigned4[] = {1, 1, 1, 1};
  const uint64_t w[] = {width}, h[] = {height};
  std::vector<TiffTag> tags = {
      tiff_longs(256, w),         tiff_longs(257, h),          tiff_shorts(258, bits4),
      tiff_shorts(259, deflate_code), tiff_shorts(262, two),   tiff_ascii(305, "tessaly"),
      tiff_shorts(277, four),     tiff_shorts(284, one),       tiff_shorts(317, two),
      tiff_shorts(322, tile),     tiff_shorts(323, tile),      tiff_shorts(338, two),
      tiff_shorts(339, unsigned4),
  };
  if (bigtiff) {
    tags.push_back(tiff_long8s(324, tile_offsets));
    tags.push_back(tiff_long8s(325, tile_byte_counts));
  } else {
    // append_tile kept every offset and length of a classic file within 32 bits.
    tags.push_back(tiff_longs(324, tile_offsets));
    tags.push_back(tiff_longs(325, tile_byte_counts));
  }
  for (TiffTag& t : geotiff_tags(georef)) tags.push_back(std::move(t));
  if (auto r = flush(out); !r) return r;
  if (auto r = write_ifd(out, std::move(tags), bigtiff); !r) return r;
  return close(out);
}

std::filesystem::path world_file_path(const std::filesystem::path& output) {
  std::filesystem::path p = output;
  return p.replace_extension("tfw");
}

std::expected<void, std::string> write_world_file(const std::filesystem::path& output, const GeoTiffRef& ref) {
  const std::string text = format("{:.6}\n0\n0\n{:.6}\n{:.4}\n{:.4}\n", ref.gsd, -ref.gsd, ref.east + ref.gsd / 2,
                                  ref.north - ref.gsd / 2);
  auto file = create_buffered_file(world_file_path(output), text.size());
  if (!file) return std::unexpected(std::move(file.error()));
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  if (auto r = write_bytes(*file, {p, text.size()}); !r) return r;
  return close(*file);
}

}  // namespace tsl
