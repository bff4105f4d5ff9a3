#pragma once
// Loose numbers of the page's request bodies: a number, a boolean (1 or 0) or a string holding
// a number, converted with saturation where a count or a counter is wanted.
#include <cstdint>
#include <optional>

#include "util/json.h"

namespace tsl {

// A Number as it is, a Bool as 1 or 0, a String trimmed and read as a decimal number; nothing
// for anything else, a missing member or a string that does not read.
std::optional<double> body_number(const JsonValue& value);

// Truncation toward zero into a signed 64-bit counter: NaN gives 0, values beyond the range
// the nearest end.
int64_t saturate_i64(double value);
// The same into an unsigned count: NaN and negative values give 0.
uint64_t saturate_u64(double value);

}  // namespace tsl
