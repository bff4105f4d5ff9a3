#include "dis/refine.h"

#include <algorithm>
#include <cmath>

#include "flow/flow_rows.h"

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
constexpr int OUTER_ITERATIONS = 5;
constexpr int SWEEPS = 5;

using Plane = std::vector<float>;

// Per-pixel data of the linearised energy, sampled once per level at the warped points.
struct WarpedData {
  Plane ix, iy, it, ixx, ixy, iyy, ixt, iyt;
};

WarpedData warp_data(const DisLevel& level, const Plane& u, const Plane& v) {
  const size_t w = level.w, h = level.h, n = w * h;
  const Plane i0x = dis_gradient(level.I0, w, h, true), i0y = dis_gradient(level.I0, w, h, false);
  const Plane i0xx = dis_gradient(i0x, w, h, true), i0xy = dis_gradient(i0x, w, h, false);
  const Plane i0yy = dis_gradient(i0y, w, h, false);
  const Plane i1x = dis_gradient(level.I1, w, h, true), i1y = dis_gradient(level.I1, w, h, false);
  const Plane i1xx = dis_gradient(i1x, w, h, true), i1xy = dis_gradient(i1x, w, h, false);
  const Plane i1yy = dis_gradient(i1y, w, h, false);
  WarpedData d;
  for (Plane* p : {&d.ix, &d.iy, &d.it, &d.ixx, &d.ixy, &d.iyy, &d.ixt, &d.iyt}) p->assign(n, 0.0f);
  const float xmax = static_cast<float>(w - 1), ymax = static_cast<float>(h - 1);
  flow_detail::for_rows(h, n, [&](size_t first, size_t last) {
    for (size_t y = first; y < last; ++y) {
      for (size_t x = 0; x < w; ++x) {
        const size_t p = y * w + x;
        const float X = static_cast<float>(x) + u[p], Y = static_cast<float>(y) + v[p];
        // Written so that NaN fails the test: a point that is not a number counts as outside.
        if (!(X >= 0.0f && X <= xmax && Y >= 0.0f && Y <= ymax)) continue;
        const float fx0 = std::floor(X), fy0 = std::floor(Y);
        const float fx = X - fx0, fy = Y - fy0;
        const size_t x0 = static_cast<size_t>(fx0), y0 = static_cast<size_t>(fy0);
        const size_t dx = x0 + 1 < w ? 1 : 0, dy = y0 + 1 < h ? w : 0;
        const size_t q = y0 * w + x0;
        auto at = [&](const Plane& img) {
          const float* s = img.data() + q;
          return (1.0f - fy) * ((1.0f - fx) * s[0] + fx * s[dx]) + fy * ((1.0f - fx) * s[dy] + fx * s[dy + dx]);
        };
        const float b1x = at(i1x), b1y = at(i1y);
        d.ix[p] = (i0x[p] + b1x) / 2.0f;
        d.iy[p] = (i0y[p] + b1y) / 2.0f;
        d.it[p] = at(level.I1) - level.I0[p];
        d.ixx[p] = (at(i1xx) + i0xx[p]) / 2.0f;
        d.ixy[p] = (at(i1xy) + i0xy[p]) / 2.0f;
        d.iyy[p] = (at(i1yy) + i0yy[p]) / 2.0f;
        d.ixt[p] = b1x - i0x[p];
        d.iyt[p] = b1y - i0y[p];
      }
    }
  });
  return d;
}

// The 2 x 2 data system of each pixel, linearised at the current increment.
struct DataSystem {
  Plane a11, a12, a22, b1, b2;
};

