#pragma once
// The option table: the one description of the build options. The parser, the usage text,
// the defaults behind the typed configuration, the studio's settings schema and the
// settings-to-arguments conversion all read it, so a row added here reaches all of them.
//
// An option map is a JsonValue Object with "input" (an Array of Strings) first and then one
// member per row, in table order, named by the row's key. Maps that do not come from the
// parser (a report's stored "config", studio settings) may lack members, reorder them or hold
// other types; readers look members up by key and tolerate that.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "util/json.h"

namespace tsl {

// How an option takes its value on the command line and what it holds in the option map.
enum class OptionKind : uint64_t {
  Float = 0,   // one value; Number
  Int = 1,     // one integral value; Number
  Text = 2,    // one value; String
  Flag = 3,    // no value; Bool
  List = 4,    // exactly nargs values; Array of Numbers
  Append = 5,  // one value per occurrence, repeatable; Array of Strings
};

struct OptionSpec {
  OptionKind kind = OptionKind::Text;
  uint64_t nargs = 0;                    // values of a List row; 0 otherwise
  std::string_view key;                  // snake_case member name
  std::string_view flag;                 // "--" + key with "-" for "_"
  JsonValue (*default_value)() = nullptr;  // a fresh value on every call
  std::span<const std::string_view> choices;  // compared as texts; empty = any value
  std::string_view help;                 // verbatim usage text; empty for a few rows
};

inline constexpr size_t OPTION_COUNT = 63;

extern const std::array<OptionSpec, OPTION_COUNT> OPTION_TABLE;

// The row with this key / flag (exact, case-sensitive; first match), or nullptr.
const OptionSpec* find_option_by_key(std::string_view key);
const OptionSpec* find_option_by_flag(std::string_view flag);

// Whether a value switches an option on: Null is false, a Bool itself, a Number unless it is 0
// (NaN is true), a String, Array or Object unless it is empty.
bool option_truthy(const JsonValue& value);

// The option map with every member at its default and an empty "input".
JsonValue default_option_map();

// The `workers` default: logical processors minus one, at least 1; 3 when the system reports
// no processor count.
JsonValue default_workers();
uint64_t server_worker_count();
uint64_t workers_for_processors(unsigned processors);

}  // namespace tsl
