#include "sift/descriptor.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>

#include "sift/binary16.h"
#include "sift/row_kernels.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {

namespace {

constexpr float FLT_EPS = 1.1920929e-07f;  // the float machine epsilon, 2^-23

// The descriptor grid: DESC_WIDTH x DESC_WIDTH cells of DESC_BINS orientation bins, each cell
// DESC_SCL_FACTOR keypoint scales wide, samples weighted by a gaussian of half the grid's
// width (sigma DESC_WIDTH / 2 cells: exp(-d^2 / 8), d in cells).
constexpr int64_t DESC_WIDTH = 4;
constexpr int64_t DESC_BINS = 8;
constexpr float DESC_SCL_FACTOR = 3.0f;
constexpr float BINS_PER_DEGREE = 0.022222223f;  // DESC_BINS / 360
// No value may hold more than this share of the vector's length, so that a few strong
// gradients (a lighting edge) do not outweigh the rest; the clipped vector is scaled by
// DESC_INT_FACTOR over its length and rounded to integers 0..255.
constexpr float DESC_MAG_THR = 0.2f;
constexpr float DESC_INT_FACTOR = 512.0f;
constexpr float DEG_TO_RAD = 0.0174532924f;

// Half away from zero, as every rounding of the detector.
inline int64_t round_away(float v) { return static_cast<int64_t>(std::round(v)); }

// std::floor of a value well inside the 32-bit integers (a sample's bin coordinates, within
// -8..8), without the library call: the truncation, less one below zero. A zero's sign may
// differ, which no later sum sees.
inline float floor_small(float v) {
  const float t = static_cast<float>(static_cast<int32_t>(v));
  return t > v ? t - 1.0f : t;
}

// Narrows [j0, j1] to the columns j where j x slope + offset (a rotated coordinate in cells)
// may lie within (-2.5, 2.5), the grid with its guard cells, that is where the bin + 1.5
// test can pass; false when none can. Solved in double and widened by a sample on each side,
// far beyond the float rounding of the test itself, so no sample that passes is left out.
bool grid_columns(double slope, double offset, int64_t& j0, int64_t& j1) {
  constexpr double HALF = 2.5;
  if (std::fabs(slope) < 1e-9) {
    if (std::fabs(offset) > HALF + 1e-3) return false;
    return j0 <= j1;
  }
  double a = (-HALF - offset) / slope, b = (HALF - offset) / slope;
  if (a > b) std::swap(a, b);
  if (a > static_cast<double>(j1) || b < static_cast<double>(j0)) return false;
  j0 = std::max(j0, static_cast<int64_t>(std::floor(a)) - 1);
  j1 = std::min(j1, static_cast<int64_t>(std::ceil(b)) + 1);
  return j0 <= j1;
}

}  // namespace

float atan2_deg(float y, float x) {
  // Octant reduction to a = min / max in [0, 1], then the reduction about tan(pi/8) and a
  // degree-9 odd polynomial for atan on |z| <= tan(pi/8) (single-precision minimax
  // coefficients, error about 1 ulp of the result in radians).
  const float ax = std::fabs(x), ay = std::fabs(y);
  const float hi = std::max(ax, ay), lo = std::min(ax, ay);
  const float a = hi > 0.0f ? lo / hi : 0.0f;
  const bool big = a > 0.41421356f;
  const float z = big ? (a - 1.0f) / (a + 1.0f) : a;
  const float z2 = z * z;
  float r = (((8.05374449538e-2f * z2 - 1.38776856032e-1f) * z2 + 1.99777106478e-1f) * z2 - 3.33329491539e-1f) *
                z2 * z + z;
  if (big) r += 0.78539816f;
  if (ay > ax) r = 1.57079633f - r;
  if (x < 0.0f) r = 3.14159265f - r;
  if (y < 0.0f) r = -r;
  return r * 57.2957795f;
}

