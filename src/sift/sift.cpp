#include "sift/sift.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "img/ops/border.h"
#include "img/ops/filter.h"
#include "img/ops/resample.h"
#include "logx.h"
#include "sift/row_kernels.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t LAYERS = 3;          // scale layers per octave
constexpr size_t GAUSS = LAYERS + 3;  // gaussian layers: a difference above and below each scale, plus one
constexpr int64_t BORDER = 5;         // detection keeps this far from every edge
constexpr float FLT_EPS = 1.1920929e-07f;  // the float machine epsilon, 2^-23
constexpr int MAX_SOLVES = 5;         // sub-pixel steps before an extremum that keeps moving is dropped
// Input pixels between an octave's grid and the input's: the first octave is the half-pixel
// centred 2x resize, whose pixel X samples the input at X / 2 - 0.25, and every later octave
// takes every second sample of the one before, so the same quarter pixel holds in all of them.
// Positions subtract it to sit on their content. Refined positions lie at least 4.5 octave
// pixels (2.25 input pixels) in, where the subtraction and adding it back are exact in 32-bit,
// so the order of keypoints and the descriptors' grid centres stay as they were.
constexpr float GRID_OFFSET = 0.25f;

// Blur of an octave's base in its own pixels; layer i holds SIGMA x 2^(i / LAYERS).
constexpr float SIGMA = 1.6f;
// Blur that takes the doubled input to SIGMA, sqrt(1.6^2 - 1^2): the input counts as blurred
// by half a pixel, one pixel once doubled.
constexpr double BASE_BLUR = 1.2489995996796799;
// The thresholds below hold for samples in 0..1 and the image holds 0..255, so differences are
// divided by 255: a value by 255, a central difference (two pixels apart) by 510, a mixed
// second difference (two pixels apart both ways) by 1020.
constexpr float PIXEL_SCALE = 0.003921569f;         // 1/255
constexpr float DERIV_SCALE = 0.0019607844f;        // 1/510
constexpr float CROSS_DERIV_SCALE = 0.0009803922f;  // 1/1020
// An extremum whose interpolated contrast, times the layers per octave, stays below this is
// too faint to be found again.
constexpr float CONTRAST_THRESHOLD = 0.02f;
// Ratio of principal curvatures beyond which an extremum lies on an edge: tr^2 / det must stay
// below (r + 1)^2 / r, tested as tr^2 x r < det x (r + 1)^2.
constexpr float EDGE_RATIO = 10.0f;
constexpr float EDGE_LIMIT = (EDGE_RATIO + 1.0f) * (EDGE_RATIO + 1.0f);  // 121
// Orientation: a histogram of ORI_BINS bins over the gradients within ORI_RADIUS scales of the
// keypoint, weighted by a gaussian of ORI_SIG_FACTOR scales (so the radius is its 3 sigma);
// every peak within ORI_PEAK_RATIO of the highest gives a keypoint of its own.
constexpr size_t ORI_BINS = 36;
constexpr float ORI_SIG_FACTOR = 1.5f;
constexpr float ORI_RADIUS = 3.0f * ORI_SIG_FACTOR;  // 4.5
constexpr float ORI_PEAK_RATIO = 0.8f;
constexpr float DEGREES_PER_BIN = 10.0f;  // 360 / ORI_BINS
// Smallest octave side searched: BORDER pixels off every edge must leave a pixel with a
// neighbour on each side.
constexpr int64_t MIN_OCTAVE_SIDE = 2 * BORDER + 2;  // 12

// Blur increments that take layer i - 1 (total blur 1.6 x 2^((i - 1) / 3)) to layer i.
constexpr std::array<double, GAUSS> LAYER_SIGMA = {0.0, 1.2262734984654078, 1.5450077936447955,
                                                   1.9465878414647133, 2.4525469969308156,
                                                   3.0900155872895909};

inline int64_t round_away(double v) { return static_cast<int64_t>(std::round(v)); }

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

using Layers = std::array<ImageF32, GAUSS>;

