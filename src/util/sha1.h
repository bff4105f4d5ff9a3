#pragma once
// SHA-1 (FIPS 180-4). The disk cache names its entries by it; it is not used for security.
#include <array>
#include <cstdint>
#include <span>

namespace tsl {

// The digest of `data` as its five 32-bit words H0..H4 in order (the usual 40-digit hex form
// is each word as 8 hex digits, most significant first).
std::array<uint32_t, 5> sha1(std::span<const uint8_t> data);

}  // namespace tsl
