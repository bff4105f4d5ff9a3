#include "surface/terrain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <numbers>

#include "support/log_capture.h"

namespace tsl {
namespace {

double hill(double e, double n) { return 3.0 * std::exp(-((e - 10) * (e - 10) + (n + 5) * (n + 5)) / 400.0) + 0.02 * e; }

// Nadir photos 60 m above the ground on a 3 x 3 grid of stations, 400 x 300 px at fx 400
// (footprint 60 m x 45 m), without distortion.
struct Block {
  std::vector<ImageMeta> images;
  std::vector<Mat3> rotations;
  std::vector<Vec3> positions;

  PlacedPhotos photos() const { return {images, rotations, positions}; }

  Block() {
    CameraModel cam;
    cam.width = 400;
    cam.height = 300;
    cam.fx = cam.fy = 400;
    cam.cx = 200;
    cam.cy = 150;
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) {
        ImageMeta m;
        m.width = 400;
        m.height = 300;
        m.lens = cam;
        images.push_back(m);
        rotations.push_back({1, 0, 0, 0, -1, 0, 0, 0, -1});
        positions.push_back({-20.0 + 20.0 * c, -15.0 + 15.0 * r, 60.0});
      }
    }
  }

  // The pixel of photo i that sees ground point p.
  Vec2 pixel(size_t i, const Vec3& p) const {
    const Mat3& r = rotations[i];
    const Vec3 d = {p[0] - positions[i][0], p[1] - positions[i][1], p[2] - positions[i][2]};
    const double x = r[0] * d[0] + r[1] * d[1] + r[2] * d[2];
    const double y = r[3] * d[0] + r[4] * d[1] + r[5] * d[2];
    const double z = r[6] * d[0] + r[7] * d[1] + r[8] * d[2];
    return images[i].lens->project(x / z, y / z, images[i].lens->selfcal);
  }

  bool sees(size_t i, const Vec2& px) const { return px.x >= 0 && px.y >= 0 && px.x < 400 && px.y < 300; }

  // Ties of every pair over ground points on a 1.5 m lattice of the hill.
  std::vector<PairMatch> ties() const {
    std::vector<PairMatch> out;
    for (size_t i = 0; i < images.size(); ++i) {
      for (size_t j = i + 1; j < images.size(); ++j) {
        PairMatch pm;
        pm.i = i;
        pm.j = j;
        for (double e = -50; e <= 50; e += 1.5) {
          for (double n = -40; n <= 40; n += 1.5) {
            const Vec3 p = {e, n, hill(e, n)};
            const Vec2 a = pixel(i, p), b = pixel(j, p);
            if (!sees(i, a) || !sees(j, b)) continue;
            pm.a_all.push_back(a);
            pm.b_all.push_back(b);
          }
        }
        if (!pm.a_all.empty()) out.push_back(std::move(pm));
      }
    }
    return out;
  }
};