void data_term(const WarpedData& d, const Plane& du, const Plane& dv, size_t w, size_t h, DataSystem& s) {
  flow_detail::for_rows(h, w * h, [&](size_t first, size_t last) {
    for (size_t p = first * w; p < last * w; ++p) {
      const float ix = d.ix[p], iy = d.iy[p], it = d.it[p];
      const float n = ix * ix + iy * iy + NORMALISER;
      const float r = ix * du[p] + it + iy * dv[p];
      const float c = BRIGHTNESS_WEIGHT / std::sqrt(r * r / n + PENALTY_EPS) / n;
      float a11 = c * ix * ix + NORMALISER, a12 = c * ix * iy, a22 = c * iy * iy + NORMALISER;
      float b1 = -c * it * ix, b2 = -c * it * iy;
      const float ixx = d.ixx[p], ixy = d.ixy[p], iyy = d.iyy[p], ixt = d.ixt[p], iyt = d.iyt[p];
      const float nx = ixx * ixx + ixy * ixy + NORMALISER, ny = ixy * ixy + iyy * iyy + NORMALISER;
      const float rx = ixx * du[p] + ixt + ixy * dv[p], ry = ixy * du[p] + iyt + iyy * dv[p];
      const float g = GRADIENT_WEIGHT / std::sqrt(rx * rx / nx + ry * ry / ny + PENALTY_EPS);
      a11 += g * (ixx * ixx / nx + ixy * ixy / ny);
      a12 += g * (ixx * ixy / nx + ixy * iyy / ny);
      a22 += g * (ixy * ixy / nx + iyy * iyy / ny);
      b1 -= g * (ixx * ixt / nx + ixy * iyt / ny);
      b2 -= g * (ixy * ixt / nx + iyy * iyt / ny);
      s.a11[p] = a11;
      s.a12[p] = a12;
      s.a22[p] = a22;
      s.b1[p] = b1;
      s.b2[p] = b2;
    }
  });
}

// Edge weights of the smoothness term at U = u + du, V = v + dv: wh for the edge to the right
// neighbour (0 in the last column), wv for the edge to the one below (0 in the last row).
void smoothness_weights(const Plane& u, const Plane& v, const Plane& du, const Plane& dv, size_t w, size_t h,
                        Plane& wh, Plane& wv) {
  flow_detail::for_rows(h, w * h, [&](size_t first, size_t last) {
    for (size_t y = first; y < last; ++y) {
      const size_t ya = y == 0 ? 0 : y - 1, yb = y + 1 < h ? y + 1 : h - 1;
      auto U = [&](size_t x, size_t yy) { return u[yy * w + x] + du[yy * w + x]; };
      auto V = [&](size_t x, size_t yy) { return v[yy * w + x] + dv[yy * w + x]; };
      for (size_t x = 0; x < w; ++x) {
        const size_t xa = x == 0 ? 0 : x - 1, xb = x + 1 < w ? x + 1 : w - 1;
        if (x + 1 < w) {
          const float ux = U(x + 1, y) - U(x, y), vx = V(x + 1, y) - V(x, y);
          const float uy = (U(x, yb) - U(x, ya) + U(x + 1, yb) - U(x + 1, ya)) / 4.0f;
          const float vy = (V(x, yb) - V(x, ya) + V(x + 1, yb) - V(x + 1, ya)) / 4.0f;
          wh[y * w + x] = SMOOTHNESS_WEIGHT / std::sqrt(ux * ux + vx * vx + uy * uy + vy * vy + PENALTY_EPS);
        } else {
          wh[y * w + x] = 0.0f;
        }
        if (y + 1 < h) {
          const float ux = (U(xb, y) - U(xa, y) + U(xb, y + 1) - U(xa, y + 1)) / 4.0f;
          const float vx = (V(xb, y) - V(xa, y) + V(xb, y + 1) - V(xa, y + 1)) / 4.0f;
          const float uy = U(x, y + 1) - U(x, y), vy = V(x, y + 1) - V(x, y);
          wv[y * w + x] = SMOOTHNESS_WEIGHT / std::sqrt(ux * ux + vx * vx + uy * uy + vy * vy + PENALTY_EPS);
        } else {
          wv[y * w + x] = 0.0f;
        }
      }
    }
  });
}

// S and the right-hand sides with the smoothness of the given flow. Each pixel gathers its
// four edges in the order a row-major scatter over the edges would add them (above, left,
// right, below), so the sums are the same whichever rows run on which thread.
void smoothness_rhs(const Plane& u, const Plane& v, const Plane& wh, const Plane& wv, const DataSystem& s, size_t w,
                    size_t h, Plane& S, Plane& b1c, Plane& b2c) {
  flow_detail::for_rows(h, w * h, [&](size_t first, size_t last) {
    for (size_t y = first; y < last; ++y) {
      for (size_t x = 0; x < w; ++x) {
        const size_t p = y * w + x;
        float sum = 0.0f, r1 = s.b1[p], r2 = s.b2[p];
        auto edge = [&](float e, size_t q) {
          sum += e;
          r1 += e * (u[q] - u[p]);
          r2 += e * (v[q] - v[p]);
        };
        if (y > 0) edge(wv[p - w], p - w);
        if (x > 0) edge(wh[p - 1], p - 1);
        if (x + 1 < w) edge(wh[p], p + 1);
        if (y + 1 < h) edge(wv[p], p + w);
        S[p] = sum;
        b1c[p] = r1;
        b2c[p] = r2;
      }
    }
  });
}

