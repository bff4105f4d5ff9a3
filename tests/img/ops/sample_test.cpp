#include "img/ops/sample.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "img/ops/ops_test_util.h"
#include "util/text.h"

namespace tsl {
namespace {

using test::random_u16;

TEST(SampleBilinear, TapsOutsideTheImageAddNothing) {
  ImageF32 ones(4, 3, 1);
  std::fill(ones.data.begin(), ones.data.end(), 1.0f);
  std::array<float, 4> out{9, 9, 9, 9};
  sample_bilinear(ones, -0.5f, 0.0f, out);
  EXPECT_FLOAT_EQ(out[0], 0.5f);
  EXPECT_EQ(out[1], 9.0f);  // entries past the channel count stay
  sample_bilinear(ones, 1.25f, 1.5f, out);
  EXPECT_FLOAT_EQ(out[0], 1.0f);
  sample_bilinear(ones, -1e7f, -1e7f, out);  // the renderers' "does not project" position
  EXPECT_EQ(out[0], 0.0f);
}

TEST(SampleBilinear, ReadsIntegerPositionsExactly) {
  ImageF32 img(3, 2, 2);
  for (size_t i = 0; i < img.data.size(); ++i) img.data[i] = static_cast<float>(i);
  std::array<float, 4> out{};
  sample_bilinear(img, 2.0f, 1.0f, out);
  EXPECT_EQ(out[0], 10.0f);
  EXPECT_EQ(out[1], 11.0f);
  sample_bilinear(img, 0.5f, 0.0f, out);
  EXPECT_FLOAT_EQ(out[0], 1.0f);
}

TEST(SampleU16, BorderRulesAtTheSamePlace) {
  ImageU16 c(5, 4, 3);
  std::fill(c.data.begin(), c.data.end(), uint16_t{4000});
  struct Row {
    std::string name;
    bool cubic;
    BorderMode mode;
    float x, y, expected;
  };
  const Row rows[] = {
      {"clamp keeps the constant", false, BorderMode::Clamp, -0.5f, 0.0f, 4000.0f},
      {"mirror keeps the constant", false, BorderMode::Mirror, -0.5f, 0.0f, 4000.0f},
      {"zero loses the outside half", false, BorderMode::Zero, -0.5f, 0.0f, 2000.0f},
      {"cubic clamp keeps the constant", true, BorderMode::Clamp, 4.3f, 3.7f, 4000.0f},
      {"cubic mirror keeps the constant", true, BorderMode::Mirror, -0.4f, 0.2f, 4000.0f},
      {"cubic clamp far outside reads the corner", true, BorderMode::Clamp, 1e30f, -1e30f, 4000.0f},
      {"cubic zero far outside reads nothing", true, BorderMode::Zero, 1e30f, 2.0f, 0.0f},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::array<float, 4> out{};
    sample_u16(c, r.x, r.y, r.cubic, r.mode, out);
    for (int ch = 0; ch < 3; ++ch) EXPECT_NEAR(out[ch], r.expected, 0.01f);
    EXPECT_EQ(out[3], 0.0f);
  }
}

TEST(SampleU16, CubicAtAnIntegerPositionReturnsTheSample) {
  const ImageU16 img = random_u16(6, 5, 4, 3);
  for (size_t y = 0; y < 5; ++y) {
    for (size_t x = 0; x < 6; ++x) {
      std::array<float, 4> out{};
      sample_u16(img, static_cast<float>(x), static_cast<float>(y), true, BorderMode::Mirror, out);
      for (size_t c = 0; c < 4; ++c) ASSERT_EQ(out[c], img.data[(y * 6 + x) * 4 + c]) << x << "," << y << "," << c;
    }
  }
}

TEST(Samplers, NonFiniteOrBadImagesAreSafe) {
  const ImageU16 img = random_u16(4, 4, 3, 4);
  std::array<float, 4> out{5, 5, 5, 5};
  const float nan = std::numeric_limits<float>::quiet_NaN();
  sample_u16(img, nan, 1.0f, true, BorderMode::Clamp, out);
  EXPECT_EQ(out, (std::array<float, 4>{0, 0, 0, 5}));
  ImageF32 f(2, 2, 1);
  out = {5, 5, 5, 5};
  sample_bilinear(f, 0.5f, std::numeric_limits<float>::infinity(), out);
  EXPECT_EQ(out[0], 0.0f);

  const ImageU16 no_channels(3, 3, 0);
  out = {5, 5, 5, 5};
  sample_u16(no_channels, 1.0f, 1.0f, false, BorderMode::Clamp, out);
  EXPECT_EQ(out, (std::array<float, 4>{5, 5, 5, 5}));
  EXPECT_THROW(sample_u16(ImageU16(2, 2, 5), 0.0f, 0.0f, false, BorderMode::Clamp, out), InternalError);
  ImageF32 short_data(2, 2, 1);
  short_data.data.pop_back();
  EXPECT_THROW(sample_bilinear(short_data, 0.0f, 0.0f, out), InternalError);
}

TEST(SampleU16, AgreesWithOpenCvRemap) {
  TSL_REQUIRE_OPS_ORACLE();
  test::TempDir dir;
  const ImageU16 img = random_u16(23, 17, 3, 5);
  std::vector<float> as_float(img.data.begin(), img.data.end());
  test::save_raw<float>(dir / "img.f32", as_float);
  // OpenCV quantises map positions to 1/32 pixel, so the positions are multiples of 1/32,
  // spread over the image and a margin of three pixels around it.
  std::mt19937 rng(6);
  std::uniform_int_distribution<int> px(-3 * 32, 26 * 32), py(-3 * 32, 20 * 32);
  const size_t n = 2000;
  std::vector<float> xs(n), ys(n);
  for (size_t i = 0; i < n; ++i) {
    xs[i] = static_cast<float>(px(rng)) / 32.0f;
    ys[i] = static_cast<float>(py(rng)) / 32.0f;
  }
  test::save_raw<float>(dir / "x.f32", xs);
  test::save_raw<float>(dir / "y.f32", ys);
  const std::string code = R"(
img = np.fromfile('img.f32', np.float32).reshape(17, 23, 3)
x = np.fromfile('x.f32', np.float32).reshape(1, -1)
y = np.fromfile('y.f32', np.float32).reshape(1, -1)
k = 0
for interp in (cv2.INTER_LINEAR, cv2.INTER_CUBIC):
    for border in (cv2.BORDER_REPLICATE, cv2.BORDER_REFLECT_101, cv2.BORDER_CONSTANT):
        r = cv2.remap(img, x, y, interp, borderMode=border, borderValue=0)
        r.astype(np.float32).tofile(f'out{k}.f32')
        k += 1
)";
  ASSERT_TRUE(test::run_python_oracle(dir.path(), code));
  size_t k = 0;
  for (bool cubic : {false, true}) {
    for (BorderMode mode : {BorderMode::Clamp, BorderMode::Mirror, BorderMode::Zero}) {
      SCOPED_TRACE(format("cubic {} border {}", cubic, static_cast<int>(mode)));
      const std::vector<float> want = test::load_raw<float>(dir / format("out{}.f32", k++));
      ASSERT_EQ(want.size(), n * 3);
      double worst = 0.0;
      for (size_t i = 0; i < n; ++i) {
        std::array<float, 4> out{};
        sample_u16(img, xs[i], ys[i], cubic, mode, out);
        for (size_t c = 0; c < 3; ++c) worst = std::max(worst, std::fabs(double(out[c]) - want[i * 3 + c]));
      }
      // OpenCV tabulates the weights in f32 and sums in another order: a few ulps of
      // 65535 (0.004 each) over up to 16 taps.
      EXPECT_LT(worst, 0.1) << "largest difference " << worst;
    }
  }
}

}  // namespace
}  // namespace tsl
