#pragma once
// PNG encoder for 8-bit images: every row uses the Sub filter, and the compressed data goes
// into one IDAT chunk. Used for coverage masks (gray, level 6) and live previews (RGBA, level 1).
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tsl {

// The PNG file of `pixels`: interleaved 8-bit samples, rows from the top without padding,
// exactly width * height * channels bytes. Channels: 1 gray, 2 gray + alpha, 3 RGB, 4 RGBA.
// `level` is the deflate level (0..9). A zero or over-large size, another channel count or a
// buffer of the wrong length is a caller's bug (internal error).
std::vector<uint8_t> encode_png(std::span<const uint8_t> pixels, size_t width, size_t height, size_t channels,
                                unsigned level);

// Appends one chunk: big-endian data length, the 4-character type, the data, and the CRC-32
// of type and data. Data of 2^31 bytes or more is a caller's bug (internal error).
void write_png_chunk(std::vector<uint8_t>& out, std::string_view type, std::span<const uint8_t> data);

}  // namespace tsl
