// Feeds arbitrary bytes to the JPEG decoder at full size and at 1/8, and sends every image it
// decodes through the encoder and back: no input may crash, read out of bounds or hit
// undefined behaviour, and our own files must always decode.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "img/jpeg/decode.h"
#include "img/jpeg/encode.h"
#include "util/par.h"

namespace {

// Frames above a megapixel decode correctly but slowly; the fuzzer learns nothing from them.
constexpr size_t MAX_PIXELS = size_t{1} << 20;

void run(std::span<const uint8_t> bytes) {
  for (unsigned denominator : {1u, 8u}) {
    const auto image = tsl::decode_jpeg(bytes, denominator);
    if (!image) continue;
    if (image->data.size() != image->width * image->height * 3) std::abort();
    if (denominator != 1 || image->width == 0 || image->height == 0) continue;
    const uint32_t quality = 50 + (bytes.empty() ? 0 : bytes.back() % 51);
    const auto file = tsl::encode_jpeg(*image, quality);
    if (!file) std::abort();
    const auto again = tsl::decode_jpeg(*file);
    if (!again || again->width != image->width || again->height != image->height) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  const auto info = tsl::probe_jpeg(bytes);
  if (info && info->width * info->height > MAX_PIXELS) return 0;
  // Even sizes take the threaded road (the pipelined decoder); odd sizes run on a loop worker,
  // where every nested loop runs inline: both roads get fuzzed, and the inline one is fast.
  if (size % 2 == 0) {
    run(bytes);
  } else {
    tsl::par_map(2, 2, [&](size_t i) {
      if (i == 0) run(bytes);
      return 0;
    });
  }
  return 0;
}