// One half of a red-black sweep: the pixels with (x + y) % 2 == colour read only the other
// colour's increments besides their own, so the rows are independent.
void relax_colour(const DataSystem& s, const Plane& S, const Plane& b1c, const Plane& b2c, const Plane& wh,
                  const Plane& wv, size_t w, size_t h, size_t colour, Plane& du, Plane& dv) {
  flow_detail::for_rows(h, w * h, [&](size_t first, size_t last) {
    for (size_t y = first; y < last; ++y) {
      const bool top = y == 0, bottom = y + 1 == h;
      for (size_t x = (y + colour) % 2; x < w; x += 2) {
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
        const float u_new = du[p] + RELAXATION * ((nu + b1c[p] - s.a12[p] * dv[p]) / (s.a11[p] + S[p]) - du[p]);
        du[p] = u_new;
        dv[p] = dv[p] + RELAXATION * ((nv + b2c[p] - s.a12[p] * u_new) / (s.a22[p] + S[p]) - dv[p]);
      }
    }
  });
}

}  // namespace

std::vector<float> dis_gradient(const std::vector<float>& img, size_t w, size_t h, bool horizontal) {
  // The nearest floats to 1/12 and 2/3. The taps are paired before weighting, so a
  // constant run of samples gives exactly zero.
  const float k1 = 1.0f / 12.0f, k2 = 2.0f / 3.0f;
  std::vector<float> out(w * h);
  if (w == 0 || h == 0) return out;
  flow_detail::for_rows(h, w * h, [&](size_t first, size_t last) {
    for (size_t y = first; y < last; ++y) {
      float* o = out.data() + y * w;
      if (horizontal) {
        const float* r = img.data() + y * w;
        auto at = [&](ptrdiff_t x) { return r[std::clamp<ptrdiff_t>(x, 0, static_cast<ptrdiff_t>(w) - 1)]; };
        for (size_t x = 0; x < w; ++x) {
          const ptrdiff_t i = static_cast<ptrdiff_t>(x);
          if (x >= 2 && x + 2 < w)
            o[x] = k1 * (r[x - 2] - r[x + 2]) + k2 * (r[x + 1] - r[x - 1]);
          else
            o[x] = k1 * (at(i - 2) - at(i + 2)) + k2 * (at(i + 1) - at(i - 1));
        }
      } else {
        auto row = [&](ptrdiff_t yy) {
          return img.data() + std::clamp<ptrdiff_t>(yy, 0, static_cast<ptrdiff_t>(h) - 1) * w;
        };
        const ptrdiff_t i = static_cast<ptrdiff_t>(y);
        const float *a = row(i - 2), *b = row(i - 1), *c = row(i + 1), *d = row(i + 2);
        for (size_t x = 0; x < w; ++x) o[x] = k1 * (a[x] - d[x]) + k2 * (c[x] - b[x]);
      }
    }
  });
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

void dis_refine(const DisLevel& level, std::vector<float>& u, std::vector<float>& v) {
  const size_t w = level.w, h = level.h, n = w * h;
  const WarpedData d = warp_data(level, u, v);
  Plane du(n, 0.0f), dv(n, 0.0f), wh(n), wv(n), S(n), b1c(n), b2c(n);
  DataSystem s{Plane(n), Plane(n), Plane(n), Plane(n), Plane(n)};
  for (int outer = 0; outer < OUTER_ITERATIONS; ++outer) {
    data_term(d, du, dv, w, h, s);
    smoothness_weights(u, v, du, dv, w, h, wh, wv);
    smoothness_rhs(u, v, wh, wv, s, w, h, S, b1c, b2c);
    for (int sweep = 0; sweep < SWEEPS; ++sweep) {
      relax_colour(s, S, b1c, b2c, wh, wv, w, h, 0, du, dv);
      relax_colour(s, S, b1c, b2c, wh, wv, w, h, 1, du, dv);
    }
  }
  for (size_t p = 0; p < n; ++p) {
    u[p] += du[p];
    v[p] += dv[p];
  }
}

}  // namespace tsl
