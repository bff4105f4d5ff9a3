#include "dis/patch_search.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "util/par.h"

namespace tsl {

namespace {

using F32x4 = float __attribute__((vector_size(16)));

constexpr float PATCH_AREA = 144.0f;  // 12 x 12 pixels
constexpr int SEARCH_ITERATIONS = 12;
// A search that wanders further than this from its start (in level pixels) is discarded.
constexpr float MAX_SEARCH_MOVE = 12.0f;
constexpr size_t BANDS = 8;

inline F32x4 load4(const float* p) {
  F32x4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline float lane_sum(F32x4 v) { return (v[0] + v[1]) + (v[2] + v[3]); }

// v clamped to [lo, hi], NaN to lo; inline where fmin and fmax would be library calls.
inline float clamp_float(float v, float lo, float hi) {
  const float c = v > lo ? v : lo;
  return c < hi ? c : hi;
}

// floor of a non-negative float below 2^31: its truncation.
inline float floor_non_negative(float v) { return static_cast<float>(static_cast<int32_t>(v)); }

// A patch's bilinear window in I1pad: the top-left tap and the four weights, shared by all
// 144 pixels.
struct Window {
  const float* top = nullptr;
  float w00 = 0, w10 = 0, w01 = 0, w11 = 0;
};

// The corner is clamped to 5..w + 15 and 5..h + 15 so that the window and its interpolation
// column and row stay inside I1pad, hanging at most 11 pixels past the image into the
// replicated border. fmin/fmax also turn a NaN position into the lower bound.
inline Window window_at(const DisLevel& level, size_t x0, size_t y0, float u, float v) {
  const float pad = static_cast<float>(DIS_PAD);
  const float X = clamp_float(static_cast<float>(x0) + u + pad, 5.0f, static_cast<float>(level.w + 15));
  const float Y = clamp_float(static_cast<float>(y0) + v + pad, 5.0f, static_cast<float>(level.h + 15));
  const float fx0 = floor_non_negative(X), fy0 = floor_non_negative(Y);
  const float fx = X - fx0, fy = Y - fy0;
  const size_t pw = level.w + 2 * DIS_PAD;
  Window win;
  win.top = level.I1pad.data() + static_cast<size_t>(fy0) * pw + static_cast<size_t>(fx0);
  win.w00 = (1.0f - fx) * (1.0f - fy);
  win.w10 = fx * (1.0f - fy);
  win.w01 = (1.0f - fx) * fy;
  win.w11 = fx * fy;
  return win;
}

// Sums of e = warped I1 - I0 over a patch, e^2, and e times the patch's gradients.
struct ResidualSums {
  float e = 0, ee = 0, ex = 0, ey = 0;
};

// Twelve pixels a row in three four-lane steps; the lanes keep fixed partial sums so the
// result is the same on every run.
template <bool WithGradient>
inline ResidualSums residual_sums(const DisLevel& level, size_t x0, size_t y0, const Window& win) {
  const size_t pw = level.w + 2 * DIS_PAD;
  const F32x4 w00 = {win.w00, win.w00, win.w00, win.w00}, w10 = {win.w10, win.w10, win.w10, win.w10};
  const F32x4 w01 = {win.w01, win.w01, win.w01, win.w01}, w11 = {win.w11, win.w11, win.w11, win.w11};
  F32x4 se = {}, see = {}, sex = {}, sey = {};
  for (size_t r = 0; r < DIS_PATCH; ++r) {
    const float* p = win.top + r * pw;
    const float* q = p + pw;
    const size_t off = (y0 + r) * level.w + x0;
    const float* t = level.I0.data() + off;
    for (size_t k = 0; k < DIS_PATCH; k += 4) {
      const F32x4 i1 = w00 * load4(p + k) + w10 * load4(p + k + 1) + w01 * load4(q + k) + w11 * load4(q + k + 1);
      const F32x4 e = i1 - load4(t + k);
      se += e;
      see += e * e;
      if constexpr (WithGradient) {
        sex += e * load4(level.Ix.data() + off + k);
        sey += e * load4(level.Iy.data() + off + k);
      }
    }
  }
  return {lane_sum(se), lane_sum(see), lane_sum(sex), lane_sum(sey)};
}

inline float cost_of(const ResidualSums& s) { return s.ee - s.e * s.e / PATCH_AREA; }

// Mean-normalised Hessian and gradient sums of one patch of I0.
struct PatchStats {
  float hxx = 0, hyy = 0, hxy = 0, sx = 0, sy = 0;
};

PatchStats patch_stats(const DisLevel& level, size_t x0, size_t y0) {
  float xx = 0, yy = 0, xy = 0, sx = 0, sy = 0;
  for (size_t r = 0; r < DIS_PATCH; ++r) {
    const float* gx = level.Ix.data() + (y0 + r) * level.w + x0;
    const float* gy = level.Iy.data() + (y0 + r) * level.w + x0;
    for (size_t c = 0; c < DIS_PATCH; ++c) {
      xx += gx[c] * gx[c];
      yy += gy[c] * gy[c];
      xy += gx[c] * gy[c];
      sx += gx[c];
      sy += gy[c];
    }
  }
  return {xx - sx * sx / PATCH_AREA, yy - sy * sy / PATCH_AREA, xy - sx * sy / PATCH_AREA, sx, sy};
}

// Inverse-compositional Gauss-Newton from (us, vs); returns the end point, or the start when
// the search moved too far or left the numbers.
void gauss_newton(const DisLevel& level, size_t x0, size_t y0, const PatchStats& st, float& pu, float& pv) {
  float det = st.hxx * st.hyy - st.hxy * st.hxy;
  // A flat or one-dimensional patch: a tiny positive determinant keeps the step finite; its
  // sign is not kept, as the true value is non-negative.
  if (std::fabs(det) < 0.001f) det = 0.001f;
  const float ia = st.hyy / det, ib = -st.hxy / det, ic = st.hxx / det;
  const float us = pu, vs = pv;
  float u = us, v = vs;
  float prev = std::numeric_limits<float>::infinity();
  for (int it = 0; it < SEARCH_ITERATIONS; ++it) {
    const ResidualSums s = residual_sums<true>(level, x0, y0, window_at(level, x0, y0, u, v));
    const float cost = cost_of(s);
    const float bx = s.ex - st.sx * s.e / PATCH_AREA;
    const float by = s.ey - st.sy * s.e / PATCH_AREA;
    u -= ia * bx + ib * by;
    v -= ib * bx + ic * by;
    if (!(cost < prev)) break;
    prev = cost;
  }
  if (std::hypot(u - us, v - vs) <= MAX_SEARCH_MOVE) {
    pu = u;
    pv = v;
  }
}

// One pass over a band's rows [j0, j1): forward (top-down, left to right) or backward.
void sweep_band(const DisLevel& level, const DisPatchGrid& grid, const std::vector<PatchStats>& stats,
                const std::vector<float>& u0, const std::vector<float>& v0, size_t j0, size_t j1, bool forward,
                DisPatchFlow& f) {
  const size_t nx = grid.nx;
  for (size_t n = 0; n < j1 - j0; ++n) {
    const size_t j = forward ? j0 + n : j1 - 1 - n;
    for (size_t m = 0; m < nx; ++m) {
      const size_t i = forward ? m : nx - 1 - m;
      const size_t p = j * nx + i;
      const size_t x0 = i * DIS_STRIDE, y0 = j * DIS_STRIDE;
      if (forward) {
        const size_t centre = (y0 + DIS_PATCH / 2) * level.w + x0 + DIS_PATCH / 2;
        f.pu[p] = u0[centre];
        f.pv[p] = v0[centre];
      }
      auto cost = [&](float u, float v) {
        return cost_of(residual_sums<false>(level, x0, y0, window_at(level, x0, y0, u, v)));
      };
      float c0 = cost(f.pu[p], f.pv[p]);
      if (m > 0) {
        const size_t q = forward ? p - 1 : p + 1;
        const float c1 = cost(f.pu[q], f.pv[q]);
        if (c0 > c1) {
          f.pu[p] = f.pu[q];
          f.pv[p] = f.pv[q];
          c0 = c1;
        }
      }
      if (n > 0) {
        const size_t q = forward ? p - nx : p + nx;
        const float c2 = cost(f.pu[q], f.pv[q]);
        if (c0 > c2) {
          f.pu[p] = f.pu[q];
          f.pv[p] = f.pv[q];
        }
      }
      gauss_newton(level, x0, y0, stats[p], f.pu[p], f.pv[p]);
    }
  }
}

}  // namespace

DisPatchGrid dis_patch_grid(size_t w, size_t h) {
  return {(w - DIS_PATCH) / DIS_STRIDE + 1, (h - DIS_PATCH) / DIS_STRIDE + 1};
}

float dis_patch_residual(const DisLevel& level, size_t x0, size_t y0, float u, float v) {
  return cost_of(residual_sums<false>(level, x0, y0, window_at(level, x0, y0, u, v)));
}

DisPatchFlow dis_inverse_search(const DisLevel& level, const std::vector<float>& u0, const std::vector<float>& v0) {
  const DisPatchGrid grid = dis_patch_grid(level.w, level.h);
  const size_t count = grid.nx * grid.ny;
  std::vector<PatchStats> stats(count);
  DisPatchFlow f;
  f.pu.assign(count, 0.0f);
  f.pv.assign(count, 0.0f);
  // Bands are self-contained: no propagation crosses a band boundary, so they may run on
  // threads of their own (inline when called from a parallel worker) with the same result.
  const size_t band = (grid.ny + BANDS - 1) / BANDS;
  par_rows(BANDS, 1, cpu_budget(), [&](size_t k, size_t) {
    const size_t j0 = std::min(k * band, grid.ny), j1 = std::min((k + 1) * band, grid.ny);
    for (size_t j = j0; j < j1; ++j)
      for (size_t i = 0; i < grid.nx; ++i) stats[j * grid.nx + i] = patch_stats(level, i * DIS_STRIDE, j * DIS_STRIDE);
    if (j0 == j1) return;
    sweep_band(level, grid, stats, u0, v0, j0, j1, true, f);
    sweep_band(level, grid, stats, u0, v0, j0, j1, false, f);
  });
  return f;
}

void dis_densify(const DisLevel& level, const DisPatchFlow& patches, std::vector<float>& u, std::vector<float>& v) {
  const size_t w = level.w, h = level.h;
  const DisPatchGrid grid = dis_patch_grid(w, h);
  u.assign(w * h, 0.0f);
  v.assign(w * h, 0.0f);
  // Patches i (or j) with 8 i <= x < 8 i + 12; beyond the last patch the last one covers.
  auto covering = [](size_t x, size_t n) {
    size_t lo = x < DIS_PATCH ? 0 : (x - DIS_PATCH) / DIS_STRIDE + 1;
    const size_t hi = std::min(x / DIS_STRIDE, n - 1);
    return std::pair{std::min(lo, hi), hi};
  };
  const float xmax = static_cast<float>(w - 1) - 0.001f, ymax = static_cast<float>(h - 1) - 0.001f;
  // Each pixel on its own: rows may go to threads (inline when called from a parallel worker).
  auto row = [&](size_t y) {
    const auto [j_lo, j_hi] = covering(y, grid.ny);
    const float* i0 = level.I0.data() + y * w;
    for (size_t x = 0; x < w; ++x) {
      const auto [i_lo, i_hi] = covering(x, grid.nx);
      float su = 0, sv = 0, sw = 0;
      for (size_t j = j_lo; j <= j_hi; ++j) {
        for (size_t i = i_lo; i <= i_hi; ++i) {
          const size_t p = j * grid.nx + i;
          const float X = clamp_float(static_cast<float>(x) + patches.pu[p], 0.0f, xmax);
          const float Y = clamp_float(static_cast<float>(y) + patches.pv[p], 0.0f, ymax);
          const float fx0 = floor_non_negative(X), fy0 = floor_non_negative(Y);
          const float fx = X - fx0, fy = Y - fy0;
          const float* s = level.I1.data() + static_cast<size_t>(fy0) * w + static_cast<size_t>(fx0);
          const float i1 = (1.0f - fx) * (1.0f - fy) * s[0] + fx * (1.0f - fy) * s[1] + (1.0f - fx) * fy * s[w] +
                           fx * fy * s[w + 1];
          const float weight = 1.0f / std::fmax(std::fabs(i1 - i0[x]), 1.0f);
          su += weight * patches.pu[p];
          sv += weight * patches.pv[p];
          sw += weight;
        }
      }
      if (sw > 0.0f) {
        u[y * w + x] = su / sw;
        v[y * w + x] = sv / sw;
      }
    }
  };
  const size_t budget = cpu_budget();
  par_rows(h, std::max<size_t>(h / (4 * budget), 8), budget, [&](size_t first, size_t last) {
    for (size_t y = first; y < last; ++y) row(y);
  });
}

}  // namespace tsl
