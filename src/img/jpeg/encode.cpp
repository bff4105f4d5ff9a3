#include "img/jpeg/encode.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <exception>
#include <mutex>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TSL_JPEG_AVX2_KERNELS 1
#endif

#include "img/jpeg/entropy.h"
#include "img/jpeg/simd.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {

const std::array<uint8_t, 64> JPEG_LUMA_QUANT = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,  14, 13, 16, 24,  40,  57,
    69, 56, 14, 17, 22,  29,  51,  87,  80, 62, 18, 22, 37,  56,  68,  109, 103, 77, 24, 35, 55,  64,
    81, 104, 113, 92, 49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};

const std::array<uint8_t, 64> JPEG_CHROMA_QUANT = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

namespace {

// The standard Huffman tables: code-length counts (lengths 1..16) and symbols.
constexpr uint8_t DC_LUMA_COUNTS[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr uint8_t DC_CHROMA_COUNTS[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr uint8_t DC_SYMBOLS[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr uint8_t AC_LUMA_COUNTS[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr uint8_t AC_LUMA_SYMBOLS[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22, 0x71,
    0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72,
    0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37,
    0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59,
    0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3,
    0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
constexpr uint8_t AC_CHROMA_COUNTS[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr uint8_t AC_CHROMA_SYMBOLS[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, 0x13, 0x22,
    0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1,
    0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36,
    0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58,
    0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a,
    0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba,
    0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

// Code and length per symbol; length 0 for symbols the table lacks.
struct HuffCodes {
  std::array<uint16_t, 256> code{};
  std::array<uint8_t, 256> length{};
};

// Canonical codes: consecutive within a length, doubled when the length grows.
HuffCodes make_codes(const uint8_t (&counts)[16], std::span<const uint8_t> symbols) {
  HuffCodes h;
  uint32_t code = 0;
  size_t k = 0;
  for (uint32_t len = 1; len <= 16; ++len) {
    for (uint32_t n = 0; n < counts[len - 1]; ++n, ++k, ++code) {
      h.code[symbols[k]] = static_cast<uint16_t>(code);
      h.length[symbols[k]] = static_cast<uint8_t>(len);
    }
    code <<= 1;
  }
  return h;
}

// Room kept for one block: 64 writes of at most 27 bits, three ZRL codes of 16 bits and the
// 31 bits still held from earlier blocks come to under 230 bytes, each of which may be
// followed by a stuffed zero.
constexpr size_t MAX_BLOCK_BYTES = 512;

// Bits enter at the low end and leave most significant first; every 0xFF byte is followed by
// a stuffed 0x00. A write adds at most 27 bits (a 16-bit code and 11 value bits), so draining
// four bytes once 32 or more are held keeps the 64-bit accumulator from overflowing.
// A block is coded through a BitCursor held in locals (bytes written through a uint8_t pointer
// could otherwise alias the writer's fields and force them through memory on every write).
struct BitCursor {
  uint8_t* p = nullptr;
  uint64_t acc = 0;
  uint32_t count = 0;

  [[gnu::always_inline]] void emit_byte(uint8_t b) {
    *p++ = b;
    if (b == 0xFF) *p++ = 0x00;
  }
  [[gnu::always_inline]] void put(uint32_t bits, uint32_t n) {
    acc = (acc << n) | (bits & ((uint64_t{1} << n) - 1));
    count += n;
    if (count < 32) return;
    count -= 32;
    const auto word = static_cast<uint32_t>(acc >> count);
    // A byte of 0xFF is a zero byte of ~word; without one the four bytes go out at once.
    const uint32_t inv = ~word;
    if (((inv - 0x01010101u) & ~inv & 0x80808080u) == 0) {
      const uint32_t be = std::endian::native == std::endian::little ? std::byteswap(word) : word;
      std::memcpy(p, &be, 4);
      p += 4;
      return;
    }
    for (int shift = 24; shift >= 0; shift -= 8) emit_byte(static_cast<uint8_t>(word >> shift));
  }
};

// The entropy-coded bytes go to `out`, whose size runs ahead of what is written: `begin`
// keeps MAX_BLOCK_BYTES of room past the cursor, and `finish` cuts `out` to what was written.
struct JpegBitWriter {
  std::vector<uint8_t>& out;
  size_t used = out.size();
  uint64_t acc = 0;
  uint32_t count = 0;

  BitCursor begin() {
    if (out.size() - used < MAX_BLOCK_BYTES)
      out.resize(std::max({out.capacity(), out.size() * 3 / 2, used + MAX_BLOCK_BYTES}));
    return {out.data() + used, acc, count};
  }
  void end(const BitCursor& c) {
    used = static_cast<size_t>(c.p - out.data());
    acc = c.acc;
    count = c.count;
  }
  void finish() {
    BitCursor c = begin();
    const uint32_t pad = (8 - c.count) & 7;
    c.acc = (c.acc << pad) | ((1u << pad) - 1);
    c.count += pad;
    while (c.count >= 8) {
      c.count -= 8;
      c.emit_byte(static_cast<uint8_t>(c.acc >> c.count));
    }
    end(c);
    out.resize(used);
  }
};

uint32_t magnitude_bits(int32_t v) { return static_cast<uint32_t>(std::bit_width(static_cast<uint32_t>(v < 0 ? -v : v))); }

// ZIGZAG_BITS[r][b]: the zig-zag positions, as bits, of the columns set in b of natural row r;
// eight lookups turn a block's natural-order non-zero mask into its zig-zag one.
constexpr auto ZIGZAG_BITS = [] {
  std::array<uint8_t, 64> position{};
  for (uint8_t k = 0; k < 64; ++k) position[JPEG_ZIGZAG[k]] = k;
  std::array<std::array<uint64_t, 256>, 8> t{};
  for (size_t r = 0; r < 8; ++r)
    for (size_t b = 0; b < 256; ++b)
      for (size_t c = 0; c < 8; ++c)
        if ((b >> c) & 1) t[r][b] |= uint64_t{1} << position[r * 8 + c];
  return t;
}();

void put_u16(std::vector<uint8_t>& out, size_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void write_dht(std::vector<uint8_t>& out, uint8_t class_id, const uint8_t (&counts)[16],
               std::span<const uint8_t> symbols) {
  out.insert(out.end(), {0xFF, 0xC4});
  put_u16(out, symbols.size() + 19);
  out.push_back(class_id);
  out.insert(out.end(), counts, counts + 16);
  out.insert(out.end(), symbols.begin(), symbols.end());
}

// cos(k pi / 16) for k = 0..31 from the seven published float constants and symmetry.
std::array<float, 32> cos16() {
  const float c[8] = {1.0f, 0.98078525f, 0.9238795f, 0.8314696f, 0.70710677f, 0.5555702f, 0.38268343f, 0.19509032f};
  std::array<float, 32> t{};
  for (int k = 0; k < 32; ++k) {
    const int m = k % 32;
    if (m < 8) t[k] = c[m];
    else if (m == 8) t[k] = 0.0f;
    else if (m < 16) t[k] = -c[16 - m];
    else if (m < 24) t[k] = -c[m - 16];
    else if (m == 24) t[k] = 0.0f;
    else t[k] = c[32 - m];
  }
  return t;
}

// basis[x][u] = cos((2x + 1) u pi / 16), laid out so the inner loops run over u.
struct DctBasis {
  float b[8][8];
  float s[8];
};

const DctBasis& dct_basis() {
  static const DctBasis basis = [] {
    DctBasis d{};
    const auto t = cos16();
    for (int x = 0; x < 8; ++x)
      for (int u = 0; u < 8; ++u) d.b[x][u] = t[((2 * x + 1) * u) % 32];
    for (int u = 0; u < 8; ++u) d.s[u] = u == 0 ? 0.35355338f : 0.5f;
    return d;
  }();
  return basis;
}


#if TSL_JPEG_AVX2_KERNELS
// The vector road's kernels. Each computes what the plain loops below compute, lane by lane in
// the same order of operations and without fused multiply-adds, so both roads give the same
// bytes.

// Eight bytes picked from two vectors by shuffle masks, as floats.
[[gnu::always_inline, gnu::target("avx2")]] inline __m256 lanes(__m128i lo, __m128i hi, __m128i ml, __m128i mh) {
  const __m128i b = _mm_or_si128(_mm_shuffle_epi8(lo, ml), _mm_shuffle_epi8(hi, mh));
  return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(b));
}

[[gnu::always_inline, gnu::target("avx2")]] inline __m256 mul(__m256 a, float c) {
  return _mm256_mul_ps(a, _mm256_set1_ps(c));
}

// Elements 0, 2, .. 14 (or 1, 3, .. 15) of the sixteen in p, q.
[[gnu::always_inline, gnu::target("avx2")]] inline __m256 even(__m256 p, __m256 q) {
  return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(p, q, 0x88)), 0xD8));
}
[[gnu::always_inline, gnu::target("avx2")]] inline __m256 odd(__m256 p, __m256 q) {
  return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(p, q, 0xDD)), 0xD8));
}

// Colour conversion of pixels [0, n) of one RGB row, eight at a time; gives how many it did.
TSL_JPEG_VECTOR_TARGET size_t rgb_to_ycc_avx2(const uint8_t* src, size_t n, float* py, float* pcb, float* pcr) {
  // Bytes 0..15 and 16..23 of eight RGB triples, gathered per channel.
  const __m128i r_lo = _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i r_hi = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i g_lo = _mm_setr_epi8(1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i g_hi = _mm_setr_epi8(-1, -1, -1, -1, -1, 0, 3, 6, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i b_lo = _mm_setr_epi8(2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i b_hi = _mm_setr_epi8(-1, -1, -1, -1, -1, 1, 4, 7, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m256 k128 = _mm256_set1_ps(128.0f);
  size_t x = 0;
  for (; x + 8 <= n; x += 8) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 3 * x));
    const __m128i hi = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + 3 * x + 16));
    const __m256 r = lanes(lo, hi, r_lo, r_hi), g = lanes(lo, hi, g_lo, g_hi), b = lanes(lo, hi, b_lo, b_hi);
    _mm256_storeu_ps(py + x, _mm256_add_ps(_mm256_add_ps(mul(g, 0.587f), mul(r, 0.299f)), mul(b, 0.114f)));
    _mm256_storeu_ps(pcb + x, _mm256_add_ps(_mm256_add_ps(mul(b, 0.5f), _mm256_add_ps(mul(g, -0.331264f), mul(r, -0.168736f))), k128));
    _mm256_storeu_ps(pcr + x, _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(mul(g, -0.418688f), mul(r, 0.5f)), mul(b, -0.081312f)), k128));
  }
  return x;
}

