#include "config/settings_argv.h"

#include <cmath>
#include <cstdint>

#include "config/options.h"
#include "util/text.h"

namespace tsl {

std::string json_to_arg(const JsonValue& value) {
  switch (value.kind()) {
    case JsonValue::Kind::Bool:
      return value.as_bool() ? "True" : "False";
    case JsonValue::Kind::Number: {
      const double x = value.as_f64();
      if (std::fabs(x) < 1e15 && x - std::trunc(x) == 0.0) return std::to_string(static_cast<int64_t>(x));
      return shortest_positional(x);
    }
    case JsonValue::Kind::String:
      return value.as_string();
    default:
      return json_to_string(value);
  }
}

bool json_loose_eq(const JsonValue& a, const JsonValue& b) {
  if (a.is_bool() && b.is_number()) return (a.as_bool() ? 1.0 : 0.0) == b.as_f64();
  if (a.is_number() && b.is_bool()) return a.as_f64() == (b.as_bool() ? 1.0 : 0.0);
  if (a.is_number() && b.is_number()) return a.as_f64() == b.as_f64();
  if (a.is_array() && b.is_array()) {
    const JsonArray& x = a.as_array();
    const JsonArray& y = b.as_array();
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i)
      if (!json_loose_eq(x[i], y[i])) return false;
    return true;
  }
  return a.eq(b);
}

std::vector<std::string> settings_to_argv(const JsonValue& settings) {
  std::vector<std::string> words;
  const JsonValue& input = settings.index("input");
  if (input.is_array())
    for (const JsonValue& e : input.as_array())
      if (e.is_string()) words.push_back(e.as_string());
  if (!settings.is_object()) return words;

  for (const auto& [key, value] : settings.as_object()) {
    const OptionSpec* row = find_option_by_key(key);
    if (!row) continue;  // "input" and keys that name no option
    if (value.is_null() || (value.is_string() && value.as_string().empty())) continue;
    if (json_loose_eq(value, row->default_value())) continue;
    const std::string flag(row->flag);
    switch (row->kind) {
      case OptionKind::Flag:
        if (option_truthy(value)) words.push_back(flag);
        break;
      case OptionKind::List:
        words.push_back(flag);
        if (value.is_array())
          for (const JsonValue& e : value.as_array()) words.push_back(json_to_arg(e));
        break;
      case OptionKind::Append:
        if (value.is_array()) {
          for (const JsonValue& e : value.as_array()) {
            words.push_back(flag);
            words.push_back(json_to_arg(e));
          }
        }
        break;
      default:
        words.push_back(flag);
        words.push_back(json_to_arg(value));
        break;
    }
  }
  return words;
}

}  // namespace tsl
