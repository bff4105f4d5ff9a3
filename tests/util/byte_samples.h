#pragma once
// Byte-buffer helpers shared by the compression and container tests.
#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

namespace tsl::test {

using Bytes = std::vector<uint8_t>;

inline Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

// Incompressible bytes, the same for the same seed.
inline Bytes random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& v : b) v = static_cast<uint8_t>(rng());
  return b;
}

// Little-endian fields inside a buffer.
inline uint16_t u16_at(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
inline uint32_t u32_at(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

}  // namespace tsl::test
