// The JSON reader on arbitrary text: an error or a value, never a crash, and every value it
// reads writes out (compact and indented) as text that reads back to the same text.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "util/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto value = tsl::json_parse(text);
  if (!value) return 0;
  const std::string compact = tsl::json_to_string(*value);
  const auto again = tsl::json_parse(compact);
  if (!again || tsl::json_to_string(*again) != compact) std::abort();
  const auto pretty = tsl::json_parse(tsl::json_to_string_pretty(*value));
  if (!pretty || tsl::json_to_string(*pretty) != compact) std::abort();
  return 0;
}