// An 8x8 block lying wholly inside the image, `top` its first plane row, level-shifted.
TSL_JPEG_VECTOR_TARGET void fetch_inside_avx2(const float* top, size_t stride, unsigned factor, float* block) {
  const __m256 level = _mm256_set1_ps(128.0f);
  if (factor == 1) {
    for (int r = 0; r < 8; ++r)
      _mm256_store_ps(block + r * 8, _mm256_sub_ps(_mm256_loadu_ps(top + r * stride), level));
    return;
  }
  // ((a[2c] + a[2c + 1]) + b[2c]) + b[2c + 1], then / 4 (exact as x 0.25).
  const __m256 quarter = _mm256_set1_ps(0.25f);
  for (int r = 0; r < 8; ++r) {
    const float* a = top + 2 * r * stride;
    const float* b = a + stride;
    const __m256 a0 = _mm256_loadu_ps(a), a1 = _mm256_loadu_ps(a + 8);
    const __m256 b0 = _mm256_loadu_ps(b), b1 = _mm256_loadu_ps(b + 8);
    const __m256 sum = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(even(a0, a1), odd(a0, a1)), even(b0, b1)), odd(b0, b1));
    _mm256_store_ps(block + r * 8, _mm256_sub_ps(_mm256_mul_ps(sum, quarter), level));
  }
}

