#include "grid/proj_grid.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/render_fixtures.h"

namespace tsl {
namespace {

// A 1 m grid over [0, 200] x [0, 100] east / north and a nadir photo 100 m up over (100, 50)
// that sees 200 x 100 m on 201 x 101 pixels: photo pixel = ground offset in metres.
struct Scene {
  OutputGrid grid;
  ImageMeta photo = test::nadir_photo("a.jpg", 201, 101, 100.0, 200.0, 100.0);
  Mat3 rotation = test::nadir_rotation();
  Vec3 position{100.0, 50.0, 100.0};
  Surface plane = Surface::plane(0.0);

  Scene() {
    grid.left_e = 0.0;
    grid.top_n = 100.0;
    grid.gsd = 1.0;
    grid.width = 200;
    grid.height = 100;
  }
  // The pixel of output pixel (x, y)'s centre, by the pinhole's own arithmetic.
  static Vec2 expected(double x, double y) { return {x + 0.5, y + 0.5}; }
};

TEST(BuildProjGrid, NodesAreTheExactProjection) {
  Scene s;
  const ProjGrid g = build_proj_grid(s.photo, s.rotation, s.position, s.plane, s.grid, 16, 10, 60, 5, 40);
  // (60 - 10 - 1) / 16 = 3.06 -> 4 + 1 node columns; (40 - 5 - 1) / 16 = 2.1 -> 3 + 1 rows.
  EXPECT_EQ(g.cols, 5u);
  EXPECT_EQ(g.rows, 4u);
  EXPECT_EQ(g.step, 16u);
  for (uint64_t i = 0; i < g.rows; ++i)
    for (uint64_t j = 0; j < g.cols; ++j) {
      const Vec2 want = Scene::expected(10.0 + 16.0 * j, 5.0 + 16.0 * i);
      EXPECT_NEAR(g.xs[i * g.cols + j], want.x, 1e-4) << i << "," << j;
      EXPECT_NEAR(g.ys[i * g.cols + j], want.y, 1e-4) << i << "," << j;
    }
  // The last node column and row lie at or past the window's last column and row.
  EXPECT_GE(10 + (g.cols - 1) * 16, 59u);
  EXPECT_GE(5 + (g.rows - 1) * 16, 39u);
}

TEST(BuildProjGrid, TinyWindowStillHasTwoByTwoNodes) {
  Scene s;
  const ProjGrid g = build_proj_grid(s.photo, s.rotation, s.position, s.plane, s.grid, 16, 7, 8, 3, 4);
  EXPECT_EQ(g.cols, 2u);
  EXPECT_EQ(g.rows, 2u);
  EXPECT_EQ(g.xs.size(), 4u);
}

TEST(BuildProjGrid, InvalidNodesHoldTheMarker) {
  Scene s;
  // The camera hangs 100 m up; a ground raised to 150 m lies behind it.
  const ProjGrid behind =
      build_proj_grid(s.photo, s.rotation, s.position, Surface::plane(150.0), s.grid, 16, 0, 40, 0, 40);
  for (float v : behind.xs) EXPECT_EQ(v, NO_PROJECTION);
  for (float v : behind.ys) EXPECT_EQ(v, NO_PROJECTION);

  // A strong barrel lens folds back beyond its monotonic radius: nodes there are invalid,
  // nodes near the centre are not.
  s.photo.lens->kind = LensKind::Brown;
  s.photo.lens->coeffs = {-0.6, 0.0, 0.0, 0.0, 0.0};
  const double r_max = s.photo.lens->monotonic_radius();
  ASSERT_TRUE(std::isfinite(r_max));
  // Normalised radius of a ground point d metres east of the nadir: d / 100.
  const uint64_t far_x = 100 + static_cast<uint64_t>(std::ceil(r_max * 100.0)) + 1;
  ASSERT_LT(far_x, 200u);
  const ProjGrid g = build_proj_grid(s.photo, s.rotation, s.position, s.plane, s.grid, 1, 99, far_x + 1, 49, 51);
  EXPECT_NE(g.xs[0], NO_PROJECTION);
  EXPECT_EQ(g.xs[g.cols - 1], NO_PROJECTION);
  EXPECT_EQ(g.ys[g.cols - 1], NO_PROJECTION);
}

TEST(ProjGridRow, InterpolatesBetweenNodeRows) {
  ProjGrid g;
  g.cols = 2;
  g.rows = 3;
  g.step = 4;
  g.xs = {0, 10, 4, 14, 100, 200};
  g.ys = {1, 2, 3, 4, 5, 6};
  std::vector<float> x{99.0f}, y;  // stale content is replaced
  g.row(0, x, y);
  EXPECT_EQ(x, (std::vector<float>{0, 10}));
  EXPECT_EQ(y, (std::vector<float>{1, 2}));
  g.row(2, x, y);  // halfway between node rows 0 and 1
  EXPECT_EQ(x, (std::vector<float>{2, 12}));
  EXPECT_EQ(y, (std::vector<float>{2, 3}));
  g.row(8, x, y);  // exactly the last node row
  EXPECT_EQ(x, (std::vector<float>{100, 200}));
  EXPECT_EQ(y, (std::vector<float>{5, 6}));
}

TEST(InterpolateNodes, LinearAlongTheRowAndClampedToTheLastCell) {
  const float nodes[] = {0.0f, 16.0f, 48.0f};
  EXPECT_EQ(interpolate_nodes(nodes, 3, 16.0f, 0), 0.0f);
  EXPECT_EQ(interpolate_nodes(nodes, 3, 16.0f, 8), 8.0f);
  EXPECT_EQ(interpolate_nodes(nodes, 3, 16.0f, 24), 32.0f);
  EXPECT_EQ(interpolate_nodes(nodes, 3, 16.0f, 32), 48.0f);
  EXPECT_EQ(interpolate_nodes(nodes, 3, 16.0f, 40), 64.0f);  // past the last node: extrapolated
}

}  // namespace
}  // namespace tsl
