#pragma once
// Lenient reading of numbers from JSON documents a user may have edited (reports, tie files):
// a Number as it is, a Bool as 1 or 0, a String trimmed and read as decimal text.
#include <optional>

#include "util/json.h"

namespace tsl {

// The value by the rule above; nothing for any other kind, a missing member (Null) or a String
// that is not a number.
std::optional<double> json_number(const JsonValue& value);

// json_number, or 0 when there is none.
double json_number_or_zero(const JsonValue& value);

}  // namespace tsl
