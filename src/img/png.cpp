#include "img/png.h"

#include <algorithm>

#include "util/deflate.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {

namespace {

constexpr uint64_t PNG_MAX_LENGTH = 0x7FFFFFFF;  // chunk lengths and image sizes are 31-bit

void put_be32(std::vector<uint8_t>& out, uint64_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

uint8_t colour_type(size_t channels) {
  switch (channels) {
    case 1: return 0;
    case 2: return 4;
    case 3: return 2;
    case 4: return 6;
    default: internal_error(format("png with {} channels", channels));
  }
}

}  // namespace

void write_png_chunk(std::vector<uint8_t>& out, std::string_view type, std::span<const uint8_t> data) {
  if (type.size() != 4 || data.size() > PNG_MAX_LENGTH)
    internal_error(format("png chunk {} of {} bytes", type, data.size()));
  put_be32(out, data.size());
  const size_t start = out.size();
  out.insert(out.end(), type.begin(), type.end());
  out.insert(out.end(), data.begin(), data.end());
  put_be32(out, crc32_bytes(std::span(out).subspan(start)));
}

std::vector<uint8_t> encode_png(std::span<const uint8_t> pixels, size_t width, size_t height, size_t channels,
                                unsigned level) {
  const uint8_t type = colour_type(channels);
  if (width == 0 || height == 0 || width > PNG_MAX_LENGTH || height > PNG_MAX_LENGTH ||
      pixels.size() / channels / width != height || pixels.size() % (channels * width) != 0)
    internal_error(format("png of {} x {} x {} from {} bytes", width, height, channels, pixels.size()));

  // Sub filter: each byte minus the same channel of the pixel to its left (mod 256).
  const size_t row = width * channels;
  std::vector<uint8_t> filtered(height * (row + 1));
  for (size_t y = 0; y < height; ++y) {
    const uint8_t* in = pixels.data() + y * row;
    uint8_t* out = filtered.data() + y * (row + 1);
    out[0] = 1;
    for (size_t i = 0; i < channels; ++i) out[1 + i] = in[i];
    for (size_t i = channels; i < row; ++i) out[1 + i] = static_cast<uint8_t>(in[i] - in[i - channels]);
  }
  const std::vector<uint8_t> compressed = zlib_compress(filtered, level);

  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  png.reserve(compressed.size() + 64);
  std::vector<uint8_t> ihdr;
  put_be32(ihdr, width);
  put_be32(ihdr, height);
  ihdr.insert(ihdr.end(), {8, type, 0, 0, 0});  // bit depth, colour type, compression, filter, interlace
  write_png_chunk(png, "IHDR", ihdr);
  // One IDAT, unless the data passes the chunk length limit (a 2 GiB stream): then several.
  for (size_t at = 0; at == 0 || at < compressed.size(); at += PNG_MAX_LENGTH)
    write_png_chunk(png, "IDAT", std::span(compressed).subspan(at, std::min<size_t>(PNG_MAX_LENGTH, compressed.size() - at)));
  write_png_chunk(png, "IEND", {});
  return png;
}

}  // namespace tsl
