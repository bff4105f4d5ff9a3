#include "img/jpeg/reconstruct.h"

#include <algorithm>
#include <bit>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TSL_JPEG_AVX2_KERNELS 1
#endif
#include <cmath>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "img/jpeg/simd.h"
#include "util/par.h"

namespace tsl {

namespace {


// Round half away from zero of a value already clamped to 0..255.
[[gnu::always_inline]] inline uint8_t round_sample(float s) {
  const float v = std::min(std::max(s, 0.0f), 255.0f);
  auto i = static_cast<int>(v);
  if (v - static_cast<float>(i) >= 0.5f) ++i;
  return static_cast<uint8_t>(i);
}

// Samples S x 0.25 + 128, clamped to 0..255 and rounded half away from zero, stored as the
// first bw bytes of `out`. For a non-negative value that rounding is truncation plus a step
// when the remainder reaches one half, which vectorises.
[[gnu::always_inline]] inline void store_row(const float* acc, uint32_t bw, uint8_t* out) {
#if defined(__SSE2__)
  const __m128 quarter = _mm_set1_ps(0.25f), level = _mm_set1_ps(128.0f), lo = _mm_setzero_ps(),
               hi = _mm_set1_ps(255.0f), half = _mm_set1_ps(0.5f);
  auto round4 = [&](__m128 a) {
    const __m128 v = _mm_min_ps(_mm_max_ps(_mm_add_ps(_mm_mul_ps(a, quarter), level), lo), hi);
    const __m128i t = _mm_cvttps_epi32(v);
    const __m128 rem = _mm_sub_ps(v, _mm_cvtepi32_ps(t));
    return _mm_sub_epi32(t, _mm_castps_si128(_mm_cmpge_ps(rem, half)));
  };
  const __m128i words = _mm_packs_epi32(round4(_mm_loadu_ps(acc)), round4(_mm_loadu_ps(acc + 4)));
  const __m128i bytes = _mm_packus_epi16(words, words);
  if (bw == 8) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
    return;
  }
  alignas(16) uint8_t tmp[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(tmp), bytes);
  std::copy_n(tmp, bw, out);
#else
  for (uint32_t x = 0; x < bw; ++x) out[x] = round_sample(acc[x] * 0.25f + 128.0f);
#endif
}


#if TSL_JPEG_AVX2_KERNELS
// The transform of a full-size block whose non-zero coefficients lie in frequency rows below V
// and columns below u_end, eight lanes at a time, the rows of each pass interleaved so their
// sums run side by side. Each sum keeps the plain road's order (from 0, increasing u, then
// increasing v) and no multiply-add is fused, so every lane rounds as the plain loop does. The
// plain loop skips zero coefficients and zero rows where this one adds their zero products:
// adding a zero changes at most the sign of a zero sum, and a zero of either sign becomes the
// same sample.
template <int V>
TSL_JPEG_VECTOR_TARGET inline void idct8_avx2(const float* f, int u_end, const float* txt, const float* ty,
                                              uint32_t y0, uint32_t y1, uint8_t* out, size_t stride) {
  // The loops over v and y are unrolled so that t and s stay in registers.
  __m256 t[V];
#pragma GCC unroll 8
  for (int v = 0; v < V; ++v) t[v] = _mm256_setzero_ps();
  for (int u = 0; u < u_end; ++u) {
    const __m256 b = _mm256_loadu_ps(txt + u * 8);
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) t[v] = _mm256_add_ps(t[v], _mm256_mul_ps(b, _mm256_broadcast_ss(f + v * 8 + u)));
  }
  __m256 s[8];
#pragma GCC unroll 8
  for (int y = 0; y < 8; ++y) s[y] = _mm256_setzero_ps();
#pragma GCC unroll 8
  for (int v = 0; v < V; ++v)
#pragma GCC unroll 8
    for (int y = 0; y < 8; ++y) s[y] = _mm256_add_ps(s[y], _mm256_mul_ps(_mm256_broadcast_ss(ty + y * 8 + v), t[v]));
  const __m256 quarter = _mm256_set1_ps(0.25f), level = _mm256_set1_ps(128.0f), lo = _mm256_setzero_ps(),
               hi = _mm256_set1_ps(255.0f), half = _mm256_set1_ps(0.5f);
  for (uint32_t y = y0; y < y1; ++y) {
    // S x 0.25 + 128, clamped, rounded half away from zero (truncation plus a step).
    const __m256 c = _mm256_min_ps(_mm256_max_ps(_mm256_add_ps(_mm256_mul_ps(s[y], quarter), level), lo), hi);
    const __m256i i = _mm256_cvttps_epi32(c);
    const __m256 rem = _mm256_sub_ps(c, _mm256_cvtepi32_ps(i));
    const __m256i r = _mm256_sub_epi32(i, _mm256_castps_si256(_mm256_cmp_ps(rem, half, _CMP_GE_OQ)));
    const __m128i words = _mm_packs_epi32(_mm256_castsi256_si128(r), _mm256_extracti128_si256(r, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + (y - y0) * stride), _mm_packus_epi16(words, words));
  }
}

