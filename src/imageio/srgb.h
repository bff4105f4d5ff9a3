#pragma once
// sRGB-encoded samples to linear light (0..65535), by two process-wide tables built on first
// use (IEC 61966-2-1 decoding, rounded halves away from zero) and read without locking after.
#include <array>
#include <cstdint>
#include <span>

namespace tsl {

// 256 entries, indexed by an 8-bit sample: 0 -> 0, 128 -> 14146, 255 -> 65535.
const std::array<uint16_t, 256>& srgb_to_linear_8();

// 65536 entries, indexed by a 16-bit sample: 32768 -> 14028, 65535 -> 65535.
std::span<const uint16_t> srgb_to_linear_16();

}  // namespace tsl
