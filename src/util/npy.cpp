#include "util/npy.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <system_error>

#include "util/error.h"
#include "util/files.h"
#include "util/text.h"
#include "util/zipf.h"

namespace tsl {

namespace {

constexpr size_t HEADER_ALIGN = 64;

// --- small helpers -------------------------------------------------------------------------

// Code points of a text; invalid UTF-8 reads as U+FFFD.
std::u32string code_points(std::string_view text) {
  const std::string valid = sanitize_utf8(text);
  std::u32string out;
  for (size_t i = 0; i < valid.size();) {
    char32_t c = 0;
    const size_t len = decode_utf8(valid, i, c);
    if (len == 0) internal_error("sanitized text is not UTF-8");
    out += c;
    i += len;
  }
  return out;
}

// An unsigned decimal: optional '+', digits only, fitting in 64 bits.
std::optional<uint64_t> parse_count(std::string_view s) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return std::nullopt;
    const unsigned d = static_cast<unsigned>(ch - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

// The text after the first occurrence of `key`, up to its next occurrence.
std::optional<std::string_view> after_key(std::string_view header, std::string_view key) {
  const size_t at = header.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = header.substr(at + key.size());
  return rest.substr(0, rest.find(key));
}

std::vector<uint64_t> parse_shape(std::string_view header) {
  std::vector<uint64_t> shape;
  auto text = after_key(header, "'shape':");
  if (!text) return shape;
  const size_t open = text->find('(');
  if (open == std::string_view::npos) return shape;
  std::string_view inner = text->substr(open + 1);
  inner = inner.substr(0, inner.find('('));
  inner = inner.substr(0, inner.find(')'));
  // Pieces that are not plain counts ("2L", "-1", "") are skipped, as older writers'
  // long-integer suffixes and a trailing comma must not fail the read.
  while (true) {
    const size_t comma = inner.find(',');
    if (auto v = parse_count(trim_unicode(inner.substr(0, comma)))) shape.push_back(*v);
    if (comma == std::string_view::npos) break;
    inner.remove_prefix(comma + 1);
  }
  return shape;
}

template <typename T>
T load_elem(const uint8_t* p, bool big_endian) {
  using U = std::conditional_t<sizeof(T) == 8, uint64_t, std::conditional_t<sizeof(T) == 4, uint32_t, uint16_t>>;
  U u;
  std::memcpy(&u, p, sizeof u);
  if (big_endian) u = std::byteswap(u);
  return std::bit_cast<T>(u);
}

template <typename T, typename Out = T>
std::vector<Out> read_elems(const uint8_t* p, uint64_t n, bool big_endian) {
  std::vector<Out> v(static_cast<size_t>(n));
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<Out>(load_elem<T>(p + i * sizeof(T), big_endian));
  return v;
}

template <typename T>
void append_elems(std::vector<uint8_t>& out, const std::vector<T>& v) {
  const size_t at = out.size();
  out.resize(at + v.size() * sizeof(T));
  if (!v.empty()) std::memcpy(out.data() + at, v.data(), v.size() * sizeof(T));  // little-endian host
}

std::string shape_text(const std::vector<uint64_t>& shape) {
  if (shape.empty()) return "()";
  if (shape.size() == 1) return format("({},)", shape[0]);
  std::string s = "(";
  for (size_t k = 0; k < shape.size(); ++k) s += (k ? ", " : "") + std::to_string(shape[k]);
  return s + ")";
}

}  // namespace

std::expected<NpyArray, std::string> npy_read(std::span<const uint8_t> bytes) {
  const uint64_t size = bytes.size();
  if (size < 10 || std::memcmp(bytes.data() + 1, "NUMPY", 5) != 0) return std::unexpected("not an npy array");
  uint64_t header_len, header_at;
  if (bytes[6] == 1) {
    header_len = bytes[8] | bytes[9] << 8;
    header_at = 10;
  } else {
    if (size < 12) return std::unexpected("truncated npy header");
    header_len = bytes[8] | bytes[9] << 8 | bytes[10] << 16 | static_cast<uint64_t>(bytes[11]) << 24;
    header_at = 12;
  }
  if (header_len > size - header_at) return std::unexpected("truncated npy header");
  const std::string header =
      sanitize_utf8(std::string_view(reinterpret_cast<const char*>(bytes.data() + header_at), header_len));
  const uint64_t data_at = header_at + header_len;
  const uint64_t available = size - data_at;

  auto descr_field = after_key(header, "'descr':");
  if (!descr_field) return std::unexpected("npy descr");
  const size_t q1 = descr_field->find('\'');
  if (q1 == std::string_view::npos) return std::unexpected("npy descr");
  std::string_view descr = descr_field->substr(q1 + 1);
  descr = descr.substr(0, descr.find('\''));
  if (descr.empty()) return std::unexpected("npy descr");
  if (header.find("'fortran_order': True") != std::string::npos)
    return std::unexpected("fortran-order npy not supported");

  NpyArray a;
  a.shape = parse_shape(header);
  uint64_t n = 1;
  for (uint64_t d : a.shape) {
    if (d != 0 && n > UINT64_MAX / d) return std::unexpected("npy shape too large");
    n *= d;
  }
  const bool big = descr[0] == '>';
  const std::string_view code = descr.substr(1);

  // Every element must be present before anything is allocated; a zero-width text element
  // still counts one byte, so a shape cannot ask for more elements than the file has bytes.
  auto need = [&](uint64_t elem_bytes) -> std::optional<std::string> {
    elem_bytes = std::max<uint64_t>(elem_bytes, 1);
    if (n > UINT64_MAX / elem_bytes) return "npy shape too large";
    if (n * elem_bytes > available) return "truncated npy data";
    return std::nullopt;
  };
  const uint8_t* p = bytes.data() + data_at;
  if (code == "f8" || code == "i8" || code == "f4" || code == "i4" || code == "i2") {
    const uint64_t width = code[1] - '0';
    if (auto e = need(width)) return std::unexpected(*e);
    if (code == "f8") a.data = read_elems<double>(p, n, big);
    else if (code == "i8") a.data = read_elems<int64_t, double>(p, n, big);
    else if (code == "f4") a.data = read_elems<float>(p, n, big);
    else if (code == "i4") a.data = read_elems<int32_t>(p, n, big);
    else a.data = read_elems<int16_t>(p, n, big);
  } else if (code == "u1" || code == "b1" || code == "?") {
    if (auto e = need(1)) return std::unexpected(*e);
    a.data = std::vector<int32_t>(p, p + n);
  } else if (!code.empty() && code[0] == 'U') {
    const uint64_t w = parse_count(code.substr(1)).value_or(1);
    if (w > UINT64_MAX / 4) return std::unexpected("npy shape too large");
    if (auto e = need(w * 4)) return std::unexpected(*e);
    std::vector<std::string> strings(static_cast<size_t>(n));
    for (size_t i = 0; i < strings.size(); ++i) {
      const uint8_t* s = p + i * w * 4;
      for (uint64_t k = 0; k < w; ++k) {
        const uint32_t c = load_elem<uint32_t>(s + k * 4, big);
        if (c == 0) break;
        const bool scalar = c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
        append_utf8(strings[i], scalar ? c : U'?');
      }
    }
    a.data = std::move(strings);
  } else {
    return std::unexpected(format("npy dtype {} not supported", code));
  }
  return a;
}

std::vector<uint8_t> npy_write(const NpyArray& array) {
  uint64_t n = 1;
  for (uint64_t d : array.shape) n *= d;
  const size_t count = std::visit([](const auto& v) { return v.size(); }, array.data);
  if (count != n) internal_error(format("npy array of {} elements with shape {}", count, shape_text(array.shape)));

  std::string descr;
  std::vector<std::u32string> texts;
  size_t width = 1;
  switch (array.data.index()) {
    case 0: descr = "<f8"; break;
    case 1: descr = "<f4"; break;
    case 2: descr = "<i4"; break;
    case 3: descr = "<i2"; break;
    default:
      for (const std::string& s : std::get<4>(array.data)) {
        texts.push_back(code_points(s));
        width = std::max(width, texts.back().size());
      }
      descr = format("<U{}", width);
  }
  std::string header = "{'descr': '" + descr + "', 'fortran_order': False, 'shape': " + shape_text(array.shape) + ", }";
  // Pad so that the elements start on a 64-byte boundary after the 10-byte preamble.
  header.append((HEADER_ALIGN - (10 + header.size() + 1) % HEADER_ALIGN) % HEADER_ALIGN, ' ');
  header += '\n';
  if (header.size() > 0xFFFF) internal_error(format("npy header of {} bytes", header.size()));

  const uint8_t preamble[10] = {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0, static_cast<uint8_t>(header.size()),
                                static_cast<uint8_t>(header.size() >> 8)};
  std::vector<uint8_t> out(sizeof preamble + header.size());
  std::memcpy(out.data(), preamble, sizeof preamble);
  std::memcpy(out.data() + sizeof preamble, header.data(), header.size());
  switch (array.data.index()) {
    case 0: append_elems(out, std::get<0>(array.data)); break;
    case 1: append_elems(out, std::get<1>(array.data)); break;
    case 2: append_elems(out, std::get<2>(array.data)); break;
    case 3: append_elems(out, std::get<3>(array.data)); break;
    default: {
      std::vector<uint32_t> cells(texts.size() * width, 0);
      for (size_t i = 0; i < texts.size(); ++i) std::copy(texts[i].begin(), texts[i].end(), cells.begin() + i * width);
      append_elems(out, cells);
    }
  }
  return out;
}

std::vector<double> npy_to_f64(const NpyArray& array) {
  return std::visit(
      [](const auto& v) -> std::vector<double> {
        using T = typename std::decay_t<decltype(v)>::value_type;
        if constexpr (std::is_same_v<T, std::string>) return {};
        else return std::vector<double>(v.begin(), v.end());
      },
      array.data);
}

std::expected<std::vector<NamedArray>, std::string> read_npz(const std::filesystem::path& path, uint64_t max_bytes) {
  auto bytes = read_whole_file(path, max_bytes);
  if (!bytes) return std::unexpected(bytes.error());
  auto members = read_zip_members(*bytes, max_bytes);
  if (!members) return std::unexpected(members.error());
  std::vector<NamedArray> arrays;
  arrays.reserve(members->size());
  for (ZipMember& m : *members) {
    std::string name = std::move(m.name);
    while (name.ends_with(".npy")) name.resize(name.size() - 4);
    auto array = npy_read(m.data);
    if (!array) return std::unexpected(array.error());
    arrays.emplace_back(std::move(name), std::move(*array));
  }
  return arrays;
}

std::expected<void, std::string> write_npz(const std::filesystem::path& path, std::span<const NamedArray> arrays) {
  auto writer = ZipWriter::create(path);
  if (!writer) return std::unexpected(writer.error());
  for (const auto& [name, array] : arrays)
    if (auto r = writer->add(name + ".npy", npy_write(array), true); !r) return r;
  return writer->finish();
}

const NpyArray* npz_find(std::span<const NamedArray> arrays, std::string_view name) {
  for (const auto& [n, a] : arrays)
    if (n == name) return &a;
  return nullptr;
}

double npz_scalar(std::span<const NamedArray> arrays, std::string_view name) {
  const NpyArray* a = npz_find(arrays, name);
  if (!a) return std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> v = npy_to_f64(*a);
  return v.empty() ? std::numeric_limits<double>::quiet_NaN() : v[0];
}

}  // namespace tsl