// The vector road's full-size block: output rows [y0, y1) of the plain road's idct_block.
TSL_JPEG_VECTOR_TARGET void idct_block8_avx2(const int16_t* coef, const float* qf, const float* txt,
                                             const float* ty, uint32_t y0, uint32_t y1, uint8_t* out,
                                             size_t stride) {
  const __m256i zero = _mm256_setzero_si256();
  uint32_t nz[4];  // two bits per non-zero coefficient, two frequency rows per entry
  for (int k = 0; k < 4; ++k) {
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(coef + 16 * k));
    nz[k] = ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(c, zero)));
  }
  if ((nz[0] & ~3u) == 0 && (nz[1] | nz[2] | nz[3]) == 0) {
    // DC only: a flat block, computed exactly as the plain road does.
    const float f = static_cast<float>(coef[0]) * qf[0];
    const float t = 0.0f + txt[0] * f;
    const float s = 0.0f + ty[0] * t;
    const uint8_t value = round_sample(s * 0.25f + 128.0f);
    for (uint32_t y = y0; y < y1; ++y) std::memset(out + (y - y0) * stride, value, 8);
    return;
  }
  int rows = 0;
  uint32_t cols = 0;
  for (int k = 0; k < 4; ++k) {
    if (nz[k] != 0) rows = 2 * k + (nz[k] >> 16 != 0 ? 2 : 1);
    cols |= nz[k] | nz[k] >> 16;
  }
  const int u_end = ((31 - std::countl_zero(cols & 0xFFFF)) >> 1) + 1;
  alignas(32) float f[64];
  for (int v = 0; v < rows; ++v) {
    const __m128i row = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + v * 8));
    _mm256_store_ps(f + v * 8, _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(row)), _mm256_loadu_ps(qf + v * 8)));
  }
  switch (rows) {
    case 1: return idct8_avx2<1>(f, u_end, txt, ty, y0, y1, out, stride);
    case 2: return idct8_avx2<2>(f, u_end, txt, ty, y0, y1, out, stride);
    case 3: return idct8_avx2<3>(f, u_end, txt, ty, y0, y1, out, stride);
    case 4: return idct8_avx2<4>(f, u_end, txt, ty, y0, y1, out, stride);
    case 5: return idct8_avx2<5>(f, u_end, txt, ty, y0, y1, out, stride);
    case 6: return idct8_avx2<6>(f, u_end, txt, ty, y0, y1, out, stride);
    case 7: return idct8_avx2<7>(f, u_end, txt, ty, y0, y1, out, stride);
    default: return idct8_avx2<8>(f, u_end, txt, ty, y0, y1, out, stride);
  }
}

// The vector road's 2x column upsampling main loop: for i in [i0, n), output 2i + 1 mixes
// samples i and i + 1 as 3/4 : 1/4 and output 2i + 2 as 1/4 : 3/4, with the plain road's
// rounding: (192 a + 64 b + 32768) >> 16 equals (3 a + b + 512) >> 10. Returns where it
// stopped; the plain loop finishes the rest.
TSL_JPEG_VECTOR_TARGET size_t half_cols_avx2(const uint16_t* v, size_t n, uint8_t* out) {
  const __m256i round = _mm256_set1_epi32(512);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256i a = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i)));
    const __m256i b = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i + 1)));
    const __m256i a3 = _mm256_add_epi32(_mm256_add_epi32(a, a), a);
    const __m256i b3 = _mm256_add_epi32(_mm256_add_epi32(b, b), b);
    const __m256i odd = _mm256_srli_epi32(_mm256_add_epi32(_mm256_add_epi32(a3, b), round), 10);
    const __m256i even = _mm256_srli_epi32(_mm256_add_epi32(_mm256_add_epi32(a, b3), round), 10);
    // Lane i holds the byte pair (2i + 1, 2i + 2); pack the pairs and store them in order.
    const __m256i pairs = _mm256_or_si256(odd, _mm256_slli_epi32(even, 8));
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(pairs, pairs), 0x08);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i + 1), _mm256_castsi256_si128(packed));
  }
  return i;
}
#endif

