#include "img/jpeg/reconstruct.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <span>
#include <vector>

#include "util/par.h"

namespace tsl {

namespace {

struct Plane {
  std::vector<uint8_t> data;
  size_t width = 0;
  size_t height = 0;
  uint32_t block_w = 8;
  uint32_t block_h = 8;
};

// Round half away from zero of a value already clamped to 0..255.
inline uint8_t round_sample(float s) {
  const float v = std::min(std::max(s, 0.0f), 255.0f);
  auto i = static_cast<int>(v);
  if (v - static_cast<float>(i) >= 0.5f) ++i;
  return static_cast<uint8_t>(i);
}

// One block: dequantise, a horizontal pass over the first bh frequency rows and a vertical
// pass, each summed in increasing frequency from 0. All-zero frequency rows and trailing zero
// frequencies add exact zeros, so skipping them leaves every sum unchanged.
// txt is the horizontal basis transposed (u * 8 + x), ty the vertical one (y * 8 + v).
void idct_block(const int16_t* coef, const uint16_t* quant, const float* txt, const float* ty, uint32_t bw,
                uint32_t bh, uint8_t* out, size_t stride) {
  int ac = 0;
  for (int k = 1; k < 64; ++k) ac |= coef[k];
  if (ac == 0) {
    // Every basis entry of frequency 0 is C(0), so a DC-only block is flat.
    const float f = static_cast<float>(coef[0]) * static_cast<float>(quant[0]);
    const float t = 0.0f + txt[0] * f;
    const float s = 0.0f + ty[0] * t;
    const uint8_t value = round_sample(s * 0.25f + 128.0f);
    for (uint32_t y = 0; y < bh; ++y) std::fill_n(out + y * stride, bw, value);
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
  for (uint32_t y = 0; y < bh; ++y) {
    float acc[8] = {};
    for (uint32_t v = 0; v < bh; ++v) {
      if (!row_used[v]) continue;
      const float w = ty[y * 8 + v];
      for (int x = 0; x < 8; ++x) acc[x] += w * t[v][x];
    }
    uint8_t* o = out + y * stride;
    for (uint32_t x = 0; x < bw; ++x) o[x] = round_sample(acc[x] * 0.25f + 128.0f);
  }
}

Plane transform_component(const JpegComponent& c, const std::array<uint16_t, 64>& quant, uint32_t block_w,
                          uint32_t block_h) {
  Plane p;
  p.block_w = block_w;
  p.block_h = block_h;
  p.width = c.blocks_w * block_w;
  p.height = c.blocks_h * block_h;
  p.data.resize(p.width * p.height);
  const auto tx = idct_basis(block_w);
  const auto ty = idct_basis(block_h);
  std::array<float, 64> txt{};
  for (int x = 0; x < 8; ++x)
    for (int u = 0; u < 8; ++u) txt[u * 8 + x] = tx[x * 8 + u];
  const size_t width = p.width;
  par_chunks(std::span<uint8_t>(p.data), width * block_h, cpu_budget(), [&](size_t i, std::span<uint8_t> rows) {
    const int16_t* blocks = c.coeffs.data() + i * c.blocks_w * 64;
    for (size_t b = 0; b < c.blocks_w; ++b)
      idct_block(blocks + b * 64, quant.data(), txt.data(), ty.data(), block_w, block_h, rows.data() + b * block_w,
                 width);
  });
  return p;
}

// Where output sample i of a component falls in its plane: two neighbours and the weight of
// the second in 1/256 (centre-aligned bilinear, as float then rounded).
struct Tap {
  uint32_t i0 = 0;
  uint32_t i1 = 0;
  uint32_t w = 0;
};

std::vector<Tap> make_taps(size_t n, float ratio, size_t plane_len) {
  std::vector<Tap> taps(n);
  const auto last = static_cast<uint32_t>(plane_len - 1);
  for (size_t i = 0; i < n; ++i) {
    const float f = std::max(ratio * (static_cast<float>(i) + 0.5f) - 0.5f, 0.0f);
    const auto i0 = std::min(static_cast<uint32_t>(f), last);
    taps[i] = {i0, std::min(i0 + 1, last),
               static_cast<uint32_t>(std::lround((f - static_cast<float>(i0)) * 256.0f))};
    if (taps[i].w > 256) taps[i].w = 256;
  }
  return taps;
}

struct ColorPlan {
  const Plane* plane = nullptr;
  bool direct = false;  // full resolution: read the plane as it is
  std::vector<Tap> cols;
  std::vector<Tap> rows;
};

constexpr int32_t fix16(double x) { return static_cast<int32_t>(x * 65536.0 + 0.5); }

inline uint8_t clamp_u8(int32_t v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// Fills `line` with one output row of a component, upsampled when it is subsampled.
const uint8_t* component_row(const ColorPlan& cp, size_t r, size_t width, std::vector<uint16_t>& vbuf,
                             std::vector<uint8_t>& line) {
  const Plane& p = *cp.plane;
  if (cp.direct) {
    const uint8_t* src = p.data.data() + std::min(r, p.height - 1) * p.width;
    if (p.width >= width) return src;
    for (size_t x = 0; x < width; ++x) line[x] = src[std::min(x, p.width - 1)];
    return line.data();
  }
  const Tap& ty = cp.rows[r];
  const uint8_t* a = p.data.data() + size_t{ty.i0} * p.width;
  const uint8_t* b = p.data.data() + size_t{ty.i1} * p.width;
  const uint32_t wb = ty.w, wa = 256 - ty.w;
  const size_t used = std::min<size_t>(p.width, size_t{cp.cols[width - 1].i1} + 1);
  for (size_t c = 0; c < used; ++c) vbuf[c] = static_cast<uint16_t>(a[c] * wa + b[c] * wb);
  for (size_t x = 0; x < width; ++x) {
    const Tap& t = cp.cols[x];
    line[x] = static_cast<uint8_t>((vbuf[t.i0] * (256 - t.w) + vbuf[t.i1] * t.w + 32768) >> 16);
  }
  return line.data();
}

bool frame_is_rgb(const JpegDecoder& dec) {
  if (dec.components.size() != 3) return false;
  if (dec.adobe && !dec.jfif && dec.adobe_transform == 0) return true;
  return dec.components[0].id == 'R' && dec.components[1].id == 'G';
}

void convert_rows(const std::vector<ColorPlan>& plans, bool is_rgb, size_t width, size_t first_row,
                  std::span<uint8_t> out) {
  const size_t nc = plans.size();
  size_t max_plane = 0;
  for (const auto& cp : plans) max_plane = std::max(max_plane, cp.plane->width);
  std::vector<uint16_t> vbuf(max_plane);
  std::vector<uint8_t> lines[3];
  for (size_t j = 0; j < nc; ++j) lines[j].resize(width);
  const size_t rows = out.size() / (width * 3);
  for (size_t ry = 0; ry < rows; ++ry) {
    const size_t r = first_row + ry;
    uint8_t* o = out.data() + ry * width * 3;
    const uint8_t* s[3];
    for (size_t j = 0; j < nc; ++j) s[j] = component_row(plans[j], r, width, vbuf, lines[j]);
    if (nc == 1) {
      for (size_t x = 0; x < width; ++x) o[3 * x] = o[3 * x + 1] = o[3 * x + 2] = s[0][x];
    } else if (is_rgb) {
      for (size_t x = 0; x < width; ++x) {
        o[3 * x] = s[0][x];
        o[3 * x + 1] = s[1][x];
        o[3 * x + 2] = s[2][x];
      }
    } else {
      // Fixed-point YCbCr to RGB with 16 fraction bits; the products stay within 32 bits.
      constexpr int32_t CR_R = fix16(1.402), CB_G = fix16(0.344136), CR_G = fix16(0.714136), CB_B = fix16(1.772);
      constexpr int32_t HALF = 1 << 15;
      for (size_t x = 0; x < width; ++x) {
        const int32_t y = s[0][x], cb = s[1][x] - 128, cr = s[2][x] - 128;
        o[3 * x] = clamp_u8(y + ((CR_R * cr + HALF) >> 16));
        o[3 * x + 1] = clamp_u8(y + ((-CB_G * cb - CR_G * cr + HALF) >> 16));
        o[3 * x + 2] = clamp_u8(y + ((CB_B * cb + HALF) >> 16));
      }
    }
  }
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

ImageU8 jpeg_reconstruct(const JpegDecoder& dec, unsigned denominator) {
  const unsigned d = jpeg_scale_denominator(denominator);
  const unsigned shift = static_cast<unsigned>(std::countr_zero(d));
  const uint32_t bs = 8 >> shift;
  const size_t out_w = (dec.width + d - 1) >> shift;
  const size_t out_h = (dec.height + d - 1) >> shift;

  std::vector<Plane> planes;
  planes.reserve(dec.components.size());
  for (const auto& c : dec.components) {
    const uint32_t bw = std::clamp<uint32_t>(dec.hmax * bs / c.h, 1, 8);
    const uint32_t bh = std::clamp<uint32_t>(dec.vmax * bs / c.v, 1, 8);
    planes.push_back(transform_component(c, dec.quant[c.tq], bw, bh));
  }

  ImageU8 out(out_w, out_h, 3);
  if (out_w == 0 || out_h == 0) return out;
  std::vector<ColorPlan> plans(std::min<size_t>(planes.size(), 3));
  for (size_t j = 0; j < plans.size(); ++j) {
    const auto& c = dec.components[j];
    const Plane& p = planes[j];
    const float sx = static_cast<float>(p.block_w * c.h) / static_cast<float>(dec.hmax * bs);
    const float sy = static_cast<float>(p.block_h * c.v) / static_cast<float>(dec.vmax * bs);
    plans[j].plane = &p;
    plans[j].direct = sx >= 0.999f && sy >= 0.999f;
    if (!plans[j].direct) {
      plans[j].cols = make_taps(out_w, sx, p.width);
      plans[j].rows = make_taps(out_h, sy, p.height);
    }
  }
  const bool is_rgb = frame_is_rgb(dec);
  constexpr size_t ROWS_PER_CHUNK = 16;
  par_chunks(std::span<uint8_t>(out.data), out_w * 3 * ROWS_PER_CHUNK, cpu_budget(),
             [&](size_t k, std::span<uint8_t> chunk) { convert_rows(plans, is_rgb, out_w, k * ROWS_PER_CHUNK, chunk); });
  return out;
}

}  // namespace tsl
