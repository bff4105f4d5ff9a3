#pragma once
// The one dynamic value of the system (option maps, reports, studio requests and replies, tie
// dumps) and its JSON text form.
//
// A JsonValue is Null, Bool, Number (a double; NaN and the infinities are ordinary values),
// String (UTF-8 bytes), Array or Object. An Object is an insertion-ordered list of (key, value)
// entries, not a map: lookup takes the first entry whose key matches byte for byte, duplicate
// keys may exist, and writers emit entries in list order. A value owns its whole subtree.
//
// Text: `json_parse` reads standard JSON plus the bare words NaN, Infinity and -Infinity, with
// some leniency in numbers and escapes; `json_to_string` writes the compact form (", " and ": ",
// no line breaks) and `json_to_string_pretty` the indented form (one space per level). Every
// number is written as the shortest text that reads back as the same double, positionally
// (no exponent), integral values without a fraction, negative zero as 0.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace tsl {

struct JsonValue;
using JsonArray = std::vector<JsonValue>;
using JsonMember = std::pair<std::string, JsonValue>;
using JsonObject = std::vector<JsonMember>;

// Nesting limit of the reader: deeper text is refused instead of exhausting the stack.
inline constexpr size_t JSON_MAX_DEPTH = 512;

struct JsonValue {
  enum class Kind : uint8_t { Null, Bool, Number, String, Array, Object };

  // Alternatives in Kind order.
  std::variant<std::monostate, bool, double, std::string, JsonArray, JsonObject> data;

  JsonValue() = default;
  JsonValue(std::nullptr_t) {}
  JsonValue(bool b) : data(b) {}
  JsonValue(double x) : data(x) {}
  // Integers become Numbers (64-bit ones rounded to the nearest double).
  template <typename I>
    requires(std::is_integral_v<I> && !std::is_same_v<I, bool> && !std::is_same_v<I, char>)
  JsonValue(I x) : data(static_cast<double>(x)) {}
  JsonValue(std::string s) : data(std::move(s)) {}
  JsonValue(std::string_view s) : data(std::string(s)) {}
  JsonValue(const char* s) : data(std::string(s)) {}
  JsonValue(JsonArray a) : data(std::move(a)) {}
  JsonValue(JsonObject o) : data(std::move(o)) {}

  static JsonValue empty_array() { return JsonValue(JsonArray{}); }
  static JsonValue empty_object() { return JsonValue(JsonObject{}); }
  // An Array of Strings / Numbers, in list order.
  static JsonValue from_strings(std::vector<std::string> items);
  static JsonValue from_f64s(std::vector<double> items);

  Kind kind() const { return static_cast<Kind>(data.index()); }
  bool is_null() const { return kind() == Kind::Null; }
  bool is_bool() const { return kind() == Kind::Bool; }
  bool is_number() const { return kind() == Kind::Number; }
  bool is_string() const { return kind() == Kind::String; }
  bool is_array() const { return kind() == Kind::Array; }
  bool is_object() const { return kind() == Kind::Object; }

  // Checked access: asking for the wrong kind is a caller's bug (InternalError).
  bool as_bool() const;
  double as_f64() const;
  const std::string& as_string() const;
  const JsonArray& as_array() const;
  JsonArray& as_array();
  const JsonObject& as_object() const;
  JsonObject& as_object();

  // The payload when the kind matches, else the fallback.
  bool bool_or(bool fallback) const;
  double f64_or(double fallback) const;
  std::string_view str_or(std::string_view fallback) const;

  // The value of the first entry with this key; the shared Null when this is not an Object
  // or has no such entry. Never inserts.
  const JsonValue& index(std::string_view key) const;
  const JsonValue& operator[](std::string_view key) const { return index(key); }
  // Element i of an Array; the shared Null when this is not an Array or i is out of range.
  const JsonValue& at(size_t i) const;
  // Number of elements of an Array or entries of an Object; 0 otherwise.
  size_t size() const;

  // On an Object: replaces the value of the first entry with this key in place, or appends a
  // new entry. On any other kind the value is dropped and nothing changes.
  void set(std::string_view key, JsonValue value);
  void set_array(std::string_view key, std::vector<JsonValue> items);
  void set_strings(std::string_view key, std::vector<std::string> items);
  void set_f64s(std::string_view key, std::vector<double> items);
  void set_opt_string(std::string_view key, std::optional<std::string> text);  // Null when absent
  void set_string(std::string_view key, std::string text);
  void set_str(std::string_view key, std::string_view text);
  void set_bool(std::string_view key, bool b);
  void set_f64(std::string_view key, double x);
  void set_u64(std::string_view key, uint64_t n);  // rounded to the nearest double
  void set_i32(std::string_view key, int32_t n);
  // On an Array: appends. On any other kind the value is dropped.
  void push(JsonValue value);

  // The elements of an Array as doubles by json_number, NaN where it gives none. Empty for
  // anything but an Array.
  std::vector<double> to_f64_vec() const;

  JsonValue clone() const { return *this; }
  // Strict structural equality: kinds must match, Numbers compare as doubles (NaN unequal to
  // itself, 0 equal to -0), Objects entry by entry in order.
  bool eq(const JsonValue& other) const;
  friend bool operator==(const JsonValue& a, const JsonValue& b) { return a.eq(b); }
};

// The shared immutable Null that failed lookups return.
const JsonValue& json_null();

// The loose number rule for documents a user may have edited (options, reports, tie files): a
// Number as it is, a Bool as 1 or 0, a String trimmed of Unicode white space and read as
// decimal text. Nothing for any other kind, a missing member (Null) or a String that is not a
// number.
std::optional<double> json_number(const JsonValue& value);

// json_number, or 0 when there is none.
double json_number_or_zero(const JsonValue& value);

// Reads one whole JSON text. Errors: "unexpected end", "unterminated string", "bad \u escape",
// "expected ':'", "expected ',' or ']'", "expected ',' or '}'", "object key must be a string",
// "bad token at {}", "trailing characters at {}", "nesting deeper than 512 levels at {}", and
// the escape and UTF-8 messages of json_parse_hex4 (positions are byte offsets).
std::expected<JsonValue, std::string> json_parse(std::string_view text);

// Reads one value starting at `pos` (after optional white space) and moves `pos` past it.
std::expected<JsonValue, std::string> json_parse_value(std::string_view text, size_t& pos);

// Reads the four hex characters of a \u escape at `pos` and moves `pos` past them.
std::expected<uint16_t, std::string> json_parse_hex4(std::string_view text, size_t& pos);

// Appends the text of `value` to `out`, compact or indented; `depth` is the nesting level of
// `value` itself (0 for a document).
void json_write(const JsonValue& value, std::string& out, bool pretty, size_t depth = 0);

// Appends one quoted string literal: quote, backslash, tab, line feed and carriage return
// escaped by letter, other bytes below 0x20 as \u00xx, everything else unchanged.
void json_write_string(std::string& out, std::string_view text);

// The text of a number as the writer puts it: "NaN", "Infinity", "-Infinity", integers below
// 1e15 in magnitude without a fraction, otherwise the shortest round-trip positional text.
std::string json_number_text(double x);

std::string json_to_string(const JsonValue& value);
std::string json_to_string_pretty(const JsonValue& value);

}  // namespace tsl
