#include "dis/refine.h"

#include <gtest/gtest.h>

#include "flow/flow_fixtures.h"
#include "util/par.h"

namespace tsl {
namespace {

DisLevel make_level(const ImageF32& a, const ImageF32& b) { return *build_dis_pyramid(a, b, 0).at(0); }

TEST(DisRefine, GradientOfARampUsesClampedTaps) {
  const size_t w = 10, h = 3;
  std::vector<float> ramp(w * h);
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) ramp[y * w + x] = static_cast<float>(x);
  const std::vector<float> gx = dis_gradient(ramp, w, h, true);
  const std::vector<float> gy = dis_gradient(ramp, w, h, false);
  const float expected[10] = {0.5f, 1.0833333f, 1, 1, 1, 1, 1, 1, 1.0833333f, 0.5f};
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) {
      SCOPED_TRACE(testing::Message() << x << "," << y);
      EXPECT_NEAR(gx[y * w + x], expected[x], 1e-6);
      EXPECT_EQ(gy[y * w + x], 0.0f);
    }
}

TEST(DisRefine, BilinearSamplerClampsTapsButKeepsTheFraction) {
  // 3 x 2 image: row 0 = 0 1 2, row 1 = 10 11 12.
  const std::vector<float> img = {0, 1, 2, 10, 11, 12};
  struct Row {
    float x, y, expected;
  };
  const Row rows[] = {
      {0.5f, 0.5f, 5.5f},   // all four taps inside
      {2.0f, 1.0f, 12.0f},  // the last pixel: right and lower taps clamped onto it
      {2.5f, 0.0f, 2.0f},   // fraction 0.5 between the last column and its clamped copy
      {1.25f, 0.0f, 1.25f},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.x << "," << r.y);
    EXPECT_FLOAT_EQ(dis_sample_bilinear(img, 3, 2, r.x, r.y), r.expected);
  }
}

TEST(DisRefine, IdenticalImagesWithZeroFlowStayZero) {
  const test::Texture t(8);
  const ImageF32 a = test::rounded(test::texture_image(t, 30, 22));
  const DisLevel l = make_level(a, a);
  std::vector<float> u(30 * 22, 0.0f), v(30 * 22, 0.0f);
  dis_refine(l, u, v);
  for (size_t p = 0; p < u.size(); ++p) {
    EXPECT_EQ(u[p], 0.0f);
    EXPECT_EQ(v[p], 0.0f);
  }
}

TEST(DisRefine, FlowLeavingTheImageIsDrivenBySmoothnessAndStaysConstant) {
  const test::Texture t(9);
  const ImageF32 a = test::rounded(test::texture_image(t, 26, 20));
  const ImageF32 b = test::rounded(test::texture_image(t, 26, 20, 3, 1));
  const DisLevel l = make_level(a, b);
  std::vector<float> u(26 * 20, 100.0f), v(26 * 20, -40.0f);
  dis_refine(l, u, v);
  for (size_t p = 0; p < u.size(); ++p) {
    EXPECT_EQ(u[p], 100.0f);
    EXPECT_EQ(v[p], -40.0f);
  }
}

TEST(DisRefine, PullsAPatchyFlowBackToTheTrueShift) {
  // The flow is off by +-0.3 px in 6 px blocks, as a densified patch flow is. The data
  // terms pull each block towards the true shift and the smoothness term evens the blocks.
  // (A flow off by the same amount everywhere moves far less: its smoothness weights are
  // huge and 25 sweeps barely shift the constant mode.)
  const test::Texture t(10);
  const ImageF32 a = test::rounded(test::texture_image(t, 48, 40));
  const ImageF32 b = test::rounded(test::texture_image(t, 48, 40, -0.8, 0.5));  // flow (0.8, -0.5)
  const DisLevel l = make_level(a, b);
  std::vector<float> u(48 * 40), v(48 * 40);
  for (size_t y = 0; y < 40; ++y)
    for (size_t x = 0; x < 48; ++x) {
      const float off = (x / 6 + y / 6) % 2 ? 0.3f : -0.3f;
      u[y * 48 + x] = 0.8f + off;
      v[y * 48 + x] = -0.5f + 0.5f * off;
    }
  auto mean_error = [&] {
    double sum = 0;
    size_t n = 0;
    for (size_t y = 4; y < 36; ++y)
      for (size_t x = 4; x < 44; ++x, ++n) sum += std::hypot(u[y * 48 + x] - 0.8, v[y * 48 + x] + 0.5);
    return sum / static_cast<double>(n);
  };
  const double before = mean_error();
  dis_refine(l, u, v);
  EXPECT_LT(mean_error(), 0.25 * before);
}

TEST(DisRefine, StripsOfAnyCountGiveTheSameFlow) {
  // The strips meet where both begin (an upward strip above a downward one) or where both end;
  // one-row strips have both meetings on one row. A step taken out of order at a meeting
  // changes the increments there, so every count is compared bit for bit with one strip.
  const test::Texture t(11);
  const size_t w = 45, h = 37;
  const ImageF32 a = test::rounded(test::texture_image(t, w, h));
  const ImageF32 b = test::rounded(test::texture_image(t, w, h, -1.3, 0.6));
  const DisLevel l = make_level(a, b);
  std::vector<float> u0(w * h), v0(w * h);
  for (size_t p = 0; p < w * h; ++p) {
    u0[p] = 1.3f + 0.4f * static_cast<float>((p / 5) % 3) - 0.4f;
    v0[p] = -0.6f + 0.3f * static_cast<float>((p / 7) % 2);
  }
  DisRefineScratch scratch = make_dis_refine_scratch(w * h);
  auto refined = [&](size_t strips) {
    std::vector<float> u = u0, v = v0;
    dis_refine_in_strips(l, u, v, scratch, strips);
    return std::pair{u, v};
  };
  const auto one = refined(1);
  for (size_t strips : {2, 3, 4, 7, 18, 37, 100}) {
    SCOPED_TRACE(testing::Message() << strips << " strips");
    const auto many = refined(strips);
    EXPECT_EQ(many.first, one.first);
    EXPECT_EQ(many.second, one.second);
  }
  // Inside a parallel worker the strips would wait for each other in turn: one strip runs.
  const auto inside = par_map(2, 2, [&](size_t i) { return i == 0 ? refined(5) : decltype(one){}; });
  EXPECT_EQ(inside[0].first, one.first);
  EXPECT_EQ(inside[0].second, one.second);
}

}  // namespace
}  // namespace tsl