void sift_descriptor(const ImageF32& layer, int64_t cx, int64_t cy, float scl, float angle_deg,
                     std::span<float, DESC_LEN> out) {
  const int64_t w = static_cast<int64_t>(layer.width), h = static_cast<int64_t>(layer.height);
  float a = 360.0f - angle_deg;
  if (std::fabs(a - 360.0f) < FLT_EPS) a = 0.0f;
  float cos_t = std::cos(a * DEG_TO_RAD);
  float sin_t = std::sin(a * DEG_TO_RAD);
  const float hist_width = DESC_SCL_FACTOR * scl;
  // Half the diagonal of the grid and its guard cells, which covers the grid at any angle.
  int64_t radius = round_away(hist_width * 1.41421354f * static_cast<float>(DESC_WIDTH + 1) * 0.5f);
  radius = std::min(radius, static_cast<int64_t>(std::floor(std::sqrt(static_cast<double>(w * w + h * h)))));
  cos_t /= hist_width;
  sin_t /= hist_width;

  // 4 x 4 cells with a guard cell on each side, 8 bins plus 2 guard bins.
  std::array<float, 6 * 6 * 10> acc{};
  const float* g = layer.data.data();
  // One window row's samples, formed together by the row kernel, then split into the
  // accumulator in column order (its sums' rounding depends on the order).
  const size_t most = static_cast<size_t>(2 * radius + 1);
  std::vector<int32_t> keep(most);
  std::vector<float> buf(5 * most);
  const DescriptorSampleRow samples{keep.data(),     buf.data(),        buf.data() + most,
                                    buf.data() + 2 * most, buf.data() + 3 * most, buf.data() + 4 * most};
  const SiftRowKernels& kernels = sift_row_kernels();
  for (int64_t i = -radius; i <= radius; ++i) {
    const int64_t y = cy + i;
    if (y <= 0 || y >= h - 1) continue;
    // Columns whose sample lies inside the layer's interior, and of those the ones that may
    // fall within the rotated grid.
    int64_t j0 = std::max(-radius, 1 - cx), j1 = std::min(radius, w - 2 - cx);
    const float fi = static_cast<float>(i);
    if (!grid_columns(cos_t, -static_cast<double>(fi * sin_t), j0, j1) ||
        !grid_columns(sin_t, static_cast<double>(fi * cos_t), j0, j1))
      continue;
    const size_t n = static_cast<size_t>(j1 - j0 + 1);
    kernels.descriptor_samples(g + y * w + cx + j0, w, j0, n, cos_t, sin_t, fi * cos_t, fi * sin_t, samples);
    for (size_t t = 0; t < n; ++t) {
      if (!keep[t]) continue;
      const float weight = std::exp(samples.arg[t]);
      const float mag = weight * samples.mag[t];
      float rbin = samples.rbin[t], cbin = samples.cbin[t];
      float obin = (samples.ori[t] - a) * BINS_PER_DEGREE;
      const float r0f = floor_small(rbin), c0f = floor_small(cbin), o0f = floor_small(obin);
      rbin -= r0f;
      cbin -= c0f;
      obin -= o0f;
      int64_t o0 = static_cast<int64_t>(o0f);
      if (o0 < 0) o0 += DESC_BINS;
      if (o0 >= DESC_BINS) o0 -= DESC_BINS;
      const int64_t r0 = static_cast<int64_t>(r0f), c0 = static_cast<int64_t>(c0f);
      const float v_r1 = mag * rbin, v_r0 = mag - v_r1;
      const float v_rc11 = v_r1 * cbin, v_rc10 = v_r1 - v_rc11;
      const float v_rc01 = v_r0 * cbin, v_rc00 = v_r0 - v_rc01;
      const float v_rc111 = v_rc11 * obin, v_rc110 = v_rc11 - v_rc111;
      const float v_rc101 = v_rc10 * obin, v_rc100 = v_rc10 - v_rc101;
      const float v_rc011 = v_rc01 * obin, v_rc010 = v_rc01 - v_rc011;
      const float v_rc001 = v_rc00 * obin, v_rc000 = v_rc00 - v_rc001;
      const size_t k = static_cast<size_t>(((r0 + 1) * 6 + (c0 + 1)) * 10 + o0);
      acc[k] += v_rc000;
      acc[k + 1] += v_rc001;
      acc[k + 10] += v_rc010;
      acc[k + 11] += v_rc011;
      acc[k + 60] += v_rc100;
      acc[k + 61] += v_rc101;
      acc[k + 70] += v_rc110;
      acc[k + 71] += v_rc111;
    }
  }

  for (size_t i = 0; i < 4; ++i)
    for (size_t j = 0; j < 4; ++j) {
      const size_t k = ((i + 1) * 6 + (j + 1)) * 10;
      acc[k] += acc[k + 8];
      acc[k + 1] += acc[k + 9];
      for (size_t b = 0; b < 8; ++b) out[(i * 4 + j) * 8 + b] = acc[k + b];
    }

  float sq = 0.0f;
  for (float v : out) sq += v * v;
  const float t = DESC_MAG_THR * std::sqrt(sq);
  float sq2 = 0.0f;
  for (float& v : out) {
    v = std::min(v, t);
    sq2 += v * v;
  }
  const float s = DESC_INT_FACTOR / std::max(std::sqrt(sq2), FLT_EPS);
  for (float& v : out) v = std::min(std::max(std::round(v * s), 0.0f), 255.0f);
}