// The hot loops below are defined inline for both roads: the vector road's copy is compiled
// for AVX2 with loop vectorisation, the plain road's for the baseline processor without it.
#pragma GCC push_options
#pragma GCC optimize("tree-vectorize", "vect-cost-model=dynamic")

// One block: dequantise, a horizontal pass over the first bh frequency rows and a vertical
// pass, each summed in increasing frequency from 0. All-zero frequency rows and trailing zero
// frequencies add exact zeros, so skipping them leaves every sum unchanged.
// txt is the horizontal basis transposed (u * 8 + x), ty the vertical one (y * 8 + v).
// Only output rows [y0, y1) are produced; `out` points at row y0.
[[gnu::always_inline]] inline void idct_block(const int16_t* coef, const uint16_t* quant, const float* txt, const float* ty, uint32_t bw,
                uint32_t bh, uint32_t y0, uint32_t y1, uint8_t* out, size_t stride) {
  // Only frequencies below bw and bh reach the samples (the basis is zero past them).
  int ac = 0;
  if (bw == 8 && bh == 8) {
    for (int k = 1; k < 64; ++k) ac |= coef[k];
  } else {
    for (uint32_t v = 0; v < bh; ++v)
      for (uint32_t u = v == 0 ? 1 : 0; u < bw; ++u) ac |= coef[v * 8 + u];
  }
  if (ac == 0) {
    // Every basis entry of frequency 0 is C(0), so a DC-only block is flat.
    const float f = static_cast<float>(coef[0]) * static_cast<float>(quant[0]);
    const float t = 0.0f + txt[0] * f;
    const float s = 0.0f + ty[0] * t;
    const uint8_t value = round_sample(s * 0.25f + 128.0f);
    for (uint32_t y = y0; y < y1; ++y) std::fill_n(out + (y - y0) * stride, bw, value);
    return;
  }
  float t[8][8];
  bool row_used[8] = {};
  for (uint32_t v = 0; v < bh; ++v) {
    int last = -1;
    for (uint32_t u = 0; u < bw; ++u)
      if (coef[v * 8 + u] != 0) last = static_cast<int>(u);
    if (last < 0) continue;
    row_used[v] = true;
    float acc[8] = {};
    for (int u = 0; u <= last; ++u) {
      const float f = static_cast<float>(coef[v * 8 + u]) * static_cast<float>(quant[v * 8 + u]);
      const float* b = txt + u * 8;
      for (int x = 0; x < 8; ++x) acc[x] += b[x] * f;
    }
    std::copy_n(acc, 8, t[v]);
  }
  for (uint32_t y = y0; y < y1; ++y) {
    float acc[8] = {};
    for (uint32_t v = 0; v < bh; ++v) {
      if (!row_used[v]) continue;
      const float w = ty[y * 8 + v];
      for (int x = 0; x < 8; ++x) acc[x] += w * t[v][x];
    }
    store_row(acc, bw, out + (y - y0) * stride);
  }
}