// fdct_body and quantise of one level-shifted block (64-byte aligned); gives the AC mask.
TSL_JPEG_VECTOR_TARGET uint64_t fdct_quantise_avx2(const float* block, const float* q, int16_t* nat) {
  const DctBasis& d = dct_basis();
  // Rows: tmp[y] = s x sum over x of f[y][x] b[x], from 0 in increasing x.
  const __m256 sv = _mm256_loadu_ps(d.s);
  __m256 tmp[8];
#pragma GCC unroll 8
  for (int y = 0; y < 8; ++y) tmp[y] = _mm256_setzero_ps();
#pragma GCC unroll 8
  for (int x = 0; x < 8; ++x) {
    const __m256 b = _mm256_loadu_ps(d.b[x]);
#pragma GCC unroll 8
    for (int y = 0; y < 8; ++y) tmp[y] = _mm256_add_ps(tmp[y], _mm256_mul_ps(_mm256_broadcast_ss(block + y * 8 + x), b));
  }
#pragma GCC unroll 8
  for (int y = 0; y < 8; ++y) tmp[y] = _mm256_mul_ps(sv, tmp[y]);
  // Columns: F[v] = s[v] x sum over y of tmp[y] b[y][v], in increasing y; four v at a time.
  const __m256 half = _mm256_set1_ps(0.5f), mhalf = _mm256_set1_ps(-0.5f);
  __m256i words[4];
#pragma GCC unroll 2
  for (int v0 = 0; v0 < 8; v0 += 4) {
    __m256 acc[4];
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) acc[j] = _mm256_setzero_ps();
#pragma GCC unroll 8
    for (int y = 0; y < 8; ++y)
#pragma GCC unroll 4
      for (int j = 0; j < 4; ++j) acc[j] = _mm256_add_ps(acc[j], _mm256_mul_ps(tmp[y], _mm256_broadcast_ss(&d.b[y][v0 + j])));
    __m256i rounded[4];
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) {
      const int v = v0 + j;
      const __m256 f = _mm256_mul_ps(_mm256_broadcast_ss(&d.s[v]), acc[j]);
      // Divide, then round half away from zero as round_away does.
      const __m256 z = _mm256_div_ps(f, _mm256_loadu_ps(q + v * 8));
      const __m256i t = _mm256_cvttps_epi32(z);
      const __m256 rem = _mm256_sub_ps(z, _mm256_cvtepi32_ps(t));
      rounded[j] = _mm256_add_epi32(_mm256_sub_epi32(t, _mm256_castps_si256(_mm256_cmp_ps(rem, half, _CMP_GE_OQ))),
                                    _mm256_castps_si256(_mm256_cmp_ps(rem, mhalf, _CMP_LE_OQ)));
    }
    // Rows v0..v0 + 3 as int16 in natural order.
    words[v0 / 4 * 2] = _mm256_permute4x64_epi64(_mm256_packs_epi32(rounded[0], rounded[1]), 0xD8);
    words[v0 / 4 * 2 + 1] = _mm256_permute4x64_epi64(_mm256_packs_epi32(rounded[2], rounded[3]), 0xD8);
  }
  uint64_t zero = 0;  // natural order, bit n set when coefficient n is zero
  for (int k = 0; k < 4; ++k) _mm256_storeu_si256(reinterpret_cast<__m256i*>(nat + 16 * k), words[k]);
  for (int k = 0; k < 2; ++k) {
    // Saturating to bytes keeps every non-zero value non-zero.
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packs_epi16(words[2 * k], words[2 * k + 1]), 0xD8);
    zero |= uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, _mm256_setzero_si256())))} << (32 * k);
  }
  const uint64_t nonzero = ~zero;
  uint64_t mask = 0;
  for (int r = 0; r < 8; ++r) mask |= ZIGZAG_BITS[r][(nonzero >> (8 * r)) & 0xFF];
  return mask & ~uint64_t{1};
}
#endif