bool keypoint_order(const Keypoint& a, const Keypoint& b) {
  if (a.x != b.x) return a.x < b.x;
  if (a.y != b.y) return a.y < b.y;
  if (a.size != b.size) return a.size > b.size;
  return a.angle < b.angle;
}

std::vector<size_t> select_indices(std::span<const Keypoint> candidates, uint64_t n) {
  std::vector<size_t> order(candidates.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return keypoint_order(candidates[a], candidates[b]); });

  std::vector<size_t> kept;
  kept.reserve(order.size());
  for (size_t idx : order) {
    if (!kept.empty()) {
      const Keypoint& p = candidates[kept.back()];
      const Keypoint& q = candidates[idx];
      if (p.x == q.x && p.y == q.y && p.size == q.size && p.angle == q.angle) continue;
    }
    kept.push_back(idx);
  }
  if (n == 0 || kept.size() <= n) return kept;

  std::vector<float> responses(kept.size());
  for (size_t i = 0; i < kept.size(); ++i) responses[i] = candidates[kept[i]].response;
  std::nth_element(responses.begin(), responses.begin() + static_cast<ptrdiff_t>(n - 1), responses.end(),
                   std::greater<float>());
  const float t = responses[n - 1];
  std::vector<size_t> chosen;
  for (size_t idx : kept)
    if (candidates[idx].response > t) chosen.push_back(idx);
  for (size_t idx : kept)
    if (candidates[idx].response == t) chosen.push_back(idx);
  std::stable_sort(chosen.begin(), chosen.end(), [&](size_t a, size_t b) {
    if (candidates[a].response != candidates[b].response) return candidates[a].response > candidates[b].response;
    return a < b;
  });
  return chosen;
}

void root_sift(std::span<const float, DESC_LEN> raw, std::span<float, DESC_LEN> out) {
  float sum = 0.0f;  // exact: whole numbers below 2^24
  for (float v : raw) sum += v;
  for (size_t i = 0; i < DESC_LEN; ++i) out[i] = round_to_binary16(std::sqrt(raw[i] / (sum + 1e-7f)));
}

SiftFeatures select_keypoints(std::span<const Keypoint> candidates, std::span<const float> raw, uint64_t n) {
  if (raw.size() != candidates.size() * DESC_LEN)
    internal_error(format("{} descriptor values for {} keypoints", raw.size(), candidates.size()));
  const std::vector<size_t> kept = select_indices(candidates, n);
  SiftFeatures result;
  result.keypoints.reserve(kept.size());
  result.descriptors.resize(kept.size() * DESC_LEN);
  for (size_t k = 0; k < kept.size(); ++k) {
    result.keypoints.push_back(candidates[kept[k]]);
    root_sift(std::span<const float, DESC_LEN>(raw.data() + kept[k] * DESC_LEN, DESC_LEN),
              std::span<float, DESC_LEN>(result.descriptors.data() + k * DESC_LEN, DESC_LEN));
  }
  return result;
}

}  // namespace tsl
