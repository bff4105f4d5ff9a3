#include "dis/refine.h"

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

#include "img/image.h"
#include "util/par.h"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace tsl {

namespace {

constexpr float BRIGHTNESS_WEIGHT = 2.5f;
constexpr float GRADIENT_WEIGHT = 5.0f;
constexpr float SMOOTHNESS_WEIGHT = 10.0f;
// Added to every squared-gradient normaliser and to the diagonal: keeps each denominator
// at least 0.01, so a pixel without data follows its neighbours.
constexpr float NORMALISER = 0.01f;
constexpr float PENALTY_EPS = 1e-6f;  // under every square root: no division by zero
constexpr float RELAXATION = 1.6f;
constexpr size_t OUTER_ITERATIONS = 5;
constexpr size_t SWEEPS = 5;
// Strips of the parallel refinement: at most this many, and at least this many rows each.
constexpr size_t MAX_STRIPS = 16;
constexpr size_t MIN_STRIP_ROWS = 32;

using Plane = std::vector<float>;

// Four pixels a step. Every lane does the scalar code's operations in the same order (no
// fused multiply-adds, exact square roots and divisions), so the vector loops give the
// same values as the scalar ones that handle the borders.
using F32x4 = float __attribute__((vector_size(16)));
using I32x4 = int32_t __attribute__((vector_size(16)));
constexpr size_t LANES = 4;

inline F32x4 load4(const float* p) {
  F32x4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void store4(float* p, F32x4 v) { std::memcpy(p, &v, sizeof v); }

inline float root(float x) { return std::sqrt(x); }

inline F32x4 root(F32x4 x) {
#if defined(__SSE2__)
  return _mm_sqrt_ps(x);
#else
  return F32x4{std::sqrt(x[0]), std::sqrt(x[1]), std::sqrt(x[2]), std::sqrt(x[3])};
#endif
}

// The planes of one level, carved from a DisRefineScratch. The derivatives are dead once the
// warped data is made, so the data system and the smoothness planes reuse their slots.
struct Planes {
  float *i0x, *i0y, *i0xx, *i0xy, *i0yy, *i1x, *i1y, *i1xx, *i1xy, *i1yy;  // derivatives
  float *ix, *iy, *it, *ixx, *ixy, *iyy, *ixt, *iyt;                      // warped data
  float *du, *dv;                                                         // unknowns
  float *a11, *a12, *a22, *b1, *b2;                                       // data system
  float *wh, *wv, *S, *b1c, *b2c;                                         // smoothness
};
constexpr size_t DERIVATIVE_PLANES = 10;
constexpr size_t PLANES = 20;

Planes carve(DisRefineScratch& scratch, size_t n) {
  if (scratch.plane_len < n) scratch = make_dis_refine_scratch(n);
  float* base = scratch.storage.get();
  auto plane = [&](size_t k) { return base + k * scratch.plane_len; };
  Planes p;
  float** own[PLANES] = {&p.i0x, &p.i0y, &p.i0xx, &p.i0xy, &p.i0yy, &p.i1x, &p.i1y, &p.i1xx, &p.i1xy, &p.i1yy,
                         &p.ix,  &p.iy,  &p.it,   &p.ixx,  &p.ixy,  &p.iyy, &p.ixt, &p.iyt,  &p.du,   &p.dv};
  for (size_t k = 0; k < PLANES; ++k) *own[k] = plane(k);
  float** reused[DERIVATIVE_PLANES] = {&p.a11, &p.a12, &p.a22, &p.b1, &p.b2, &p.wh, &p.wv, &p.S, &p.b1c, &p.b2c};
  for (size_t k = 0; k < DERIVATIVE_PLANES; ++k) *reused[k] = plane(k);
  return p;
}

// Rows [y0, y1) of dis_gradient of a w x h plane (w, h >= 1) into `out`, which must not
// overlap `img`.
void gradient_into(const float* img, size_t w, size_t h, bool horizontal, float* out, size_t y0, size_t y1) {
  // The nearest floats to 1/12 and 2/3. The taps are paired before weighting, so a
  // constant run of samples gives exactly zero.
  const float k1 = 1.0f / 12.0f, k2 = 2.0f / 3.0f;
  for (size_t y = y0; y < y1; ++y) {
    float* o = out + y * w;
    if (horizontal) {
      const float* r = img + y * w;
      auto at = [&](ptrdiff_t x) { return r[std::clamp<ptrdiff_t>(x, 0, static_cast<ptrdiff_t>(w) - 1)]; };
      auto edge = [&](size_t x) {
        const ptrdiff_t i = static_cast<ptrdiff_t>(x);
        o[x] = k1 * (at(i - 2) - at(i + 2)) + k2 * (at(i + 1) - at(i - 1));
      };
      if (w < 5) {
        for (size_t x = 0; x < w; ++x) edge(x);
        continue;
      }
      edge(0);
      edge(1);
      size_t x = 2;
      for (; x + LANES + 2 <= w; x += LANES)
        store4(o + x, k1 * (load4(r + x - 2) - load4(r + x + 2)) + k2 * (load4(r + x + 1) - load4(r + x - 1)));
      for (; x + 2 < w; ++x) o[x] = k1 * (r[x - 2] - r[x + 2]) + k2 * (r[x + 1] - r[x - 1]);
      edge(w - 2);
      edge(w - 1);
    } else {
      auto row = [&](ptrdiff_t yy) {
        return img + std::clamp<ptrdiff_t>(yy, 0, static_cast<ptrdiff_t>(h) - 1) * w;
      };
      const ptrdiff_t i = static_cast<ptrdiff_t>(y);
      const float *a = row(i - 2), *b = row(i - 1), *c = row(i + 1), *d = row(i + 2);
      size_t x = 0;
      for (; x + LANES <= w; x += LANES)
        store4(o + x, k1 * (load4(a + x) - load4(d + x)) + k2 * (load4(c + x) - load4(b + x)));
      for (; x < w; ++x) o[x] = k1 * (a[x] - d[x]) + k2 * (c[x] - b[x]);
    }
  }
}

// First derivatives of I0 and I1 on rows [y0, y1).
void first_derivatives(const DisLevel& level, Planes& d, size_t y0, size_t y1) {
  const size_t w = level.w, h = level.h;
  gradient_into(level.I0.data(), w, h, true, d.i0x, y0, y1);
  gradient_into(level.I0.data(), w, h, false, d.i0y, y0, y1);
  gradient_into(level.I1.data(), w, h, true, d.i1x, y0, y1);
  gradient_into(level.I1.data(), w, h, false, d.i1y, y0, y1);
}

// Second derivatives on rows [y0, y1); the vertical ones read the first derivatives of the
// two rows on either side.
void second_derivatives(const DisLevel& level, Planes& d, size_t y0, size_t y1) {
  const size_t w = level.w, h = level.h;
  gradient_into(d.i0x, w, h, true, d.i0xx, y0, y1);
  gradient_into(d.i0x, w, h, false, d.i0xy, y0, y1);
  gradient_into(d.i0y, w, h, false, d.i0yy, y0, y1);
  gradient_into(d.i1x, w, h, true, d.i1xx, y0, y1);
  gradient_into(d.i1x, w, h, false, d.i1xy, y0, y1);
  gradient_into(d.i1y, w, h, false, d.i1yy, y0, y1);
}

// Per-pixel data of the linearised energy on rows [y0, y1), sampled once per level at the
// warped points: mean first and second derivatives, brightness and gradient differences;
// all zero where the warped point leaves the image.
void warp_data(const DisLevel& level, const Plane& u, const Plane& v, Planes& d, size_t y0, size_t y1) {
  const size_t w = level.w, h = level.h;
  const float xmax = static_cast<float>(w - 1), ymax = static_cast<float>(h - 1);
  for (size_t y = y0; y < y1; ++y) {
    for (size_t x = 0; x < w; ++x) {
      const size_t p = y * w + x;
      const float X = static_cast<float>(x) + u[p], Y = static_cast<float>(y) + v[p];
      // Written so that NaN fails the test: a point that is not a number counts as outside.
      if (!(X >= 0.0f && X <= xmax && Y >= 0.0f && Y <= ymax)) {
        d.ix[p] = d.iy[p] = d.it[p] = d.ixx[p] = d.ixy[p] = d.iyy[p] = d.ixt[p] = d.iyt[p] = 0.0f;
        continue;
      }
      // Both are inside the image, so their truncations are their floors.
      const size_t cx = static_cast<size_t>(X), cy = static_cast<size_t>(Y);
      const float fx = X - static_cast<float>(cx), fy = Y - static_cast<float>(cy);
      const size_t dx = cx + 1 < w ? 1 : 0, dy = cy + 1 < h ? w : 0;
      const size_t q = cy * w + cx;
      auto at = [&](const float* img) {
        const float* s = img + q;
        return (1.0f - fy) * ((1.0f - fx) * s[0] + fx * s[dx]) + fy * ((1.0f - fx) * s[dy] + fx * s[dy + dx]);
      };
      const float b1x = at(d.i1x), b1y = at(d.i1y);
      d.ix[p] = (d.i0x[p] + b1x) / 2.0f;
      d.iy[p] = (d.i0y[p] + b1y) / 2.0f;
      d.it[p] = at(level.I1.data()) - level.I0[p];
      d.ixx[p] = (at(d.i1xx) + d.i0xx[p]) / 2.0f;
      d.ixy[p] = (at(d.i1xy) + d.i0xy[p]) / 2.0f;
      d.iyy[p] = (at(d.i1yy) + d.i0yy[p]) / 2.0f;
      d.ixt[p] = b1x - d.i0x[p];
      d.iyt[p] = b1y - d.i0y[p];
    }
  }
}

// The 2 x 2 data system of pixels p .. p + lanes - 1 (T is float or F32x4), linearised at
// the current increment.
template <typename T>
inline void data_system(Planes& d, size_t p) {
  auto ld = [&](const float* a) {
    if constexpr (std::is_same_v<T, float>)
      return a[p];
    else
      return load4(a + p);
  };
  auto st = [&](float* a, T value) {
    if constexpr (std::is_same_v<T, float>)
      a[p] = value;
    else
      store4(a + p, value);
  };
  const T du = ld(d.du), dv = ld(d.dv);
  const T ix = ld(d.ix), iy = ld(d.iy), it = ld(d.it);
  // Each normaliser's reciprocal is taken once: a multiply in place of every division.
  const T in = 1.0f / (ix * ix + iy * iy + NORMALISER);
  const T r = ix * du + it + iy * dv;
  const T c = BRIGHTNESS_WEIGHT / root(r * r * in + PENALTY_EPS) * in;
  T a11 = c * ix * ix + NORMALISER, a12 = c * ix * iy, a22 = c * iy * iy + NORMALISER;
  T b1 = -c * it * ix, b2 = -c * it * iy;
  const T ixx = ld(d.ixx), ixy = ld(d.ixy), iyy = ld(d.iyy), ixt = ld(d.ixt), iyt = ld(d.iyt);
  const T inx = 1.0f / (ixx * ixx + ixy * ixy + NORMALISER), iny = 1.0f / (ixy * ixy + iyy * iyy + NORMALISER);
  const T rx = ixx * du + ixt + ixy * dv, ry = ixy * du + iyt + iyy * dv;
  const T g = GRADIENT_WEIGHT / root(rx * rx * inx + ry * ry * iny + PENALTY_EPS);
  const T gx = g * inx, gy = g * iny;
  a11 += gx * ixx * ixx + gy * ixy * ixy;
  a12 += gx * ixx * ixy + gy * ixy * iyy;
  a22 += gx * ixy * ixy + gy * iyy * iyy;
  b1 -= gx * ixx * ixt + gy * ixy * iyt;
  b2 -= gx * ixy * ixt + gy * iyy * iyt;
  st(d.a11, a11);
  st(d.a12, a12);
  st(d.a22, a22);
  st(d.b1, b1);
  st(d.b2, b2);
}

// The data system of rows [y0, y1).
void data_term(Planes& d, size_t w, size_t y0, size_t y1) {
  size_t p = y0 * w;
  const size_t end = y1 * w;
  for (; p + LANES <= end; p += LANES) data_system<F32x4>(d, p);
  for (; p < end; ++p) data_system<float>(d, p);
}

// U = u + du and V = v + dv of rows [y0, y1), formed into b1c and b2c, which smoothness_rhs
// overwrites once the weights are made.
void current_flow(const Plane& u, const Plane& v, size_t w, size_t y0, size_t y1, Planes& s) {
  for (size_t p = y0 * w; p < y1 * w; ++p) {
    s.b1c[p] = u[p] + s.du[p];
    s.b2c[p] = v[p] + s.dv[p];
  }
}

// Edge weights of the smoothness term at U, V (from current_flow) for rows [y0, y1): wh for
// the edge to the right neighbour (0 in the last column), wv for the edge to the one below
// (0 in the last row).
void smoothness_weights(size_t w, size_t h, size_t y0, size_t y1, Planes& s) {
  const float* __restrict U = s.b1c;
  const float* __restrict V = s.b2c;
  auto weight = [](auto ux, auto vx, auto uy, auto vy) {
    return SMOOTHNESS_WEIGHT / root(ux * ux + vx * vx + uy * uy + vy * vy + PENALTY_EPS);
  };
  for (size_t y = y0; y < y1; ++y) {
    const size_t ya = y == 0 ? 0 : y - 1, yb = y + 1 < h ? y + 1 : h - 1;
    const float *u0 = U + y * w, *ua = U + ya * w, *ub = U + yb * w;
    const float *v0 = V + y * w, *va = V + ya * w, *vb = V + yb * w;
    float* __restrict wh = s.wh + y * w;
    float* __restrict wv = s.wv + y * w;
    size_t x = 0;
    for (; x + LANES + 1 <= w; x += LANES) {
      const F32x4 ux = load4(u0 + x + 1) - load4(u0 + x), vx = load4(v0 + x + 1) - load4(v0 + x);
      const F32x4 uy = (load4(ub + x) - load4(ua + x) + load4(ub + x + 1) - load4(ua + x + 1)) / 4.0f;
      const F32x4 vy = (load4(vb + x) - load4(va + x) + load4(vb + x + 1) - load4(va + x + 1)) / 4.0f;
      store4(wh + x, weight(ux, vx, uy, vy));
    }
    for (; x + 1 < w; ++x) {
      const float ux = u0[x + 1] - u0[x], vx = v0[x + 1] - v0[x];
      const float uy = (ub[x] - ua[x] + ub[x + 1] - ua[x + 1]) / 4.0f;
      const float vy = (vb[x] - va[x] + vb[x + 1] - va[x + 1]) / 4.0f;
      wh[x] = weight(ux, vx, uy, vy);
    }
    wh[w - 1] = 0.0f;
    if (y + 1 == h) {
      for (size_t i = 0; i < w; ++i) wv[i] = 0.0f;
      continue;
    }
    const float *u1 = U + (y + 1) * w, *v1 = V + (y + 1) * w;
    auto vertical = [&](size_t c, size_t xa, size_t xb) {
      const float ux = (u0[xb] - u0[xa] + u1[xb] - u1[xa]) / 4.0f;
      const float vx = (v0[xb] - v0[xa] + v1[xb] - v1[xa]) / 4.0f;
      return weight(ux, vx, u1[c] - u0[c], v1[c] - v0[c]);
    };
    wv[0] = vertical(0, 0, std::min<size_t>(1, w - 1));
    x = 1;
    for (; x + LANES + 1 <= w; x += LANES) {
      const F32x4 ux = (load4(u0 + x + 1) - load4(u0 + x - 1) + load4(u1 + x + 1) - load4(u1 + x - 1)) / 4.0f;
      const F32x4 vx = (load4(v0 + x + 1) - load4(v0 + x - 1) + load4(v1 + x + 1) - load4(v1 + x - 1)) / 4.0f;
      store4(wv + x, weight(ux, vx, load4(u1 + x) - load4(u0 + x), load4(v1 + x) - load4(v0 + x)));
    }
    for (; x + 1 < w; ++x) {
      const float ux = (u0[x + 1] - u0[x - 1] + u1[x + 1] - u1[x - 1]) / 4.0f;
      const float vx = (v0[x + 1] - v0[x - 1] + v1[x + 1] - v1[x - 1]) / 4.0f;
      wv[x] = weight(ux, vx, u1[x] - u0[x], v1[x] - v0[x]);
    }
    if (w > 1) wv[w - 1] = vertical(w - 1, w - 2, w - 1);
  }
}

// S and the right-hand sides with the smoothness of the given flow, and the inverted
// diagonals of the sweeps. Each pixel gathers its four edges (above, left, right, below) in
// the order a row-major scatter over the edges would add them.
void smoothness_rhs(const Plane& u, const Plane& v, size_t w, size_t h, size_t y0, size_t y1, Planes& s) {
  const float* __restrict wh = s.wh;
  const float* __restrict wv = s.wv;
  const float* __restrict b1 = s.b1;
  const float* __restrict b2 = s.b2;
  float* __restrict b1c = s.b1c;
  float* __restrict b2c = s.b2c;
  // The diagonals a11 + S and a22 + S are inverted in place, once for the sweeps that follow.
  float* __restrict inv11 = s.a11;
  float* __restrict inv22 = s.a22;
  for (size_t y = y0; y < y1; ++y) {
    const size_t row = y * w;
    auto any = [&](size_t x) {
      const size_t p = row + x;
      float sum = 0.0f, r1 = b1[p], r2 = b2[p];
      auto edge = [&](float e, size_t q) {
        sum += e;
        r1 += e * (u[q] - u[p]);
        r2 += e * (v[q] - v[p]);
      };
      if (y > 0) edge(wv[p - w], p - w);
      if (x > 0) edge(wh[p - 1], p - 1);
      if (x + 1 < w) edge(wh[p], p + 1);
      if (y + 1 < h) edge(wv[p], p + w);
      b1c[p] = r1;
      b2c[p] = r2;
      inv11[p] = 1.0f / (inv11[p] + sum);
      inv22[p] = 1.0f / (inv22[p] + sum);
    };
    if (y == 0 || y + 1 == h || w < 3) {
      for (size_t x = 0; x < w; ++x) any(x);
      continue;
    }
    any(0);
    size_t p = row + 1;
    for (; p + LANES + 1 <= row + w; p += LANES) {
      const F32x4 eu = load4(wv + p - w), el = load4(wh + p - 1), er = load4(wh + p), ed = load4(wv + p);
      const F32x4 sum = ((eu + el) + er) + ed;
      store4(inv11 + p, 1.0f / (load4(inv11 + p) + sum));
      store4(inv22 + p, 1.0f / (load4(inv22 + p) + sum));
      const F32x4 uc = load4(u.data() + p), vc = load4(v.data() + p);
      store4(b1c + p, (((load4(b1 + p) + eu * (load4(u.data() + p - w) - uc)) + el * (load4(u.data() + p - 1) - uc)) +
                       er * (load4(u.data() + p + 1) - uc)) +
                          ed * (load4(u.data() + p + w) - uc));
      store4(b2c + p, (((load4(b2 + p) + eu * (load4(v.data() + p - w) - vc)) + el * (load4(v.data() + p - 1) - vc)) +
                       er * (load4(v.data() + p + 1) - vc)) +
                          ed * (load4(v.data() + p + w) - vc));
    }
    for (; p < row + w - 1; ++p) {
      const float eu = wv[p - w], el = wh[p - 1], er = wh[p], ed = wv[p];
      const float sum = ((eu + el) + er) + ed;
      inv11[p] = 1.0f / (inv11[p] + sum);
      inv22[p] = 1.0f / (inv22[p] + sum);
      b1c[p] = (((b1[p] + eu * (u[p - w] - u[p])) + el * (u[p - 1] - u[p])) + er * (u[p + 1] - u[p])) +
               ed * (u[p + w] - u[p]);
      b2c[p] = (((b2[p] + eu * (v[p - w] - v[p])) + el * (v[p - 1] - v[p])) + er * (v[p + 1] - v[p])) +
               ed * (v[p + w] - v[p]);
    }
    any(w - 1);
  }
}

// One half of a red-black sweep on row y: the pixels with (x + y) % 2 == colour read only the
// other colour's increments besides their own.
void relax_row(Planes& s, size_t w, size_t h, size_t y, size_t colour) {
  const float* __restrict wh = s.wh;
  const float* __restrict wv = s.wv;
  const float* __restrict b1c = s.b1c;
  const float* __restrict b2c = s.b2c;
  const float* __restrict inv11 = s.a11;  // 1 / (a11 + S), from smoothness_rhs
  const float* __restrict a12 = s.a12;
  const float* __restrict inv22 = s.a22;  // 1 / (a22 + S)
  float* du = s.du;
  float* dv = s.dv;
  auto update = [&](size_t p, float nu, float nv) {
    const float u_new = du[p] + RELAXATION * ((nu + b1c[p] - a12[p] * dv[p]) * inv11[p] - du[p]);
    du[p] = u_new;
    dv[p] = dv[p] + RELAXATION * ((nv + b2c[p] - a12[p] * u_new) * inv22[p] - dv[p]);
  };
  const bool top = y == 0, bottom = y + 1 == h;
  auto any = [&](size_t x) {
    const size_t p = y * w + x;
    float nu = 0.0f, nv = 0.0f;
    if (x > 0) {
      nu += wh[p - 1] * du[p - 1];
      nv += wh[p - 1] * dv[p - 1];
    }
    if (x + 1 < w) {
      nu += wh[p] * du[p + 1];
      nv += wh[p] * dv[p + 1];
    }
    if (!top) {
      nu += wv[p - w] * du[p - w];
      nv += wv[p - w] * dv[p - w];
    }
    if (!bottom) {
      nu += wv[p] * du[p + w];
      nv += wv[p] * dv[p + w];
    }
    update(p, nu, nv);
  };
  size_t x = (y + colour) % 2;
  if (top || bottom || w < 3) {
    for (; x < w; x += 2) any(x);
    return;
  }
  if (x == 0) any(0);
  // Interior, four pixels a step: all lanes are computed and only this colour's are kept.
  // The other colour's values are written back unchanged, and nothing read by a later step
  // of this row is of this colour. All four neighbours exist, added in the order above.
  const I32x4 keep = x == 1 ? I32x4{-1, 0, -1, 0} : I32x4{0, -1, 0, -1};
  // The left neighbours come from the registers of the step before: a load overlapping the
  // store just made would stall on every step.
  size_t q = y * w + 1;
  const size_t last = y * w + w - 1;  // the last column, left to `any`
  F32x4 pu = {0.0f, 0.0f, 0.0f, du[q - 1]}, pv = {0.0f, 0.0f, 0.0f, dv[q - 1]};
  for (; q + LANES <= last; q += LANES) {
    const F32x4 el = load4(wh + q - 1), er = load4(wh + q), eu = load4(wv + q - w), ed = load4(wv + q);
    const F32x4 u0 = load4(du + q), v0 = load4(dv + q);
    // Lane 3 of the step before, then lanes 0 to 2 of this one (a shuffle both compilers know).
    const F32x4 lu = __builtin_shufflevector(pu, u0, 3, 4, 5, 6), lv = __builtin_shufflevector(pv, v0, 3, 4, 5, 6);
    const F32x4 nu = ((el * lu + er * load4(du + q + 1)) + eu * load4(du + q - w)) + ed * load4(du + q + w);
    const F32x4 nv = ((el * lv + er * load4(dv + q + 1)) + eu * load4(dv + q - w)) + ed * load4(dv + q + w);
    const F32x4 a = load4(a12 + q);
    const F32x4 u1 = u0 + RELAXATION * ((nu + load4(b1c + q) - a * v0) * load4(inv11 + q) - u0);
    const F32x4 v1 = v0 + RELAXATION * ((nv + load4(b2c + q) - a * u1) * load4(inv22 + q) - v0);
    store4(du + q, keep ? u1 : u0);
    store4(dv + q, keep ? v1 : v0);
    // The next step's left neighbour is of the other colour, so it keeps its loaded value;
    // taking that rather than the result keeps the steps independent of each other.
    pu = u0;
    pv = v0;
  }
  for (x = q - y * w + ((q - y * w + y + colour) % 2); x + 1 < w; x += 2) {
    const size_t p = y * w + x;
    const float nu = ((wh[p - 1] * du[p - 1] + wh[p] * du[p + 1]) + wv[p - w] * du[p - w]) + wv[p] * du[p + w];
    const float nv = ((wh[p - 1] * dv[p - 1] + wh[p] * dv[p + 1]) + wv[p - w] * dv[p - w]) + wv[p] * dv[p + w];
    update(p, nu, nv);
  }
  if (x < w) any(x);
}

// Rows [y0, y1) of the level, relaxed by one thread, and the number of sweep steps done so
// far on its first and on its last row, which the neighbouring strips wait for.
struct Strip {
  size_t y0 = 0, y1 = 0;
  std::atomic<size_t> first_done{0}, last_done{0};
};

void wait_for(const std::atomic<size_t>& done, size_t steps) {
  for (size_t seen = done.load(std::memory_order_acquire); seen < steps; seen = done.load(std::memory_order_acquire))
    done.wait(seen, std::memory_order_acquire);
}

void publish(std::atomic<size_t>& done, size_t steps) {
  done.store(steps, std::memory_order_release);
  done.notify_all();
}

// The sweeps of one outer iteration on strip i. Step k (k = 0 .. 2 SWEEPS - 1, colour k % 2)
// of row y needs the other colour on rows y - 1 .. y + 1 as step k - 1 left it, before step
// k + 1 changes it. Running step k on the strip's row t - k (counted from its first row
// downwards, or from its last row upwards) for k = 0, 1, ... at each t keeps exactly that
// order, the order of whole half-sweeps, while the dozen rows in flight stay in cache. Strips
// alternate in direction, so neighbouring strips meet where both begin or where both end; a
// row next to another strip takes step k once that strip's row beside it has taken step k - 1,
// and so never before it has taken k - 1 nor after it has taken k + 1. The result does not
// depend on the number of strips. The strips' step counts run on over the outer iterations,
// from `done` steps before this one.
void relax(const Plane& u, const Plane& v, Planes& s, size_t w, size_t h, std::span<Strip> strips, size_t i,
           size_t done) {
  Strip& me = strips[i];
  const size_t steps = 2 * SWEEPS, n = me.y1 - me.y0;
  const bool down = i % 2 == 0;
  Strip* above = i > 0 ? &strips[i - 1] : nullptr;
  Strip* below = i + 1 < strips.size() ? &strips[i + 1] : nullptr;
  for (size_t t = 0; t + 1 < n + steps; ++t)
    for (size_t k = 0; k < steps && k <= t; ++k) {
      if (t - k >= n) continue;
      const size_t y = down ? me.y0 + (t - k) : me.y1 - 1 - (t - k);
      if (y == me.y0 && above) wait_for(above->last_done, done + k);
      if (y + 1 == me.y1 && below) wait_for(below->first_done, done + k);
      if (k == 0) {
        // The row's system just before its first step: it reads only the row's own increments,
        // which no earlier step of this iteration has changed, and stays in cache for the
        // steps that follow, where a separate pass would stream every plane through memory.
        data_term(s, w, y, y + 1);
        smoothness_rhs(u, v, w, h, y, y + 1, s);
      }
      relax_row(s, w, h, y, k % 2);
      if (y == me.y0) publish(me.first_done, done + k + 1);
      if (y + 1 == me.y1) publish(me.last_done, done + k + 1);
    }
}

}  // namespace

std::vector<float> dis_gradient(const std::vector<float>& img, size_t w, size_t h, bool horizontal) {
  std::vector<float> out(w * h);
  if (w > 0 && h > 0) gradient_into(img.data(), w, h, horizontal, out.data(), 0, h);
  return out;
}

float dis_sample_bilinear(const std::vector<float>& img, size_t w, size_t h, float x, float y) {
  const float fx0 = std::floor(x), fy0 = std::floor(y);
  const float fx = x - fx0, fy = y - fy0;
  // Clamped in float first: a position far outside, or NaN, reads the nearest edge.
  const size_t x0 = static_cast<size_t>(std::fmin(std::fmax(fx0, 0.0f), static_cast<float>(w - 1)));
  const size_t y0 = static_cast<size_t>(std::fmin(std::fmax(fy0, 0.0f), static_cast<float>(h - 1)));
  const size_t x1 = std::min(x0 + 1, w - 1), y1 = std::min(y0 + 1, h - 1);
  return (1.0f - fy) * ((1.0f - fx) * img[y0 * w + x0] + fx * img[y0 * w + x1]) +
         fy * ((1.0f - fx) * img[y1 * w + x0] + fx * img[y1 * w + x1]);
}

DisRefineScratch make_dis_refine_scratch(size_t pixels) {
  DisRefineScratch scratch;
  scratch.storage = std::make_unique_for_overwrite<float[]>(PLANES * pixels);
  scratch.plane_len = pixels;
  image_detail::prepare_storage(scratch.storage.get(), PLANES * pixels * sizeof(float));
  return scratch;
}

void dis_refine(const DisLevel& level, std::vector<float>& u, std::vector<float>& v) {
  DisRefineScratch scratch = make_dis_refine_scratch(level.w * level.h);
  dis_refine(level, u, v, scratch);
}

void dis_refine(const DisLevel& level, std::vector<float>& u, std::vector<float>& v, DisRefineScratch& scratch) {
  dis_refine_in_strips(level, u, v, scratch,
                       std::min({dis_level_threads(level.w * level.h), MAX_STRIPS, level.h / MIN_STRIP_ROWS}));
}

void dis_refine_in_strips(const DisLevel& level, std::vector<float>& u, std::vector<float>& v,
                          DisRefineScratch& scratch, size_t strip_count) {
  const size_t w = level.w, h = level.h, n = w * h;
  Planes s = carve(scratch, n);
  // One strip of rows per thread, each thread staying with its strip through all phases;
  // phases that read rows of other strips wait at a barrier first. Inside a parallel worker
  // the loop would run its items one after the other, waiting for each other forever, so
  // there is a single strip.
  const size_t count = in_par_worker() ? 1 : std::clamp<size_t>(strip_count, 1, h);
  std::vector<Strip> strips(count);
  for (size_t i = 0; i < count; ++i) {
    strips[i].y0 = h * i / count;
    strips[i].y1 = h * (i + 1) / count;
  }
  std::barrier<> sync(static_cast<ptrdiff_t>(count));
  par_rows(count, 1, count, [&](size_t i, size_t) {
    const size_t y0 = strips[i].y0, y1 = strips[i].y1;
    first_derivatives(level, s, y0, y1);
    sync.arrive_and_wait();
    second_derivatives(level, s, y0, y1);
    sync.arrive_and_wait();
    warp_data(level, u, v, s, y0, y1);
    std::fill(s.du + y0 * w, s.du + y1 * w, 0.0f);
    std::fill(s.dv + y0 * w, s.dv + y1 * w, 0.0f);
    // The data system takes the derivatives' planes.
    sync.arrive_and_wait();
    for (size_t outer = 0; outer < OUTER_ITERATIONS; ++outer) {
      current_flow(u, v, w, y0, y1, s);
      sync.arrive_and_wait();
      smoothness_weights(w, h, y0, y1, s);
      // The sweeps form each row's system as they reach it, from the weights of the rows
      // around it.
      sync.arrive_and_wait();
      relax(u, v, s, w, h, strips, i, outer * 2 * SWEEPS);
    }
    for (size_t p = y0 * w; p < y1 * w; ++p) {
      u[p] += s.du[p];
      v[p] += s.dv[p];
    }
  });
}

}  // namespace tsl