// The hot loops below are defined inline for both roads: the vector road's copy is compiled
// for AVX2 with loop vectorisation, the plain road's for the baseline processor without it.
#pragma GCC push_options
#pragma GCC optimize("tree-vectorize", "vect-cost-model=dynamic")

// Nearest integer, halves away from zero: truncation plus a step, exact for every float.
[[gnu::always_inline]] inline int32_t round_away(float v) {
  const auto t = static_cast<int32_t>(v);
  const float d = v - static_cast<float>(t);
  return t + (d >= 0.5f ? 1 : 0) - (d <= -0.5f ? 1 : 0);
}

// Quantised coefficients of one block in natural order; gives the AC mask (bit k set when
// zig-zag position k, 1..63, is non-zero).
[[gnu::always_inline]] inline uint64_t quantise(const float* __restrict f, const float* __restrict q,
                                                int16_t* __restrict nat) {
  for (int n = 0; n < 64; ++n) nat[n] = static_cast<int16_t>(round_away(f[n] / q[n]));
  uint64_t mask = 0;
  for (int k = 1; k < 64; ++k) mask |= static_cast<uint64_t>(nat[JPEG_ZIGZAG[k]] != 0) << k;
  return mask;
}

template <typename RowFn>
[[gnu::always_inline]] inline void fetch(size_t width, size_t height, RowFn&& row, size_t x, size_t y, unsigned factor, float* block) {
  for (size_t r = 0; r < 8; ++r) {
    const size_t y0 = y + r * factor;
    for (size_t c = 0; c < 8; ++c) {
      const size_t x0 = x + c * factor;
      float v;
      if (factor == 1) {
        v = row(std::min(y0, height - 1))[std::min(x0, width - 1)];
      } else {
        const float* a = row(std::min(y0, height - 1));
        const float* b = row(std::min(y0 + 1, height - 1));
        const size_t c0 = std::min(x0, width - 1), c1 = std::min(x0 + 1, width - 1);
        v = (((a[c0] + a[c1]) + b[c0]) + b[c1]) / 4.0f;
      }
      block[r * 8 + c] = v - 128.0f;
    }
  }
}

