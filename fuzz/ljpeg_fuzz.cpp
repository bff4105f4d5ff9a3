// Feeds arbitrary bytes to the lossless JPEG tile decoder: no input may crash, read out of
// bounds or hit undefined behaviour, and what it returns must be the frame it describes,
// never more than the piece allows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "img/dng/ljpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A tile of up to 256 x 256 samples, as drones write them; the last byte varies the limit
  // so that frames just above and below it are both reached.
  const uint64_t limit = size == 0 ? 0 : uint64_t{1} << (8 + data[size - 1] % 9);
  const auto frame = tsl::decode_ljpeg(std::span(data, size), limit);
  if (!frame) return 0;
  const uint64_t n = uint64_t{frame->width} * frame->height * frame->components;
  if (n > limit || frame->samples.size() != n || frame->components == 0) std::abort();
  return 0;
}