struct Octave {
  Layers& g;
  int64_t w = 0, h = 0;
  float factor = 1.0f;  // octave pixels to input pixels
  int32_t index = 0;
};

// The gaussian layers of every octave, kept until the chosen keypoints are described and then
// for the thread's next call: fresh storage of a few hundred megabytes costs more in page
// faults and zeroing than the blurs that fill it. Released by release_sift_scratch.
thread_local std::vector<Layers> t_octaves;

struct Derivatives {
  float v, dx, dy, ds, dxx, dyy, dss, dxy, dxs, dys;
};

// Difference-of-gaussian layers are never stored: D[k] = G[k + 1] - G[k] is formed where it
// is read, which halves the octave's memory and page faults for one extra load per read.
Derivatives derivatives(const Octave& oc, size_t l, int64_t r, int64_t c) {
  const int64_t w = oc.w;
  const int64_t at = r * w + c;
  auto dog = [&](size_t k) {
    const float* hi = oc.g[k + 1].data.data() + at;
    const float* lo = oc.g[k].data.data() + at;
    return [hi, lo](int64_t off) { return hi[off] - lo[off]; };
  };
  const auto prev = dog(l - 1), cur = dog(l), next = dog(l + 1);
  Derivatives d;
  d.v = cur(0);
  d.dx = (cur(1) - cur(-1)) * DERIV_SCALE;
  d.dy = (cur(w) - cur(-w)) * DERIV_SCALE;
  d.ds = (next(0) - prev(0)) * DERIV_SCALE;
  d.dxx = (cur(1) + cur(-1) - 2.0f * d.v) * PIXEL_SCALE;
  d.dyy = (cur(w) + cur(-w) - 2.0f * d.v) * PIXEL_SCALE;
  d.dss = (next(0) + prev(0) - 2.0f * d.v) * PIXEL_SCALE;
  d.dxy = (cur(w + 1) - cur(w - 1) - cur(-w + 1) + cur(-w - 1)) * CROSS_DERIV_SCALE;
  d.dxs = (next(1) - next(-1) - prev(1) + prev(-1)) * CROSS_DERIV_SCALE;
  d.dys = (next(w) - next(-w) - prev(w) + prev(-w)) * CROSS_DERIV_SCALE;
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
  const float contr = d.v * PIXEL_SCALE + 0.5f * (d.dx * xc + d.dy * xr + d.ds * xi);
  if (static_cast<float>(LAYERS) * std::fabs(contr) < CONTRAST_THRESHOLD) return false;
  const float tr = d.dxx + d.dyy;
  const float det = d.dxx * d.dyy - d.dxy * d.dxy;
  if (det <= 0.0f || tr * tr * EDGE_RATIO >= det * EDGE_LIMIT) return false;

  kp.x = (static_cast<float>(c) + xc) * oc.factor - GRID_OFFSET;
  kp.y = (static_cast<float>(r) + xr) * oc.factor - GRID_OFFSET;
  // The size is a diameter: twice the blur of the keypoint's (fractional) layer.
  kp.size = 2.0f * (std::exp2((static_cast<float>(l) + xi) / static_cast<float>(LAYERS)) * SIGMA * oc.factor);
  kp.response = std::fabs(contr);
  kp.layer = static_cast<uint64_t>(l);
  kp.octave = oc.index - 1;
  l_io = static_cast<size_t>(l);
  r_io = r;
  c_io = c;
  return true;
}

// Per-band scratch of the orientation histogram.
struct OrientScratch {
  std::vector<float> weight;  // (R + 1)^2 gaussian weights by |row offset|, |column offset|
  std::vector<int32_t> bin;   // one window row's bins and magnitudes
  std::vector<float> mag;
};