struct Layout {
  bool gray = false;
  bool subsample = false;  // 4:2:0
  size_t mcu = 8;          // MCU side in pixels
  size_t mcus_x = 0;
  size_t mcus_y = 0;
  size_t blocks_per_mcu = 1;
};

// Colour-converts the pixel rows of MCU row `my` (rows past the bottom repeat the last) and
// turns its blocks into quantised natural-order coefficients, MCU by MCU in scan order, with
// each block's AC mask in `masks`.
[[gnu::always_inline]] inline void fdct_body(float* block);

template <bool Vector>
[[gnu::always_inline]] inline void transform_body(const ImageU8& image, const Layout& lay, const float* qluma,
                                                  const float* qchroma, size_t my, std::vector<float>& planes,
                                                  int16_t* out, uint64_t* masks) {
  const size_t w = image.width, h = image.height;
  const size_t y0 = my * lay.mcu;
  const size_t rows = std::min(lay.mcu, h - y0);
  const size_t nplanes = lay.gray ? 1 : 3;
  planes.resize(nplanes * rows * w);
  float* __restrict py = planes.data();
  float* __restrict pcb = py + rows * w;
  float* __restrict pcr = pcb + rows * w;
  for (size_t r = 0; r < rows; ++r) {
    const uint8_t* __restrict src = image.row(y0 + r);
    if (lay.gray) {
      for (size_t x = 0; x < w; ++x) py[r * w + x] = src[x];
      continue;
    }
    size_t x = 0;
#if TSL_JPEG_AVX2_KERNELS
    if constexpr (Vector) x = rgb_to_ycc_avx2(src, w, py + r * w, pcb + r * w, pcr + r * w);
#endif
    for (; x < w; ++x) {
      const float R = src[3 * x], G = src[3 * x + 1], B = src[3 * x + 2];
      py[r * w + x] = (G * 0.587f + R * 0.299f) + B * 0.114f;
      pcb[r * w + x] = (B * 0.5f + (G * -0.331264f + R * -0.168736f)) + 128.0f;
      pcr[r * w + x] = ((G * -0.418688f + R * 0.5f) + B * -0.081312f) + 128.0f;
    }
  }
  // Both lambdas are forced inline: an out-of-line copy would be compiled once, for one road.
  auto rows_of = [&](const float* plane) __attribute__((always_inline)) {
    return [plane, y0, w](size_t yy) __attribute__((always_inline)) { return plane + (yy - y0) * w; };
  };
  alignas(64) float block[64];
  for (size_t mx = 0; mx < lay.mcus_x; ++mx) {
    const size_t x = mx * lay.mcu;
    auto code = [&](const float* plane, size_t bx, size_t by, unsigned factor, const float* q)
                    __attribute__((always_inline)) {
#if TSL_JPEG_AVX2_KERNELS
      if constexpr (Vector) {
        if (bx + 8 * factor <= w && by + 8 * factor <= h)
          fetch_inside_avx2(rows_of(plane)(by) + bx, w, factor, block);
        else
          fetch(w, h, rows_of(plane), bx, by, factor, block);
        *masks++ = fdct_quantise_avx2(block, q, out);
        out += 64;
        return;
      }
#endif
      fetch(w, h, rows_of(plane), bx, by, factor, block);
      fdct_body(block);
      *masks++ = quantise(block, q, out);
      out += 64;
    };
    if (lay.gray) {
      code(py, x, y0, 1, qluma);
    } else if (lay.subsample) {
      code(py, x, y0, 1, qluma);
      code(py, x + 8, y0, 1, qluma);
      code(py, x, y0 + 8, 1, qluma);
      code(py, x + 8, y0 + 8, 1, qluma);
      code(pcb, x, y0, 2, qchroma);
      code(pcr, x, y0, 2, qchroma);
    } else {
      code(py, x, y0, 1, qluma);
      code(pcb, x, y0, 1, qchroma);
      code(pcr, x, y0, 1, qchroma);
    }
  }
}

