// The TIFF container reader and the photo decoder on arbitrary bytes: an error or a result,
// never a crash, a read outside the input or work out of proportion to it; every image has
// the size it claims.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "img/tiff/tiff_file.h"
#include "img/tiff/tiff_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  if (auto file = tsl::parse_tiff(bytes)) {
    for (const tsl::Ifd* ifd : tsl::image_ifds(*file))
      for (const auto& e : ifd->entries) {
        (void)tsl::tag_u64s(e, file->little_endian);
        (void)tsl::tag_f64s(e, file->little_endian);
        (void)tsl::tag_text(e);
      }
  }
  // Images above this many pixels decode correctly but slowly (and a few kilobytes of LZW can
  // rightly fill hundreds of megabytes); the fuzzer learns nothing from them.
  constexpr uint64_t MAX_PIXELS = uint64_t{1} << 22;
  if (auto file = tsl::parse_tiff(bytes)) {
    for (const tsl::Ifd* ifd : tsl::image_ifds(*file)) {
      const uint64_t w = tsl::find_u64(*ifd, 256, file->little_endian).value_or(0);
      const uint64_t h = tsl::find_u64(*ifd, 257, file->little_endian).value_or(0);
      if (w > MAX_PIXELS || h > MAX_PIXELS || w * h > MAX_PIXELS) return 0;
    }
  }
  if (auto image = tsl::read_tiff_image(bytes)) {
    if (image->samples.size() != image->width * image->height * 3) std::abort();
    if (image->bits_per_sample != 8 && image->bits_per_sample != 16) std::abort();
  }
  return 0;
}
