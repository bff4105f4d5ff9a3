#include "sift/binary16.h"

#include <bit>

#include "img/dng/dng_samples.h"

namespace tsl {

uint16_t float_to_binary16(float value) {
  const uint32_t f = std::bit_cast<uint32_t>(value);
  const uint16_t sign = static_cast<uint16_t>((f >> 16) & 0x8000u);
  const uint32_t abs = f & 0x7FFFFFFFu;
  if (abs >= 0x7F800000u) {  // infinity or NaN; NaN keeps its top payload bits and stays quiet
    if (abs == 0x7F800000u) return sign | 0x7C00u;
    return static_cast<uint16_t>(sign | 0x7E00u | ((abs >> 13) & 0x3FFu));
  }
  // 65520 = the halfway point between 65504 (the largest half) and 2^16 rounds up to infinity.
  if (abs >= 0x477FF000u) return sign | 0x7C00u;
  if (abs < 0x38800000u) {
    // Below 2^-14: a subnormal half, m x 2^-24. Aligning the implicit bit and shifting keeps
    // the discarded bits for the round-to-nearest-even decision.
    if (abs < 0x33000000u) return sign;  // below 2^-25, half the smallest subnormal: zero
    const uint32_t e = abs >> 23;
    const uint32_t m = (abs & 0x7FFFFFu) | 0x800000u;
    const uint32_t shift = 126u - e;  // 14..24 (e from 102 to 112)
    uint32_t half = m >> shift;
    const uint32_t rest = m & ((1u << shift) - 1u);
    const uint32_t mid = 1u << (shift - 1u);
    if (rest > mid || (rest == mid && (half & 1u))) ++half;
    return static_cast<uint16_t>(sign | half);
  }
  // Normal: rebias the exponent and round the 13 dropped mantissa bits; a carry out of the
  // mantissa correctly moves into the exponent (up to infinity, excluded above).
  uint32_t half = ((abs >> 13) - ((127u - 15u) << 10));
  const uint32_t rest = abs & 0x1FFFu;
  if (rest > 0x1000u || (rest == 0x1000u && (half & 1u))) ++half;
  return static_cast<uint16_t>(sign | half);
}

float binary16_to_float(uint16_t bits) { return half_to_float(bits); }

float round_to_binary16(float value) { return binary16_to_float(float_to_binary16(value)); }

}  // namespace tsl
