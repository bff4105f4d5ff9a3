#include "dis/dis_flow.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "flow/flow_fixtures.h"
#include "util/par.h"

namespace tsl {
namespace {

// Mean endpoint error against a constant flow, `margin` pixels in from every side.
double mean_epe(const FlowField& f, size_t w, size_t h, size_t margin, double du, double dv) {
  double sum = 0;
  size_t n = 0;
  for (size_t y = margin; y + margin < h; ++y)
    for (size_t x = margin; x + margin < w; ++x, ++n) sum += std::hypot(f.u[y * w + x] - du, f.v[y * w + x] - dv);
  return sum / static_cast<double>(n);
}

TEST(DisFlow, InputsTooSmallForAPyramidGiveZeroFlow) {
  const test::Texture t(11);
  struct Row {
    size_t w, h;
  };
  for (const Row r : {Row{12, 12}, Row{16, 16}, Row{11, 500}, Row{500, 11}, Row{0, 7}}) {
    SCOPED_TRACE(testing::Message() << r.w << "x" << r.h);
    const ImageF32 a = test::texture_image(t, r.w, r.h), b = test::texture_image(t, r.w, r.h, 2, 1);
    const FlowField f = dis_flow(a, b);
    ASSERT_EQ(f.u.size(), r.w * r.h);
    ASSERT_EQ(f.v.size(), r.w * r.h);
    for (size_t p = 0; p < f.u.size(); ++p) {
      EXPECT_EQ(f.u[p], 0.0f);
      EXPECT_EQ(f.v[p], 0.0f);
    }
  }
}

TEST(DisFlow, IdenticalImagesGiveZeroFlow) {
  const test::Texture t(12);
  for (size_t w : {17u, 24u, 90u}) {
    const ImageF32 a = test::rounded(test::texture_image(t, w, 100));
    const FlowField f = dis_flow(a, a);
    ASSERT_EQ(f.u.size(), w * 100);
    for (size_t p = 0; p < f.u.size(); ++p) {
      EXPECT_EQ(f.u[p], 0.0f);
      EXPECT_EQ(f.v[p], 0.0f);
    }
  }
}

TEST(DisFlow, RecoversShiftsAtEveryPyramidDepth) {
  // 17 x 17 runs one full-size level, 24 x 100 only level 1, 160 x 120 levels 1 and 2. The
  // tolerance is a tenth of the shift plus a fixed 0.15 px: the flow is estimated at half
  // resolution and smoothed, and these textures are small.
  const test::Texture t(13);
  struct Row {
    size_t w, h;
    double du, dv;
  };
  const Row rows[] = {{17, 17, 0.6, -0.3}, {24, 100, 1.5, 0.5}, {160, 120, 3.25, -1.75}, {160, 120, -9.5, 6.0}};
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.w << "x" << r.h << " shift " << r.du << "," << r.dv);
    const ImageF32 a = test::rounded(test::texture_image(t, r.w, r.h));
    const ImageF32 b = test::rounded(test::texture_image(t, r.w, r.h, -r.du, -r.dv));
    const FlowField f = dis_flow(a, b);
    const size_t margin = std::min<size_t>(r.w, r.h) / 5;
    EXPECT_LT(mean_epe(f, r.w, r.h, margin, r.du, r.dv), 0.1 * std::hypot(r.du, r.dv) + 0.15);
  }
}

TEST(DisFlow, NonFiniteSamplesGiveAFiniteFlow) {
  const test::Texture t(14);
  ImageF32 a = test::rounded(test::texture_image(t, 64, 48));
  ImageF32 b = test::rounded(test::texture_image(t, 64, 48, 1, 1));
  a.data[100] = std::numeric_limits<float>::quiet_NaN();
  a.data[700] = std::numeric_limits<float>::infinity();
  b.data[1000] = -std::numeric_limits<float>::infinity();
  for (size_t p = 2000; p < 2064; ++p) b.data[p] = std::numeric_limits<float>::quiet_NaN();  // a whole row
  const FlowField f = dis_flow(a, b);
  for (size_t p = 0; p < f.u.size(); ++p) {
    ASSERT_TRUE(std::isfinite(f.u[p]) && std::isfinite(f.v[p])) << p;
  }
}

TEST(DisFlow, ResultDoesNotDependOnTheThreadCount) {
  // The resampling of the pyramid and of the flow spreads rows over worker threads; inside a
  // worker the same call runs it inline.
  const test::Texture t(15);
  const ImageF32 a = test::rounded(test::texture_image(t, 600, 440));
  const ImageF32 b = test::rounded(test::texture_image(t, 600, 440, -2.3, 1.1));
  const FlowField threaded = dis_flow(a, b);
  const std::vector<FlowField> inline_run = par_map(2, 2, [&](size_t i) { return i == 0 ? dis_flow(a, b) : FlowField{}; });
  EXPECT_EQ(threaded.u, inline_run[0].u);
  EXPECT_EQ(threaded.v, inline_run[0].v);
}

}  // namespace
}  // namespace tsl
