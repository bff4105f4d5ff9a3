#include "pipeline/json_read.h"

#include <cmath>
#include <limits>

#include "util/text.h"

namespace tsl {

std::optional<double> json_number(const JsonValue& value) {
  switch (value.kind()) {
    case JsonValue::Kind::Number: return value.as_f64();
    case JsonValue::Kind::Bool: return value.as_bool() ? 1.0 : 0.0;
    case JsonValue::Kind::String: return parse_decimal(trim_unicode(value.as_string()));
    default: return std::nullopt;
  }
}

double json_number_or_zero(const JsonValue& value) { return json_number(value).value_or(0.0); }

uint64_t saturating_index(double value) {
  if (!(value > 0.0)) return 0;
  // 2^64 is the first double past the range; every double below it converts exactly.
  if (value >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(value);
}

}  // namespace tsl
