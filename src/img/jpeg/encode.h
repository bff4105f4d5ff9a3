#pragma once
// Writing baseline JPEG files: one sequential Huffman scan with the standard tables, quality-
// scaled standard quantisation tables, 4:2:0 chroma below quality 90 and 4:4:4 from 90 on.
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "img/image.h"

namespace tsl {

// An application segment to write after SOI: marker is the code's second byte (0xE1 for
// APP1), payload the bytes after the length field (at most 65533).
struct AppSegment {
  uint8_t marker = 0xE1;
  std::vector<uint8_t> payload;
};

// Largest APP payload: the 16-bit length field also counts its own two bytes.
inline constexpr size_t JPEG_MAX_APP_PAYLOAD = 65533;

// The standard luminance and chrominance quantisation tables (natural order).
extern const std::array<uint8_t, 64> JPEG_LUMA_QUANT;
extern const std::array<uint8_t, 64> JPEG_CHROMA_QUANT;

// Scales a base table by quality: s = 200 - 2 quality, entry = (K s + 50) / 100 in integers,
// then kept within 1..255. Quality 100 gives all ones.
std::array<uint8_t, 64> scale_quant_table(std::span<const uint8_t, 64> base, uint32_t quality);

// Copies the 8x8 block at image position (x, y) of a full-size float plane, sampling every
// `factor` (1 or 2, the latter averaging 2x2) with rows and columns past the edge repeating the
// last one, and subtracts 128.
void fetch_block(size_t width, size_t height, const float* plane, size_t plane_len, size_t x, size_t y,
                 unsigned factor, float* block);

// The forward 8x8 DCT-II of a level-shifted block, in place (natural order).
void fdct_8x8(float* block);

// Encodes a 1-channel (gray) or 3-channel (RGB) image. The JFIF APP0 is written unless the
// first or second segment is an APP1. Fails only for an APP payload above 65533 bytes. The
// image must hold width x height x channels bytes (a caller's bug otherwise).
std::expected<std::vector<uint8_t>, std::string> encode_jpeg(const ImageU8& image, uint32_t quality,
                                                             std::span<const AppSegment> segments = {});

}  // namespace tsl
