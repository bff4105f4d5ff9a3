#include "img/ops/filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>
#include <string>
#include <tuple>

#include "img/ops/ops_test_util.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {
namespace {

using test::random_image;

double max_abs_diff(const std::vector<float>& a, const std::vector<float>& b) {
  EXPECT_EQ(a.size(), b.size());
  double worst = 0.0;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
    worst = std::max(worst, std::fabs(static_cast<double>(a[i]) - b[i]));
  return worst;
}

TEST(BorderIndex, MapsOutsideIndices) {
  struct Row {
    int64_t i, n;
    BorderMode mode;
    int64_t expected;
  };
  const Row rows[] = {
      {-1, 5, BorderMode::Clamp, 0},   {7, 5, BorderMode::Clamp, 4},     {-1, 5, BorderMode::Mirror, 1},
      {-2, 5, BorderMode::Mirror, 2},  {5, 5, BorderMode::Mirror, 3},    {6, 5, BorderMode::Mirror, 2},
      {-3, 3, BorderMode::Mirror, 1},  {-7, 1, BorderMode::Mirror, 0},   {9, 1, BorderMode::Mirror, 0},
      {-5, 2, BorderMode::Mirror, 1},  {1000001, 3, BorderMode::Mirror, 1}, {-1, 5, BorderMode::Zero, -1},
      {5, 5, BorderMode::Zero, -1},    {3, 5, BorderMode::Zero, 3},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(format("i {} n {} mode {}", r.i, r.n, static_cast<int>(r.mode)));
    EXPECT_EQ(border_index(r.i, r.n, r.mode), r.expected);
  }
}

TEST(GaussianKernel, IsSymmetricNormalisedAndOddLength) {
  const std::vector<float> k9 = gaussian_kernel(1.0, 9);
  ASSERT_EQ(k9.size(), 9u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(k9[i], k9[8 - i]);
  EXPECT_NEAR(std::accumulate(k9.begin(), k9.end(), 0.0), 1.0, 1e-6);
  EXPECT_EQ(gaussian_kernel(1.0, 4).size(), 5u);
  EXPECT_EQ(gaussian_kernel(1.0, 0), std::vector<float>{1.0f});
  EXPECT_EQ(gaussian_kernel(1.0, 1), std::vector<float>{1.0f});
  // A zero sigma leaves only the centre instead of NaN.
  EXPECT_EQ(gaussian_kernel(0.0, 3), (std::vector<float>{0.0f, 1.0f, 0.0f}));
}

TEST(GaussianBlur, TapCountFollowsSigma) {
  // The impulse response of a row shows the kernel's length.
  const std::pair<double, size_t> rows[] = {{0.5, 5}, {1.0, 9}, {1.5, 13}, {2.0, 17}, {0.1, 3}, {0.3, 3}};
  for (auto [sigma, taps] : rows) {
    SCOPED_TRACE(format("sigma {}", sigma));
    ImageF32 impulse(41, 1, 1);
    impulse.data[20] = 1.0f;
    const ImageF32 out = gaussian_blur(impulse, sigma);
    EXPECT_EQ(static_cast<size_t>(std::count_if(out.data.begin(), out.data.end(), [](float v) { return v != 0; })),
              taps);
  }
}

TEST(GaussianBlur, NonPositiveSigmaReturnsTheSource) {
  const ImageF32 src = random_image(6, 5, 3, 1);
  EXPECT_EQ(gaussian_blur(src, 0.0).data, src.data);
  EXPECT_EQ(gaussian_blur(src, -2.0).data, src.data);
  EXPECT_EQ(gaussian_blur(src, std::nan("")).data, src.data);
  EXPECT_THROW(gaussian_blur(src, 1e9), InternalError);
}

TEST(ConvolveSeparable, BorderRulesAtTheRightEdge) {
  // Kernel [0, 0, 1] reads one column to the right: the last column shows the border rule.
  ImageF32 src(4, 2, 1);
  src.data = {1, 2, 3, 4, 5, 6, 7, 8};
  const float kx[] = {0.0f, 0.0f, 1.0f};
  const float ky[] = {1.0f};
  struct Row {
    BorderMode mode;
    std::vector<float> expected;
  };
  const Row rows[] = {
      {BorderMode::Clamp, {2, 3, 4, 4, 6, 7, 8, 8}},
      {BorderMode::Zero, {2, 3, 4, 0, 6, 7, 8, 0}},
      {BorderMode::Mirror, {2, 3, 4, 3, 6, 7, 8, 7}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(static_cast<int>(r.mode));
    EXPECT_EQ(convolve_separable(src, kx, ky, r.mode).data, r.expected);
  }
}

TEST(ConvolveSeparable, KernelIsNotFlippedAndEmptyKernelGivesZeros) {
  ImageF32 ramp(5, 1, 1);
  ramp.data = {0, 1, 4, 9, 16};
  const float deriv[] = {-0.125f, 0.0f, 0.125f};
  const float one[] = {1.0f};
  const ImageF32 d = convolve_separable(ramp, deriv, one, BorderMode::Clamp);
  EXPECT_FLOAT_EQ(d.data[2], 0.125f * (9 - 1));  // positive where the image grows to the right
  EXPECT_EQ(convolve_separable(ramp, {}, one, BorderMode::Clamp).data, std::vector<float>(5, 0.0f));
  EXPECT_EQ(convolve_separable(ramp, one, {}, BorderMode::Clamp).data, std::vector<float>(5, 0.0f));
}

TEST(ConvolveSeparable, KernelLongerThanTheImage) {
  // A radius beyond the width reads every border position through the rule.
  ImageF32 src(2, 1, 1);
  src.data = {1.0f, 3.0f};
  const std::vector<float> k(7, 1.0f);
  const float one[] = {1.0f};
  // Mirror on length 2 alternates 1, 3, 1, 3 ...: offsets -3..3 from x=0 read 3,1,3,1,3,1,3.
  EXPECT_EQ(convolve_separable(src, k, one, BorderMode::Mirror).data, (std::vector<float>{15.0f, 13.0f}));
  EXPECT_EQ(convolve_separable(src, k, one, BorderMode::Clamp).data, (std::vector<float>{13.0f, 15.0f}));
  EXPECT_EQ(convolve_separable(src, k, one, BorderMode::Zero).data, (std::vector<float>{4.0f, 4.0f}));
}

// The overloads that write into a kept image must give the allocating results bit for bit
// whatever the image held before: stale values (NaN here, which no comparison lets pass), a
// larger or smaller storage, another channel count. Zero borders and empty kernels are the
// paths that have to write zeros themselves.
TEST(ConvolveSeparable, IntoAKeptImageMatchesTheAllocatingResult) {
  struct Case {
    std::string name;
    size_t w, h, c;
    std::vector<float> kx, ky;
    BorderMode border;
  };
  const std::vector<float> k5 = {0.1f, -0.7f, 0.25f, 0.5f, 0.3f};
  const std::vector<float> k9 = gaussian_kernel(1.5, 9);
  const Case cases[] = {
      {"clamp rgb", 37, 23, 3, k5, k9, BorderMode::Clamp},
      {"zero border drops rows and columns", 19, 6, 4, k9, k9, BorderMode::Zero},
      {"mirror one channel, kernel taller than the image", 40, 3, 1, k5, k9, BorderMode::Mirror},
      {"empty horizontal kernel", 8, 5, 2, {}, k5, BorderMode::Clamp},
      {"empty vertical kernel", 8, 5, 2, k5, {}, BorderMode::Clamp},
      {"one tap each way", 5, 4, 3, {2.0f}, {0.5f}, BorderMode::Zero},
  };
  const size_t stale_sizes[] = {0, 7, 3000};
  for (const Case& c : cases) {
    const ImageF32 src = random_image(c.w, c.h, c.c, 5);
    const ImageF32 expected = convolve_separable(src, c.kx, c.ky, c.border);
    for (size_t stale : stale_sizes) {
      SCOPED_TRACE(format("{}, stale storage of {} values", c.name, stale));
      ImageF32 out(stale, 1, 1);
      std::fill(out.data.begin(), out.data.end(), std::nanf(""));
      convolve_separable(src, c.kx, c.ky, c.border, out);
      EXPECT_EQ(out.width, c.w);
      EXPECT_EQ(out.height, c.h);
      EXPECT_EQ(out.channels, c.c);
      EXPECT_EQ(out.data, expected.data);
    }
  }
}

TEST(GaussianBlur, IntoAKeptImageMatchesTheAllocatingResultAndRefusesItsSource) {
  ImageF32 out(50, 50, 4);
  std::fill(out.data.begin(), out.data.end(), std::nanf(""));
  // One image reused across calls of shrinking and growing sizes, as a render does.
  const std::tuple<size_t, size_t, size_t, double> calls[] = {
      {31, 17, 3, 2.0}, {12, 40, 1, 0.7}, {64, 33, 4, 3.5}, {9, 9, 2, 0.0}};
  for (auto [w, h, c, sigma] : calls) {
    SCOPED_TRACE(format("{}x{}x{} sigma {}", w, h, c, sigma));
    const ImageF32 src = random_image(w, h, c, 9);
    gaussian_blur(src, sigma, out);
    EXPECT_EQ(out.width, w);
    EXPECT_EQ(out.data, gaussian_blur(src, sigma).data);
  }
  ImageF32 self = random_image(6, 6, 1, 2);
  EXPECT_THROW(gaussian_blur(self, 1.0, self), InternalError);
  EXPECT_THROW(convolve_separable(self, std::vector<float>{1.0f}, std::vector<float>{1.0f}, BorderMode::Clamp, self),
               InternalError);
}

// The plain two-pass definition, summing in f32 in kernel order: the oracle for the fused,
// blocked and vectorised passes, which must match it bit for bit.
ImageF32 plain_convolve(const ImageF32& src, const std::vector<float>& kx, const std::vector<float>& ky,
                        BorderMode border) {
  const int64_t w = static_cast<int64_t>(src.width), h = static_cast<int64_t>(src.height);
  const size_t ch = src.channels;
  ImageF32 hpass(src.width, src.height, ch), out(src.width, src.height, ch);
  for (int64_t y = 0; y < h; ++y)
    for (int64_t x = 0; x < w; ++x)
      for (size_t c = 0; c < ch; ++c) {
        float acc = 0.0f;
        for (size_t i = 0; i < kx.size(); ++i) {
          const int64_t sx = border_index(x + static_cast<int64_t>(i) - static_cast<int64_t>(kx.size() / 2), w, border);
          if (sx >= 0) acc = acc + kx[i] * src.data[(static_cast<size_t>(y * w + sx)) * ch + c];
        }
        hpass.data[static_cast<size_t>(y * w + x) * ch + c] = acc;
      }
  for (int64_t y = 0; y < h; ++y)
    for (int64_t x = 0; x < w; ++x)
      for (size_t c = 0; c < ch; ++c) {
        float acc = 0.0f;
        for (size_t j = 0; j < ky.size(); ++j) {
          const int64_t sy = border_index(y + static_cast<int64_t>(j) - static_cast<int64_t>(ky.size() / 2), h, border);
          if (sy >= 0) acc = acc + ky[j] * hpass.data[static_cast<size_t>(sy * w + x) * ch + c];
        }
        out.data[static_cast<size_t>(y * w + x) * ch + c] = acc;
      }
  return out;
}

TEST(ConvolveSeparable, MatchesThePlainDefinitionBitForBit) {
  std::mt19937 rng(17);
  std::uniform_real_distribution<float> weight(-1.0f, 1.0f);
  const struct {
    size_t w, h, c;
  } sizes[] = {{37, 23, 3}, {1, 9, 1}, {9, 1, 2}, {5, 2, 4}, {70, 3, 1}};
  for (const auto& size : sizes) {
    const ImageF32 src = random_image(size.w, size.h, size.c, 40 + static_cast<uint32_t>(size.w));
    for (size_t lx : {1u, 4u, 9u}) {
      for (size_t ly : {1u, 2u, 7u, 13u}) {
        std::vector<float> kx(lx), ky(ly);
        for (float& k : kx) k = weight(rng);
        for (float& k : ky) k = weight(rng);
        for (BorderMode m : {BorderMode::Clamp, BorderMode::Mirror, BorderMode::Zero}) {
          SCOPED_TRACE(format("{}x{}x{} kernels {} and {} border {}", size.w, size.h, size.c, lx, ly, int(m)));
          ASSERT_EQ(convolve_separable(src, kx, ky, m).data, plain_convolve(src, kx, ky, m).data);
        }
      }
    }
  }
}

TEST(ConvolveSeparable, ResultDoesNotDependOnThreads) {
  const ImageF32 src = random_image(257, 131, 3, 7);
  const ImageF32 threaded = gaussian_blur(src, 1.7);
  auto inline_run = par_map(2, 2, [&](size_t) { return gaussian_blur(src, 1.7).data; });
  EXPECT_EQ(inline_run[0], threaded.data);
}

TEST(Laplacian, ConstantImageIsZeroEverywhere) {
  const std::pair<size_t, size_t> sizes[] = {{1, 1}, {1, 5}, {5, 1}, {2, 2}, {7, 5}};
  for (auto [w, h] : sizes) {
    for (uint64_t aperture : {1u, 3u}) {
      SCOPED_TRACE(format("{}x{} aperture {}", w, h, aperture));
      ImageF32 src(w, h, 1);
      std::fill(src.data.begin(), src.data.end(), 7.5f);
      EXPECT_EQ(laplacian(src, aperture).data, std::vector<float>(w * h, 0.0f));
    }
  }
}

TEST(Laplacian, ReadsTheFirstPlaneAndReturnsOneChannel) {
  ImageF32 src(3, 2, 3);
  std::iota(src.data.begin(), src.data.end(), 0.0f);
  const ImageF32 out = laplacian(src, 1);
  EXPECT_EQ(out.channels, 1u);
  EXPECT_EQ(out.data.size(), 6u);
  ImageF32 short_src(3, 2, 1);
  short_src.data.resize(5);
  EXPECT_THROW(laplacian(short_src, 1), InternalError);
}

TEST(Filters, AgreeWithScipyAndOpenCv) {
  TSL_REQUIRE_OPS_ORACLE();
  test::TempDir dir;
  const ImageF32 rgb = random_image(83, 61, 3, 11);
  const ImageF32 grey = random_image(70, 45, 1, 12);
  test::save_raw<float>(dir / "rgb.f32", rgb.data);
  test::save_raw<float>(dir / "grey.f32", grey.data);

  struct Case {
    std::string name;
    ImageF32 ours;
    double tolerance;  // see below
  };
  std::vector<Case> cases;
  // Gaussian against SciPy with the same radius (its truncation rule rounds differently);
  // SciPy sums in double, we in f32 over up to 2 x 27 taps of values up to 1000.
  for (double sigma : {0.5, 1.0, 1.1, 2.0, 3.2}) {
    const size_t radius = (static_cast<size_t>(std::round(8.0 * sigma + 1.0)) | 1u) / 2;
    cases.push_back({format("gaussian {} r {}", sigma, radius), gaussian_blur(rgb, sigma), 2e-3});
  }
  // Laplacian sums reach 8000, where one f32 ulp is 1e-3; OpenCV adds in another order.
  cases.push_back({"laplacian 1", laplacian(grey, 1), 4e-3});
  cases.push_back({"laplacian 3", laplacian(grey, 3), 4e-3});
  for (uint64_t n : {3u, 7u, 9u}) cases.push_back({format("box {}", n), box_blur(grey, n), 2e-3});
  const float kx[] = {0.1f, -0.7f, 0.25f, 0.5f, 0.3f};
  const float ky[] = {-0.2f, 0.9f, 0.4f, 0.1f};
  for (BorderMode m : {BorderMode::Clamp, BorderMode::Mirror, BorderMode::Zero})
    cases.push_back({format("separable border {}", static_cast<int>(m)), convolve_separable(rgb, kx, ky, m), 2e-3});

  const std::string code = R"(
rgb = np.fromfile('rgb.f32', np.float32).reshape(61, 83, 3)
grey = np.fromfile('grey.f32', np.float32).reshape(45, 70)
outs = []
for s in (0.5, 1.0, 1.1, 2.0, 3.2):
    r = (int(np.floor(8 * s + 1 + 0.5)) | 1) // 2
    outs.append(scipy.ndimage.gaussian_filter(rgb, (s, s, 0), mode='nearest', radius=(r, r, 0)))
outs.append(cv2.Laplacian(grey, cv2.CV_32F, ksize=1))
outs.append(cv2.Laplacian(grey, cv2.CV_32F, ksize=3))
for n in (3, 7, 9):
    outs.append(cv2.blur(grey, (n, n), borderType=cv2.BORDER_REFLECT_101))
kx = np.array([0.1, -0.7, 0.25, 0.5, 0.3], np.float32)
ky = np.array([-0.2, 0.9, 0.4, 0.1], np.float32)
for b in (cv2.BORDER_REPLICATE, cv2.BORDER_REFLECT_101, cv2.BORDER_CONSTANT):
    outs.append(cv2.sepFilter2D(rgb, cv2.CV_32F, kx, ky, borderType=b))
for i, o in enumerate(outs):
    o.astype(np.float32).tofile(f'out{i}.f32')
)";
  ASSERT_TRUE(test::run_python_oracle(dir.path(), code));
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    const double worst = max_abs_diff(cases[i].ours.data, test::load_raw<float>(dir / format("out{}.f32", i)));
    EXPECT_LT(worst, cases[i].tolerance) << "largest difference " << worst;
  }
}

}  // namespace
}  // namespace tsl
