#pragma once
// How convolution and sampling read outside an image.
#include <cstdint>

namespace tsl {

// Rule for a tap index outside 0..n-1 on an axis of length n.
enum class BorderMode : int32_t {
  Clamp = 0,   // the nearest edge sample
  Mirror = 1,  // reflection about the edge sample without repeating it: -1 -> 1, n -> n-2
  Zero = 2,    // the tap contributes nothing (its weight is not given to the other taps)
};

// The in-range index that `i` reads on an axis of length n >= 1, or -1 under Zero when `i`
// lies outside. Mirror reflects as often as needed, in constant time for any distance.
inline int64_t border_index(int64_t i, int64_t n, BorderMode mode) {
  if (i >= 0 && i < n) return i;
  switch (mode) {
    case BorderMode::Clamp:
      return i < 0 ? 0 : n - 1;
    case BorderMode::Mirror: {
      if (n == 1) return 0;
      // Reflections without repeating the edge repeat with period 2n - 2.
      const int64_t period = 2 * n - 2;
      int64_t m = i % period;
      if (m < 0) m += period;
      return m < n ? m : period - m;
    }
    case BorderMode::Zero:
      return -1;
  }
  return -1;
}

}  // namespace tsl
