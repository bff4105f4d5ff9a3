#pragma once
// Reading the raw image of a DNG file: choosing the raw directory, decoding its strips or
// tiles (uncompressed, deflate, lossless JPEG, lossy JPEG), assembling one plane of float
// samples, linearising it and cropping it to the active area, with the levels and the CFA
// pattern the development needs. No colour work happens here.
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "img/tiff/tiff_file.h"

namespace tsl {

// The largest raw plane read, in samples (width x height x samples per pixel): 2^28 floats
// are 1 GiB, room for a 100-megapixel CFA sensor or an 89-megapixel LinearRaw RGB image; a
// header asking for more is refused before anything is allocated.
inline constexpr uint64_t DNG_MAX_SAMPLES = uint64_t{1} << 28;
// A tile may be larger than its image (edge padding), but never hold more samples than this
// or than the whole plane, whichever is larger: one tile is in memory per decoding thread.
inline constexpr uint64_t DNG_MAX_TILE_SAMPLES = uint64_t{1} << 24;

struct DngRaw {
  std::vector<float> samples;        // width x height x samples_per_pixel, rows from the top
  std::vector<double> black_levels;  // BlackLevel as stored (0.0 when absent)
  std::vector<double> white_levels;  // WhiteLevel as stored, at least one value
  uint64_t width = 0;                // after the ActiveArea crop
  uint64_t height = 0;
  uint64_t samples_per_pixel = 1;
  uint64_t black_repeat_rows = 1;  // BlackLevelRepeatDim, each at least 1
  uint64_t black_repeat_cols = 1;
  // Colour (0 red, 1 green, 2 blue) of the 2x2 cell, row-major from the cropped image's
  // top-left pixel; present exactly for CFA data.
  std::optional<std::array<uint8_t, 4>> cfa_pattern;
  bool is_float = false;
};

// What every piece decode of one file shares, read-only.
struct DngTileSource {
  std::span<const uint8_t> file;
  std::vector<uint64_t> offsets;      // one per tile or strip, in tag order
  std::vector<uint64_t> byte_counts;  // at least as many as offsets
  uint64_t tile_width = 0;
  uint64_t tile_length = 0;
  uint64_t samples_per_pixel = 1;
  uint64_t compression = 1;
  unsigned bits_per_sample = 16;
  bool is_float = false;
  uint64_t predictor = 1;
  bool little_endian = true;
};

// One decoded piece: tile width x tile length x spp samples (at least), row-major over the
// tile's full size.
struct DngTile {
  size_t index = 0;
  std::vector<float> samples;
};

// The directory holding the raw image: among all image directories (top-level chain, each
// followed by its SubIFDs depth first), those with NewSubfileType 0, PhotometricInterpretation
// CFA (32803) or LinearRaw (34892) and an ImageWidth; the widest wins, the first on a tie.
const Ifd* find_raw_ifd(const TiffFile& file);

// The first value of `tag` from the raw directory's own entries, else from the first
// top-level directory's own entries; nothing when neither has a value.
std::optional<uint64_t> dng_tag_u64(const Ifd* raw, const Ifd* first, bool little_endian, uint16_t tag);

// The raw plane. Errors: "no raw image in DNG", "no width", "no height", "JPEG XL compressed
// DNG is not supported - export uncompressed/lossless DNG or JPG", "no strips", "no strip
// counts", "only 2x2 CFA patterns are supported", size checks ("DNG raw image too large
// ...", "DNG tile ... too large ...", "empty DNG raw image", "DNG raw image {}x{} larger than
// its data can fill"), layout checks, and the first failing piece's message (lowest index).
// Only the ActiveArea is stored, and pieces are decoded only down to their last row inside it:
// pieces lying wholly outside it are not read.
std::expected<DngRaw, std::string> read_dng_raw(const TiffFile& file);

// Decodes piece `index`. Errors: "tile outside file", "zlib stream too short", the inflate
// and JPEG decoders' messages, the lossless JPEG decoder's, "DNG compression {} not
// supported". The source's sizes must have passed read_dng_raw's checks.
std::expected<DngTile, std::string> decode_dng_tile(const DngTileSource& source, size_t index);

}  // namespace tsl