// The block rows of one component that a band reads, transformed into a window of plane
// rows [first, last] (one IDCT per block, only the rows inside the window).
template <bool Vector>
[[gnu::always_inline]] inline void jpeg_idct_rows(const JpegComponent& c, const std::array<uint16_t, 64>& quant, const JpegComponentPlan& cp,
                    size_t first, size_t last, uint8_t* window) {
  const uint32_t bh = cp.block_h;
#if TSL_JPEG_AVX2_KERNELS
  if constexpr (Vector) {
    if (cp.block_w == 8 && bh == 8) {
      alignas(32) float qf[64];
      for (int k = 0; k < 64; ++k) qf[k] = static_cast<float>(quant[k]);
      for (size_t br = first / 8; br <= last / 8; ++br) {
        const size_t top = br * 8;
        const auto y0 = static_cast<uint32_t>(std::max(first, top) - top);
        const auto y1 = static_cast<uint32_t>(std::min(last + 1, top + 8) - top);
        const int16_t* blocks = jpeg_block_row(c, br);
        uint8_t* dst = window + (top + y0 - first) * cp.plane_w;
        for (size_t b = 0; b < c.blocks_w; ++b)
          idct_block8_avx2(blocks + b * 64, qf, cp.txt.data(), cp.ty.data(), y0, y1, dst + b * 8, cp.plane_w);
      }
      return;
    }
  }
#endif
  if (cp.block_w == 1 && bh == 1) {
    // An eighth: the 1-point transform reads the DC alone, and idct_block's flat case gives
    // that sample (a zero DC included) without looking at the other coefficients.
    const float q0 = static_cast<float>(quant[0]), tx0 = cp.txt[0], ty0 = cp.ty[0];
    for (size_t br = first; br <= last; ++br) {
      const int16_t* blocks = jpeg_block_row(c, br);
      uint8_t* dst = window + (br - first) * cp.plane_w;
      for (size_t b = 0; b < c.blocks_w; ++b) {
        const float t = 0.0f + tx0 * (static_cast<float>(blocks[b * 64]) * q0);
        dst[b] = round_sample((0.0f + ty0 * t) * 0.25f + 128.0f);
      }
    }
    return;
  }
  for (size_t br = first / bh; br <= last / bh; ++br) {
    const size_t top = br * bh;
    const auto y0 = static_cast<uint32_t>(std::max(first, top) - top);
    const auto y1 = static_cast<uint32_t>(std::min(last + 1, top + bh) - top);
    const int16_t* blocks = jpeg_block_row(c, br);
    uint8_t* dst = window + (top + y0 - first) * cp.plane_w;
    for (size_t b = 0; b < c.blocks_w; ++b)
      idct_block(blocks + b * 64, quant.data(), cp.txt.data(), cp.ty.data(), cp.block_w, bh, y0, y1,
                 dst + b * cp.block_w, cp.plane_w);
  }
}

std::vector<JpegTap> make_taps(size_t n, float ratio, size_t samples) {
  std::vector<JpegTap> taps(n);
  const auto last = static_cast<uint32_t>(samples - 1);
  for (size_t i = 0; i < n; ++i) {
    const float f = std::max(ratio * (static_cast<float>(i) + 0.5f) - 0.5f, 0.0f);
    const auto i0 = std::min(static_cast<uint32_t>(f), last);
    // Past the last sample both taps are the last one, so a weight above 1 changes nothing.
    const auto w = std::min<long>(std::lround((f - static_cast<float>(i0)) * 256.0f), 256);
    taps[i] = {i0, std::min(i0 + 1, last), static_cast<uint32_t>(w)};
  }
  return taps;
}

constexpr int32_t fix16(double x) { return static_cast<int32_t>(x * 65536.0 + 0.5); }

