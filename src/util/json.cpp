#include "util/json.h"

#include <cmath>
#include <cstdio>

#include "util/error.h"
#include "util/text.h"

namespace tsl {

namespace {

const char* kind_name(JsonValue::Kind k) {
  static constexpr const char* NAMES[] = {"null", "bool", "number", "string", "array", "object"};
  return NAMES[static_cast<size_t>(k)];
}

template <typename T>
const T& checked(const JsonValue& v, JsonValue::Kind want) {
  if (v.kind() != want) internal_error(format("json value is {}, not {}", kind_name(v.kind()), kind_name(want)));
  return std::get<T>(v.data);
}

}  // namespace

// --- value ---------------------------------------------------------------------------------

std::optional<double> json_number(const JsonValue& value) {
  switch (value.kind()) {
    case JsonValue::Kind::Number: return value.as_f64();
    case JsonValue::Kind::Bool: return value.as_bool() ? 1.0 : 0.0;
    case JsonValue::Kind::String: return parse_decimal(trim_unicode(value.as_string()));
    default: return std::nullopt;
  }
}

double json_number_or_zero(const JsonValue& value) { return json_number(value).value_or(0.0); }

const JsonValue& json_null() {
  static const JsonValue null_value;
  return null_value;
}

JsonValue JsonValue::from_strings(std::vector<std::string> items) {
  JsonArray a;
  a.reserve(items.size());
  for (auto& s : items) a.emplace_back(std::move(s));
  return JsonValue(std::move(a));
}

JsonValue JsonValue::from_f64s(std::vector<double> items) {
  JsonArray a;
  a.reserve(items.size());
  for (double x : items) a.emplace_back(x);
  return JsonValue(std::move(a));
}

bool JsonValue::as_bool() const { return checked<bool>(*this, Kind::Bool); }
double JsonValue::as_f64() const { return checked<double>(*this, Kind::Number); }
const std::string& JsonValue::as_string() const { return checked<std::string>(*this, Kind::String); }
const JsonArray& JsonValue::as_array() const { return checked<JsonArray>(*this, Kind::Array); }
JsonArray& JsonValue::as_array() { return const_cast<JsonArray&>(checked<JsonArray>(*this, Kind::Array)); }
const JsonObject& JsonValue::as_object() const { return checked<JsonObject>(*this, Kind::Object); }
JsonObject& JsonValue::as_object() { return const_cast<JsonObject&>(checked<JsonObject>(*this, Kind::Object)); }

bool JsonValue::bool_or(bool fallback) const {
  const bool* b = std::get_if<bool>(&data);
  return b ? *b : fallback;
}

double JsonValue::f64_or(double fallback) const {
  const double* x = std::get_if<double>(&data);
  return x ? *x : fallback;
}

std::string_view JsonValue::str_or(std::string_view fallback) const {
  const std::string* s = std::get_if<std::string>(&data);
  return s ? std::string_view(*s) : fallback;
}

const JsonValue& JsonValue::index(std::string_view key) const {
  if (const JsonObject* o = std::get_if<JsonObject>(&data))
    for (const auto& [k, v] : *o)
      if (k == key) return v;
  return json_null();
}

const JsonValue& JsonValue::at(size_t i) const {
  if (const JsonArray* a = std::get_if<JsonArray>(&data))
    if (i < a->size()) return (*a)[i];
  return json_null();
}

size_t JsonValue::size() const {
  if (const JsonArray* a = std::get_if<JsonArray>(&data)) return a->size();
  if (const JsonObject* o = std::get_if<JsonObject>(&data)) return o->size();
  return 0;
}

void JsonValue::set(std::string_view key, JsonValue value) {
  JsonObject* o = std::get_if<JsonObject>(&data);
  if (!o) return;
  for (auto& [k, v] : *o) {
    if (k == key) {
      v = std::move(value);
      return;
    }
  }
  o->emplace_back(std::string(key), std::move(value));
}

void JsonValue::set_array(std::string_view key, std::vector<JsonValue> items) { set(key, JsonValue(std::move(items))); }
void JsonValue::set_strings(std::string_view key, std::vector<std::string> items) {
  set(key, from_strings(std::move(items)));
}
void JsonValue::set_f64s(std::string_view key, std::vector<double> items) { set(key, from_f64s(std::move(items))); }
void JsonValue::set_opt_string(std::string_view key, std::optional<std::string> text) {
  set(key, text ? JsonValue(std::move(*text)) : JsonValue());
}
void JsonValue::set_string(std::string_view key, std::string text) { set(key, JsonValue(std::move(text))); }
void JsonValue::set_str(std::string_view key, std::string_view text) { set(key, JsonValue(text)); }
void JsonValue::set_bool(std::string_view key, bool b) { set(key, JsonValue(b)); }
void JsonValue::set_f64(std::string_view key, double x) { set(key, JsonValue(x)); }
void JsonValue::set_u64(std::string_view key, uint64_t n) { set(key, JsonValue(static_cast<double>(n))); }
void JsonValue::set_i32(std::string_view key, int32_t n) { set(key, JsonValue(static_cast<double>(n))); }

void JsonValue::push(JsonValue value) {
  if (JsonArray* a = std::get_if<JsonArray>(&data)) a->push_back(std::move(value));
}

std::vector<double> JsonValue::to_f64_vec() const {
  std::vector<double> out;
  const JsonArray* a = std::get_if<JsonArray>(&data);
  if (!a) return out;
  out.reserve(a->size());
  for (const JsonValue& e : *a) out.push_back(json_number(e).value_or(std::nan("")));
  return out;
}

bool JsonValue::eq(const JsonValue& other) const {
  if (kind() != other.kind()) return false;
  switch (kind()) {
    case Kind::Null:
      return true;
    case Kind::Bool:
      return std::get<bool>(data) == std::get<bool>(other.data);
    case Kind::Number:
      return std::get<double>(data) == std::get<double>(other.data);
    case Kind::String:
      return std::get<std::string>(data) == std::get<std::string>(other.data);
    case Kind::Array: {
      const auto& a = std::get<JsonArray>(data);
      const auto& b = std::get<JsonArray>(other.data);
      if (a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i)
        if (!a[i].eq(b[i])) return false;
      return true;
    }
    case Kind::Object: {
      const auto& a = std::get<JsonObject>(data);
      const auto& b = std::get<JsonObject>(other.data);
      if (a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i)
        if (a[i].first != b[i].first || !a[i].second.eq(b[i].second)) return false;
      return true;
    }
  }
  return false;
}

// --- reader --------------------------------------------------------------------------------

namespace {

using ParseResult = std::expected<JsonValue, std::string>;

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void skip_space(std::string_view text, size_t& pos) {
  while (pos < text.size() && is_json_space(text[pos])) ++pos;
}

bool is_number_byte(char c) {
  return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

ParseResult parse_value(std::string_view text, size_t& pos, size_t depth);

// A bare word: only the word itself is compared, so "nullx" reads Null and stops at the x.
ParseResult take_word(size_t& pos, size_t length, JsonValue value) {
  pos += length;
  return value;
}

ParseResult parse_number(std::string_view text, size_t& pos) {
  size_t end = pos;
  while (end < text.size() && is_number_byte(text[end])) ++end;
  std::optional<double> x = parse_decimal(text.substr(pos, end - pos));
  if (!x) return std::unexpected(format("bad token at {}", pos));
  pos = end;
  return JsonValue(*x);
}

ParseResult parse_string(std::string_view text, size_t& pos) {
  std::string buf;
  for (;;) {
    if (pos >= text.size()) return std::unexpected("unterminated string");
    char c = text[pos++];
    if (c == '"') break;
    if (c != '\\') {
      buf.push_back(c);
      continue;
    }
    if (pos >= text.size()) return std::unexpected("unterminated string");
    char e = text[pos++];
    switch (e) {
      case 'b': buf.push_back('\b'); break;
      case 'f': buf.push_back('\f'); break;
      case 'n': buf.push_back('\n'); break;
      case 'r': buf.push_back('\r'); break;
      case 't': buf.push_back('\t'); break;
      case 'u': {
        auto unit = json_parse_hex4(text, pos);
        if (!unit) return std::unexpected(unit.error());
        char32_t cp = *unit;
        if (cp >= 0xD800 && cp <= 0xDBFF && text.size() - pos >= 6 && text[pos] == '\\' && text[pos + 1] == 'u') {
          pos += 2;
          auto low = json_parse_hex4(text, pos);
          if (!low) return std::unexpected(low.error());
          // The second unit is taken whatever it is; only its low ten bits count.
          cp = 0x10000 + (cp - 0xD800) * 1024 + (*low % 1024);
        }
        if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
        append_utf8(buf, cp);
        break;
      }
      default:
        buf.push_back(e);
        break;
    }
  }
  if (auto bad = utf8_error(buf)) return std::unexpected(*bad);
  return JsonValue(std::move(buf));
}

ParseResult parse_array(std::string_view text, size_t& pos, size_t depth) {
  JsonArray items;
  skip_space(text, pos);
  if (pos < text.size() && text[pos] == ']') {
    ++pos;
    return JsonValue(std::move(items));
  }
  for (;;) {
    auto v = parse_value(text, pos, depth + 1);
    if (!v) return v;
    items.push_back(std::move(*v));
    skip_space(text, pos);
    if (pos < text.size() && text[pos] == ',') {
      ++pos;
    } else if (pos < text.size() && text[pos] == ']') {
      ++pos;
      return JsonValue(std::move(items));
    } else {
      return std::unexpected("expected ',' or ']'");
    }
  }
}

ParseResult parse_object(std::string_view text, size_t& pos, size_t depth) {
  JsonObject members;
  skip_space(text, pos);
  if (pos < text.size() && text[pos] == '}') {
    ++pos;
    return JsonValue(std::move(members));
  }
  for (;;) {
    auto key = parse_value(text, pos, depth + 1);
    if (!key) return key;
    if (!key->is_string()) return std::unexpected("object key must be a string");
    skip_space(text, pos);
    if (pos >= text.size() || text[pos] != ':') return std::unexpected("expected ':'");
    ++pos;
    auto v = parse_value(text, pos, depth + 1);
    if (!v) return v;
    members.emplace_back(std::move(std::get<std::string>(key->data)), std::move(*v));
    skip_space(text, pos);
    if (pos < text.size() && text[pos] == ',') {
      ++pos;
    } else if (pos < text.size() && text[pos] == '}') {
      ++pos;
      return JsonValue(std::move(members));
    } else {
      return std::unexpected("expected ',' or '}'");
    }
  }
}

ParseResult parse_value(std::string_view text, size_t& pos, size_t depth) {
  skip_space(text, pos);
  if (pos >= text.size()) return std::unexpected("unexpected end");
  std::string_view rest = text.substr(pos);
  switch (text[pos]) {
    case '"':
      ++pos;
      return parse_string(text, pos);
    case '[':
    case '{':
      // Each level is one recursion; a bound keeps hostile input from exhausting the stack.
      if (depth >= JSON_MAX_DEPTH) return std::unexpected(format("nesting deeper than {} levels at {}", JSON_MAX_DEPTH, pos));
      ++pos;
      return rest[0] == '[' ? parse_array(text, pos, depth) : parse_object(text, pos, depth);
    case 't':
      if (rest.starts_with("true")) return take_word(pos, 4, JsonValue(true));
      break;
    case 'f':
      if (rest.starts_with("false")) return take_word(pos, 5, JsonValue(false));
      break;
    case 'n':
      if (rest.starts_with("null")) return take_word(pos, 4, JsonValue());
      break;
    case 'N':
      if (rest.starts_with("NaN")) return take_word(pos, 3, JsonValue(std::nan("")));
      break;
    case 'I':
      if (rest.starts_with("Infinity")) return take_word(pos, 8, JsonValue(HUGE_VAL));
      break;
    case '-':
      if (rest.starts_with("-Infinity")) return take_word(pos, 9, JsonValue(-HUGE_VAL));
      break;
    default:
      break;
  }
  return parse_number(text, pos);
}

}  // namespace

std::expected<uint16_t, std::string> json_parse_hex4(std::string_view text, size_t& pos) {
  if (pos > text.size() || text.size() - pos < 4) return std::unexpected("bad \\u escape");
  std::string_view window = text.substr(pos, 4);
  if (auto bad = utf8_error(window)) return std::unexpected(*bad);
  // Read like a standard unsigned conversion: hex digits of either case, one leading plus.
  std::string_view digits = window[0] == '+' ? window.substr(1) : window;
  uint32_t value = 0;
  for (char c : digits) {
    uint32_t d;
    if (c >= '0' && c <= '9') {
      d = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      d = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      d = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return std::unexpected("invalid digit found in string");
    }
    value = value * 16 + d;
  }
  pos += 4;
  return static_cast<uint16_t>(value);
}

std::expected<JsonValue, std::string> json_parse_value(std::string_view text, size_t& pos) {
  return parse_value(text, pos, 0);
}

std::expected<JsonValue, std::string> json_parse(std::string_view text) {
  size_t pos = 0;
  auto v = parse_value(text, pos, 0);
  if (!v) return v;
  skip_space(text, pos);
  if (pos != text.size()) return std::unexpected(format("trailing characters at {}", pos));
  return v;
}

// --- writer --------------------------------------------------------------------------------

std::string json_number_text(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0 ? "-Infinity" : "Infinity";
  if (x == std::trunc(x) && std::fabs(x) < 1e15) {
    if (x == 0.0) return "0";  // also negative zero
    return std::to_string(static_cast<int64_t>(x));
  }
  return shortest_positional(x);
}

void json_write_string(std::string& out, std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  out.push_back('"');
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out.push_back(HEX[(c >> 4) & 0xF]);
          out.push_back(HEX[c & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

void json_write(const JsonValue& value, std::string& out, bool pretty, size_t depth) {
  auto newline = [&](size_t indent) {
    if (pretty) {
      out.push_back('\n');
      out.append(indent, ' ');
    }
  };
  switch (value.kind()) {
    case JsonValue::Kind::Null:
      out += "null";
      return;
    case JsonValue::Kind::Bool:
      out += std::get<bool>(value.data) ? "true" : "false";
      return;
    case JsonValue::Kind::Number:
      out += json_number_text(std::get<double>(value.data));
      return;
    case JsonValue::Kind::String:
      json_write_string(out, std::get<std::string>(value.data));
      return;
    case JsonValue::Kind::Array: {
      const auto& a = std::get<JsonArray>(value.data);
      if (a.empty()) {
        out += "[]";
        return;
      }
      out.push_back('[');
      for (size_t i = 0; i < a.size(); ++i) {
        if (i > 0) out += pretty ? "," : ", ";
        newline(depth + 1);
        json_write(a[i], out, pretty, depth + 1);
      }
      newline(depth);
      out.push_back(']');
      return;
    }
    case JsonValue::Kind::Object: {
      const auto& o = std::get<JsonObject>(value.data);
      if (o.empty()) {
        out += "{}";
        return;
      }
      out.push_back('{');
      for (size_t i = 0; i < o.size(); ++i) {
        if (i > 0) out += pretty ? "," : ", ";
        newline(depth + 1);
        json_write_string(out, o[i].first);
        out += ": ";
        json_write(o[i].second, out, pretty, depth + 1);
      }
      newline(depth);
      out.push_back('}');
      return;
    }
  }
}

std::string json_to_string(const JsonValue& value) {
  std::string out;
  json_write(value, out, false, 0);
  return out;
}

std::string json_to_string_pretty(const JsonValue& value) {
  std::string out;
  json_write(value, out, true, 0);
  return out;
}

}  // namespace tsl
