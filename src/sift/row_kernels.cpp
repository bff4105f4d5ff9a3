#include "sift/row_kernels.h"

#include <cmath>
#include <cstring>

#include "platform/cpu.h"
#include "sift/descriptor.h"

// Vectors pass between the helpers below by value; every helper is inlined into the kernel
// that uses it, so the calling convention for 32-byte vectors never applies.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tsl {

namespace {

#define TSL_INLINE [[gnu::always_inline]] inline

using F32x8 = float __attribute__((vector_size(32)));
using I32x8 = int32_t __attribute__((vector_size(32)));
using U32x8 = uint32_t __attribute__((vector_size(32)));
constexpr size_t LANES = 8;
// Orientation histogram bins per degree: 36 bins over 360 degrees.
constexpr float ORI_BINS_PER_DEGREE = 0.1f;
// Exponent factor of the descriptor's gaussian window: -1 / (2 (DESC_WIDTH / 2)^2) with
// DESC_WIDTH = 4 cells, so exp(-d^2 / 8), d in cells.
constexpr float DESC_WEIGHT = -0.125f;

TSL_INLINE F32x8 load8(const float* p) {
  F32x8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

TSL_INLINE void store8(float* p, const F32x8& v) { std::memcpy(p, &v, sizeof v); }

TSL_INLINE F32x8 splat(float v) { return F32x8{} + v; }

// std::max and std::min lane by lane: (a < b) ? b : a and (b < a) ? b : a.
TSL_INLINE F32x8 vmax(const F32x8& a, const F32x8& b) { return a < b ? b : a; }
TSL_INLINE F32x8 vmin(const F32x8& a, const F32x8& b) { return b < a ? b : a; }

// Lane k of a comparison's result (all ones or zero) as bit k.
TSL_INLINE unsigned lane_bits(const I32x8& m) {
  unsigned bits = 0;
  for (size_t k = 0; k < LANES; ++k) bits |= (m[k] != 0 ? 1u : 0u) << k;
  return bits;
}

// Correctly rounded square roots, as std::sqrt gives lane by lane (of non-negative values,
// so there is no error to report): two 4-lane roots, which both roads have.
TSL_INLINE F32x8 vsqrt(const F32x8& v) {
#if defined(__x86_64__) && defined(__GNUC__)
  using F32x4 = float __attribute__((vector_size(16)));
  const F32x4 lo = {v[0], v[1], v[2], v[3]}, hi = {v[4], v[5], v[6], v[7]};
  const F32x4 a = __builtin_ia32_sqrtps(lo), b = __builtin_ia32_sqrtps(hi);
  return F32x8{a[0], a[1], a[2], a[3], b[0], b[1], b[2], b[3]};
#else
  F32x8 r;
  for (size_t k = 0; k < LANES; ++k) r[k] = std::sqrt(v[k]);
  return r;
#endif
}

// atan2_deg of descriptor.cpp, lane by lane, its branches made selections of the same values.
TSL_INLINE F32x8 atan2_deg8(const F32x8& y, const F32x8& x) {
  const U32x8 abs_mask = U32x8{} + 0x7fffffffu;
  const F32x8 ax = reinterpret_cast<F32x8>(reinterpret_cast<U32x8>(x) & abs_mask);
  const F32x8 ay = reinterpret_cast<F32x8>(reinterpret_cast<U32x8>(y) & abs_mask);
  const F32x8 hi = vmax(ax, ay), lo = vmin(ax, ay);
  const F32x8 zero{};
  const F32x8 a = hi > zero ? lo / hi : zero;
  const I32x8 big = a > splat(0.41421356f);
  const F32x8 z = big ? (a - 1.0f) / (a + 1.0f) : a;
  const F32x8 z2 = z * z;
  F32x8 r = (((splat(8.05374449538e-2f) * z2 - 1.38776856032e-1f) * z2 + 1.99777106478e-1f) * z2 - 3.33329491539e-1f) *
                z2 * z + z;
  r = big ? r + 0.78539816f : r;
  r = ay > ax ? 1.57079633f - r : r;
  r = x < zero ? 3.14159265f - r : r;
  r = y < zero ? -r : r;
  return r * 57.2957795f;
}

// The kernels' bodies, compiled once per road.
template <bool Avx2>
struct Body {
  TSL_INLINE static void difference(const float* hi, const float* lo, float* out, size_t n) {
    size_t x = 0;
    for (; x + LANES <= n; x += LANES) store8(out + x, load8(hi + x) - load8(lo + x));
    for (; x < n; ++x) out[x] = hi[x] - lo[x];
  }

  TSL_INLINE static void extremes3(const float* d, float* hmax, float* hmin, size_t n) {
    if (n < 3) return;
    size_t x = 1;
    for (; x + LANES <= n - 1; x += LANES) {
      const F32x8 l = load8(d + x - 1), c = load8(d + x), r = load8(d + x + 1);
      store8(hmax + x, vmax(vmax(l, c), r));
      store8(hmin + x, vmin(vmin(l, c), r));
    }
    for (; x < n - 1; ++x) {
      hmax[x] = std::max(std::max(d[x - 1], d[x]), d[x + 1]);
      hmin[x] = std::min(std::min(d[x - 1], d[x]), d[x + 1]);
    }
  }

  // The block's largest value including v itself: v reaching it means no neighbour exceeds
  // v, which is the test (equal neighbours do not disqualify).
  TSL_INLINE static size_t extrema(const float* cur, const float* const* hmax, const float* const* hmin, size_t x0,
                                   size_t x1, uint32_t* out) {
    size_t count = 0;
    auto one = [&](size_t x) {
      const float v = cur[x];
      float m = hmax[0][x], s = hmin[0][x];
      for (size_t k = 1; k < 9; ++k) {
        m = std::max(m, hmax[k][x]);
        s = std::min(s, hmin[k][x]);
      }
      if ((v > 0.0f && v >= m) || (v < 0.0f && v <= s)) out[count++] = static_cast<uint32_t>(x);
    };
    size_t x = x0;
    const F32x8 zero{};
    for (; x + LANES <= x1; x += LANES) {
      const F32x8 v = load8(cur + x);
      F32x8 m = load8(hmax[0] + x), s = load8(hmin[0] + x);
      for (size_t k = 1; k < 9; ++k) {
        m = vmax(m, load8(hmax[k] + x));
        s = vmin(s, load8(hmin[k] + x));
      }
      const I32x8 hit = ((v > zero) & (v >= m)) | ((v < zero) & (v <= s));
      for (unsigned bits = lane_bits(hit); bits != 0; bits &= bits - 1)
        out[count++] = static_cast<uint32_t>(x + static_cast<size_t>(__builtin_ctz(bits)));
    }
    for (; x < x1; ++x) one(x);
    return count;
  }

  TSL_INLINE static void gradient_bins(const float* row, ptrdiff_t stride, size_t n, int32_t* bin, float* mag) {
    auto one = [&](size_t t) {
      const float* p = row + t;
      const float dx = p[1] - p[-1];
      const float dy = p[-stride] - p[stride];
      float dir = atan2_deg(dy, dx);
      if (dir < 0.0f) dir += 360.0f;
      // dir x 0.1 lies in [0, 36]: half away from zero is the truncation plus one from .5 on.
      const float v = dir * ORI_BINS_PER_DEGREE;
      int32_t b = static_cast<int32_t>(v);
      if (v - static_cast<float>(b) >= 0.5f) ++b;
      if (b >= 36) b -= 36;
      bin[t] = b;
      mag[t] = std::sqrt(dx * dx + dy * dy);
    };
    if (n < LANES) {
      for (size_t t = 0; t < n; ++t) one(t);
      return;
    }
    const F32x8 zero{};
    // A short tail is taken as the last full vector: the lanes it repeats get the same values.
    for (size_t t = 0;; t += LANES) {
      if (t + LANES > n) t = n - LANES;
      const float* p = row + t;
      const F32x8 dx = load8(p + 1) - load8(p - 1);
      const F32x8 dy = load8(p - stride) - load8(p + stride);
      F32x8 dir = atan2_deg8(dy, dx);
      dir = dir < zero ? dir + 360.0f : dir;
      const F32x8 v = dir * ORI_BINS_PER_DEGREE;
      I32x8 b = __builtin_convertvector(v, I32x8);
      b = v - __builtin_convertvector(b, F32x8) >= splat(0.5f) ? b + 1 : b;
      b = b >= 36 ? b - 36 : b;
      std::memcpy(bin + t, &b, sizeof b);
      store8(mag + t, vsqrt(dx * dx + dy * dy));
      if (t + LANES == n) break;
    }
  }

  TSL_INLINE static void descriptor_samples(const float* row, ptrdiff_t stride, int64_t j0, size_t n, float cos_t,
                                            float sin_t, float i_cos, float i_sin, const DescriptorSampleRow& out) {
    auto one = [&](size_t t) {
      const float j = static_cast<float>(j0 + static_cast<int64_t>(t));
      const float c_rot = j * cos_t - i_sin, r_rot = j * sin_t + i_cos;
      const float rbin = r_rot + 1.5f, cbin = c_rot + 1.5f;
      out.keep[t] = rbin > -1.0f && rbin < 4.0f && cbin > -1.0f && cbin < 4.0f;
      out.rbin[t] = rbin;
      out.cbin[t] = cbin;
      out.arg[t] = (c_rot * c_rot + r_rot * r_rot) * DESC_WEIGHT;
      const float* p = row + t;
      const float dx = p[1] - p[-1];
      const float dy = p[-stride] - p[stride];
      float ori = atan2_deg(dy, dx);
      if (ori < 0.0f) ori += 360.0f;
      out.ori[t] = ori;
      out.mag[t] = std::sqrt(dx * dx + dy * dy);
    };
    if (n < LANES) {
      for (size_t t = 0; t < n; ++t) one(t);
      return;
    }
    const F32x8 zero{};
    const F32x8 steps = {0.0f, 1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.0f};
    for (size_t t = 0;; t += LANES) {
      if (t + LANES > n) t = n - LANES;  // the tail, as in gradient_bins
      // Whole numbers well below 2^24: the float sums are exact, as each lane's own conversion.
      const F32x8 j = splat(static_cast<float>(j0 + static_cast<int64_t>(t))) + steps;
      const F32x8 c_rot = j * cos_t - i_sin, r_rot = j * sin_t + i_cos;
      const F32x8 rbin = r_rot + 1.5f, cbin = c_rot + 1.5f;
      const I32x8 keep = (rbin > -1.0f) & (rbin < 4.0f) & (cbin > -1.0f) & (cbin < 4.0f);
      const I32x8 one_or_zero = keep & 1;
      std::memcpy(out.keep + t, &one_or_zero, sizeof one_or_zero);
      store8(out.rbin + t, rbin);
      store8(out.cbin + t, cbin);
      store8(out.arg + t, (c_rot * c_rot + r_rot * r_rot) * DESC_WEIGHT);
      const float* p = row + t;
      const F32x8 dx = load8(p + 1) - load8(p - 1);
      const F32x8 dy = load8(p - stride) - load8(p + stride);
      F32x8 ori = atan2_deg8(dy, dx);
      ori = ori < zero ? ori + 360.0f : ori;
      store8(out.ori + t, ori);
      store8(out.mag + t, vsqrt(dx * dx + dy * dy));
      if (t + LANES == n) break;
    }
  }

  // Four vectors of outputs at a time, so that four sums are in flight per tap.
  TSL_INLINE static void blur_h(const float* pad, const float* k, size_t len, float* out, size_t n) {
    const F32x8 zero{};
    size_t x = 0;
    for (; x + 4 * LANES <= n; x += 4 * LANES) {
      const float* p = pad + x;
      F32x8 a0 = zero + k[0] * load8(p), a1 = zero + k[0] * load8(p + 8), a2 = zero + k[0] * load8(p + 16),
            a3 = zero + k[0] * load8(p + 24);
      for (size_t i = 1; i < len; ++i) {
        const F32x8 ki = splat(k[i]);
        a0 = a0 + ki * load8(p + i);
        a1 = a1 + ki * load8(p + i + 8);
        a2 = a2 + ki * load8(p + i + 16);
        a3 = a3 + ki * load8(p + i + 24);
      }
      store8(out + x, a0);
      store8(out + x + 8, a1);
      store8(out + x + 16, a2);
      store8(out + x + 24, a3);
    }
    for (; x + LANES <= n; x += LANES) {
      F32x8 a = zero + k[0] * load8(pad + x);
      for (size_t i = 1; i < len; ++i) a = a + k[i] * load8(pad + x + i);
      store8(out + x, a);
    }
    for (; x < n; ++x) {
      float a = 0.0f + k[0] * pad[x];
      for (size_t i = 1; i < len; ++i) a = a + k[i] * pad[x + i];
      out[x] = a;
    }
  }

  TSL_INLINE static void blur_v(const float* const* rows, const float* k, size_t len, float* out, size_t n) {
    const F32x8 zero{};
    size_t x = 0;
    for (; x + 4 * LANES <= n; x += 4 * LANES) {
      const float* r = rows[0] + x;
      F32x8 a0 = zero + k[0] * load8(r), a1 = zero + k[0] * load8(r + 8), a2 = zero + k[0] * load8(r + 16),
            a3 = zero + k[0] * load8(r + 24);
      for (size_t j = 1; j < len; ++j) {
        const F32x8 kj = splat(k[j]);
        r = rows[j] + x;
        a0 = a0 + kj * load8(r);
        a1 = a1 + kj * load8(r + 8);
        a2 = a2 + kj * load8(r + 16);
        a3 = a3 + kj * load8(r + 24);
      }
      store8(out + x, a0);
      store8(out + x + 8, a1);
      store8(out + x + 16, a2);
      store8(out + x + 24, a3);
    }
    for (; x + LANES <= n; x += LANES) {
      F32x8 a = zero + k[0] * load8(rows[0] + x);
      for (size_t j = 1; j < len; ++j) a = a + k[j] * load8(rows[j] + x);
      store8(out + x, a);
    }
    for (; x < n; ++x) {
      float a = 0.0f + k[0] * rows[0][x];
      for (size_t j = 1; j < len; ++j) a = a + k[j] * rows[j][x];
      out[x] = a;
    }
  }
};

void difference_plain(const float* hi, const float* lo, float* out, size_t n) { Body<false>::difference(hi, lo, out, n); }
void extremes3_plain(const float* d, float* hmax, float* hmin, size_t n) { Body<false>::extremes3(d, hmax, hmin, n); }
size_t extrema_plain(const float* cur, const float* const* hmax, const float* const* hmin, size_t x0, size_t x1,
                     uint32_t* out) {
  return Body<false>::extrema(cur, hmax, hmin, x0, x1, out);
}
void gradient_bins_plain(const float* row, ptrdiff_t stride, size_t n, int32_t* bin, float* mag) {
  Body<false>::gradient_bins(row, stride, n, bin, mag);
}

void descriptor_samples_plain(const float* row, ptrdiff_t stride, int64_t j0, size_t n, float cos_t, float sin_t,
                              float i_cos, float i_sin, const DescriptorSampleRow& out) {
  Body<false>::descriptor_samples(row, stride, j0, n, cos_t, sin_t, i_cos, i_sin, out);
}

void blur_h_plain(const float* pad, const float* k, size_t len, float* out, size_t n) {
  Body<false>::blur_h(pad, k, len, out, n);
}
void blur_v_plain(const float* const* rows, const float* k, size_t len, float* out, size_t n) {
  Body<false>::blur_v(rows, k, len, out, n);
}

constexpr SiftRowKernels PLAIN = {difference_plain,         extremes3_plain, extrema_plain, gradient_bins_plain,
                                  descriptor_samples_plain, blur_h_plain,    blur_v_plain};

#if defined(__x86_64__) && defined(__GNUC__)
#define TSL_SIFT_VECTOR [[gnu::target("avx2")]]
TSL_SIFT_VECTOR void difference_avx2(const float* hi, const float* lo, float* out, size_t n) {
  Body<true>::difference(hi, lo, out, n);
}
TSL_SIFT_VECTOR void extremes3_avx2(const float* d, float* hmax, float* hmin, size_t n) {
  Body<true>::extremes3(d, hmax, hmin, n);
}
TSL_SIFT_VECTOR size_t extrema_avx2(const float* cur, const float* const* hmax, const float* const* hmin, size_t x0,
                                    size_t x1, uint32_t* out) {
  return Body<true>::extrema(cur, hmax, hmin, x0, x1, out);
}
TSL_SIFT_VECTOR void gradient_bins_avx2(const float* row, ptrdiff_t stride, size_t n, int32_t* bin, float* mag) {
  Body<true>::gradient_bins(row, stride, n, bin, mag);
}
TSL_SIFT_VECTOR void descriptor_samples_avx2(const float* row, ptrdiff_t stride, int64_t j0, size_t n, float cos_t,
                                             float sin_t, float i_cos, float i_sin, const DescriptorSampleRow& out) {
  Body<true>::descriptor_samples(row, stride, j0, n, cos_t, sin_t, i_cos, i_sin, out);
}
TSL_SIFT_VECTOR void blur_h_avx2(const float* pad, const float* k, size_t len, float* out, size_t n) {
  Body<true>::blur_h(pad, k, len, out, n);
}
TSL_SIFT_VECTOR void blur_v_avx2(const float* const* rows, const float* k, size_t len, float* out, size_t n) {
  Body<true>::blur_v(rows, k, len, out, n);
}
#undef TSL_SIFT_VECTOR

constexpr SiftRowKernels AVX2 = {difference_avx2,         extremes3_avx2, extrema_avx2, gradient_bins_avx2,
                                 descriptor_samples_avx2, blur_h_avx2,    blur_v_avx2};

#endif

#undef TSL_INLINE

}  // namespace

const SiftRowKernels& sift_row_kernels(bool vector) {
  return vector && platform::detected_cpu_features().avx2 ? AVX2 : PLAIN;
}

const SiftRowKernels& sift_row_kernels() { return platform::cpu_features().avx2 ? AVX2 : PLAIN; }

}  // namespace tsl