[[gnu::always_inline]] inline uint8_t clamp_u8(int32_t v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// A component's transformed plane rows [first, last] for one band.
struct Window {
  std::unique_ptr<uint8_t[]> data;  // (last - first + 1) plane rows, all written by the transform
  size_t first = 0;
  size_t last = 0;
};

// One output row of a component, upsampled when it is subsampled; `line` and `vbuf` are
// scratch of the output and plane widths.
template <bool Vector>
[[gnu::always_inline]] inline const uint8_t* component_row(const JpegComponentPlan& cp, const Window& win, size_t r, size_t width,
                             uint16_t* vbuf, uint8_t* line) {
  if (cp.direct) {
    const uint8_t* src = win.data.get() + (std::min(r, cp.plane_h - 1) - win.first) * cp.plane_w;
    if (cp.plane_w >= width) return src;
    for (size_t x = 0; x < width; ++x) line[x] = src[std::min(x, cp.plane_w - 1)];
    return line;
  }
  const JpegTap& ty = cp.rows[r];
  const uint8_t* a = win.data.get() + (ty.i0 - win.first) * cp.plane_w;
  const uint8_t* b = win.data.get() + (ty.i1 - win.first) * cp.plane_w;
  const uint32_t wb = ty.w, wa = 256 - ty.w;
  const size_t used = std::min<size_t>(cp.plane_w, size_t{cp.cols[width - 1].i1} + 1);
  {
    const uint8_t* __restrict pa = a;
    const uint8_t* __restrict pb = b;
    uint16_t* __restrict v = vbuf;
    for (size_t c = 0; c < used; ++c) v[c] = static_cast<uint16_t>(pa[c] * wa + pb[c] * wb);
  }
  if (cp.half_cols) {
    // The taps of a 2x subsampled row, written out: output 2i mixes samples i - 1 and i as
    // 1/4 : 3/4, output 2i + 1 mixes i and i + 1 as 3/4 : 1/4; the ends repeat. Outputs
    // 2i + 1 and 2i + 2 both mix samples i and i + 1, which the main loop takes in pairs.
    const size_t last = used - 1;
    const uint16_t* __restrict v = vbuf;
    uint8_t* __restrict out = line;
    out[0] = static_cast<uint8_t>((v[0] * 256 + 32768) >> 16);
    size_t i = 0;
#if TSL_JPEG_AVX2_KERNELS
    if constexpr (Vector) i = half_cols_avx2(v, std::min(last, width >= 3 ? (width - 1) / 2 : 0), out);
#endif
    for (; 2 * i + 2 < width && i + 1 <= last; ++i) {
      out[2 * i + 1] = static_cast<uint8_t>((v[i] * 192u + v[i + 1] * 64u + 32768) >> 16);
      out[2 * i + 2] = static_cast<uint8_t>((v[i] * 64u + v[i + 1] * 192u + 32768) >> 16);
    }
    for (size_t x = 2 * i + 1; x < width; ++x) {
      const size_t k = x >> 1;
      const uint32_t s = (x & 1) ? v[k] * 192u + v[std::min(k + 1, last)] * 64u : v[k - 1] * 64u + v[k] * 192u;
      out[x] = static_cast<uint8_t>((s + 32768) >> 16);
    }
    return line;
  }
  for (size_t x = 0; x < width; ++x) {
    const JpegTap& t = cp.cols[x];
    line[x] = static_cast<uint8_t>((vbuf[t.i0] * (256 - t.w) + vbuf[t.i1] * t.w + 32768) >> 16);
  }
  return line;
}

#if TSL_JPEG_AVX2_KERNELS
// Output byte j of 16 interleaved RGB pixels takes byte j / 3 of channel j % 3: per 16-byte
// chunk of the output and channel, the shuffle that picks it (0x80 leaves a zero).
constexpr auto RGB_INTERLEAVE = [] {
  std::array<uint8_t, 9 * 16> m{};
  for (size_t chunk = 0; chunk < 3; ++chunk)
    for (size_t c = 0; c < 3; ++c)
      for (size_t i = 0; i < 16; ++i) {
        const size_t j = chunk * 16 + i;
        m[(chunk * 3 + c) * 16 + i] = j % 3 == c ? static_cast<uint8_t>(j / 3) : 0x80;
      }
  return m;
}();

// (c x v + 2^15) >> 16 for 16-bit lanes v and a 16-bit constant c, exactly: the high half of
// the 32-bit product plus the carry that adding 2^15 to its low half gives.
[[gnu::always_inline, gnu::target("avx2")]] inline __m256i mul_round16(__m256i v, __m256i c) {
  return _mm256_add_epi16(_mm256_mulhi_epi16(v, c), _mm256_srli_epi16(_mm256_mullo_epi16(v, c), 15));
}

// The YCbCr conversion of jpeg_color_row for pixels [0, n), sixteen at a time; gives how many
// it did. Each fixed-point constant above 2^15 is split into a multiple of 2^16, which shifts
// out exactly, and a 16-bit rest, so every lane computes the plain road's 32-bit sum.
TSL_JPEG_VECTOR_TARGET size_t ycc_to_rgb_avx2(const uint8_t* s0, const uint8_t* s1, const uint8_t* s2, size_t n,
                                              uint8_t* out, int32_t cr_r, int32_t cb_g, int32_t cr_g, int32_t cb_b) {
  // cr_r = 2^16 + a, cr_g = 2^16 - b, cb_b = 2^17 - c with a, b, c below 2^15.
  const __m256i r_rest = _mm256_set1_epi16(static_cast<int16_t>(cr_r - 65536));
  const __m256i b_rest = _mm256_set1_epi16(static_cast<int16_t>(cb_b - 131072));
  // -cb_g x cb + (2^16 - cr_g) x cr as one multiply-add of (cb, cr) pairs.
  const __m256i g_pair = _mm256_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(65536 - cr_g) << 16) |
                                                                static_cast<uint16_t>(-cb_g)));
  const __m256i half = _mm256_set1_epi32(1 << 15), bias = _mm256_set1_epi16(128);
  const auto* masks = reinterpret_cast<const __m128i*>(RGB_INTERLEAVE.data());
  size_t x = 0;
  for (; x + 16 <= n; x += 16) {
    const __m256i y = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s0 + x)));
    const __m256i cb = _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s1 + x))), bias);
    const __m256i cr = _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s2 + x))), bias);
    const __m256i r = _mm256_add_epi16(_mm256_add_epi16(y, cr), mul_round16(cr, r_rest));
    const __m256i b = _mm256_add_epi16(_mm256_add_epi16(y, _mm256_add_epi16(cb, cb)), mul_round16(cb, b_rest));
    const __m256i g_lo = _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(cb, cr), g_pair), half), 16);
    const __m256i g_hi = _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(cb, cr), g_pair), half), 16);
    const __m256i g = _mm256_add_epi16(_mm256_sub_epi16(y, cr), _mm256_packs_epi32(g_lo, g_hi));
    // Saturating packs clamp to 0..255 as clamp_u8 does.
    const __m128i r8 = _mm_packus_epi16(_mm256_castsi256_si128(r), _mm256_extracti128_si256(r, 1));
    const __m128i g8 = _mm_packus_epi16(_mm256_castsi256_si128(g), _mm256_extracti128_si256(g, 1));
    const __m128i b8 = _mm_packus_epi16(_mm256_castsi256_si128(b), _mm256_extracti128_si256(b, 1));
    for (int chunk = 0; chunk < 3; ++chunk) {
      const __m128i v = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(r8, _mm_loadu_si128(masks + chunk * 3)),
                                                  _mm_shuffle_epi8(g8, _mm_loadu_si128(masks + chunk * 3 + 1))),
                                     _mm_shuffle_epi8(b8, _mm_loadu_si128(masks + chunk * 3 + 2)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x + 16 * chunk), v);
    }
  }
  return x;
}
#endif

