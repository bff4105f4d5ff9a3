#include "flow/lk_flow.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "flow/flow_fixtures.h"

namespace tsl {
namespace {

TEST(LkFlow, PyrDownHalvesRoundingUpAndKeepsConstants) {
  struct Row {
    size_t w, h, ow, oh;
  };
  for (const Row r : {Row{1, 1, 1, 1}, Row{5, 3, 3, 2}, Row{8, 8, 4, 4}, Row{1, 6, 1, 3}}) {
    SCOPED_TRACE(testing::Message() << r.w << "x" << r.h);
    ImageF32 img(r.w, r.h, 1);
    for (float& s : img.data) s = 7.5f;
    const ImageF32 out = pyr_down(img);
    ASSERT_EQ(out.width, r.ow);
    ASSERT_EQ(out.height, r.oh);
    for (float s : out.data) EXPECT_FLOAT_EQ(s, 7.5f);
  }
}

TEST(LkFlow, PyrDownWeightsAndReflectedBorder) {
  // One row 0 1 2 3 4 5 6: output 0 reads 2 1 0 1 2 (reflect-101), output 3 reads 4 5 6 5 4.
  ImageF32 img(7, 1, 1);
  for (size_t x = 0; x < 7; ++x) img.data[x] = static_cast<float>(x);
  const ImageF32 out = pyr_down(img);
  ASSERT_EQ(out.width, 4u);
  EXPECT_FLOAT_EQ(out.data[0], (2 + 4 * 1 + 6 * 0 + 4 * 1 + 2) / 16.0f);
  EXPECT_FLOAT_EQ(out.data[1], 2.0f);
  EXPECT_FLOAT_EQ(out.data[3], (4 + 4 * 5 + 6 * 6 + 4 * 5 + 4) / 16.0f);
}

TEST(LkFlow, BoxFilterMatchesADirectClampedWindowSum) {
  const test::Texture t(20);
  for (size_t w : {1u, 5u, 23u}) {
    const ImageF32 img = test::texture_image(t, w, 17);
    const ImageF32 out = box_filter9(img);
    for (size_t y = 0; y < 17; ++y)
      for (size_t x = 0; x < w; ++x) {
        double sum = 0;
        for (int dy = -4; dy <= 4; ++dy)
          for (int dx = -4; dx <= 4; ++dx) {
            const size_t xx = std::clamp<int>(static_cast<int>(x) + dx, 0, static_cast<int>(w) - 1);
            const size_t yy = std::clamp<int>(static_cast<int>(y) + dy, 0, 16);
            sum += img.data[yy * w + xx];
          }
        // running float sums of values near 128: a few ulps of 128 per step
        EXPECT_NEAR(out.data[y * w + x], sum / 81.0, 2e-3) << x << "," << y;
      }
  }
}

TEST(LkFlow, IdenticalUniformAndSinglePixelImagesGiveZeroFlow) {
  const test::Texture t(21);
  ImageF32 uniform(40, 30, 1);
  for (float& s : uniform.data) s = 0.4f;
  const ImageF32 textured = test::scaled(test::texture_image(t, 40, 30), 1.0f / 255);
  ImageF32 one(1, 1, 1);
  one.data[0] = 0.7f;
  ImageF32 other(1, 1, 1);
  other.data[0] = 0.1f;
  struct Row {
    const char* name;
    const ImageF32 *a, *b;
  };
  for (const Row& r : {Row{"identical", &textured, &textured}, Row{"uniform", &uniform, &uniform},
                       Row{"1x1", &one, &other}}) {
    SCOPED_TRACE(r.name);
    const FlowField f = lk_flow(*r.a, *r.b);
    ASSERT_EQ(f.u.size(), r.a->width * r.a->height);
    for (size_t p = 0; p < f.u.size(); ++p) {
      EXPECT_EQ(f.u[p], 0.0f);
      EXPECT_EQ(f.v[p], 0.0f);
    }
  }
}

TEST(LkFlow, RecoversSmallShiftsOnTextureToATenthOfAPixel) {
  const test::Texture t(22);
  for (const auto& [du, dv] : {std::pair{0.3, -0.2}, std::pair{1.5, 0.8}, std::pair{-2.5, 2.0}}) {
    SCOPED_TRACE(testing::Message() << du << "," << dv);
    const ImageF32 a = test::scaled(test::texture_image(t, 96, 80), 1.0f / 255);
    const ImageF32 b = test::scaled(test::texture_image(t, 96, 80, -du, -dv), 1.0f / 255);
    const FlowField f = lk_flow(a, b);
    double sum = 0;
    size_t n = 0;
    for (size_t y = 16; y < 64; ++y)
      for (size_t x = 16; x < 80; ++x, ++n) sum += std::hypot(f.u[y * 96 + x] - du, f.v[y * 96 + x] - dv);
    EXPECT_LT(sum / n, 0.1);
  }
}

TEST(LkFlow, NonFiniteSamplesDoNotSpreadOrBreakTheFlow) {
  const test::Texture t(23);
  ImageF32 a = test::scaled(test::texture_image(t, 64, 48), 1.0f / 255);
  ImageF32 b = test::scaled(test::texture_image(t, 64, 48, -1, 0), 1.0f / 255);
  a.data[5] = std::numeric_limits<float>::quiet_NaN();
  b.data[64 * 30 + 40] = std::numeric_limits<float>::infinity();
  const FlowField f = lk_flow(a, b);
  for (size_t p = 0; p < f.u.size(); ++p) ASSERT_TRUE(std::isfinite(f.u[p]) && std::isfinite(f.v[p])) << p;
}

TEST(LkFlow, EveryStepIsBoundedSoAHugeContrastCannotThrowTheFlowFar) {
  // A brightness step of a million between the images makes the raw steps enormous; with
  // each capped at 2 px of its level, 4 iterations on 3 levels reach at most
  // 4 * 2 * (1 + 2 + 4) = 56 px (smoothing only averages).
  const test::Texture t(24);
  const ImageF32 a = test::scaled(test::texture_image(t, 64, 48), 1.0f / 255);
  ImageF32 b = test::scaled(test::texture_image(t, 64, 48, 0.5, 0), 1e6f);
  const FlowField f = lk_flow(a, b);
  for (size_t p = 0; p < f.u.size(); ++p) {
    ASSERT_LE(std::fabs(f.u[p]), 56.0f);
    ASSERT_LE(std::fabs(f.v[p]), 56.0f);
  }
}

}  // namespace
}  // namespace tsl
