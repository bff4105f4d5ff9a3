#pragma once
// Decoding of input TIFF photographs (as exported by raw developers) to plain RGB samples:
// 8- or 16-bit gray or RGB, strips or tiles, uncompressed, LZW, deflate or PackBits, with or
// without horizontal differencing, chunky or planar. Everything else is refused with a message
// that tells the user what to export instead.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace tsl {

// Largest image decoded, in pixels (16384 x 16384): the output alone is then 1.5 GiB of
// 16-bit RGB, well above any camera the program serves, and a crafted header cannot ask for
// more memory than that.
inline constexpr uint64_t TIFF_MAX_PIXELS = uint64_t{1} << 28;
// Most samples per pixel accepted; RGB with a few extra channels stays far below it.
inline constexpr uint64_t TIFF_MAX_SAMPLES = 64;

// A decoded picture: 3 samples (R, G, B) per pixel, rows from the top, back to back. The
// values are the file's unchanged: 0..255 for 8-bit files, 0..65535 for 16-bit files.
struct TiffImage {
  size_t width = 0;
  size_t height = 0;
  unsigned bits_per_sample = 8;  // 8 or 16
  std::vector<uint16_t> samples;
};

// Decodes the largest full-resolution image of a whole TIFF file. Gray images give three
// equal samples per pixel; samples after the third (alpha) are dropped. Missing or short
// chunks leave zeros. Errors: the parse_tiff message, "no image in TIFF", "no height",
// "TIFF variant not supported ({} bit, photometric {}) - export 8/16-bit RGB TIFF or JPG",
// "TIFF {signed integer|floating-point} samples not supported - export 8/16-bit RGB TIFF or JPG",
// size and layout checks ("empty TIFF image ...", "TIFF image too large ...", "TIFF image {}x{}
// larger than its data can fill" when the declared samples exceed what the chunks' bytes can
// decode to by more than 4 MiB, ...),
// "no tile length", "no tile offsets", "no tile counts", "no strips", "no strip counts",
// "TIFF data outside the file", "zlib stream too short", the inflate message, "bad LZW
// stream", "bad LZW code", "TIFF compression {} not supported".
std::expected<TiffImage, std::string> read_tiff_image(std::span<const uint8_t> bytes);

}  // namespace tsl
