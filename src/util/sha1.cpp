#include "util/sha1.h"

#include <bit>
#include <cstring>

namespace tsl {

namespace {

inline uint32_t load_be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void compress_block(std::array<uint32_t, 5>& h, const uint8_t* block) {
  uint32_t w[80];
  for (int t = 0; t < 16; ++t) w[t] = load_be32(block + 4 * t);
  for (int t = 16; t < 80; ++t) w[t] = std::rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  for (int t = 0; t < 80; ++t) {
    uint32_t f, k;
    if (t < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999u;
    } else if (t < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1u;
    } else if (t < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDCu;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6u;
    }
    uint32_t temp = std::rotl(a, 5) + f + e + k + w[t];
    e = d;
    d = c;
    c = std::rotl(b, 30);
    b = a;
    a = temp;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
}

}  // namespace

std::array<uint32_t, 5> sha1(std::span<const uint8_t> data) {
  std::array<uint32_t, 5> h = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
  const size_t whole = data.size() / 64 * 64;
  for (size_t i = 0; i < whole; i += 64) compress_block(h, data.data() + i);
  // The tail, the 0x80 marker and the message length in bits (big-endian) fill one or two
  // more blocks.
  uint8_t tail[128] = {};
  const size_t rest = data.size() - whole;
  if (rest != 0) std::memcpy(tail, data.data() + whole, rest);
  tail[rest] = 0x80;
  const size_t tail_len = rest < 56 ? 64 : 128;
  const uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
  for (int k = 0; k < 8; ++k) tail[tail_len - 1 - k] = static_cast<uint8_t>(bits >> (8 * k));
  for (size_t i = 0; i < tail_len; i += 64) compress_block(h, tail + i);
  return h;
}

}  // namespace tsl
