#pragma once
// The content of one disk-cache file: an ordered list of named, typed byte blobs, and its
// byte layout. The format has no version and no checksum; a damaged file is a miss.
//
// File layout, little-endian, no padding: "TSLC", u32 entry count, then per entry u16 name
// length L, L name bytes (UTF-8), u8 kind, u64 data length N, N data bytes.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tsl {

struct CacheEntry {
  std::string name;           // compared byte for byte
  uint8_t kind = 0;           // 1: 16-bit elements, 2: 4-byte elements, 3: one pair of f64
  std::vector<uint8_t> data;  // elements little-endian, packed
};

struct CacheRecord {
  std::vector<CacheEntry> entries;  // insertion order; names need not be unique

  // Each appends one entry (never replacing one of the same name). A name of 65536 bytes
  // or more does not fit the format and is an internal error.
  void put_u16s(std::string_view name, std::span<const uint16_t> values);
  void put_f32s(std::string_view name, std::span<const float> values);
  void put_f32s(std::string_view name, std::span<const uint32_t> values);  // same 4-byte kind
  void put_f64_pair(std::string_view name, double first, double second);

  // The first entry with the name cut into 2-, 4- or 8-byte little-endian elements, whatever
  // its kind; nothing when no entry has the name or its length is not a whole number of
  // elements. 4-byte elements written from u32 values read back with std::bit_cast.
  std::optional<std::vector<uint16_t>> get_u16s(std::string_view name) const;
  std::optional<std::vector<float>> get_f32s(std::string_view name) const;
  std::optional<std::vector<double>> get_f64s(std::string_view name) const;
};

// The file's bytes.
std::vector<uint8_t> encode_cache_record(const CacheRecord& record);

// The record in `bytes`, or nothing unless they are a whole, valid file (bytes after the
// last counted entry are ignored). Lengths are checked against the input before anything
// is allocated; an invalid file never yields a partial record.
std::optional<CacheRecord> parse_cache_record(std::span<const uint8_t> bytes);

}  // namespace tsl
