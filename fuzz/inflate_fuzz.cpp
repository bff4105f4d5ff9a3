// Inflate on arbitrary bytes must fail cleanly or stay within its bound; and any input must
// survive a deflate / inflate round trip at the level the first byte picks.
//   cmake -B build-fuzz -G Ninja -DTSL_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-16 && ./build-fuzz/inflate_fuzz
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "util/deflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> in(data, size);
  constexpr uint64_t bound = 1 << 20;
  auto out = tsl::inflate(in, bound);
  if (out && out->size() > bound) std::abort();
  if (size > 0) {
    const auto rest = in.subspan(1);
    const auto packed = tsl::deflate(rest, data[0] % 10);
    auto back = tsl::inflate(packed, rest.size());
    if (!back || !std::equal(back->begin(), back->end(), rest.begin(), rest.end())) std::abort();
  }
  return 0;
}
