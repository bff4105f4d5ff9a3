#include "cache/record.h"

#include <bit>
#include <cstring>
#include <limits>

#include "util/error.h"
#include "util/text.h"

namespace tsl {

namespace {

constexpr uint8_t MAGIC[4] = {'T', 'S', 'L', 'C'};
constexpr uint8_t KIND_U16 = 1, KIND_4BYTE = 2, KIND_F64_PAIR = 3;
// Name length, kind and data length: the smallest possible entry.
constexpr size_t ENTRY_HEADER = 2 + 1 + 8;

template <typename T>
void append_le(std::vector<uint8_t>& out, T value) {
  using U = std::make_unsigned_t<T>;
  const U u = static_cast<U>(value);
  for (size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<uint8_t>(u >> (8 * i)));
}

template <typename T>
T read_le(const uint8_t* p) {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(static_cast<T>(p[i]) << (8 * i));
  return value;
}

// Elements of width sizeof(U), stored as their little-endian bit patterns.
template <typename U, typename T>
std::vector<uint8_t> pack(std::span<const T> values) {
  static_assert(sizeof(U) == sizeof(T));
  std::vector<uint8_t> bytes;
  bytes.reserve(values.size() * sizeof(T));
  for (T v : values) append_le<U>(bytes, std::bit_cast<U>(v));
  return bytes;
}

template <typename U, typename T>
std::optional<std::vector<T>> unpack(const std::vector<CacheEntry>& entries, std::string_view name) {
  for (const CacheEntry& e : entries) {
    if (e.name != name) continue;
    if (e.data.size() % sizeof(T) != 0) return std::nullopt;
    std::vector<T> values(e.data.size() / sizeof(T));
    for (size_t i = 0; i < values.size(); ++i) values[i] = std::bit_cast<T>(read_le<U>(e.data.data() + i * sizeof(T)));
    return values;
  }
  return std::nullopt;
}

void append_entry(std::vector<CacheEntry>& entries, std::string_view name, uint8_t kind, std::vector<uint8_t> data) {
  if (name.size() > std::numeric_limits<uint16_t>::max())
    internal_error(format("cache entry name of {} bytes is too long", name.size()));
  entries.push_back({std::string(name), kind, std::move(data)});
}

}  // namespace

void CacheRecord::put_u16s(std::string_view name, std::span<const uint16_t> values) {
  append_entry(entries, name, KIND_U16, pack<uint16_t>(values));
}

void CacheRecord::put_f32s(std::string_view name, std::span<const float> values) {
  append_entry(entries, name, KIND_4BYTE, pack<uint32_t>(values));
}

void CacheRecord::put_f32s(std::string_view name, std::span<const uint32_t> values) {
  append_entry(entries, name, KIND_4BYTE, pack<uint32_t>(values));
}

void CacheRecord::put_f64_pair(std::string_view name, double first, double second) {
  const double pair[2] = {first, second};
  append_entry(entries, name, KIND_F64_PAIR, pack<uint64_t>(std::span<const double>(pair)));
}

std::optional<std::vector<uint16_t>> CacheRecord::get_u16s(std::string_view name) const {
  return unpack<uint16_t, uint16_t>(entries, name);
}

std::optional<std::vector<float>> CacheRecord::get_f32s(std::string_view name) const {
  return unpack<uint32_t, float>(entries, name);
}

std::optional<std::vector<double>> CacheRecord::get_f64s(std::string_view name) const {
  return unpack<uint64_t, double>(entries, name);
}

std::vector<uint8_t> encode_cache_record(const CacheRecord& record) {
  size_t total = 8;
  for (const CacheEntry& e : record.entries) total += ENTRY_HEADER + e.name.size() + e.data.size();
  std::vector<uint8_t> out;
  out.reserve(total);
  for (uint8_t b : MAGIC) out.push_back(b);
  append_le<uint32_t>(out, static_cast<uint32_t>(record.entries.size()));
  for (const CacheEntry& e : record.entries) {
    append_le<uint16_t>(out, static_cast<uint16_t>(e.name.size()));
    out.insert(out.end(), e.name.begin(), e.name.end());
    out.push_back(e.kind);
    append_le<uint64_t>(out, static_cast<uint64_t>(e.data.size()));
    out.insert(out.end(), e.data.begin(), e.data.end());
  }
  return out;
}

std::optional<CacheRecord> parse_cache_record(std::span<const uint8_t> bytes) {
  const size_t n = bytes.size();
  if (n < 8 || std::memcmp(bytes.data(), MAGIC, 4) != 0) return std::nullopt;
  const uint32_t count = read_le<uint32_t>(bytes.data() + 4);
  CacheRecord record;
  // The count comes from the file: reserve no more entries than the bytes could hold.
  record.entries.reserve(std::min<size_t>(count, (n - 8) / ENTRY_HEADER));
  size_t pos = 8;
  for (uint32_t i = 0; i < count; ++i) {
    if (n - pos < 2) return std::nullopt;
    const size_t name_len = read_le<uint16_t>(bytes.data() + pos);
    if (n - pos - 2 < name_len) return std::nullopt;
    const size_t q = pos + 2 + name_len;
    if (n - q < 9) return std::nullopt;
    const uint8_t kind = bytes[q];
    const uint64_t data_len = read_le<uint64_t>(bytes.data() + q + 1);
    // Compared with what is left of the input before anything is allocated for it.
    if (data_len > n - q - 9) return std::nullopt;
    const uint8_t* name = bytes.data() + pos + 2;
    const uint8_t* data = bytes.data() + q + 9;
    record.entries.push_back({sanitize_utf8(std::string_view(reinterpret_cast<const char*>(name), name_len)), kind,
                              std::vector<uint8_t>(data, data + data_len)});
    pos = q + 9 + static_cast<size_t>(data_len);
  }
  return record;
}

}  // namespace tsl
