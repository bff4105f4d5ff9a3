#include "sift/row_kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "sift/descriptor.h"

namespace tsl {
namespace {

// Bits of a float, so that -0 and +0 count as different.
uint32_t bits(float v) {
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

// Values as the scale space holds them: smooth 0..255 samples with plateaus (equal
// neighbours), exact zeros and both signs of differences. Lengths leave vector tails.
std::vector<float> samples(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<float> u(0.0f, 255.0f);
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = i % 7 == 3 && i > 0 ? v[i - 1] : (i % 11 == 5 ? 0.0f : u(rng));
  return v;
}

// Both roads of every kernel against the scalar statement of its contract, bit for bit.
TEST(SiftRowKernels, BothRoadsGiveTheScalarBits) {
  for (bool vector : {false, true}) {
    SCOPED_TRACE(vector ? "vector road" : "plain road");
    const SiftRowKernels& k = sift_row_kernels(vector);
    for (size_t n : {1, 3, 8, 9, 31, 100}) {
      SCOPED_TRACE(n);
      const std::vector<float> a = samples(n, 1 + n), b = samples(n, 2 + n);
      std::vector<float> d(n), hmax(n, -1.0f), hmin(n, -1.0f);
      k.difference(a.data(), b.data(), d.data(), n);
      for (size_t x = 0; x < n; ++x) EXPECT_EQ(bits(d[x]), bits(a[x] - b[x])) << x;
      k.extremes3(d.data(), hmax.data(), hmin.data(), n);
      for (size_t x = 1; x + 1 < n; ++x) {
        EXPECT_EQ(hmax[x], std::max({d[x - 1], d[x], d[x + 1]})) << x;
        EXPECT_EQ(hmin[x], std::min({d[x - 1], d[x], d[x + 1]})) << x;
      }
      if (n > 0) {
        EXPECT_EQ(hmax[0], -1.0f);  // left alone
      }
    }
  }
}

// The blur's passes sum from 0 in tap order, as the separable convolution they stand in for;
// widths leave every kind of tail (4 vectors, 1 vector, scalars).
TEST(SiftRowKernels, BlurPassesSumInTapOrder) {
  const std::vector<float> k = {0.05f, 0.1f, 0.2f, 0.3f, 0.2f, 0.1f, 0.05f};
  for (bool vector : {false, true}) {
    SCOPED_TRACE(vector ? "vector road" : "plain road");
    for (size_t n : {5, 8, 45, 77}) {
      SCOPED_TRACE(n);
      const std::vector<float> pad = samples(n + k.size() - 1, 30 + n);
      std::vector<std::vector<float>> rows(k.size());
      std::vector<const float*> row_ptrs;
      for (size_t j = 0; j < k.size(); ++j) {
        rows[j] = samples(n, 40 + j);
        row_ptrs.push_back(rows[j].data());
      }
      std::vector<float> h(n), v(n);
      sift_row_kernels(vector).blur_h(pad.data(), k.data(), k.size(), h.data(), n);
      sift_row_kernels(vector).blur_v(row_ptrs.data(), k.data(), k.size(), v.data(), n);
      for (size_t x = 0; x < n; ++x) {
        float eh = 0.0f, ev = 0.0f;
        for (size_t i = 0; i < k.size(); ++i) {
          eh = eh + k[i] * pad[x + i];
          ev = ev + k[i] * rows[i][x];
        }
        EXPECT_EQ(bits(h[x]), bits(eh)) << x;
        EXPECT_EQ(bits(v[x]), bits(ev)) << x;
      }
    }
  }
}

TEST(SiftRowKernels, ExtremaMatchTheNeighbourTest) {
  // Nine difference rows of 3 layers x 3 rows; few, flat values make many ties and plateaus.
  const size_t w = 45;
  std::mt19937_64 rng(9);
  std::uniform_int_distribution<int> level(-2, 2);
  std::vector<std::vector<float>> d(9, std::vector<float>(w));
  for (auto& row : d)
    for (float& v : row) v = static_cast<float>(level(rng)) * 0.5f;
  std::vector<std::vector<float>> hmax(9, std::vector<float>(w)), hmin(9, std::vector<float>(w));
  const float* pmax[9];
  const float* pmin[9];
  for (size_t r = 0; r < 9; ++r) {
    sift_row_kernels(false).extremes3(d[r].data(), hmax[r].data(), hmin[r].data(), w);
    pmax[r] = hmax[r].data();
    pmin[r] = hmin[r].data();
  }
  std::vector<uint32_t> expected;
  for (size_t x = 1; x + 1 < w; ++x) {
    const float v = d[4][x];
    if (v == 0.0f) continue;
    bool beaten = false;
    for (size_t r = 0; r < 9; ++r)
      for (size_t c = x - 1; c <= x + 1; ++c) beaten |= v > 0.0f ? d[r][c] > v : d[r][c] < v;
    if (!beaten) expected.push_back(static_cast<uint32_t>(x));
  }
  ASSERT_GT(expected.size(), 2u);
  for (bool vector : {false, true}) {
    SCOPED_TRACE(vector ? "vector road" : "plain road");
    std::vector<uint32_t> found(w);
    found.resize(sift_row_kernels(vector).extrema(d[4].data(), pmax, pmin, 1, w - 1, found.data()));
    EXPECT_EQ(found, expected);
  }
}

// Gradient bins and magnitudes against atan2_deg and the rounding rule, on a 3-row patch
// whose gradients take every direction, the axes and zero included.
TEST(SiftRowKernels, GradientBinsFollowAtan2Deg) {
  const size_t w = 70;
  std::vector<float> img = samples(3 * w, 4);
  for (size_t x = 20; x < 30; ++x) img[x] = img[2 * w + x] = img[w + x - 1] = img[w + x + 1] = 7.0f;  // no gradient
  for (bool vector : {false, true}) {
    SCOPED_TRACE(vector ? "vector road" : "plain road");
    const size_t n = w - 2;
    std::vector<int32_t> bin(n);
    std::vector<float> mag(n);
    sift_row_kernels(vector).gradient_bins(img.data() + w + 1, static_cast<ptrdiff_t>(w), n, bin.data(), mag.data());
    for (size_t t = 0; t < n; ++t) {
      const float* p = img.data() + w + 1 + t;
      const float dx = p[1] - p[-1], dy = p[-static_cast<ptrdiff_t>(w)] - p[w];
      float dir = atan2_deg(dy, dx);
      if (dir < 0.0f) dir += 360.0f;
      int64_t b = static_cast<int64_t>(std::round(static_cast<double>(dir * 0.1f)));
      if (b >= 36) b -= 36;
      EXPECT_EQ(bin[t], b) << t;
      EXPECT_EQ(bits(mag[t]), bits(std::sqrt(dx * dx + dy * dy))) << t;
    }
  }
}

}  // namespace
}  // namespace tsl