[[gnu::always_inline]] inline void fdct_body(float* block) {
  const DctBasis& d = dct_basis();
  float tmp[64];
  for (int y = 0; y < 8; ++y) {
    float acc[8] = {};
    for (int x = 0; x < 8; ++x) {
      const float f = block[y * 8 + x];
      for (int u = 0; u < 8; ++u) acc[u] += f * d.b[x][u];
    }
    for (int u = 0; u < 8; ++u) tmp[y * 8 + u] = d.s[u] * acc[u];
  }
  for (int v = 0; v < 8; ++v) {
    float acc[8] = {};
    for (int y = 0; y < 8; ++y) {
      const float c = d.b[y][v];
      for (int u = 0; u < 8; ++u) acc[u] += tmp[y * 8 + u] * c;
    }
    for (int u = 0; u < 8; ++u) block[v * 8 + u] = d.s[v] * acc[u];
  }
}

TSL_JPEG_VECTOR_TARGET void transform_vector(const ImageU8& image, const Layout& lay, const float* qluma,
                                             const float* qchroma, size_t my, std::vector<float>& planes, int16_t* out,
                                             uint64_t* masks) {
  transform_body<true>(image, lay, qluma, qchroma, my, planes, out, masks);
}

#pragma GCC pop_options

void transform_plain(const ImageU8& image, const Layout& lay, const float* qluma, const float* qchroma, size_t my,
                     std::vector<float>& planes, int16_t* out, uint64_t* masks) {
  transform_body<false>(image, lay, qluma, qchroma, my, planes, out, masks);
}

// transform_body on the road in use.
void transform_mcu_row(const ImageU8& image, const Layout& lay, const float* qluma, const float* qchroma, size_t my,
                       std::vector<float>& planes, int16_t* out, uint64_t* masks) {
  if (jpeg_vector_path()) {
    transform_vector(image, lay, qluma, qchroma, my, planes, out, masks);
  } else {
    transform_plain(image, lay, qluma, qchroma, my, planes, out, masks);
  }
}

struct EntropyTables {
  HuffCodes dc_luma, ac_luma, dc_chroma, ac_chroma;
};

// One block from its natural-order coefficients and AC mask, walking only the non-zero
// coefficients, lowest zig-zag position first.
void encode_block(JpegBitWriter& bw, const int16_t* nat, uint64_t mask, int32_t& pred, const HuffCodes& dc,
                  const HuffCodes& ac) {
  BitCursor c = bw.begin();
  const int32_t diff = nat[0] - pred;
  pred = nat[0];
  const uint32_t size = magnitude_bits(diff);
  // A DC code has at most 11 bits and the difference of two DC values of 8-bit samples at
  // most 12, so code and value go out in one write.
  const uint32_t dc_bits = static_cast<uint32_t>(diff < 0 ? diff - 1 : diff) & ((1u << size) - 1);
  c.put((uint32_t{dc.code[size]} << size) | dc_bits, dc.length[size] + size);
  int last = 0;
  while (mask != 0) {
    const int k = std::countr_zero(mask);
    mask &= mask - 1;
    uint32_t run = static_cast<uint32_t>(k - last - 1);
    last = k;
    while (run > 15) {
      c.put(ac.code[0xF0], ac.length[0xF0]);
      run -= 16;
    }
    const int32_t v = nat[JPEG_ZIGZAG[k]];
    const uint32_t s = magnitude_bits(v);
    const uint32_t symbol = (run << 4) | s;
    const uint32_t bits = static_cast<uint32_t>(v < 0 ? v - 1 : v) & ((1u << s) - 1);
    c.put((uint32_t{ac.code[symbol]} << s) | bits, ac.length[symbol] + s);
  }
  if (last < 63) c.put(ac.code[0x00], ac.length[0x00]);
  bw.end(c);
}

}  // namespace

std::array<uint8_t, 64> scale_quant_table(std::span<const uint8_t, 64> base, uint32_t quality) {
  const int64_t s = 200 - 2 * int64_t{quality};
  std::array<uint8_t, 64> t{};
  for (size_t i = 0; i < 64; ++i) t[i] = static_cast<uint8_t>(std::clamp<int64_t>((base[i] * s + 50) / 100, 1, 255));
  return t;
}