TEST(Terrain, RecoversAHillFromTriangulatedTies) {
  Block block;
  auto ties = block.ties();
  // A few wild correspondences: a point 20 m off that the rejection must drop.
  ties[0].a_all.push_back(block.pixel(0, {-5, -5, 20.0}));
  ties[0].b_all.push_back(block.pixel(1, {-5, -5, 20.0}));
  test::LogCapture capture;
  const Surface s = build_dsm_surface(block.photos(), 0.0, std::nullopt, ties, DsmOptions{});
  ASSERT_TRUE(s.z.has_value());
  double worst = 0.0;
  for (double e = -25; e <= 25; e += 2.5)
    for (double n = -18; n <= 18; n += 2.5) worst = std::max(worst, std::abs(s.height_at(e, n) - hill(e, n)));
  EXPECT_LT(worst, 0.25);
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("  triangulation: ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find(" points from all inlier correspondences"), std::string::npos);
  EXPECT_EQ(lines[1].rfind("  surface: DSM ", 0), 0u) << lines[1];
}

TEST(Terrain, TriangulationDropsShortPairsParallelRaysAndPointsBehind) {
  Block block;
  PairMatch four;  // fewer than 5 inliers
  four.i = 0, four.j = 1;
  for (int k = 0; k < 4; ++k) {
    const Vec3 p = {-10.0 + k, 0.0, 0.0};
    four.a_all.push_back(block.pixel(0, p));
    four.b_all.push_back(block.pixel(1, p));
  }
  EXPECT_TRUE(triangulate_ties(block.photos(), std::span(&four, 1)).empty());
  PairMatch same = four;  // the same pixel in two photos one above the other: parallel rays
  same.j = 0;
  same.a_all.push_back(same.a_all[0]);
  same.b_all = same.a_all;
  EXPECT_TRUE(triangulate_ties(block.photos(), std::span(&same, 1)).empty());
  four.a_all.push_back(block.pixel(0, {-6.0, 0.0, 0.0}));
  four.b_all.push_back(block.pixel(1, {-6.0, 0.0, 0.0}));
  const auto pts = triangulate_ties(block.photos(), std::span(&four, 1));
  ASSERT_EQ(pts.size(), 5u);
  EXPECT_NEAR(pts[4][0], -6.0, 1e-6);
  EXPECT_NEAR(pts[4][2], 0.0, 1e-6);
}

TEST(Terrain, TooFewPointsGiveThePlaneAndOnlyTheFinalCallSaysSo) {
  Block block;
  auto relief = [](size_t n) {
    std::vector<Vec3> pts;
    for (size_t k = 0; k < n; ++k) pts.push_back({-20.0 + static_cast<double>(k), 5.0 * std::sin(k), 1.0});
    return pts;
  };
  struct Case {
    size_t points;
    bool final;
    bool dsm;
    size_t lines;
  };
  const Case cases[] = {{29, true, false, 1}, {30, true, true, 1}, {29, false, false, 0}, {30, false, true, 0}};
  for (const Case& c : cases) {
    test::LogCapture capture;
    const Surface s = build_dsm_surface(block.photos(), 2.0, relief(c.points), {}, {.cell = std::nullopt, .verbose = c.final});
    EXPECT_EQ(s.z.has_value(), c.dsm) << c.points;
    if (!c.dsm) {
      EXPECT_EQ(s.z0, 2.0);
    }
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), c.lines) << c.points;
    if (c.lines && !c.dsm) {
      EXPECT_EQ(lines[0], "  surface: too few tie points for a DSM -> plane");
    }
  }
}

TEST(Terrain, ReliefPointsReplaceTheTriangulationOnlyWhenAtLeastAsMany) {
  Block block;
  const auto ties = block.ties();
  const size_t tri = triangulate_ties(block.photos(), ties).size();
  ASSERT_GT(tri, 100u);
  std::vector<Vec3> relief;
  for (size_t k = 0; k < tri; ++k) relief.push_back({-20.0 + 40.0 * (k % 50) / 50.0, -15.0 + 30.0 * (k / 50) / (tri / 50.0), 7.0});
  {
    test::LogCapture capture;
    const Surface s = build_dsm_surface(block.photos(), 0.0, relief, ties, {.cell = 0.5});
    ASSERT_TRUE(s.z);
    EXPECT_NEAR(s.height_at(0, 0), 7.0, 1e-3);  // the flat relief points won
    EXPECT_EQ(s.cell, 0.5);                       // dsm_cell given: exactly that
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0].rfind("  surface: DSM ", 0), 0u);
  }
  relief.pop_back();
  test::LogCapture capture;
  const Surface s = build_dsm_surface(block.photos(), 0.0, relief, ties, {.cell = 0.5});
  EXPECT_NEAR(s.height_at(10, -5), hill(10, -5), 0.25);
  EXPECT_EQ(capture.lines()[0], "  triangulation: " + std::to_string(tri) + " points from all inlier correspondences");
}

