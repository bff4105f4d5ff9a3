#include "img/tiff/tiff_codecs.h"

#include <algorithm>
#include <array>
#include <memory>

namespace tsl {
namespace {

constexpr uint32_t LZW_CLEAR = 256;
constexpr uint32_t LZW_END = 257;
constexpr uint32_t LZW_FIRST_FREE = 258;
// Codes are at most 12 bits, so entries past 4096 can never be named; the table keeps
// counting them (the count sets the code width) without storing them.
constexpr uint32_t LZW_STORED = 4096;

// Starting room for a chunk's output: enough for typical ratios without trusting the limit,
// which comes from the file.
size_t initial_room(size_t input, size_t limit) {
  return std::min(limit, std::max<size_t>(input * 4, 4096));
}

struct LzwTable {
  std::array<uint16_t, LZW_STORED> prefix{};
  std::array<uint16_t, LZW_STORED> length{};  // string length of each code
  std::array<uint8_t, LZW_STORED> last{};
  std::array<uint8_t, LZW_STORED> first{};

  LzwTable() {
    for (uint32_t c = 0; c < 256; ++c) {
      length[c] = 1;
      last[c] = first[c] = static_cast<uint8_t>(c);
    }
  }

  // Appends the string of `code` (a stored code) to out, cut at `limit`.
  void emit(uint32_t code, std::vector<uint8_t>& out, size_t limit) const {
    const size_t start = out.size();
    const size_t len = length[code];
    const size_t kept = std::min(len, limit - start);
    out.resize(start + kept);
    // The chain yields the string back to front; skip the tail beyond the limit.
    for (size_t pos = len; pos-- > 0;) {
      if (pos < kept) out[start + pos] = last[code];
      code = prefix[code];
    }
  }
};

}  // namespace

// One loop over the codes keeps the bit buffer and table size in locals.
std::expected<std::vector<uint8_t>, std::string> lzw_decode(std::span<const uint8_t> data, size_t limit) {
  std::vector<uint8_t> out;
  out.reserve(initial_room(data.size(), limit));
  static const LzwTable fresh;
  auto table = std::make_unique<LzwTable>(fresh);
  uint64_t size = LZW_FIRST_FREE;  // table size N, counting entries that are not stored
  unsigned width = 9;
  bool have_prev = false;
  uint32_t prev = 0;
  uint64_t bits = 0;
  unsigned nbits = 0;
  size_t pos = 0;
  while (out.size() < limit) {
    while (nbits < width && pos < data.size()) {
      bits = (bits << 8) | data[pos++];
      nbits += 8;
    }
    if (nbits < width) break;
    const uint32_t code = static_cast<uint32_t>(bits >> (nbits - width)) & ((1u << width) - 1);
    nbits -= width;
    if (code == LZW_CLEAR) {
      size = LZW_FIRST_FREE;
      width = 9;
      have_prev = false;
      continue;
    }
    if (code == LZW_END) break;
    if (!have_prev) {
      if (code >= size) return std::unexpected("bad LZW stream");
      table->emit(code, out, limit);
    } else {
      uint8_t head;
      if (code < size) {
        head = table->first[code];
      } else if (code == size) {
        head = table->first[prev];
      } else {
        return std::unexpected("bad LZW code");
      }
      if (size < LZW_STORED) {
        const auto n = static_cast<size_t>(size);
        table->prefix[n] = static_cast<uint16_t>(prev);
        table->length[n] = static_cast<uint16_t>(table->length[prev] + 1);
        table->last[n] = head;
        table->first[n] = table->first[prev];
      }
      ++size;
      table->emit(code, out, limit);
    }
    prev = code;
    have_prev = true;
    width = size < 511 ? 9 : size < 1023 ? 10 : size < 2047 ? 11 : 12;
  }
  return out;
}

std::vector<uint8_t> packbits_decode(std::span<const uint8_t> data, size_t limit) {
  std::vector<uint8_t> out;
  out.reserve(initial_room(data.size(), limit));
  size_t pos = 0;
  while (pos < data.size() && out.size() < limit) {
    const auto n = static_cast<int8_t>(data[pos++]);
    const size_t room = limit - out.size();
    if (n >= 0) {
      const size_t len = std::min<size_t>(static_cast<size_t>(n) + 1, data.size() - pos);
      out.insert(out.end(), data.begin() + pos, data.begin() + pos + std::min(len, room));
      pos += len;
    } else if (n != -128) {
      if (pos < data.size()) {
        out.insert(out.end(), std::min<size_t>(static_cast<size_t>(1 - n), room), data[pos]);
      }
      ++pos;
    }
  }
  return out;
}

}  // namespace tsl
