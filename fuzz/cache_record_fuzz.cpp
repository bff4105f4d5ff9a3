// The disk cache's record parser on arbitrary bytes: nothing or a record, never a crash or a
// read outside the input; a record it accepts encodes to bytes that parse to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "cache/record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto record = tsl::parse_cache_record(std::span<const uint8_t>(data, size));
  if (!record) return 0;
  const auto bytes = tsl::encode_cache_record(*record);
  const auto again = tsl::parse_cache_record(bytes);
  if (!again || tsl::encode_cache_record(*again) != bytes) std::abort();
  for (const auto& e : record->entries) {
    (void)record->get_u16s(e.name);
    (void)record->get_f32s(e.name);
    (void)record->get_f64s(e.name);
  }
  return 0;
}
