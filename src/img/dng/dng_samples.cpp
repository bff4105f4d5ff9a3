#include "img/dng/dng_samples.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace tsl {
namespace {

uint32_t read_uint(const uint8_t* p, unsigned bytes, bool little_endian) {
  uint32_t v = 0;
  if (little_endian)
    for (unsigned i = bytes; i-- > 0;) v = v << 8 | p[i];
  else
    for (unsigned i = 0; i < bytes; ++i) v = v << 8 | p[i];
  return v;
}

// Samples of `bits` bits, most significant bit first, each row of `row_len` samples starting
// on a byte boundary (the unused bits at a row's end are skipped); bytes past the data read
// as zero.
void unpack_bit_rows(std::span<const uint8_t> bytes, unsigned bits, size_t row_len, std::span<uint32_t> out) {
  const uint64_t mask = (uint64_t{1} << bits) - 1;
  size_t pos = 0;
  for (size_t start = 0; start < out.size(); start += row_len) {
    uint64_t acc = 0;
    unsigned have = 0;
    const size_t end = std::min(out.size(), start + row_len);
    for (size_t k = start; k < end; ++k) {
      while (have < bits) {
        acc = acc << 8 | (pos < bytes.size() ? bytes[pos] : 0);
        ++pos;
        have += 8;
      }
      out[k] = static_cast<uint32_t>((acc >> (have - bits)) & mask);
      have -= bits;
    }
  }
}

}  // namespace

float half_to_float(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h >> 15) << 31;
  const uint32_t e = (h >> 10) & 0x1F;
  const uint32_t m = h & 0x3FF;
  if (e == 0) {
    const float v = std::ldexp(static_cast<float>(m), -24);
    return sign ? -v : v;
  }
  if (e == 31) return std::bit_cast<float>(sign | 0x7F800000u | m << 13);
  return std::bit_cast<float>(sign | (e - 15 + 127) << 23 | m << 13);
}

float fp24_to_float(uint32_t bits) {
  const uint32_t e = (bits >> 16) & 0x7F;
  if (e == 0) return 0.0f;
  const uint32_t sign = ((bits >> 23) & 1) << 31;
  const uint32_t m = bits & 0xFFFF;
  return std::bit_cast<float>(sign | (e - 63 + 127) << 23 | m << 7);
}

std::vector<float> unpack_integer_samples(std::span<const uint8_t> bytes, const SampleLayout& layout) {
  const unsigned b = layout.bits;
  std::vector<uint32_t> s(layout.count, 0);
  if (b == 8 || b == 16 || b == 32) {
    const unsigned size = b / 8;
    const size_t have = std::min(layout.count, bytes.size() / size);
    for (size_t k = 0; k < have; ++k) s[k] = read_uint(bytes.data() + k * size, size, layout.little_endian);
  } else {
    unpack_bit_rows(bytes, b, std::max<size_t>(layout.tile_width * layout.spp, 1), s);
  }
  if (layout.predictor == 2) {
    const uint64_t mask = (uint64_t{1} << b) - 1;
    const size_t spp = layout.spp;
    const size_t row = std::max<size_t>(layout.tile_width * spp, 1);
    for (size_t start = 0; start < s.size(); start += row) {
      const size_t end = std::min(start + row, s.size());
      for (size_t k = start + spp; k < end; ++k) s[k] = static_cast<uint32_t>((uint64_t{s[k - spp]} + s[k]) & mask);
    }
  }
  return std::vector<float>(s.begin(), s.end());
}

void undo_float_predictor(std::span<uint8_t> bytes, size_t u, size_t spp, size_t tile_width, uint64_t predictor) {
  const size_t stride = predictor == 34894 ? 2 * spp : predictor == 34895 ? 4 * spp : spp;
  const size_t per_plane = spp * tile_width;
  const size_t row_bytes = u * per_plane;
  if (row_bytes == 0) return;
  std::vector<uint8_t> tmp(row_bytes);
  for (size_t start = 0; start + row_bytes <= bytes.size(); start += row_bytes) {
    uint8_t* row = bytes.data() + start;
    for (size_t j = stride; j < row_bytes; ++j) row[j] = static_cast<uint8_t>(row[j] + row[j - stride]);
    for (size_t p = 0; p < u; ++p)
      for (size_t k = 0; k < per_plane; ++k) tmp[k * u + (u - 1 - p)] = row[p * per_plane + k];
    std::copy(tmp.begin(), tmp.end(), row);
  }
}

std::vector<float> float_samples_from_bytes(std::span<const uint8_t> bytes, const SampleLayout& layout) {
  const size_t u = layout.bits / 8;
  const uint64_t pred = layout.predictor;
  std::vector<uint8_t> reordered;
  bool little_endian = layout.little_endian;
  if (pred == 3 || pred == 34894 || pred == 34895) {
    reordered.assign(bytes.begin(), bytes.end());
    undo_float_predictor(reordered, u, layout.spp, layout.tile_width, pred);
    bytes = reordered;
    little_endian = true;
  }
  std::vector<float> out(layout.count, 0.0f);
  const size_t have = std::min(layout.count, bytes.size() / u);
  for (size_t k = 0; k < have; ++k) {
    const uint32_t v = read_uint(bytes.data() + k * u, static_cast<unsigned>(u), little_endian);
    out[k] = u == 2 ? half_to_float(static_cast<uint16_t>(v)) : u == 3 ? fp24_to_float(v) : std::bit_cast<float>(v);
  }
  return out;
}

}  // namespace tsl
