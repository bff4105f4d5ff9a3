#pragma once
// IEEE 754 half precision, the storage precision of descriptors and thumbnails.
#include <cstdint>

namespace tsl {

// Rounds to nearest, ties to even, subnormals included; too large a magnitude gives
// infinity, NaN stays NaN (quiet, sign kept).
uint16_t float_to_binary16(float value);

float binary16_to_float(uint16_t bits);

// `value` rounded to the nearest binary16 and widened back (exact).
float round_to_binary16(float value);

}  // namespace tsl