// Converts one output row from its component rows (1 gray, 3 YCbCr or RGB) to RGB.
template <bool Vector>
[[gnu::always_inline]] inline void jpeg_color_row(const uint8_t* const* s, size_t nc, bool is_rgb, size_t width, uint8_t* o) {
  if (nc == 1) {
    for (size_t x = 0; x < width; ++x) o[3 * x] = o[3 * x + 1] = o[3 * x + 2] = s[0][x];
  } else if (is_rgb) {
    for (size_t x = 0; x < width; ++x) {
      o[3 * x] = s[0][x];
      o[3 * x + 1] = s[1][x];
      o[3 * x + 2] = s[2][x];
    }
  } else {
    // Fixed point with 16 fraction bits; every product stays within 32 bits.
    constexpr int32_t CR_R = fix16(1.402), CB_G = fix16(0.344136), CR_G = fix16(0.714136), CB_B = fix16(1.772);
    static_assert(CR_R - 65536 >= 0 && CR_R - 65536 < 32768 && CB_G < 32768 && 65536 - CR_G > 0 &&
                      65536 - CR_G < 32768 && CB_B - 131072 < 0 && CB_B - 131072 >= -32768,
                  "the vector road splits each constant into a multiple of 2^16 and a 16-bit rest");
    constexpr int32_t HALF = 1 << 15;
    const uint8_t* __restrict s0 = s[0];
    const uint8_t* __restrict s1 = s[1];
    const uint8_t* __restrict s2 = s[2];
    uint8_t* __restrict out = o;
    size_t x = 0;
#if TSL_JPEG_AVX2_KERNELS
    if constexpr (Vector) x = ycc_to_rgb_avx2(s0, s1, s2, width, out, CR_R, CB_G, CR_G, CB_B);
#endif
    for (; x < width; ++x) {
      const int32_t y = s0[x], cb = s1[x] - 128, cr = s2[x] - 128;
      out[3 * x] = clamp_u8(y + ((CR_R * cr + HALF) >> 16));
      out[3 * x + 1] = clamp_u8(y + ((-CB_G * cb - CR_G * cr + HALF) >> 16));
      out[3 * x + 2] = clamp_u8(y + ((CB_B * cb + HALF) >> 16));
    }
  }
}

