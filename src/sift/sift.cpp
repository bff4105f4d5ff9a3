#include "sift/sift.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "img/ops/filter.h"
#include "img/ops/resample.h"
#include "logx.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t LAYERS = 3;       // scale layers per octave
constexpr size_t GAUSS = LAYERS + 3;
constexpr size_t DOGS = LAYERS + 2;
constexpr int64_t BORDER = 5;      // detection keeps this far from every edge
constexpr float FLT_EPS = 1.1920929e-07f;
constexpr int MAX_SOLVES = 5;

// Blur increments that take layer i - 1 (total blur 1.6 x 2^((i - 1) / 3)) to layer i.
constexpr std::array<double, GAUSS> LAYER_SIGMA = {0.0, 1.2262734984654078, 1.5450077936447955,
                                                   1.9465878414647133, 2.4525469969308156,
                                                   3.0900155872895909};

inline int64_t round_away(double v) { return static_cast<int64_t>(std::round(v)); }

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

struct Octave {
  std::array<ImageF32, GAUSS> g;
  std::array<ImageF32, DOGS> d;
  int64_t w = 0, h = 0;
  float factor = 1.0f;  // octave pixels to input pixels
  int32_t index = 0;
};

// What one band of rows yields: candidates with their raw descriptors in detection order.
struct BandResult {
  std::vector<Keypoint> keypoints;
  std::vector<float> raw;
  double desc_seconds = 0.0;
};

struct Derivatives {
  float v, dx, dy, ds, dxx, dyy, dss, dxy, dxs, dys;
};

Derivatives derivatives(const Octave& oc, size_t l, int64_t r, int64_t c) {
  const int64_t w = oc.w;
  const float* prev = oc.d[l - 1].data.data() + r * w + c;
  const float* cur = oc.d[l].data.data() + r * w + c;
  const float* next = oc.d[l + 1].data.data() + r * w + c;
  Derivatives d;
  d.v = cur[0];
  d.dx = (cur[1] - cur[-1]) * 0.0019607844f;
  d.dy = (cur[w] - cur[-w]) * 0.0019607844f;
  d.ds = (next[0] - prev[0]) * 0.0019607844f;
  d.dxx = (cur[1] + cur[-1] - 2.0f * d.v) * 0.003921569f;
  d.dyy = (cur[w] + cur[-w] - 2.0f * d.v) * 0.003921569f;
  d.dss = (next[0] + prev[0] - 2.0f * d.v) * 0.003921569f;
  d.dxy = (cur[w + 1] - cur[w - 1] - cur[-w + 1] + cur[-w - 1]) * 0.0009803922f;
  d.dxs = (next[1] - next[-1] - prev[1] + prev[-1]) * 0.0009803922f;
  d.dys = (next[w] - next[-w] - prev[w] + prev[-w]) * 0.0009803922f;
  return d;
}

// Solves the 3 x 3 system by gaussian elimination with partial pivoting (the earlier row on
// a tie); false when a pivot is below 1e-30 in magnitude.
bool solve3(std::array<std::array<double, 4>, 3> m, std::array<double, 3>& x) {
  for (size_t col = 0; col < 3; ++col) {
    size_t p = col;
    for (size_t r = col + 1; r < 3; ++r)
      if (std::fabs(m[r][col]) > std::fabs(m[p][col])) p = r;
    if (!(std::fabs(m[p][col]) >= 1e-30)) return false;
    std::swap(m[p], m[col]);
    for (size_t r = col + 1; r < 3; ++r) {
      const double f = m[r][col] / m[col][col];
      for (size_t k = col; k < 4; ++k) m[r][k] -= f * m[col][k];
    }
  }
  for (size_t i = 3; i-- > 0;) {
    double s = m[i][3];
    for (size_t k = i + 1; k < 3; ++k) s -= m[i][k] * x[k];
    x[i] = s / m[i][i];
  }
  return true;
}

