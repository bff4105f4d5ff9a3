#pragma once
// sRGB-encoded samples to linear light (0..65535), by two process-wide tables built on first
// use (IEC 61966-2-1 decoding, rounded halves away from zero) and read without locking after.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <span>

namespace tsl {

// 256 entries, indexed by an 8-bit sample: 0 -> 0, 128 -> 14146, 255 -> 65535.
const std::array<uint16_t, 256>& srgb_to_linear_8();

// 65536 entries, indexed by a 16-bit sample: 32768 -> 14028, 65535 -> 65535.
std::span<const uint16_t> srgb_to_linear_16();

// Linear light (0..1, clamped; NaN counts as 0) to the sRGB-encoded value, in 32-bit floats.
inline float srgb_encode(float x) {
  x = x > 0.0f ? std::min(x, 1.0f) : 0.0f;
  return x <= 0.0031308f ? 12.92f * x : 1.055f * std::pow(x, 0.41666666f) - 0.055f;
}

}  // namespace tsl
