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

// decode_jpeg into `out`, whose storage is reused when it holds enough: a program decoding
// photo after photo into one image pays neither page faults nor zeroing for the output. On
// failure `out` may have lost its storage.
std::expected<void, std::string> decode_jpeg_into(std::span<const uint8_t> data, unsigned denominator, ImageU8& out);

// A decoded JPEG with how much of it came from the file's own data.
struct JpegDecoded {
  ImageU8 image;
  // Rows of `image` from the top that decoded from complete data; below them the file ended
  // early or its data was corrupt, and the rows hold no picture.
  size_t valid_rows = 0;
  // The data ended early or was corrupt somewhere, also when every row is valid (a
  // progressive file cut in a late refinement scan has all rows, with less detail).
  bool damaged = false;
};

// decode_jpeg for photos that may be damaged: zero bytes at the end of a file without an end
// marker are dropped, an undecodable code ends the data where it stands instead of failing,
// and the result says which rows decoded from real data (counted at MCU-row granularity: a
// row is valid when the data reached past the MCU rows it is made from). Other malformed or
// unsupported input returns the same messages as decode_jpeg. The image reuses `storage`'s
// buffer when given and large enough, as decode_jpeg_into does.
std::expected<JpegDecoded, std::string> decode_jpeg_partial(std::span<const uint8_t> data, unsigned denominator = 1,
                                                            ImageU8* storage = nullptr);

}  // namespace tsl