// The refined, tested keypoint of the extremum at (l, r, c), or nothing. On success l, r and
// c hold the converged integer position.
bool refine(const Octave& oc, size_t& l_io, int64_t& r_io, int64_t& c_io, Keypoint& kp) {
  int64_t l = static_cast<int64_t>(l_io), r = r_io, c = c_io;
  Derivatives d{};
  float xc = 0.0f, xr = 0.0f, xi = 0.0f;
  for (int solve = 1;; ++solve) {
    d = derivatives(oc, static_cast<size_t>(l), r, c);
    std::array<std::array<double, 4>, 3> m = {{{d.dxx, d.dxy, d.dxs, d.dx},
                                                {d.dxy, d.dyy, d.dys, d.dy},
                                                {d.dxs, d.dys, d.dss, d.ds}}};
    std::array<double, 3> x{};
    if (!solve3(m, x)) return false;
    xc = static_cast<float>(-x[0]);
    xr = static_cast<float>(-x[1]);
    xi = static_cast<float>(-x[2]);
    if (std::fabs(xc) < 0.5f && std::fabs(xr) < 0.5f && std::fabs(xi) < 0.5f) break;
    // Also rejects NaN offsets, which no comparison above accepts.
    if (!(std::fabs(xc) <= 1e9f && std::fabs(xr) <= 1e9f && std::fabs(xi) <= 1e9f)) return false;
    c += round_away(xc);
    r += round_away(xr);
    l += round_away(xi);
    if (l < 1 || l > static_cast<int64_t>(LAYERS) || c < BORDER || c >= oc.w - BORDER || r < BORDER ||
        r >= oc.h - BORDER)
      return false;
    if (solve == MAX_SOLVES) return false;
  }
  const float contr = d.v * 0.003921569f + 0.5f * (d.dx * xc + d.dy * xr + d.ds * xi);
  if (3.0f * std::fabs(contr) < 0.02f) return false;
  const float tr = d.dxx + d.dyy;
  const float det = d.dxx * d.dyy - d.dxy * d.dxy;
  if (det <= 0.0f || tr * tr * 10.0f >= det * 121.0f) return false;

  kp.x = (static_cast<float>(c) + xc) * oc.factor;
  kp.y = (static_cast<float>(r) + xr) * oc.factor;
  kp.size = 2.0f * (std::exp2((static_cast<float>(l) + xi) / 3.0f) * 1.6f * oc.factor);
  kp.response = std::fabs(contr);
  kp.layer = static_cast<uint64_t>(l);
  kp.octave = oc.index - 1;
  l_io = static_cast<size_t>(l);
  r_io = r;
  c_io = c;
  return true;
}

// Orientation peaks of the keypoint at integer (r, c) of layer g, each appended with its
// descriptor.
void orient_and_describe(const Octave& oc, size_t l, int64_t r, int64_t c, const Keypoint& kp, BandResult& out) {
  const ImageF32& g = oc.g[l];
  const float* gd = g.data.data();
  const int64_t w = oc.w, h = oc.h;
  const float scl = kp.size * 0.5f / oc.factor;
  const int64_t radius = round_away(4.5f * scl);
  const float sigma_w = 1.5f * scl;
  const float expf_scale = -1.0f / (2.0f * sigma_w * sigma_w);
  std::array<float, 36> hist{};
  for (int64_t i = -radius; i <= radius; ++i) {
    const int64_t y = r + i;
    if (y <= 0 || y >= h - 1) continue;
    const int64_t j0 = std::max(-radius, 1 - c), j1 = std::min(radius, w - 2 - c);
    const float* row = gd + y * w;
    for (int64_t j = j0; j <= j1; ++j) {
      const int64_t x = c + j;
      const float dx = row[x + 1] - row[x - 1];
      const float dy = row[x - w] - row[x + w];
      float dir = std::atan2(dy, dx) * 57.29578f;
      if (dir < 0.0f) dir += 360.0f;
      int64_t bin = round_away(dir * 0.1f);
      if (bin >= 36) bin -= 36;
      if (bin < 0) bin += 36;
      hist[static_cast<size_t>(bin)] +=
          std::exp(static_cast<float>(i * i + j * j) * expf_scale) * std::sqrt(dx * dx + dy * dy);
    }
  }
  std::array<float, 36> s{};
  for (size_t b = 0; b < 36; ++b)
    s[b] = 0.375f * hist[b] + 0.25f * (hist[(b + 35) % 36] + hist[(b + 1) % 36]) +
           0.0625f * (hist[(b + 34) % 36] + hist[(b + 2) % 36]);
  float m = 0.0f;
  for (float v : s) m = std::max(m, v);
  const float threshold = 0.8f * m;
  const int64_t cx = round_away(kp.x / oc.factor), cy = round_away(kp.y / oc.factor);
  for (size_t b = 0; b < 36; ++b) {
    const float lo = s[(b + 35) % 36], hi = s[(b + 1) % 36];
    if (!(s[b] > lo && s[b] > hi && s[b] >= threshold)) continue;
    const auto t0 = Clock::now();
    float p = static_cast<float>(b) + 0.5f * (lo - hi) / (lo - 2.0f * s[b] + hi);
    if (p < 0.0f) p += 36.0f;
    if (p >= 36.0f) p -= 36.0f;
    float angle = 360.0f - 10.0f * p;
    if (std::fabs(angle - 360.0f) < FLT_EPS) angle = 0.0f;
    Keypoint k = kp;
    k.angle = angle;
    out.keypoints.push_back(k);
    out.raw.resize(out.raw.size() + DESC_LEN);
    sift_descriptor(g, cx, cy, scl, angle, std::span<float, DESC_LEN>(out.raw.data() + out.raw.size() - DESC_LEN,
                                                                        DESC_LEN));
    out.desc_seconds += seconds_since(t0);
  }
}

