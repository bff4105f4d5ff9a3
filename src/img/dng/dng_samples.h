#pragma once
// Turning the bytes of one uncompressed or inflated DNG piece into float samples: packed
// integers of any width up to 32 bits with optional horizontal differencing, and 16-, 24- and
// 32-bit floats with optional floating-point predictors. Short data is padded with zeros;
// nothing here fails.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tsl {

// How the bytes of a piece are laid out.
struct SampleLayout {
  size_t count = 0;        // samples the piece must yield (tile width x length x spp)
  unsigned bits = 16;      // per sample: 1..32 for integers, 16, 24 or 32 for floats
  bool little_endian = true;
  uint64_t predictor = 1;  // 2 horizontal differencing; 3, 34894, 34895 floating point
  size_t spp = 1;          // samples per pixel, at least 1
  size_t tile_width = 0;   // pixels per row of the piece
};

// Integer samples: 8, 16 and 32 bits read whole in the layout's byte order (as many as the
// bytes hold); any other width most significant bit first, every row of tile_width x spp
// samples starting on a byte boundary as TIFF lays out packed rows. Padded with zeros to
// `count`; predictor 2 then adds each sample to the one spp before it within rows, modulo
// 2^bits.
std::vector<float> unpack_integer_samples(std::span<const uint8_t> bytes, const SampleLayout& layout);

// Float samples of bits / 8 bytes each: IEEE half (16), the DNG 24-bit float (sign, 7-bit
// exponent biased by 63, 16-bit mantissa; exponent 0 is +0) and IEEE single (32). With a
// floating-point predictor the bytes are first reordered and read little-endian whatever the
// file's order. Exactly `count` samples; those whose bytes are missing are 0.
std::vector<float> float_samples_from_bytes(std::span<const uint8_t> bytes, const SampleLayout& layout);

// Undoes the floating-point predictor in place on whole rows of bytes_per_sample x spp x
// tile_width bytes (a trailing partial row is left alone): byte differencing with stride spp,
// 2 spp or 4 spp (predictors 3, 34894, 34895), then the byte planes (most significant first)
// are interleaved back into little-endian samples.
void undo_float_predictor(std::span<uint8_t> bytes, size_t bytes_per_sample, size_t spp, size_t tile_width,
                          uint64_t predictor);

// IEEE half-precision bits to float (subnormals, infinities and NaN included).
float half_to_float(uint16_t bits);

// The DNG 24-bit float (in the low 24 bits) to float.
float fp24_to_float(uint32_t bits);

}  // namespace tsl