// Gap filling over scenes given as measured points on a 0.5 m lattice of the block: `z` is
// the true top surface, `seen` says where a point was measured. Each case probes places
// where the fill must follow the ground, or the roof, that encloses a gap.
TEST(Terrain, GapsFillFromWhatEnclosesThem) {
  const auto house = [](double e, double n, double half_e, double half_n) {
    return std::abs(e) <= half_e && std::abs(n) <= half_n;
  };
  struct Probe {
    double e, n, z;
  };
  struct Case {
    const char* name;
    std::function<double(double, double)> z;
    std::function<bool(double, double)> seen;
    std::vector<Probe> probes;
  };
  const Case cases[] = {
      // A textured roof 8 m up in a bare field: no ground point within 10 m of its walls.
      // The empty field round it is ground, not a skirt of roof.
      {"house in a bare field", [&](double e, double n) { return house(e, n, 5, 4) ? 8.0 : 0.0; },
       [&](double e, double n) { return house(e, n, 5, 4) || !house(e, n, 15, 14); },
       {{0, 0, 8.0}, {8, 0, 0.0}, {0, 7, 0.0}, {12, 10, 0.0}}},
      // A plain roof measured only along a 2.5 m rim: the gap it encloses stays roof.
      {"textureless roof", [&](double e, double n) { return house(e, n, 8, 6) ? 8.0 : 0.0; },
       [&](double e, double n) { return !house(e, n, 8, 6) || !house(e, n, 5.5, 3.5); },
       {{0, 0, 8.0}, {3, 2, 8.0}, {11, 0, 0.0}}},
      // Bare ground rising 3 m to a terrace in the east, which has no points past 25 m east:
      // the unmeasured strip carries on at the terrace's height, not the trend plane's.
      {"terrace beyond the points", [](double e, double) { return 3.0 / (1.0 + std::exp(-(e - 12.0))); },
       [](double e, double) { return e < 25.0; },
       {{40, 0, 3.0}, {48, -30, 3.0}, {-30, 10, 0.0}}},
      // A textured roof measured to its walls (the grid's last roof cell is centred at 5.25 m
      // east): the final smoothing once pulled it down to 5.6 m; it keeps its height up to
      // the edge, and the ground beside it stays ground.
      {"roof edge", [&](double e, double n) { return house(e, n, 5, 4) ? 8.0 : 0.0; },
       [](double, double) { return true; },
       {{4.75, 0, 8.0}, {5.25, 0, 8.0}, {5.75, 0, 0.0}, {6.25, 0, 0.0}}},
  };
  Block block;
  for (const Case& c : cases) {
    std::vector<Vec3> points;
    for (double e = -50; e <= 50; e += 0.5)
      for (double n = -37.5; n <= 37.5; n += 0.5)
        if (c.seen(e, n)) points.push_back({e, n, c.z(e, n)});
    const Surface s = build_dsm_surface(block.photos(), 0.0, points, {}, {.cell = 0.5, .verbose = false});
    ASSERT_TRUE(s.z) << c.name;
    for (const Probe& p : c.probes)
      EXPECT_NEAR(s.height_at(p.e, p.n), p.z, 0.3) << c.name << " at " << p.e << ", " << p.n;
  }
}

// A cell too fine for the box is coarsened until the grid (2 cells of margin a side and one
// more) holds at most DSM_MAX_CELLS; a box that is not finite gives NaN.
TEST(TerrainGrid, CellIsCoarsenedToTheCellBound) {
  const auto cells = [](double cell, double w, double h) {
    return (std::ceil(w / cell + 4.0) + 1.0) * (std::ceil(h / cell + 4.0) + 1.0);
  };
  struct Case {
    const char* name;
    double cell, w, h;
    bool coarsened;
  };
  for (const Case c : {Case{"a usual grid", 0.7, 185.0, 162.0, false}, Case{"a millimetre cell", 0.001, 185.0, 162.0, true},
                       Case{"a point", 0.001, 0.0, 0.0, false}, Case{"a line", 1e-6, 300.0, 0.0, true},
                       Case{"a box to the horizon", 3.0, 4e9, 2e9, true}}) {
    SCOPED_TRACE(c.name);
    const double got = bounded_dsm_cell(c.cell, c.w, c.h);
    EXPECT_LE(cells(got, c.w, c.h), static_cast<double>(DSM_MAX_CELLS));
    if (!c.coarsened) {
      EXPECT_EQ(got, c.cell);
      continue;
    }
    // No coarser than it must be: 1 % finer would break the bound.
    EXPECT_GT(cells(got * 0.99, c.w, c.h), static_cast<double>(DSM_MAX_CELLS));
  }
  EXPECT_TRUE(std::isnan(bounded_dsm_cell(0.5, std::numeric_limits<double>::infinity(), 10.0)));
  EXPECT_TRUE(std::isnan(bounded_dsm_cell(std::nan(""), 10.0, 10.0)));
}