void fetch_block(size_t width, size_t height, const float* plane, size_t plane_len, size_t x, size_t y,
                 unsigned factor, float* block) {
  if (plane_len < width * height || width == 0 || height == 0) internal_error("fetch_block: plane smaller than the image");
  fetch(width, height, [&](size_t yy) { return plane + yy * width; }, x, y, factor, block);
}

void fdct_8x8(float* block) { fdct_body(block); }

std::expected<std::vector<uint8_t>, std::string> encode_jpeg(const ImageU8& image, uint32_t quality,
                                                             std::span<const AppSegment> segments) {
  for (const auto& seg : segments)
    if (seg.payload.size() > JPEG_MAX_APP_PAYLOAD)
      return std::unexpected(
          format("APP segment payload of {} bytes exceeds {}", seg.payload.size(), JPEG_MAX_APP_PAYLOAD));
  Layout lay;
  lay.gray = image.channels == 1;
  const size_t channels = lay.gray ? 1 : 3;
  if (image.width == 0 || image.height == 0 || image.width > 65535 || image.height > 65535)
    internal_error(format("encode_jpeg: image size {}x{} out of range", image.width, image.height));
  if (image.data.size() < image.width * image.height * channels || (!lay.gray && image.channels != 3))
    internal_error("encode_jpeg: image data does not match its size");
  lay.subsample = !lay.gray && quality < 90;
  lay.mcu = lay.subsample ? 16 : 8;
  lay.mcus_x = (image.width + lay.mcu - 1) / lay.mcu;
  lay.mcus_y = (image.height + lay.mcu - 1) / lay.mcu;
  lay.blocks_per_mcu = lay.gray ? 1 : lay.subsample ? 6 : 3;

  const auto qluma = scale_quant_table(JPEG_LUMA_QUANT, quality);
  const auto qchroma = scale_quant_table(JPEG_CHROMA_QUANT, quality);

  std::vector<uint8_t> out;
  out.reserve(image.width * image.height / 4 + 1024);
  out.insert(out.end(), {0xFF, 0xD8});
  const bool exif_first = (!segments.empty() && segments[0].marker == 0xE1) ||
                          (segments.size() > 1 && segments[1].marker == 0xE1);
  if (!exif_first)
    out.insert(out.end(), {0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01,
                           0x00, 0x00});
  for (const auto& seg : segments) {
    out.insert(out.end(), {0xFF, seg.marker});
    put_u16(out, (seg.payload.size() + 2) & 0xFFFF);
    out.insert(out.end(), seg.payload.begin(), seg.payload.end());
  }
  out.insert(out.end(), {0xFF, 0xDB});
  put_u16(out, lay.gray ? 67 : 132);
  out.push_back(0x00);
  for (size_t k = 0; k < 64; ++k) out.push_back(qluma[JPEG_ZIGZAG[k]]);
  if (!lay.gray) {
    out.push_back(0x01);
    for (size_t k = 0; k < 64; ++k) out.push_back(qchroma[JPEG_ZIGZAG[k]]);
  }
  out.insert(out.end(), {0xFF, 0xC0});
  put_u16(out, 8 + 3 * channels);
  out.push_back(8);
  put_u16(out, image.height);
  put_u16(out, image.width);
  out.push_back(static_cast<uint8_t>(channels));
  if (lay.gray) {
    out.insert(out.end(), {1, 0x11, 0});
  } else {
    out.insert(out.end(), {1, static_cast<uint8_t>(lay.subsample ? 0x22 : 0x11), 0, 2, 0x11, 1, 3, 0x11, 1});
  }
  write_dht(out, 0x00, DC_LUMA_COUNTS, DC_SYMBOLS);
  write_dht(out, 0x10, AC_LUMA_COUNTS, AC_LUMA_SYMBOLS);
  if (!lay.gray) {
    write_dht(out, 0x01, DC_CHROMA_COUNTS, DC_SYMBOLS);
    write_dht(out, 0x11, AC_CHROMA_COUNTS, AC_CHROMA_SYMBOLS);
  }
  out.insert(out.end(), {0xFF, 0xDA});
  put_u16(out, 6 + 2 * channels);
  out.push_back(static_cast<uint8_t>(channels));
  if (lay.gray) {
    out.insert(out.end(), {1, 0x00});
  } else {
    out.insert(out.end(), {1, 0x00, 2, 0x11, 3, 0x11});
  }
  out.insert(out.end(), {0, 63, 0});

  const EntropyTables tables{make_codes(DC_LUMA_COUNTS, DC_SYMBOLS), make_codes(AC_LUMA_COUNTS, AC_LUMA_SYMBOLS),
                             make_codes(DC_CHROMA_COUNTS, DC_SYMBOLS), make_codes(AC_CHROMA_COUNTS, AC_CHROMA_SYMBOLS)};
  float ql[64], qc[64];
  for (int i = 0; i < 64; ++i) {
    ql[i] = qluma[i];
    qc[i] = qchroma[i];
  }
  JpegBitWriter bw{out};
  int32_t pred[3] = {0, 0, 0};
  auto encode_row = [&](const int16_t* nat, const uint64_t* masks) {
    for (size_t mx = 0; mx < lay.mcus_x; ++mx) {
      if (lay.gray) {
        encode_block(bw, nat, *masks++, pred[0], tables.dc_luma, tables.ac_luma);
        nat += 64;
        continue;
      }
      const size_t luma_blocks = lay.subsample ? 4 : 1;
      for (size_t b = 0; b < luma_blocks; ++b, nat += 64)
        encode_block(bw, nat, *masks++, pred[0], tables.dc_luma, tables.ac_luma);
      encode_block(bw, nat, *masks++, pred[1], tables.dc_chroma, tables.ac_chroma);
      nat += 64;
      encode_block(bw, nat, *masks++, pred[2], tables.dc_chroma, tables.ac_chroma);
      nat += 64;
    }
  };
  const size_t row_blocks = lay.mcus_x * lay.blocks_per_mcu;
  const size_t row_coeffs = row_blocks * 64;
  const size_t budget = cpu_budget();
  if (budget < 2 || lay.mcus_y < 2 || in_par_worker()) {
    std::vector<int16_t> coeffs(row_coeffs);
    std::vector<uint64_t> masks(row_blocks);
    std::vector<float> planes;
    for (size_t my = 0; my < lay.mcus_y; ++my) {
      transform_mcu_row(image, lay, ql, qc, my, planes, coeffs.data(), masks.data());
      encode_row(coeffs.data(), masks.data());
    }
  } else {
    // Workers transform MCU rows into a ring while this thread Huffman-codes them in order, so
    // the serial coding hides the transform. A row's slot is refilled once it is coded.
    const size_t workers = budget - 1;
    const size_t ring = std::min(lay.mcus_y, 2 * workers + 2);
    std::vector<int16_t> coeffs(ring * row_coeffs);
    std::vector<uint64_t> masks(ring * row_blocks);
    std::vector<std::atomic<uint8_t>> ready(lay.mcus_y);
    std::atomic<size_t> next{0}, coded{0};
    std::atomic<bool> abort{false};
    std::mutex fault_mutex;
    std::exception_ptr fault;
    auto worker = [&] {
      try {
        std::vector<float> planes;
        for (;;) {
          const size_t k = next.fetch_add(1);
          if (k >= lay.mcus_y) return;
          size_t c;
          while (k >= (c = coded.load(std::memory_order_acquire)) + ring) coded.wait(c);
          if (abort.load()) return;
          transform_mcu_row(image, lay, ql, qc, k, planes, coeffs.data() + (k % ring) * row_coeffs,
                            masks.data() + (k % ring) * row_blocks);
          ready[k].store(1, std::memory_order_release);
          ready[k].notify_one();
        }
      } catch (...) {
        {
          std::lock_guard lock(fault_mutex);
          if (!fault) fault = std::current_exception();
        }
        abort.store(true);
        for (auto& r : ready) {
          r.store(1);
          r.notify_one();
        }
      }
    };
    auto coder = [&] {
      for (size_t k = 0; k < lay.mcus_y; ++k) {
        while (ready[k].load(std::memory_order_acquire) == 0) ready[k].wait(0);
        if (abort.load()) break;
        encode_row(coeffs.data() + (k % ring) * row_coeffs, masks.data() + (k % ring) * row_blocks);
        coded.store(k + 1, std::memory_order_release);
        coded.notify_all();
      }
      // Release workers still waiting for a slot.
      coded.store(SIZE_MAX / 2, std::memory_order_release);
      coded.notify_all();
    };
    par_detail::run_workers_with_reporter(workers, log_context(), worker, coder);
    if (fault) std::rethrow_exception(fault);
  }
  bw.finish();
  out.insert(out.end(), {0xFF, 0xD9});
  return out;
}

}  // namespace tsl
