#include "config/parse_args.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "config/options.h"
#include "util/text.h"

namespace tsl {

namespace {

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// "--anything" (also "--" itself), or a two-byte "-x" whose x is not a digit; "-5", "-12.5",
// "-abc", "-" and "" are inputs.
bool is_option_word(std::string_view w) {
  if (w.starts_with("--")) return true;
  return w.size() == 2 && w[0] == '-' && !is_ascii_digit(w[1]);
}

// The text a number is checked against the choices with: truncated toward zero to a signed
// 64-bit integer, saturating, NaN as 0 (so 8, 8.0 and 8e0 all give "8").
std::string choice_text(double x) {
  if (std::isnan(x)) return "0";
  if (x >= 9223372036854775807.0) return std::to_string(INT64_MAX);
  if (x <= -9223372036854775808.0) return std::to_string(INT64_MIN);
  return std::to_string(static_cast<int64_t>(x));
}

std::string joined_choices(const OptionSpec& row) {
  std::string out;
  for (std::string_view c : row.choices) {
    if (!out.empty()) out += ", ";
    out += c;
  }
  return out;
}

bool is_choice(const OptionSpec& row, std::string_view text) {
  for (std::string_view c : row.choices)
    if (c == text) return true;
  return false;
}

// A single value for a Float, Int or Text row, checked against the row's choices.
std::expected<JsonValue, std::string> single_value(const OptionSpec& row, const std::string& value) {
  JsonValue result;
  std::string check;
  if (row.kind == OptionKind::Text) {
    result = JsonValue(value);
    check = value;
  } else {
    const bool is_int = row.kind == OptionKind::Int;
    std::optional<double> x = parse_decimal(trim_unicode(value));
    // x - trunc(x) is NaN for infinities and NaN, so only finite integers pass.
    if (!x || (is_int && *x - std::trunc(*x) != 0.0))
      return std::unexpected(format("argument {}: invalid {} value: '{}'", row.flag, is_int ? "int" : "float", value));
    result = JsonValue(*x);
    check = choice_text(*x);
  }
  if (!row.choices.empty() && !is_choice(row, check))
    return std::unexpected(
        format("argument {}: invalid choice: '{}' (choose from {})", row.flag, value, joined_choices(row)));
  return result;
}

}  // namespace

std::expected<JsonValue, std::string> parse_args(std::span<const std::string> words) {
  JsonValue map = default_option_map();
  std::vector<std::string> inputs;
  // Values of repeatable options, in the order of each option's first occurrence.
  std::vector<std::pair<const OptionSpec*, std::vector<std::string>>> appended;

  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (!is_option_word(word)) {
      inputs.push_back(word);
      continue;
    }
    std::string_view name = word;
    std::optional<std::string> inline_value;
    size_t eq = word.find('=');
    if (word.starts_with("--") && eq != std::string::npos) {
      name = std::string_view(word).substr(0, eq);
      inline_value = word.substr(eq + 1);
    }
    const OptionSpec* row = name == "-o" ? find_option_by_key("output") : find_option_by_flag(name);
    if (!row) return std::unexpected(format("unrecognized arguments: {}", word));

    switch (row->kind) {
      case OptionKind::Flag:
        map.set(row->key, true);  // an inline value is ignored, whatever it says
        break;
      case OptionKind::List: {
        if (words.size() - (i + 1) < row->nargs)
          return std::unexpected(format("argument {}: expected {} arguments", row->flag, row->nargs));
        JsonArray values;
        for (uint64_t k = 0; k < row->nargs; ++k) {
          const std::string& w = words[++i];
          std::optional<double> x = parse_decimal(w);
          if (!x) return std::unexpected(format("argument {}: invalid float value: '{}'", row->flag, w));
          values.emplace_back(*x);
        }
        map.set(row->key, JsonValue(std::move(values)));
        break;
      }
      default: {
        std::string value;
        if (inline_value) {
          value = std::move(*inline_value);
        } else {
          if (i + 1 >= words.size()) return std::unexpected(format("argument {}: expected one argument", row->flag));
          value = words[++i];
        }
        if (row->kind == OptionKind::Append) {
          auto it = std::find_if(appended.begin(), appended.end(), [&](const auto& e) { return e.first == row; });
          if (it == appended.end()) it = appended.insert(appended.end(), {row, {}});
          it->second.push_back(std::move(value));
          break;
        }
        auto v = single_value(*row, value);
        if (!v) return std::unexpected(v.error());
        map.set(row->key, std::move(*v));
        break;
      }
    }
  }

  for (auto& [row, values] : appended) map.set(row->key, JsonValue::from_strings(std::move(values)));
  if (inputs.empty()) return std::unexpected("the following arguments are required: input");
  map.set("input", JsonValue::from_strings(std::move(inputs)));
  return map;
}

}  // namespace tsl
