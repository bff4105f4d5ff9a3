#pragma once
// Number text in and out, Unicode trimming, and the formatter for the system's message
// templates. Every module formats its log lines and messages through `format`, so a
// template such as "  {:<34} {}" or "{:.3} m" is written exactly as it stands.
//
// Format specs follow the convention of the templates: "{}" or "{:[[fill]align][+][0][width][.prec][?]}".
// - doubles: "{}" is the shortest round-trip text in positional notation ("1", "0.1",
//   "1000000000000000000000"), NaN as "NaN", infinities as "inf" / "-inf"; ".N" gives N
//   fraction digits (ties to even on the exact binary value); "?" gives the debug form with
//   at least one fraction digit and exponent form at or above 1e16 or below 1e-4 ("1.0", "1e-5").
// - integers print in decimal; strings print as they are (".N" cuts to N characters).
// - numbers align right and strings left unless '<', '>' or '^' says otherwise.
// - "{{" and "}}" are literal braces.
// A template that does not match its arguments is a caller's bug: it throws InternalError.
#include <charconv>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace tsl {

// The strict decimal conversion: optional sign, digits with an optional point (digits on at
// least one side) and optional exponent, or inf / infinity / nan in any letter case. Nothing
// may precede or follow. Correctly rounded; overflow gives an infinity and underflow a zero
// of the same sign. Returns nothing when the text is not such a number.
std::optional<double> parse_decimal(std::string_view text);

// Shortest digits that read back as the same double, written positionally without exponent.
// NaN -> "NaN", infinities -> "inf" / "-inf"; negative zero -> "-0" (callers that want "0"
// handle it). Integral values print without a fraction.
std::string shortest_positional(double value);

// The debug form: shortest round-trip digits with at least one fraction digit ("1.0", "0.5"),
// exponent form when |v| >= 1e16 or 0 < |v| < 1e-4 ("1e16", "1e-5"); "NaN", "inf", "-inf".
std::string shortest_debug(double value);

// Decodes the UTF-8 sequence at byte `pos` (< text.size()) into `out`; returns its length, or
// 0 when it is not a valid sequence (overlong forms and surrogates included).
size_t decode_utf8(std::string_view text, size_t pos, char32_t& out);

// Appends the UTF-8 form of a Unicode scalar value.
void append_utf8(std::string& out, char32_t c);

// True for the code points with the Unicode White_Space property.
bool is_unicode_space(char32_t c);

// Trims Unicode white space (UTF-8) from both ends.
std::string_view trim_unicode(std::string_view text);

// ASCII lower-casing; bytes outside A-Z are unchanged, so UTF-8 stays valid.
std::string to_lower_ascii(std::string_view text);

// Replaces every invalid UTF-8 sequence by U+FFFD.
std::string sanitize_utf8(std::string_view bytes);

// Nothing when `bytes` is valid UTF-8, else the message for the first fault: "invalid utf-8
// sequence of {} bytes from index {}" (the length of the broken prefix, 1 to 3) or, when the
// text ends inside a sequence that was valid so far, "incomplete utf-8 byte sequence from
// index {}".
std::optional<std::string> utf8_error(std::string_view bytes);

// --- formatter ------------------------------------------------------------------------

struct FmtArg {
  enum class Kind { Signed, Unsigned, Double, Text, Bool, Char };
  Kind kind = Kind::Text;
  int64_t i = 0;
  uint64_t u = 0;
  double d = 0.0;
  std::string_view s;
  bool b = false;
  char c = 0;
};

template <typename T>
FmtArg make_fmt_arg(const T& v) {
  FmtArg a;
  using D = std::decay_t<T>;
  if constexpr (std::is_same_v<D, bool>) {
    a.kind = FmtArg::Kind::Bool;
    a.b = v;
  } else if constexpr (std::is_same_v<D, char>) {
    a.kind = FmtArg::Kind::Char;
    a.c = v;
  } else if constexpr (std::is_floating_point_v<D>) {
    a.kind = FmtArg::Kind::Double;
    a.d = static_cast<double>(v);
  } else if constexpr (std::is_integral_v<D> && std::is_signed_v<D>) {
    a.kind = FmtArg::Kind::Signed;
    a.i = static_cast<int64_t>(v);
  } else if constexpr (std::is_integral_v<D>) {
    a.kind = FmtArg::Kind::Unsigned;
    a.u = static_cast<uint64_t>(v);
  } else if constexpr (std::is_enum_v<D>) {
    a.kind = FmtArg::Kind::Signed;
    a.i = static_cast<int64_t>(v);
  } else {
    a.kind = FmtArg::Kind::Text;
    a.s = std::string_view(v);
  }
  return a;
}

std::string format_args(std::string_view fmt, std::span<const FmtArg> args);

template <typename... Args>
std::string format(std::string_view fmt, const Args&... args) {
  if constexpr (sizeof...(Args) == 0) {
    return format_args(fmt, {});
  } else {
    const FmtArg list[] = {make_fmt_arg(args)...};
    return format_args(fmt, list);
  }
}

}  // namespace tsl
