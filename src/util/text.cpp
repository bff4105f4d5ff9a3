#include "util/text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/error.h"

namespace tsl {

namespace {

bool ieq(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Shortest round-trip digits of a finite, non-zero |value| and the decimal exponent of the
// first digit: value = 0.d1d2d3... x 10^(exp10 + 1).
void shortest_digits(double value, std::string& digits, int& exp10) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
  std::string_view s(buf, static_cast<size_t>(r.ptr - buf));
  size_t e = s.find('e');
  digits.clear();
  for (size_t i = 0; i < e; ++i)
    if (s[i] != '.') digits.push_back(s[i]);
  exp10 = std::atoi(std::string(s.substr(e + 1)).c_str());
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
}


// One step of UTF-8 validation at `i`. A valid sequence gives its length; a broken one the
// length of its longest valid-looking prefix (1 to 3), each such piece being one replacement
// character; a sequence cut off by the end of the text is `incomplete` and covers the rest.
struct Utf8Step {
  size_t len = 1;
  bool ok = true;
  bool incomplete = false;
};

Utf8Step utf8_step(std::string_view s, size_t i) {
  const size_t n = s.size();
  auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = at(i);
  if (b0 < 0x80) return {1, true, false};
  // Sequence length from the first byte; 0 for bytes that never start one (C0, C1, F5-FF).
  const size_t len = (b0 >= 0xC2 && b0 <= 0xDF) ? 2 : (b0 >= 0xE0 && b0 <= 0xEF) ? 3 : (b0 >= 0xF0 && b0 <= 0xF4) ? 4 : 0;
  if (len == 0) return {1, false, false};
  if (i + 1 >= n) return {n - i, false, true};
  // The second byte's range excludes overlong forms, surrogates and code points past U+10FFFF.
  const unsigned char b1 = at(i + 1);
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 == 0xE0) lo = 0xA0;
  if (b0 == 0xED) hi = 0x9F;
  if (b0 == 0xF0) lo = 0x90;
  if (b0 == 0xF4) hi = 0x8F;
  if (b1 < lo || b1 > hi) return {1, false, false};
  for (size_t k = 2; k < len; ++k) {
    if (i + k >= n) return {n - i, false, true};
    if ((at(i + k) & 0xC0) != 0x80) return {k, false, false};
  }
  return {len, true, false};
}

}  // namespace

