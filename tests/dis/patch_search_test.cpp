#include "dis/patch_search.h"

#include <gtest/gtest.h>

#include <cmath>

#include "flow/flow_fixtures.h"

namespace tsl {
namespace {

// A level made directly from two images (no resampling), as build_dis_pyramid completes one.
DisLevel make_level(const ImageF32& a, const ImageF32& b) {
  const auto levels = build_dis_pyramid(a, b, 0);
  return *levels.at(0);
}

TEST(DisPatchSearch, GridCountsPatchesEveryEightPixels) {
  struct Row {
    size_t w, h, nx, ny;
  };
  const Row rows[] = {{12, 12, 1, 1}, {19, 12, 1, 1}, {20, 19, 2, 1}, {44, 76, 5, 9}, {320, 240, 39, 29}};
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.w << "x" << r.h);
    const DisPatchGrid g = dis_patch_grid(r.w, r.h);
    EXPECT_EQ(g.nx, r.nx);
    EXPECT_EQ(g.ny, r.ny);
  }
}

TEST(DisPatchSearch, ResidualVanishesAtTheTrueShiftAndIgnoresABrightnessOffset) {
  // b is a shifted by whole pixels plus 20 grey levels; the mean-normalised cost removes
  // the offset, so it is zero exactly at the shift and positive elsewhere.
  const test::Texture t(3);
  const ImageF32 a = test::rounded(test::texture_image(t, 40, 40));
  ImageF32 b = test::rounded(test::texture_image(t, 40, 40, -3, 2));
  for (float& s : b.data) s += 20.0f;
  const DisLevel l = make_level(a, b);
  EXPECT_EQ(dis_patch_residual(l, 8, 8, 3.0f, -2.0f), 0.0f);
  EXPECT_GT(dis_patch_residual(l, 8, 8, 2.0f, -2.0f), 100.0f);
  EXPECT_GT(dis_patch_residual(l, 8, 8, 0.0f, 0.0f), 100.0f);
}

TEST(DisPatchSearch, FarDisplacementsAreClampedToThePaddedBorderNotRejected) {
  const test::Texture t(4);
  const ImageF32 a = test::rounded(test::texture_image(t, 24, 24));
  const DisLevel l = make_level(a, a);
  // Beyond the clamp every displacement reads the same window: equal, finite costs.
  const float far = dis_patch_residual(l, 0, 0, 1e6f, 1e6f);
  EXPECT_TRUE(std::isfinite(far));
  EXPECT_EQ(far, dis_patch_residual(l, 0, 0, 500.0f, 800.0f));
  EXPECT_TRUE(std::isfinite(dis_patch_residual(l, 0, 0, NAN, -INFINITY)));
}

TEST(DisPatchSearch, UniformPatchesKeepTheirStartingDisplacement) {
  // A flat level: every Hessian is zero and every gradient product too, so nothing moves
  // the initial flow read at the patch centres.
  ImageF32 flat(36, 28, 1);
  for (float& s : flat.data) s = 90.0f;
  const DisLevel l = make_level(flat, flat);
  std::vector<float> u0(36 * 28, 1.5f), v0(36 * 28, -0.75f);
  const DisPatchFlow f = dis_inverse_search(l, u0, v0);
  ASSERT_EQ(f.pu.size(), 4u * 3u);
  for (size_t p = 0; p < f.pu.size(); ++p) {
    EXPECT_EQ(f.pu[p], 1.5f);
    EXPECT_EQ(f.pv[p], -0.75f);
  }
}

TEST(DisPatchSearch, SearchMovesTowardsTheShiftOfATexture) {
  // Every patch starts at zero; propagation and the descent bring each one closer to the
  // true (1.6, -0.9) than its start.
  const test::Texture t(5);
  const ImageF32 a = test::rounded(test::texture_image(t, 64, 52));
  const ImageF32 b = test::rounded(test::texture_image(t, 64, 52, -1.6, 0.9));
  const DisLevel l = make_level(a, b);
  std::vector<float> zero(64 * 52, 0.0f);
  const DisPatchFlow f = dis_inverse_search(l, zero, zero);
  for (size_t p = 0; p < f.pu.size(); ++p) {
    SCOPED_TRACE(p);
    EXPECT_LT(std::hypot(f.pu[p] - 1.6f, f.pv[p] + 0.9f), std::hypot(1.6f, 0.9f) * 0.8f);
  }
}

TEST(DisPatchSearch, DensifyOfEqualPatchesIsThatDisplacementEverywhere) {
  const test::Texture t(6);
  const ImageF32 a = test::rounded(test::texture_image(t, 45, 30));
  const ImageF32 b = test::rounded(test::texture_image(t, 45, 30, 2, 1));
  const DisLevel l = make_level(a, b);
  const DisPatchGrid g = dis_patch_grid(45, 30);
  // Equal displacements, one pointing far outside: the sample position is clamped.
  for (const float d : {0.75f, -400.0f}) {
    SCOPED_TRACE(d);
    DisPatchFlow f{std::vector<float>(g.nx * g.ny, d), std::vector<float>(g.nx * g.ny, -d)};
    std::vector<float> u, v;
    dis_densify(l, f, u, v);
    ASSERT_EQ(u.size(), 45u * 30u);
    for (size_t p = 0; p < u.size(); ++p) {
      EXPECT_FLOAT_EQ(u[p], d);
      EXPECT_FLOAT_EQ(v[p], -d);
    }
  }
}

TEST(DisPatchSearch, DensifyTakesTheOnlyCoveringPatchInTheCorner) {
  const test::Texture t(7);
  const ImageF32 a = test::rounded(test::texture_image(t, 28, 28));
  const DisLevel l = make_level(a, a);
  const DisPatchGrid g = dis_patch_grid(28, 28);  // 3 x 3 patches
  DisPatchFlow f{std::vector<float>(9), std::vector<float>(9)};
  for (size_t p = 0; p < 9; ++p) {
    f.pu[p] = 0.1f * static_cast<float>(p + 1);
    f.pv[p] = -0.2f * static_cast<float>(p + 1);
  }
  std::vector<float> u, v;
  dis_densify(l, f, u, v);
  // Pixels 0..7 of the first rows lie in patch 0 alone; pixels 24.. of the last rows lie
  // below and right of every patch but the last, which alone covers them.
  for (size_t y = 0; y < 8; ++y)
    for (size_t x = 0; x < 8; ++x) {
      EXPECT_FLOAT_EQ(u[y * 28 + x], f.pu[0]);
      EXPECT_FLOAT_EQ(v[y * 28 + x], f.pv[0]);
    }
  EXPECT_FLOAT_EQ(u[27 * 28 + 27], f.pu[g.nx * g.ny - 1]);
  EXPECT_FLOAT_EQ(v[27 * 28 + 27], f.pv[g.nx * g.ny - 1]);
}

}  // namespace
}  // namespace tsl
