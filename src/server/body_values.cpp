#include "server/body_values.h"

#include <cmath>
#include <limits>

#include "util/text.h"

namespace tsl {

std::optional<double> body_number(const JsonValue& value) {
  if (value.is_number()) return value.as_f64();
  if (value.is_bool()) return value.as_bool() ? 1.0 : 0.0;
  if (value.is_string()) return parse_decimal(trim_unicode(value.as_string()));
  return std::nullopt;
}

int64_t saturate_i64(double value) {
  if (std::isnan(value)) return 0;
  // 2^63 is exactly representable; everything at or above it saturates.
  if (value >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (value <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

uint64_t saturate_u64(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(value);
}

}  // namespace tsl