size_t decode_utf8(std::string_view s, size_t pos, char32_t& out) {
  auto b0 = static_cast<unsigned char>(s[pos]);
  if (b0 < 0x80) {
    out = b0;
    return 1;
  }
  size_t len;
  char32_t cp;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (pos + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    auto b = static_cast<unsigned char>(s[pos + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  static constexpr char32_t min_for_len[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < min_for_len[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  out = cp;
  return len;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::optional<double> parse_decimal(std::string_view text) {
  size_t p = 0;
  bool neg = false;
  if (p < text.size() && (text[p] == '+' || text[p] == '-')) {
    neg = text[p] == '-';
    ++p;
  }
  std::string_view rest = text.substr(p);
  if (ieq(rest, "inf") || ieq(rest, "infinity"))
    return neg ? -HUGE_VAL : HUGE_VAL;
  if (ieq(rest, "nan")) return neg ? -std::nan("") : std::nan("");
  size_t int_digits = 0, frac_digits = 0;
  size_t q = p;
  while (q < text.size() && is_digit(text[q])) ++q, ++int_digits;
  if (q < text.size() && text[q] == '.') {
    ++q;
    while (q < text.size() && is_digit(text[q])) ++q, ++frac_digits;
  }
  if (int_digits + frac_digits == 0) return std::nullopt;
  if (q < text.size() && (text[q] == 'e' || text[q] == 'E')) {
    ++q;
    if (q < text.size() && (text[q] == '+' || text[q] == '-')) ++q;
    size_t exp_digits = 0;
    while (q < text.size() && is_digit(text[q])) ++q, ++exp_digits;
    if (exp_digits == 0) return std::nullopt;
  }
  if (q != text.size()) return std::nullopt;
  std::string_view body = text.substr(p);
  double v = 0.0;
  auto r = std::from_chars(body.data(), body.data() + body.size(), v, std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range) {
    // from_chars leaves the value unset on overflow and underflow; strtod saturates them.
    v = std::strtod(std::string(body).c_str(), nullptr);
  } else if (r.ec != std::errc() || r.ptr != body.data() + body.size()) {
    return std::nullopt;
  }
  return neg ? -v : v;
}

std::string shortest_positional(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  std::string out;
  if (std::signbit(value)) out.push_back('-');
  if (value == 0.0) {
    out.push_back('0');
    return out;
  }
  std::string digits;
  int exp10 = 0;
  shortest_digits(value, digits, exp10);
  const int n = static_cast<int>(digits.size());
  if (exp10 < 0) {
    out += "0.";
    out.append(static_cast<size_t>(-exp10 - 1), '0');
    out += digits;
  } else if (exp10 + 1 >= n) {
    out += digits;
    out.append(static_cast<size_t>(exp10 + 1 - n), '0');
  } else {
    out += digits.substr(0, static_cast<size_t>(exp10 + 1));
    out.push_back('.');
    out += digits.substr(static_cast<size_t>(exp10 + 1));
  }
  return out;
}

std::string shortest_debug(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  const double mag = std::fabs(value);
  if (mag != 0.0 && (mag >= 1e16 || mag < 1e-4)) {
    std::string digits;
    int exp10 = 0;
    shortest_digits(value, digits, exp10);
    std::string out = std::signbit(value) ? "-" : "";
    out += digits.substr(0, 1);
    if (digits.size() > 1) {
      out.push_back('.');
      out += digits.substr(1);
    }
    out += "e" + std::to_string(exp10);
    return out;
  }
  std::string out = shortest_positional(value);
  if (out.find('.') == std::string::npos) out += ".0";
  return out;
}

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::string_view trim_unicode(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    char32_t c;
    size_t len = decode_utf8(text, begin, c);
    if (len == 0 || !is_unicode_space(c)) break;
    begin += len;
  }
  size_t end = text.size();
  while (end > begin) {
    // Step back to the start of the last code point.
    size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80 && end - start < 4)
      --start;
    char32_t c;
    size_t len = decode_utf8(text, start, c);
    if (len == 0 || start + len != end || !is_unicode_space(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string to_lower_ascii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string sanitize_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    Utf8Step step = utf8_step(bytes, i);
    if (step.ok)
      out.append(bytes.substr(i, step.len));
    else
      out += "\xEF\xBF\xBD";
    i += step.len;
  }
  return out;
}

std::optional<std::string> utf8_error(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    Utf8Step step = utf8_step(bytes, i);
    if (step.incomplete) return format("incomplete utf-8 byte sequence from index {}", i);
    if (!step.ok) return format("invalid utf-8 sequence of {} bytes from index {}", step.len, i);
    i += step.len;
  }
  return std::nullopt;
}

// --- formatter ------------------------------------------------------------------------

namespace {

struct Spec {
  char fill = ' ';
  char align = 0;  // '<', '>', '^' or 0 for the kind's default
  bool plus = false;
  bool zero = false;
  size_t width = 0;
  int precision = -1;
  bool debug = false;
};

Spec parse_spec(std::string_view s, std::string_view fmt) {
  Spec spec;
  size_t p = 0;
  auto is_align = [](char c) { return c == '<' || c == '>' || c == '^'; };
  if (s.size() >= 2 && is_align(s[1])) {
    spec.fill = s[0];
    spec.align = s[1];
    p = 2;
  } else if (!s.empty() && is_align(s[0])) {
    spec.align = s[0];
    p = 1;
  }
  if (p < s.size() && s[p] == '+') spec.plus = true, ++p;
  if (p < s.size() && s[p] == '0') spec.zero = true, ++p;
  while (p < s.size() && is_digit(s[p])) spec.width = spec.width * 10 + static_cast<size_t>(s[p++] - '0');
  if (p < s.size() && s[p] == '.') {
    ++p;
    spec.precision = 0;
    if (p >= s.size() || !is_digit(s[p])) internal_error("bad format spec in '" + std::string(fmt) + "'");
    while (p < s.size() && is_digit(s[p])) spec.precision = spec.precision * 10 + (s[p++] - '0');
  }
  if (p < s.size() && s[p] == '?') spec.debug = true, ++p;
  if (p != s.size()) internal_error("bad format spec in '" + std::string(fmt) + "'");
  return spec;
}

std::string fixed(double v, int precision) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  int n = std::snprintf(nullptr, 0, "%.*f", precision, v);
  std::string out(static_cast<size_t>(n), '\0');
  std::snprintf(out.data(), out.size() + 1, "%.*f", precision, v);
  return out;
}

// Bytes of the first `chars` code points, so a cut never splits a UTF-8 sequence.
size_t char_prefix_bytes(std::string_view s, size_t chars) {
  size_t seen = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (seen == chars) return i;
      ++seen;
    }
  }
  return s.size();
}

std::string render(const FmtArg& a, const Spec& spec, bool& numeric) {
  numeric = true;
  std::string body;
  switch (a.kind) {
    case FmtArg::Kind::Signed:
      body = std::to_string(a.i);
      break;
    case FmtArg::Kind::Unsigned:
      body = std::to_string(a.u);
      break;
    case FmtArg::Kind::Double:
      if (spec.precision >= 0) {
        body = fixed(a.d, spec.precision);
      } else if (spec.debug) {
        body = shortest_debug(a.d);
      } else {
        body = shortest_positional(a.d);
      }
      break;
    case FmtArg::Kind::Bool:
      numeric = false;
      body = a.b ? "true" : "false";
      break;
    case FmtArg::Kind::Char:
      numeric = false;
      body = std::string(1, a.c);
      break;
    case FmtArg::Kind::Text:
      numeric = false;
      body = std::string(a.s);
      if (spec.precision >= 0) body.resize(char_prefix_bytes(body, static_cast<size_t>(spec.precision)));
      break;
  }
  if (numeric && spec.plus && !body.empty() && body[0] != '-' && body != "NaN") body.insert(0, "+");
  return body;
}

size_t char_count(std::string_view s) {
  size_t n = 0;
  for (char c : s)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  return n;
}

}  // namespace

std::string format_args(std::string_view fmt, std::span<const FmtArg> args) {
  std::string out;
  out.reserve(fmt.size() + 16 * args.size());
  size_t next = 0;
  size_t p = 0;
  while (p < fmt.size()) {
    char c = fmt[p];
    if (c == '{') {
      if (p + 1 < fmt.size() && fmt[p + 1] == '{') {
        out.push_back('{');
        p += 2;
        continue;
      }
      size_t close = fmt.find('}', p);
      if (close == std::string_view::npos) internal_error("unclosed brace in '" + std::string(fmt) + "'");
      std::string_view inner = fmt.substr(p + 1, close - p - 1);
      Spec spec;
      if (!inner.empty()) {
        if (inner[0] != ':') internal_error("bad format field in '" + std::string(fmt) + "'");
        spec = parse_spec(inner.substr(1), fmt);
      }
      if (next >= args.size()) internal_error("too few arguments for '" + std::string(fmt) + "'");
      bool numeric = false;
      std::string body = render(args[next++], spec, numeric);
      size_t len = char_count(body);
      if (len < spec.width) {
        size_t pad = spec.width - len;
        if (spec.zero && numeric && !spec.align) {
          size_t at = (!body.empty() && (body[0] == '-' || body[0] == '+')) ? 1 : 0;
          body.insert(at, pad, '0');
        } else {
          char align = spec.align ? spec.align : (numeric ? '>' : '<');
          if (align == '<') {
            body.append(pad, spec.fill);
          } else if (align == '>') {
            body.insert(0, pad, spec.fill);
          } else {
            body.insert(0, pad / 2, spec.fill);
            body.append(pad - pad / 2, spec.fill);
          }
        }
      }
      out += body;
      p = close + 1;
    } else if (c == '}') {
      if (p + 1 < fmt.size() && fmt[p + 1] == '}') {
        out.push_back('}');
        p += 2;
        continue;
      }
      internal_error("unmatched brace in '" + std::string(fmt) + "'");
    } else {
      out.push_back(c);
      ++p;
    }
  }
  if (next != args.size()) internal_error("too many arguments for '" + std::string(fmt) + "'");
  return out;
}

}  // namespace tsl