// Orientation peaks of the keypoint at integer (r, c) of layer l, each appended as its own
// keypoint.
void orient(const Octave& oc, size_t l, int64_t r, int64_t c, const Keypoint& kp, OrientScratch& scratch,
            std::vector<Keypoint>& out) {
  const float* gd = oc.g[l].data.data();
  const int64_t w = oc.w, h = oc.h;
  const float scl = kp.size * 0.5f / oc.factor;
  const int64_t radius = round_away(ORI_RADIUS * scl);
  const float sigma_w = ORI_SIG_FACTOR * scl;
  const float exp_scale = -1.0f / (2.0f * sigma_w * sigma_w);
  // The weight of offset (i, j) depends on i^2 + j^2 alone: one exp per |i| <= |j| instead of
  // one per sample, the same value either way.
  const size_t side = static_cast<size_t>(radius) + 1;
  scratch.weight.resize(side * side);
  for (int64_t a = 0; a <= radius; ++a)
    for (int64_t b = a; b <= radius; ++b) {
      const float v = std::exp(static_cast<float>(a * a + b * b) * exp_scale);
      scratch.weight[static_cast<size_t>(a) * side + static_cast<size_t>(b)] = v;
      scratch.weight[static_cast<size_t>(b) * side + static_cast<size_t>(a)] = v;
    }
  scratch.bin.resize(2 * side);
  scratch.mag.resize(2 * side);
  const SiftRowKernels& kernels = sift_row_kernels();
  std::array<float, ORI_BINS> hist{};
  for (int64_t i = -radius; i <= radius; ++i) {
    const int64_t y = r + i;
    if (y <= 0 || y >= h - 1) continue;
    const int64_t j0 = std::max(-radius, 1 - c), j1 = std::min(radius, w - 2 - c);
    if (j1 < j0) continue;
    const size_t n = static_cast<size_t>(j1 - j0 + 1);
    kernels.gradient_bins(gd + y * w + c + j0, w, n, scratch.bin.data(), scratch.mag.data());
    const float* weight_row = scratch.weight.data() + static_cast<size_t>(i < 0 ? -i : i) * side;
    // In column order, as the sums' rounding depends on it.
    for (size_t t = 0; t < n; ++t) {
      const int64_t j = j0 + static_cast<int64_t>(t);
      hist[static_cast<size_t>(scratch.bin[t])] += weight_row[j < 0 ? -j : j] * scratch.mag[t];
    }
  }
  // Smoothed circularly by the binomial kernel (1, 4, 6, 4, 1) / 16.
  constexpr size_t N = ORI_BINS;
  std::array<float, N> s{};
  for (size_t b = 0; b < N; ++b)
    s[b] = 0.375f * hist[b] + 0.25f * (hist[(b + N - 1) % N] + hist[(b + 1) % N]) +
           0.0625f * (hist[(b + N - 2) % N] + hist[(b + 2) % N]);
  float m = 0.0f;
  for (float v : s) m = std::max(m, v);
  const float threshold = ORI_PEAK_RATIO * m;
  for (size_t b = 0; b < N; ++b) {
    const float lo = s[(b + N - 1) % N], hi = s[(b + 1) % N];
    if (!(s[b] > lo && s[b] > hi && s[b] >= threshold)) continue;
    float p = static_cast<float>(b) + 0.5f * (lo - hi) / (lo - 2.0f * s[b] + hi);
    if (p < 0.0f) p += static_cast<float>(N);
    if (p >= static_cast<float>(N)) p -= static_cast<float>(N);
    float angle = 360.0f - DEGREES_PER_BIN * p;
    if (std::fabs(angle - 360.0f) < FLT_EPS) angle = 0.0f;
    Keypoint k = kp;
    k.angle = angle;
    out.push_back(k);
  }
}

struct DetectScratch {
  std::vector<float> ring;
  std::vector<uint32_t> columns;
  OrientScratch orient;
};
thread_local DetectScratch t_detect;

