#pragma once
// The inner loop of the separable passes: out[i] = out[i] + k * in[i].
#include <cstddef>

namespace tsl::ops_detail {

namespace add_scaled_detail {
// A fixed trip count on non-aliasing pointers is what the compiler's cheap vectoriser at
// -O2 accepts; a plain loop over n stays scalar there.
inline void block16(float* __restrict out, const float* __restrict in, float k) {
  for (int i = 0; i < 16; ++i) out[i] = out[i] + k * in[i];
}
}  // namespace add_scaled_detail

// out[i] = out[i] + k * in[i] for i < n; each element gets the same single multiply and add
// as the plain loop, so vectorising does not change a bit. `out` and `in` must not overlap.
inline void add_scaled(float* __restrict out, const float* __restrict in, float k, size_t n) {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) add_scaled_detail::block16(out + i, in + i, k);
  for (; i < n; ++i) out[i] = out[i] + k * in[i];
}

}  // namespace tsl::ops_detail
