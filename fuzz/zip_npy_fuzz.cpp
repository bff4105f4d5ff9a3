// The zip reader and the npy reader on arbitrary bytes: an error or a result, never a crash
// or a read outside the input. An npy array that reads writes and reads back unchanged in shape.
//   cmake -B build-fuzz -G Ninja -DTSL_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-16 && ./build-fuzz/zip_npy_fuzz
#include <cstdint>
#include <cstdlib>
#include <span>

#include "util/npy.h"
#include "util/zipf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> in(data, size);
  if (auto members = tsl::read_zip_members(in))
    for (const auto& m : *members) (void)tsl::npy_read(m.data);
  if (auto array = tsl::npy_read(in)) {
    auto again = tsl::npy_read(tsl::npy_write(*array));
    if (!again || again->shape != array->shape || again->data.index() != array->data.index()) std::abort();
  }
  return 0;
}
