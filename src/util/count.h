#pragma once
// Counts taken from floating-point values that may be anything: a number read from a file, an
// extent divided by a cell size.
#include <cstdint>

namespace tsl {

// A non-negative count from a double: NaN and negative values give 0, values beyond the
// range the largest count, fractions are cut.
inline uint64_t to_count(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= 18446744073709551615.0) return UINT64_MAX;
  return static_cast<uint64_t>(value);
}

}  // namespace tsl