// Detection, refinement and orientation over the rows [r0, r1) of layers 1 to 3, each
// layer's keypoints to out[l - 1] in row order. A ring keeps the last three difference rows
// of the five difference layers, each formed once for the three layers that read it, with
// each row's running extremes over three columns, so the 3 x 3 x 3 test is a maximum and a
// minimum over nine such rows.
void detect_rows(const Octave& oc, int64_t r0, int64_t r1, std::array<std::vector<Keypoint>, LAYERS>& out) {
  constexpr size_t DOGS = GAUSS - 1;  // difference layers
  const int64_t w = oc.w;
  const size_t uw = static_cast<size_t>(w);
  const SiftRowKernels& kernels = sift_row_kernels();
  // Planes of the ring: 0 differences, 1 running maxima, 2 running minima; DOGS x 3 rows each.
  // The thread's scratch: every row is written before it is read, so it needs no clearing.
  DetectScratch& scratch = t_detect;
  std::vector<float>& ring = scratch.ring;
  if (ring.size() < 9 * DOGS * uw) ring.resize(9 * DOGS * uw);
  auto ring_row = [&](size_t plane, size_t k, int64_t y) {
    return ring.data() + ((plane * DOGS + k) * 3 + static_cast<size_t>(y % 3)) * uw;
  };
  auto fill = [&](int64_t y) {
    for (size_t k = 0; k < DOGS; ++k) {
      float* d = ring_row(0, k, y);
      kernels.difference(oc.g[k + 1].row(static_cast<size_t>(y)), oc.g[k].row(static_cast<size_t>(y)), d, uw);
      kernels.extremes3(d, ring_row(1, k, y), ring_row(2, k, y), uw);
    }
  };
  std::vector<uint32_t>& columns = scratch.columns;
  if (columns.size() < uw) columns.resize(uw);
  fill(r0 - 1);
  fill(r0);
  for (int64_t r = r0; r < r1; ++r) {
    fill(r + 1);
    for (size_t l = 1; l <= LAYERS; ++l) {
      const float* hmax[9];
      const float* hmin[9];
      for (size_t k = 0; k < 3; ++k)
        for (size_t j = 0; j < 3; ++j) {
          hmax[k * 3 + j] = ring_row(1, l - 1 + k, r - 1 + static_cast<int64_t>(j));
          hmin[k * 3 + j] = ring_row(2, l - 1 + k, r - 1 + static_cast<int64_t>(j));
        }
      const size_t found = kernels.extrema(ring_row(0, l, r), hmax, hmin, static_cast<size_t>(BORDER),
                                           static_cast<size_t>(w - BORDER), columns.data());
      for (size_t q = 0; q < found; ++q) {
        size_t rl = l;
        int64_t rr = r, rc = static_cast<int64_t>(columns[q]);
        Keypoint kp;
        if (!refine(oc, rl, rr, rc, kp)) continue;
        orient(oc, rl, rr, rc, kp, scratch.orient, out[l - 1]);
      }
    }
  }
}

// Output rows per parallel item of the blur, at least: the rows above and below a band that
// its first rows read are formed again by the next band, so bands stay long.
constexpr size_t BLUR_BAND_ROWS = 64;

// The horizontal rows a worker formed last, row r in slot r % capacity (ids: which row a
// slot holds). Kept by the thread from band to band and call to call.
struct BlurRing {
  std::vector<float> rows;
  std::vector<int64_t> ids;
  std::vector<float> pad;
};
thread_local BlurRing t_blur_ring;

