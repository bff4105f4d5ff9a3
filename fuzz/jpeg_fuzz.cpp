// Feeds arbitrary bytes to the JPEG decoder at full size and at 1/8, and sends every image it
// decodes through the encoder and back: no input may crash, read out of bounds or hit
// undefined behaviour, and our own files must always decode.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "img/jpeg/decode.h"
#include "img/jpeg/encode.h"

namespace {

// Frames above 4 megapixels decode correctly but slowly; the fuzzer learns nothing from them.
constexpr size_t MAX_PIXELS = size_t{1} << 22;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  const auto info = tsl::probe_jpeg(bytes);
  if (info && info->width * info->height > MAX_PIXELS) return 0;
  for (unsigned denominator : {1u, 8u}) {
    const auto image = tsl::decode_jpeg(bytes, denominator);
    if (!image) continue;
    if (image->data.size() != image->width * image->height * 3) std::abort();
    if (denominator != 1 || image->width == 0 || image->height == 0) continue;
    const uint32_t quality = 50 + (size > 0 ? data[size - 1] % 51 : 0);
    const auto file = tsl::encode_jpeg(*image, quality);
    if (!file) std::abort();
    const auto again = tsl::decode_jpeg(*file);
    if (!again || again->width != image->width || again->height != image->height) std::abort();
  }
  return 0;
}
