#include "dis/dis_pyramid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "flow/flow_fixtures.h"

namespace tsl {
namespace {

TEST(DisPyramid, LevelCountFollowsBothSides) {
  struct Row {
    size_t w, h;
    int levels;
  };
  // -1 marks inputs that get no pyramid at all (a side below 12, or the longer side <= 16).
  const Row rows[] = {
      {640, 480, 4}, {3000, 2000, 6}, {100, 30, 1}, {67, 67, 0}, {68, 68, 1}, {17, 17, 0},
      {24, 100, 1},  {16, 16, -1},    {12, 12, -1}, {11, 500, -1}, {500, 11, -1}, {0, 0, -1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.w << "x" << r.h);
    EXPECT_EQ(dis_level_count(r.w, r.h), r.levels);
  }
}

TEST(DisPyramid, OnlyTheHalfResolutionLevelAndCoarserAreBuiltAndQuantised) {
  // 24 x 100: L = 1, so level 0 stays empty and level 1 is 12 x 50.
  ImageF32 a(24, 100, 1), b(24, 100, 1);
  for (size_t p = 0; p < a.data.size(); ++p) {
    a.data[p] = static_cast<float>(p % 7) * 40.3f;  // up to 241.8, rounded after averaging
    b.data[p] = 300.0f;                             // above the scale: clamped to 255
  }
  a.data[0] = std::numeric_limits<float>::quiet_NaN();  // spreads into its 2 x 2 block: read as 0
  const auto levels = build_dis_pyramid(a, b, dis_level_count(24, 100));
  ASSERT_EQ(levels.size(), 2u);
  EXPECT_FALSE(levels[0].has_value());
  ASSERT_TRUE(levels[1].has_value());
  const DisLevel& l = *levels[1];
  EXPECT_EQ(l.w, 12u);
  EXPECT_EQ(l.h, 50u);
  EXPECT_EQ(l.I0[0], 0.0f);
  for (float s : l.I0) {
    EXPECT_EQ(s, std::round(s));
    EXPECT_GE(s, 0.0f);
    EXPECT_LE(s, 255.0f);
  }
  for (float s : l.I1) EXPECT_EQ(s, 255.0f);
  ASSERT_EQ(l.I1pad.size(), (12u + 32) * (50 + 32));
}

TEST(DisPyramid, QuantisationRoundsHalvesAwayAndClampsEverySample) {
  // A 17 x 17 input has one level at full size, a copy: each sample shows its own rounding.
  // The rows fill whole four-sample groups and a remainder, which take separate roads.
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    float in, out;
  } rows[] = {
      {0.5f, 1.0f},           {1.4999999f, 1.0f}, {2.5f, 3.0f},   {254.5f, 255.0f}, {254.49998f, 254.0f},
      {-0.5f, 0.0f},          {-3.7f, 0.0f},      {255.2f, 255.0f}, {1e30f, 255.0f},  {inf, 255.0f},
      {-inf, 0.0f},           {0.49999997f, 0.0f}, {7.0f, 7.0f},  {std::numeric_limits<float>::quiet_NaN(), 0.0f},
  };
  ImageF32 a(17, 17, 1);
  for (size_t p = 0; p < a.data.size(); ++p) a.data[p] = rows[p % std::size(rows)].in;
  const auto levels = build_dis_pyramid(a, a, 0);
  ASSERT_TRUE(levels[0].has_value());
  for (size_t p = 0; p < a.data.size(); ++p) {
    SCOPED_TRACE(testing::Message() << "sample " << p << " = " << a.data[p]);
    EXPECT_EQ(levels[0]->I0[p], rows[p % std::size(rows)].out);
  }
}

TEST(DisPyramid, AReusedPyramidEqualsAFreshOne) {
  // A pyramid built over one of another size keeps that one's buffers: every sample must
  // still come from the new images.
  const test::Texture t(4);
  const ImageF32 big = test::rounded(test::texture_image(t, 150, 130));
  const ImageF32 a = test::rounded(test::texture_image(t, 100, 60, 0.5, 0.25));
  const ImageF32 b = test::rounded(test::texture_image(t, 100, 60, 2.5, -1.0));
  std::vector<std::optional<DisLevel>> reused;
  build_dis_pyramid(big, big, dis_level_count(150, 130), reused);
  build_dis_pyramid(a, b, dis_level_count(100, 60), reused);
  const auto fresh = build_dis_pyramid(a, b, dis_level_count(100, 60));
  ASSERT_EQ(reused.size(), fresh.size());
  for (size_t k = 0; k < fresh.size(); ++k) {
    SCOPED_TRACE(testing::Message() << "level " << k);
    ASSERT_EQ(reused[k].has_value(), fresh[k].has_value());
    if (!fresh[k]) continue;
    EXPECT_EQ(reused[k]->w, fresh[k]->w);
    EXPECT_EQ(reused[k]->h, fresh[k]->h);
    EXPECT_EQ(reused[k]->I0, fresh[k]->I0);
    EXPECT_EQ(reused[k]->I1, fresh[k]->I1);
    EXPECT_EQ(reused[k]->I1pad, fresh[k]->I1pad);
    EXPECT_EQ(reused[k]->Ix, fresh[k]->Ix);
    EXPECT_EQ(reused[k]->Iy, fresh[k]->Iy);
  }
}

TEST(DisPyramid, PaddedImageReplicatesTheBorder) {
  ImageF32 a(17, 17, 1), b(17, 17, 1);
  for (size_t y = 0; y < 17; ++y)
    for (size_t x = 0; x < 17; ++x) b.data[y * 17 + x] = static_cast<float>(x + 10 * y);
  const auto levels = build_dis_pyramid(a, b, 0);
  const DisLevel& l = *levels[0];
  const size_t pw = 17 + 32;
  EXPECT_EQ(l.I1pad[0], 0.0f);                                    // top-left corner
  EXPECT_EQ(l.I1pad[pw - 1], 16.0f);                              // top-right
  EXPECT_EQ(l.I1pad[(17 + 31) * pw], 160.0f);                     // bottom-left
  EXPECT_EQ(l.I1pad[(16 + 3) * pw + 16 + 5], 5.0f + 10 * 3);      // inside
  EXPECT_EQ(l.I1pad[(16 + 3) * pw + pw - 1], 16.0f + 10 * 3);     // right border of row 3
}

TEST(DisPyramid, SobelIsUnnormalisedWithReflectedBorders) {
  // I = 3x + 5y: interior responses 8 * 3 and 8 * 5; the reflect-101 border mirrors the
  // ramp about the edge pixel, so the response across the edge is zero.
  const size_t w = 6, h = 5;
  std::vector<float> img(w * h), gx, gy;
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) img[y * w + x] = static_cast<float>(3 * x + 5 * y);
  dis_sobel(img, w, h, gx, gy);
  for (size_t y = 0; y < h; ++y) {
    for (size_t x = 0; x < w; ++x) {
      SCOPED_TRACE(testing::Message() << x << "," << y);
      EXPECT_EQ(gx[y * w + x], (x == 0 || x == w - 1) ? 0.0f : 24.0f);
      EXPECT_EQ(gy[y * w + x], (y == 0 || y == h - 1) ? 0.0f : 40.0f);
    }
  }
}

}  // namespace
}  // namespace tsl
