#pragma once
// Reading JPEG files: baseline, extended and progressive Huffman-coded frames with 1 (gray) or
// 3 (YCbCr or RGB) components, at full size or reduced by 2, 4 or 8 inside the transform.
// Arithmetic-coded, lossless, CMYK and YCCK files are refused with a message.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>

#include "img/image.h"

namespace tsl {

// The size and kind of a JPEG frame, read without decoding.
struct JpegInfo {
  size_t width = 0;
  size_t height = 0;
  size_t components = 0;  // the frame's component-count byte
  bool progressive = false;
};

// The first frame header (SOF0..SOF3) before any scan, or nothing. Lossless (SOF3) frames are
// reported too although decode_jpeg refuses them.
std::optional<JpegInfo> probe_jpeg(std::span<const uint8_t> data);

// Decodes a whole JPEG file to 3-channel RGB. denominator: 0 or 1 full size, 2 half, 3 or 4 a
// quarter, 5 and more an eighth; each output side is ceil(side / d). A file cut short decodes
// its missing data as zero bits; malformed or unsupported input returns a message.
std::expected<ImageU8, std::string> decode_jpeg(std::span<const uint8_t> data, unsigned denominator = 1);

}  // namespace tsl