bool frame_is_rgb(const JpegDecoder& dec) {
  if (dec.components.size() != 3) return false;
  if (dec.adobe && !dec.jfif && dec.adobe_transform == 0) return true;
  return dec.components[0].id == 'R' && dec.components[1].id == 'G';
}

// Plane rows [first, last] that output rows [r0, r1) of a component read.
std::pair<size_t, size_t> rows_read(const JpegComponentPlan& cp, size_t r0, size_t r1) {
  if (cp.direct) return {std::min(r0, cp.plane_h - 1), std::min(r1 - 1, cp.plane_h - 1)};
  return {cp.rows[r0].i0, cp.rows[r1 - 1].i1};
}

template <bool Vector>
[[gnu::always_inline]] inline void band_body(const JpegDecoder& dec, const JpegOutputPlan& plan, size_t band,
                                             uint8_t* rows) {
  const size_t r0 = band * plan.band_rows, r1 = std::min(r0 + plan.band_rows, plan.height);
  const size_t nc = std::min<size_t>(plan.comps.size(), 3);
  Window windows[3];
  size_t max_plane = 0;
  for (size_t j = 0; j < nc; ++j) {
    const auto& cp = plan.comps[j];
    const auto [first, last] = rows_read(cp, r0, r1);
    windows[j].first = first;
    windows[j].last = last;
    // Left uninitialised: the transform writes every sample of the window.
    windows[j].data = std::make_unique_for_overwrite<uint8_t[]>((last - first + 1) * cp.plane_w);
    jpeg_idct_rows<Vector>(dec.components[j], dec.quant[dec.components[j].tq], cp, first, last, windows[j].data.get());
    max_plane = std::max(max_plane, cp.plane_w);
  }
  const auto vbuf = std::make_unique_for_overwrite<uint16_t[]>(max_plane);
  std::unique_ptr<uint8_t[]> lines[3];
  for (size_t j = 0; j < nc; ++j) lines[j] = std::make_unique_for_overwrite<uint8_t[]>(plan.width);
  for (size_t r = r0; r < r1; ++r) {
    const uint8_t* s[3] = {};
    for (size_t j = 0; j < nc; ++j) s[j] = component_row<Vector>(plan.comps[j], windows[j], r, plan.width, vbuf.get(), lines[j].get());
    jpeg_color_row<Vector>(s, nc, plan.is_rgb, plan.width, rows + (r - r0) * plan.width * 3);
  }
}

TSL_JPEG_VECTOR_TARGET void band_vector(const JpegDecoder& dec, const JpegOutputPlan& plan, size_t band, uint8_t* rows) {
  band_body<true>(dec, plan, band, rows);
}

#pragma GCC pop_options

void band_plain(const JpegDecoder& dec, const JpegOutputPlan& plan, size_t band, uint8_t* rows) {
  band_body<false>(dec, plan, band, rows);
}

}  // namespace

std::array<float, 64> idct_basis(unsigned n) {
  std::array<float, 64> b{};
  const double pi = 3.14159265358979323846;
  for (unsigned x = 0; x < n; ++x)
    for (unsigned u = 0; u < n; ++u) {
      const double c = u == 0 ? 0.7071067811865476 : 1.0;
      b[x * 8 + u] = static_cast<float>(c * std::cos((2.0 * x + 1.0) * u * pi / (2.0 * n)));
    }
  return b;
}

unsigned jpeg_scale_denominator(unsigned denominator) {
  if (denominator <= 1) return 1;
  if (denominator == 2) return 2;
  if (denominator <= 4) return 4;
  return 8;
}

