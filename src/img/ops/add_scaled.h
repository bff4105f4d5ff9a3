#pragma once
// The inner loops of the separable passes: out[i] = out[i] + k * in[i], for one input row or
// for four at once. With First, the sum starts from 0 instead of out[i] (out need not be
// initialised): 0 + y is y for every y but -0, exactly as in a sum started from 0.
#include <cstddef>

namespace tsl::ops_detail {

namespace add_scaled_detail {
// A fixed trip count on non-aliasing pointers is what the compiler's cheap vectoriser at
// -O2 accepts; a plain loop over n stays scalar there.
template <bool First>
inline float start(const float* out, size_t i) {
  if constexpr (First) return 0.0f;
  return out[i];
}

template <bool First>
inline void block16(float* __restrict out, const float* __restrict in, float k) {
  for (int i = 0; i < 16; ++i) out[i] = start<First>(out, i) + k * in[i];
}

template <bool First>
inline void block16x4(float* __restrict out, const float* __restrict a, const float* __restrict b,
                      const float* __restrict c, const float* __restrict d, const float* k) {
  for (int i = 0; i < 16; ++i)
    out[i] = (((start<First>(out, i) + k[0] * a[i]) + k[1] * b[i]) + k[2] * c[i]) + k[3] * d[i];
}
}  // namespace add_scaled_detail

// out[i] = out[i] + k * in[i] for i < n; each element gets the same single multiply and add
// as the plain loop, so vectorising does not change a bit. `out` and `in` must not overlap.
template <bool First = false>
inline void add_scaled(float* __restrict out, const float* __restrict in, float k, size_t n) {
  using add_scaled_detail::start;
  size_t i = 0;
  for (; i + 16 <= n; i += 16) add_scaled_detail::block16<First>(out + i, in + i, k);
  for (; i < n; ++i) out[i] = start<First>(out, i) + k * in[i];
}

// Four add_scaled calls in one pass, with the same additions in the same order per element
// (so the same bits), but `out` loaded and stored once instead of four times.
template <bool First = false>
inline void add_scaled4(float* __restrict out, const float* const in[4], const float k[4], size_t n) {
  using add_scaled_detail::start;
  const float* __restrict a = in[0];
  const float* __restrict b = in[1];
  const float* __restrict c = in[2];
  const float* __restrict d = in[3];
  size_t i = 0;
  for (; i + 16 <= n; i += 16) add_scaled_detail::block16x4<First>(out + i, a + i, b + i, c + i, d + i, k);
  for (; i < n; ++i) out[i] = (((start<First>(out, i) + k[0] * a[i]) + k[1] * b[i]) + k[2] * c[i]) + k[3] * d[i];
}

}  // namespace tsl::ops_detail