// `out` = `src` (one channel) convolved with k along x, then along y, the border mirrored
// about the edge sample: the values of convolve_separable(src, k, k, BorderMode::Mirror),
// bit for bit, by the vector row kernels. Each band of output rows forms the horizontal rows
// it reads in a ring of k.size() rows: the rows one output row reads, folded back by the
// mirror, lie within k.size() consecutive rows, so they never share a slot.
void sift_blur(const ImageF32& src, std::span<const float> k, ImageF32& out) {
  const size_t w = src.width, h = src.height, len = k.size(), radius = len / 2;
  shape_for_overwrite(out, w, h, 1);
  if (w == 0 || h == 0) return;
  const SiftRowKernels& kernels = sift_row_kernels();
  const size_t budget = cpu_budget();
  const size_t band = std::max(BLUR_BAND_ROWS, (h + 4 * budget - 1) / (4 * budget));
  const int64_t iw = static_cast<int64_t>(w), ih = static_cast<int64_t>(h);
  par_rows(h, band, budget, [&](size_t y0, size_t y1) {
    BlurRing& ring = t_blur_ring;
    ring.rows.resize(len * w);
    ring.ids.assign(len, -1);
    ring.pad.resize(w + 2 * radius);
    auto row = [&](int64_t r) -> const float* {
      const size_t slot = static_cast<size_t>(r) % len;
      float* dst = ring.rows.data() + slot * w;
      if (ring.ids[slot] != r) {
        const float* s = src.row(static_cast<size_t>(r));
        float* pad = ring.pad.data();
        for (size_t p = 0; p < radius; ++p) {
          const int64_t off = static_cast<int64_t>(p) - static_cast<int64_t>(radius);
          pad[p] = s[border_index(off, iw, BorderMode::Mirror)];
          pad[radius + w + p] = s[border_index(iw + static_cast<int64_t>(p), iw, BorderMode::Mirror)];
        }
        std::copy(s, s + w, pad + radius);
        kernels.blur_h(pad, k.data(), len, dst, w);
        ring.ids[slot] = r;
      }
      return dst;
    };
    std::vector<const float*> rows(len);
    for (size_t y = y0; y < y1; ++y) {
      for (size_t j = 0; j < len; ++j)
        rows[j] = row(border_index(static_cast<int64_t>(y + j) - static_cast<int64_t>(radius), ih, BorderMode::Mirror));
      kernels.blur_v(rows.data(), k.data(), len, out.row(y), w);
    }
  });
}

void build_octave(Octave& oc) {
  for (size_t i = 1; i < GAUSS; ++i) {
    const double sigma = LAYER_SIGMA[i];
    const uint64_t len = static_cast<uint64_t>(round_away(8.0 * sigma + 1.0)) | 1u;
    const std::vector<float> k = gaussian_kernel(sigma, len);
    sift_blur(oc.g[i - 1], k, oc.g[i]);
  }
}

// Rows of a layer per parallel item: small enough to balance the uneven keypoint density.
constexpr int64_t BAND_ROWS = 32;

void detect_octave(const Octave& oc, std::vector<Keypoint>& keypoints) {
  const int64_t rows = oc.h - 2 * BORDER;
  if (rows <= 0 || oc.w <= 2 * BORDER) return;
  const size_t bands = static_cast<size_t>((rows + BAND_ROWS - 1) / BAND_ROWS);
  using PerLayer = std::array<std::vector<Keypoint>, LAYERS>;
  const std::vector<PerLayer> found = par_map(bands, cpu_budget(), [&](size_t k) {
    const int64_t r0 = BORDER + static_cast<int64_t>(k) * BAND_ROWS;
    PerLayer band;
    detect_rows(oc, r0, std::min(r0 + BAND_ROWS, oc.h - BORDER), band);
    return band;
  });
  // Detection order (layer, then rows), the same whatever the number of threads.
  for (size_t l = 0; l < LAYERS; ++l)
    for (const PerLayer& b : found) keypoints.insert(keypoints.end(), b[l].begin(), b[l].end());
}

float octave_factor(int64_t o) { return o == 0 ? 0.5f : std::exp2(static_cast<float>(o - 1)); }