// True when v (not 0) is not exceeded (v > 0) or undercut (v < 0) by any of its 26
// neighbours; equal neighbours do not disqualify.
inline bool is_extremum(const float* prev, const float* cur, const float* next, int64_t w, float v) {
  const float* planes[3] = {cur, prev, next};
  if (v > 0.0f) {
    for (const float* p : planes)
      for (int64_t dy = -w; dy <= w; dy += w)
        if (p[dy - 1] > v || p[dy] > v || p[dy + 1] > v) return false;
  } else {
    for (const float* p : planes)
      for (int64_t dy = -w; dy <= w; dy += w)
        if (p[dy - 1] < v || p[dy] < v || p[dy + 1] < v) return false;
  }
  return true;
}

// Detection, refinement, orientation and description over the rows [r0, r1) of layer l.
void detect_rows(const Octave& oc, size_t l, int64_t r0, int64_t r1, BandResult& out) {
  const int64_t w = oc.w;
  for (int64_t r = r0; r < r1; ++r) {
    const float* prev = oc.d[l - 1].data.data() + r * w;
    const float* cur = oc.d[l].data.data() + r * w;
    const float* next = oc.d[l + 1].data.data() + r * w;
    for (int64_t c = BORDER; c < w - BORDER; ++c) {
      const float v = cur[c];
      if (!(v != 0.0f) || std::isnan(v)) continue;
      // Cheap rejection against the row neighbours before the full test.
      if (v > 0.0f ? (cur[c - 1] > v || cur[c + 1] > v) : (cur[c - 1] < v || cur[c + 1] < v)) continue;
      if (!is_extremum(prev + c, cur + c, next + c, w, v)) continue;
      size_t rl = l;
      int64_t rr = r, rc = c;
      Keypoint kp;
      if (!refine(oc, rl, rr, rc, kp)) continue;
      orient_and_describe(oc, rl, rr, rc, kp, out);
    }
  }
}

void build_octave(Octave& oc) {
  for (size_t i = 1; i < GAUSS; ++i) {
    const double sigma = LAYER_SIGMA[i];
    const uint64_t len = static_cast<uint64_t>(round_away(8.0 * sigma + 1.0)) | 1u;
    const std::vector<float> k = gaussian_kernel(sigma, len);
    convolve_separable(oc.g[i - 1], k, k, BorderMode::Mirror, oc.g[i]);
  }
}

void build_dogs(Octave& oc) {
  const size_t n = static_cast<size_t>(oc.w * oc.h);
  for (size_t i = 0; i < DOGS; ++i) shape_for_overwrite(oc.d[i], static_cast<size_t>(oc.w), static_cast<size_t>(oc.h), 1);
  par_rows(static_cast<size_t>(oc.h), 64, cpu_budget(), [&](size_t y0, size_t y1) {
    const size_t a = y0 * static_cast<size_t>(oc.w), b = std::min(n, y1 * static_cast<size_t>(oc.w));
    for (size_t i = 0; i < DOGS; ++i) {
      const float* lo = oc.g[i].data.data();
      const float* hi = oc.g[i + 1].data.data();
      float* d = oc.d[i].data.data();
      for (size_t p = a; p < b; ++p) d[p] = hi[p] - lo[p];
    }
  });
}

// Rows of a layer per parallel item: small enough to balance the uneven keypoint density.
constexpr int64_t BAND_ROWS = 32;

