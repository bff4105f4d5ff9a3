#include "flow/fb_error.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "flow/flow_fixtures.h"
#include "flow/optical_flow.h"

namespace tsl {
namespace {

FlowField constant_flow(size_t n, float u, float v) { return {std::vector<float>(n, u), std::vector<float>(n, v)}; }

TEST(FlowFbError, ConstantFlowsAgainstTheirOppositesAndAgainstNothing) {
  const size_t w = 20, h = 15, n = w * h;
  const FlowField fwd = constant_flow(n, 2.5f, -1.0f);
  const std::vector<float> consistent = flow_fb_error(fwd, constant_flow(n, -2.5f, 1.0f), w, h);
  const std::vector<float> lone = flow_fb_error(fwd, constant_flow(n, 0.0f, 0.0f), w, h);
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) {
      SCOPED_TRACE(testing::Message() << x << "," << y);
      // all four taps of (x + 2.5, y - 1) inside: x <= 16, y >= 1
      if (x + 3 < w && y >= 1) {
        EXPECT_EQ(consistent[y * w + x], 0.0f);
      }
      EXPECT_FLOAT_EQ(lone[y * w + x], std::hypot(2.5f, 1.0f));
    }
}

TEST(FlowFbError, FlowLeavingThePlaneScoresItsOwnLength) {
  const size_t w = 10, h = 8, n = w * h;
  // Every displaced point lies far outside: all taps read 0.
  const std::vector<float> e = flow_fb_error(constant_flow(n, 30.0f, 0.0f), constant_flow(n, -30.0f, 0.0f), w, h);
  for (float s : e) EXPECT_FLOAT_EQ(s, 30.0f);
  // Half a pixel past the last column: the inside taps carry half their weight.
  const std::vector<float> edge = flow_fb_error(constant_flow(n, 0.5f, 0.0f), constant_flow(n, -0.5f, 0.0f), w, h);
  EXPECT_FLOAT_EQ(edge[3 * w + (w - 1)], 0.25f);
  EXPECT_FLOAT_EQ(edge[3 * w + 2], 0.0f);
}

TEST(FlowFbError, IsSmallOnStaticGroundAndLargeWhereAMovingSquareOccludes) {
  // A textured 64 px square moves 8 px to the right over a static textured ground. Ground
  // far from the square agrees both ways; the strip that the square covers in b
  // (x 144..151 of a) has no match in b, so the round trip through the two flows misses.
  const size_t w = 256, h = 192;
  const test::Texture ground(30), square(31);
  auto scene = [&](size_t left) {
    ImageF32 img = test::rounded(test::texture_image(ground, w, h));
    for (size_t y = 64; y < 128; ++y)
      for (size_t x = left; x < left + 64; ++x)
        img.data[y * w + x] = std::round(square.at(static_cast<double>(x - left), static_cast<double>(y)) * 0.6f + 20);
    return img;
  };
  const ImageF32 a = scene(80), b = scene(88);
  const FlowField fwd = optical_flow(a, b, FlowOptions{}), bwd = optical_flow(b, a, FlowOptions{});
  const std::vector<float> e = flow_fb_error(fwd, bwd, w, h);
  std::vector<float> far, occluded;
  for (size_t y = 8; y + 8 < h; ++y)
    for (size_t x = 8; x + 8 < w; ++x) {
      const bool near_square = x + 24 >= 80 && x < 152 + 24 && y + 24 >= 64 && y < 128 + 24;
      if (!near_square) far.push_back(e[y * w + x]);
      if (x >= 144 && x < 152 && y >= 72 && y < 120) occluded.push_back(e[y * w + x]);
    }
  auto median = [](std::vector<float> s) {
    std::nth_element(s.begin(), s.begin() + s.size() / 2, s.end());
    return s[s.size() / 2];
  };
  EXPECT_LT(median(far), 0.05f);
  EXPECT_GT(median(occluded), 1.0f);
}

}  // namespace
}  // namespace tsl