// RootSIFT descriptors of the chosen candidates, each on the layer it was found on.
std::vector<float> describe(std::span<const Keypoint> candidates, std::span<const size_t> chosen,
                            const std::vector<Layers>& layers) {
  std::vector<float> out(chosen.size() * DESC_LEN);
  constexpr size_t PER_ITEM = 64;
  par_rows(chosen.size(), PER_ITEM, cpu_budget(), [&](size_t k0, size_t k1) {
    std::array<float, DESC_LEN> raw;
    for (size_t k = k0; k < k1; ++k) {
      const Keypoint& kp = candidates[chosen[k]];
      const int64_t o = kp.octave + 1;
      const float factor = octave_factor(o);
      const ImageF32& g = layers[static_cast<size_t>(o)][kp.layer];
      // The descriptor is centred on the octave grid point nearest the unshifted position.
      sift_descriptor(g, round_away((kp.x + GRID_OFFSET) / factor), round_away((kp.y + GRID_OFFSET) / factor),
                      kp.size * 0.5f / factor, kp.angle, raw);
      root_sift(raw, std::span<float, DESC_LEN>(out.data() + k * DESC_LEN, DESC_LEN));
    }
  });
  return out;
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

// Descriptors are made only for the keypoints that the selection keeps, from the octaves'
// layers 1 to 3 held until then: selection reads positions, sizes, angles and responses
// alone, so the result is that of describing every candidate first, at a tenth of the work
// for a few thousand kept out of tens of thousands.
SiftFeatures sift_extract(const ImageU8& gray, const SiftOptions& options) {
  if (gray.channels != 1 || gray.data.size() < gray.width * gray.height)
    internal_error(format("sift_extract needs a one-channel image, got {}x{}x{}", gray.width, gray.height,
                          gray.channels));
  // Every loop below, the blurs' and resampling's included, takes its threads from
  // cpu_budget(): held to the stage's workers (loops run inline on a parallel worker).
  const BudgetCap cap(options.workers);
  std::vector<Keypoint> candidates;
  std::vector<Layers>& layers = t_octaves;
  double blur_s = 0.0, detect_s = 0.0;

  const size_t min_side = static_cast<size_t>(MIN_OCTAVE_SIDE);
  if (2 * gray.width >= min_side && 2 * gray.height >= min_side) {
    const auto t_base = Clock::now();
    if (layers.empty()) layers.resize(1);
    {
      // Layer 2's storage holds the input as floats until the octave overwrites it.
      ImageF32& input = layers[0][2];
      shape_for_overwrite(input, gray.width, gray.height, 1);
      for (size_t i = 0; i < gray.width * gray.height; ++i) input.data[i] = static_cast<float>(gray.data[i]);
      // Layer 1's storage holds the upsampled image until the octave overwrites it.
      resize_bilinear(input, 2 * gray.width, 2 * gray.height, layers[0][1]);
      // 11 taps: build_octave's length rule, round(8 sigma + 1) made odd.
      const std::vector<float> k = gaussian_kernel(BASE_BLUR, 11);
      sift_blur(layers[0][1], k, layers[0][0]);
    }
    blur_s += seconds_since(t_base);
    const int64_t octaves = octave_count(gray.width, gray.height);
    for (int64_t o = 0; o < octaves; ++o) {
      Octave oc{layers[static_cast<size_t>(o)]};
      oc.w = static_cast<int64_t>(oc.g[0].width);
      oc.h = static_cast<int64_t>(oc.g[0].height);
      if (oc.w < MIN_OCTAVE_SIDE || oc.h < MIN_OCTAVE_SIDE) break;
      oc.index = static_cast<int32_t>(o);
      oc.factor = octave_factor(o);
      const auto t0 = Clock::now();
      build_octave(oc);
      blur_s += seconds_since(t0);
      const auto t1 = Clock::now();
      detect_octave(oc, candidates);
      detect_s += seconds_since(t1);
      check_cancel();
      if (layers.size() < static_cast<size_t>(o) + 2) layers.resize(static_cast<size_t>(o) + 2);
      next_base(layers[static_cast<size_t>(o)][3], layers[static_cast<size_t>(o) + 1][0]);
    }
  }

  const auto t_desc = Clock::now();
  const std::vector<size_t> chosen = select_indices(candidates, options.features);
  SiftFeatures result;
  result.descriptors = describe(candidates, chosen, layers);
  result.keypoints.reserve(chosen.size());
  for (size_t idx : chosen) result.keypoints.push_back(candidates[idx]);
  const double desc_s = seconds_since(t_desc);

  if (options.profile) {
    const std::string line = format("sift: blur {:.0} ms, detect+ori+desc {:.0} ms (desc {:.0} ms, {} candidates)\n",
                                    blur_s * 1e3, (detect_s + desc_s) * 1e3, desc_s * 1e3, candidates.size());
    std::fwrite(line.data(), 1, line.size(), stderr);
  }
  return result;
}

void release_sift_scratch() {
  t_octaves = {};
  t_blur_ring = {};
  t_detect = {};
}

}  // namespace tsl