JpegOutputPlan plan_jpeg_output(const JpegDecoder& dec, unsigned denominator) {
  const unsigned d = jpeg_scale_denominator(denominator);
  const auto shift = static_cast<unsigned>(std::countr_zero(d));
  const uint32_t bs = 8 >> shift;
  JpegOutputPlan plan;
  plan.width = (dec.width + d - 1) >> shift;
  plan.height = (dec.height + d - 1) >> shift;
  plan.band_rows = size_t{dec.vmax} * bs;
  plan.bands = (plan.height + plan.band_rows - 1) / plan.band_rows;
  plan.is_rgb = frame_is_rgb(dec);
  for (const auto& c : dec.components) {
    JpegComponentPlan cp;
    cp.block_w = std::clamp<uint32_t>(dec.hmax * bs / c.h, 1, 8);
    cp.block_h = std::clamp<uint32_t>(dec.vmax * bs / c.v, 1, 8);
    cp.plane_w = c.blocks_w * cp.block_w;
    cp.plane_h = c.blocks_h * cp.block_h;
    const float sx = static_cast<float>(cp.block_w * c.h) / static_cast<float>(dec.hmax * bs);
    const float sy = static_cast<float>(cp.block_h * c.v) / static_cast<float>(dec.vmax * bs);
    cp.direct = sx >= 0.999f && sy >= 0.999f;
    if (!cp.direct && plan.width > 0 && plan.height > 0) {
      // The taps stop at the component's last real sample: the blocks past it hold only the
      // encoder's padding, which must not bleed into the last output column and row.
      const size_t real_w = std::clamp<size_t>((dec.width * c.h * cp.block_w + dec.hmax * 8 - 1) / (dec.hmax * 8), 1, cp.plane_w);
      const size_t real_h = std::clamp<size_t>((dec.height * c.v * cp.block_h + dec.vmax * 8 - 1) / (dec.vmax * 8), 1, cp.plane_h);
      cp.cols = make_taps(plan.width, sx, real_w);
      cp.rows = make_taps(plan.height, sy, real_h);
      cp.half_cols = sx == 0.5f;
    }
    const auto tx = idct_basis(cp.block_w);
    for (int x = 0; x < 8; ++x)
      for (int u = 0; u < 8; ++u) cp.txt[u * 8 + x] = tx[x * 8 + u];
    cp.ty = idct_basis(cp.block_h);
    plan.comps.push_back(std::move(cp));
  }
  plan.first_mcu_row.resize(plan.bands);
  plan.last_mcu_row.resize(plan.bands);
  for (size_t b = 0; b < plan.bands; ++b) {
    const size_t r0 = b * plan.band_rows, r1 = std::min(r0 + plan.band_rows, plan.height);
    size_t first = SIZE_MAX, last = 0;
    for (size_t j = 0; j < plan.comps.size(); ++j) {
      const auto& cp = plan.comps[j];
      const auto [p0, p1] = rows_read(cp, r0, r1);
      first = std::min(first, p0 / cp.block_h / dec.components[j].v);
      last = std::max(last, p1 / cp.block_h / dec.components[j].v);
    }
    plan.first_mcu_row[b] = std::min(first, dec.mcus_y - 1);
    plan.last_mcu_row[b] = std::min(last, dec.mcus_y - 1);
  }
  return plan;
}

void reconstruct_jpeg_band(const JpegDecoder& dec, const JpegOutputPlan& plan, size_t band, uint8_t* rows) {
  if (jpeg_vector_path()) {
    band_vector(dec, plan, band, rows);
  } else {
    band_plain(dec, plan, band, rows);
  }
}

namespace {

void reconstruct_all(const JpegDecoder& dec, const JpegOutputPlan& plan, ImageU8& out) {
  if (plan.width == 0 || plan.height == 0) return;
  par_rows(plan.bands, 1, cpu_budget(), [&](size_t first, size_t last) {
    for (size_t b = first; b < last; ++b) reconstruct_jpeg_band(dec, plan, b, out.row(b * plan.band_rows));
  });
}

}  // namespace

ImageU8 jpeg_reconstruct(const JpegDecoder& dec, unsigned denominator) {
  const JpegOutputPlan plan = plan_jpeg_output(dec, denominator);
  ImageU8 out(plan.width, plan.height, 3);
  reconstruct_all(dec, plan, out);
  return out;
}

void jpeg_shape_output(const JpegOutputPlan& plan, ImageU8& out) {
  out.data.resize(plan.width * plan.height * 3);
  out.width = plan.width;
  out.height = plan.height;
  out.channels = 3;
}

void jpeg_reconstruct_into(const JpegDecoder& dec, unsigned denominator, ImageU8& out) {
  const JpegOutputPlan plan = plan_jpeg_output(dec, denominator);
  jpeg_shape_output(plan, out);
  reconstruct_all(dec, plan, out);
}

}  // namespace tsl
