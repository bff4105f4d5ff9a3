#pragma once
// The orthomosaic file: a tiled, georeferenced RGBA TIFF (BigTIFF when large) written in one
// pass. Compressed 512 x 512 tiles are appended as the render hands over bands of rows; the
// directory goes last, after every tile, and the header's pointer to it is patched at the end.
// Only one band of samples and its compressed tiles are ever held in memory.
//
// Layout: "II", 42 or 43, tiles back to back from offset 8 (16 in a BigTIFF), then one
// directory: RGBA, 8 or 16 bits, deflate with horizontal differencing, unassociated alpha
// (the coverage), ModelPixelScale / ModelTiepoint / GeoKeyDirectory.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "img/tiff/buffered_file.h"
#include "img/tiff/tiff_directory_writer.h"

namespace tsl {

inline constexpr uint32_t GEOTIFF_TILE_SIZE = 512;
// Raw RGBA sample bytes above which the file is a BigTIFF. Compressed tiles of a classic file
// then end well below the 4 GiB its 32-bit offsets reach.
inline constexpr uint64_t GEOTIFF_BIGTIFF_ABOVE = 3'500'000'000;
inline constexpr size_t GEOTIFF_BUFFER_BYTES = size_t{4} << 20;

struct GeoTiffWriter {
  BufferedFile out;
  std::vector<uint64_t> tile_offsets;      // one per tile, row-major; 0 until written
  std::vector<uint64_t> tile_byte_counts;  // likewise
  uint64_t width = 0, height = 0;          // pixels
  uint32_t tile_size = GEOTIFF_TILE_SIZE;
  unsigned bits = 8;                       // per sample: 8 or 16
  uint64_t pos = 0;                        // bytes written so far: the next tile's offset
  GeoTiffRef georef;
  bool bigtiff = false;

  // Creates (truncates) the file and buffers its header. `bigtiff_above` is the raw-size
  // threshold (tests lower it to get a BigTIFF from a small raster). Sizes of 0 or bits other
  // than 8 and 16 are a caller's bug (internal error). Error: the system's message.
  static std::expected<GeoTiffWriter, std::string> create(const std::filesystem::path& path, uint64_t width,
                                                          uint64_t height, unsigned bits, const GeoTiffRef& georef,
                                                          uint64_t bigtiff_above = GEOTIFF_BIGTIFF_ABOVE);

  // Encodes the tiles of one band in parallel and appends them in tile order. The band starts
  // at `first_row` (a multiple of 512) and has `rows` rows (a multiple of 512 unless it ends
  // at the bottom); `rgba` holds rows x width x 4 samples (R, G, B, alpha), 0..255 for 8-bit
  // output. Error: the system's message, or a classic file passing 4 GiB.
  std::expected<void, std::string> write_band(uint64_t first_row, uint64_t rows, std::span<const uint16_t> rgba);

  // Writes the directory, patches the header and closes the file.
  std::expected<void, std::string> finish();
};

// True when a raster of this size is written as a BigTIFF.
bool geotiff_needs_bigtiff(uint64_t width, uint64_t height, unsigned bits,
                           uint64_t bigtiff_above = GEOTIFF_BIGTIFF_ABOVE);

// The zlib stream (level 6) of one 512 x 512 tile of a band: tile row `tile_row` within the
// band, tile column `tile_col`. Samples are differenced against the pixel to the left in the
// same channel (0 at a tile row's start), wrapping, and stored as bytes (8 bits) or
// little-endian u16; pixels right of the image or below the band are zero.
std::vector<uint8_t> encode_tile(std::span<const uint16_t> rgba, uint64_t width, uint64_t band_rows, unsigned bits,
                                 uint64_t tile_row, uint64_t tile_col);

// Appends one encoded tile and records its offset and length under `index`. Error: the
// system's message, or the tile would end past 4 GiB in a classic file.
std::expected<void, std::string> append_tile(GeoTiffWriter& writer, size_t index, std::span<const uint8_t> tile);

// The world file beside an output: its extension replaced by "tfw" (added when it has none).
std::filesystem::path world_file_path(const std::filesystem::path& output);

// Writes the six-line world file of a raster: pixel size, 0, 0, -pixel size, and the UTM
// centre of the top-left pixel. Error: the system's message.
std::expected<void, std::string> write_world_file(const std::filesystem::path& output, const GeoTiffRef& ref);

}  // namespace tsl