// A photo pitched up to the horizon has a footprint reaching millions of metres away (it
// once sized the grid, tens of gigabytes); the grid stays near the cameras and still
// holds the hill.
TEST(Terrain, FootprintReachingTheHorizonKeepsTheGridNearTheCameras) {
  Block block;
  std::vector<PairMatch> ties;
  for (PairMatch& pm : block.ties())
    if (pm.i != 4 && pm.j != 4) ties.push_back(std::move(pm));
  // Photo 4 looks north 85 degrees from nadir: the top of its frame lies above the horizon.
  const double t = 85.0 * std::numbers::pi / 180.0;
  block.rotations[4] = {1, 0, 0, 0, -std::cos(t), -std::sin(t), 0, std::sin(t), -std::cos(t)};
  const Surface s = build_dsm_surface(block.photos(), 0.0, std::nullopt, ties, {.cell = std::nullopt, .verbose = false});
  ASSERT_TRUE(s.z.has_value());
  // The cameras span 40 x 30 m and a footprint is 60 m wide: 160 x 150 m of grid at most,
  // and the layout's 6 cells of margin and rounding.
  EXPECT_LE(static_cast<double>(s.nx - 6) * s.cell, 160.0);
  EXPECT_LE(static_cast<double>(s.ny - 6) * s.cell, 150.0);
  // Without the centre photo's ties the top of the hill is seen by fewer pairs: 0.4 m.
  for (double e = -15; e <= 15; e += 5)
    for (double n = -10; n <= 10; n += 5) EXPECT_NEAR(s.height_at(e, n), hill(e, n), 0.4) << e << ", " << n;
}

TEST(TerrainGrid, MedianCellsAndEdges) {
  // 3 x 2 cells of 1 m from (0, 0): rows from the north.
  const std::vector<Vec3> pts = {{0.5, 0.5, 1}, {0.5, 0.5, 3}, {2.5, 1.5, 5}, {1.0, 2.0, 9},  // on the top edge
                                 {-0.1, 1, 100}, {3.1, 1, 100}, {1, -0.1, 100}, {1, 2.1, 100}};  // outside
  const auto g = grid_median(pts, 0, 0, 1, 3, 2);
  ASSERT_EQ(g.size(), 6u);
  EXPECT_EQ(g[3], 2.0);  // south-west cell: median of 1 and 3
  EXPECT_EQ(g[2], 5.0);  // north-east
  EXPECT_EQ(g[1], 9.0);  // the top edge falls into row 0
  EXPECT_TRUE(std::isnan(g[0]));
}

TEST(TerrainGrid, MedianFilterReflectsAtTheEdges) {
  // A single spike is removed; a ramp is kept.
  std::vector<double> g(7 * 6, 1.0);
  g[3 * 7 + 3] = 50.0;
  const auto f = median_filter_5x5(g, 7, 6);
  for (double v : f) EXPECT_EQ(v, 1.0);
  std::vector<double> ramp(5 * 5);
  for (size_t k = 0; k < ramp.size(); ++k) ramp[k] = static_cast<double>(k % 5);
  const auto r = median_filter_5x5(ramp, 5, 5);
  // Column 0 sees columns 1, 0, 0, 1, 2 (reflected): median 1.
  EXPECT_EQ(r[0], 1.0);
  EXPECT_EQ(r[2], 2.0);
  EXPECT_EQ(r[4], 3.0);
}

}  // namespace
}  // namespace tsl