void detect_octave(const Octave& oc, std::vector<Keypoint>& keypoints, std::vector<float>& raw,
                   double& desc_seconds) {
  const int64_t rows = oc.h - 2 * BORDER;
  if (rows <= 0 || oc.w <= 2 * BORDER) return;
  const size_t bands_per_layer = static_cast<size_t>((rows + BAND_ROWS - 1) / BAND_ROWS);
  // Bands in detection order (layer, then rows), so concatenating them in index order gives
  // the same candidate list whatever the number of threads.
  std::vector<BandResult> bands = par_map(bands_per_layer * LAYERS, cpu_budget(), [&](size_t k) {
    const size_t l = 1 + k / bands_per_layer;
    const int64_t r0 = BORDER + static_cast<int64_t>(k % bands_per_layer) * BAND_ROWS;
    BandResult band;
    detect_rows(oc, l, r0, std::min(r0 + BAND_ROWS, oc.h - BORDER), band);
    return band;
  });
  for (BandResult& b : bands) {
    keypoints.insert(keypoints.end(), b.keypoints.begin(), b.keypoints.end());
    raw.insert(raw.end(), b.raw.begin(), b.raw.end());
    desc_seconds += b.desc_seconds;
  }
}

// The next octave's base: every second pixel of layer 3.
void next_base(const ImageF32& g3, ImageF32& base) {
  const size_t w = std::max<size_t>(g3.width / 2, 1), h = std::max<size_t>(g3.height / 2, 1);
  shape_for_overwrite(base, w, h, 1);
  for (size_t y = 0; y < h; ++y) {
    const float* src = g3.row(2 * y);
    float* dst = base.row(y);
    for (size_t x = 0; x < w; ++x) dst[x] = src[2 * x];
  }
}

int64_t octave_count(size_t w, size_t h) {
  const double q = std::log(static_cast<double>(std::min(2 * w, 2 * h))) / 0.69314718055994529 - 2.0;
  const double rounded = std::round(q);
  int64_t n = 0;
  if (std::isnan(rounded)) n = 0;
  else if (rounded <= static_cast<double>(std::numeric_limits<int32_t>::min())) n = std::numeric_limits<int32_t>::min();
  else if (rounded >= static_cast<double>(std::numeric_limits<int32_t>::max())) n = std::numeric_limits<int32_t>::max();
  else n = static_cast<int64_t>(rounded);
  return std::max<int64_t>(n + 1, 1);
}

}  // namespace

SiftFeatures sift_extract(const ImageU8& gray, uint64_t n) {
  if (gray.channels != 1 || gray.data.size() < gray.width * gray.height)
    internal_error(format("sift_extract needs a one-channel image, got {}x{}x{}", gray.width, gray.height,
                          gray.channels));
  std::vector<Keypoint> keypoints;
  std::vector<float> raw;
  double blur_s = 0.0, detect_s = 0.0, desc_s = 0.0;

  if (2 * gray.width >= 12 && 2 * gray.height >= 12) {
    const auto t_base = Clock::now();
    ImageF32 input(gray.width, gray.height, 1);
    for (size_t i = 0; i < gray.width * gray.height; ++i) input.data[i] = static_cast<float>(gray.data[i]);
    Octave oc;
    {
      const ImageF32 up = resize_bilinear(input, 2 * gray.width, 2 * gray.height);
      input = {};
      const std::vector<float> k = gaussian_kernel(1.2489995996796799, 11);
      convolve_separable(up, k, k, BorderMode::Mirror, oc.g[0]);
    }
    blur_s += seconds_since(t_base);
    const int64_t octaves = octave_count(gray.width, gray.height);
    for (int64_t o = 0; o < octaves; ++o) {
      oc.w = static_cast<int64_t>(oc.g[0].width);
      oc.h = static_cast<int64_t>(oc.g[0].height);
      if (oc.w < 12 || oc.h < 12) break;
      oc.index = static_cast<int32_t>(o);
      oc.factor = o == 0 ? 0.5f : std::exp2(static_cast<float>(o - 1));
      const auto t0 = Clock::now();
      build_octave(oc);
      blur_s += seconds_since(t0);
      const auto t1 = Clock::now();
      build_dogs(oc);
      detect_octave(oc, keypoints, raw, desc_s);
      detect_s += seconds_since(t1);
      check_cancel();
      next_base(oc.g[3], oc.g[0]);
    }
  }

  if (std::getenv("TSL_PROF") != nullptr) {
    const std::string value = std::getenv("TSL_PROF");
    if (!utf8_error(value)) {
      const std::string line = format("sift: blur {:.0} ms, detect+ori+desc {:.0} ms (desc {:.0} ms, {} candidates)\n",
                                      blur_s * 1e3, detect_s * 1e3, desc_s * 1e3, keypoints.size());
      std::fwrite(line.data(), 1, line.size(), stderr);
    }
  }
  return select_keypoints(keypoints, raw, n);
}

}  // namespace tsl
