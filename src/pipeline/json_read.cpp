#include "pipeline/json_read.h"

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

}  // namespace tsl
