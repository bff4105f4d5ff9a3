#include "geo/footprint.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/camera_fixtures.h"
#include "support/py_oracle.h"
#include "surface/surface.h"
#include "util/error.h"

namespace tsl {
namespace {

using test::pinhole_4000x3000;

// The pixels a footprint samples, n per side, in outline order.
std::vector<Vec2> border_pixels(const CameraModel& m, size_t n) {
  const double w = static_cast<double>(m.width) - 1.0, h = static_cast<double>(m.height) - 1.0;
  const double last = static_cast<double>(n - 1);
  std::vector<Vec2> px;
  for (size_t k = 0; k < n; ++k) px.push_back({w * k / last, 0.0});
  for (size_t k = 0; k < n; ++k) px.push_back({w, h * k / last});
  for (size_t k = 0; k < n; ++k) px.push_back({w * (1.0 - k / last), h});
  for (size_t k = 0; k < n; ++k) px.push_back({0.0, h * (1.0 - k / last)});
  return px;
}

// Flat ground at height z.
GroundHeights flat(double z) { return {.start_m = z, .height_at = nullptr}; }

// Looking straight down: image right = east, image down = south, view = down.
constexpr Mat3 NADIR = {1, 0, 0, 0, -1, 0, 0, 0, -1};

// Rotation about the east axis by `deg` after NADIR: the view tilts towards the north.
Mat3 tilted_north(double deg) {
  const double c = std::cos(deg * M_PI / 180.0), s = std::sin(deg * M_PI / 180.0);
  return {1, 0, 0, 0, -c, -s, 0, s, -c};
}

TEST(Footprint, NadirPinholeOverAPlane) {
  const Polygon got = footprint(pinhole_4000x3000(), NADIR, {0.0, 0.0, 100.0}, flat(0.0), 2);
  // The top edge lies north; the far edges sit one pixel short of the symmetric values
  // because the samples run from pixel 0 to pixel width - 1.
  const Vec2 want[] = {{-66.6667, 50},       {66.6333, 50},       {66.6333, 50},      {66.6333, -49.9667},
                       {66.6333, -49.9667}, {-66.6667, -49.9667}, {-66.6667, -49.9667}, {-66.6667, 50}};
  ASSERT_EQ(got.size(), 8u);
  for (size_t k = 0; k < 8; ++k) {
    EXPECT_NEAR(got[k].x, want[k].x, 5e-5) << "vertex " << k;
    EXPECT_NEAR(got[k].y, want[k].y, 5e-5) << "vertex " << k;
  }
}

// An independent footprint: OpenCV undoes the lens, numpy applies the self-calibration,
// turns the rays into the world and cuts them with the plane.
TEST(Footprint, ObliqueBrownCameraMatchesOpenCvRays) {
  TSL_REQUIRE_PYTHON("numpy cv2");
  CameraModel m = pinhole_4000x3000();
  m.kind = LensKind::Brown;
  m.coeffs = {-0.12, 0.05, 0.0004, -0.0003, -0.01};
  m.selfcal = {0.01, -0.004, 0.002, -0.001, 0.0003, 0.0002};
  const Mat3 r = tilted_north(20.0);
  const Vec3 c = {12.0, -7.0, 80.0};
  const double ground = 3.5;
  const size_t n = 6;
  const Polygon got = footprint(m, r, c, flat(ground), n);
  ASSERT_EQ(got.size(), 4 * n);

  std::vector<double> pixels;
  for (const Vec2& p : border_pixels(m, n)) pixels.insert(pixels.end(), {p.x, p.y});
  test::PyOracle py;
  py.put("px", pixels);
  py.put("cam", std::vector<double>{m.fx, m.fy, m.cx, m.cy});
  py.put("dist", m.coeffs);
  py.put("selfcal", m.selfcal);
  py.put("r", std::vector<double>(r.begin(), r.end()));
  py.put("c", std::vector<double>{c[0], c[1], c[2], ground});
  ASSERT_EQ(py.run(R"(
import cv2
fx, fy, cx, cy = load('cam')
K = np.array([[fx, 0, cx], [0, fy, cy], [0, 0, 1.0]])
crit = (cv2.TERM_CRITERIA_COUNT | cv2.TERM_CRITERIA_EPS, 2000, 1e-16)
d = cv2.undistortPointsIter(load('px').reshape(-1, 1, 2), K, load('dist'), None, None, crit).reshape(-1, 2)
k1, k2, dx, dy, p1, p2 = load('selfcal')
x, y = d[:, 0], d[:, 1]
r2 = x * x + y * y
s = 1 + k1 * r2 + k2 * r2 * r2
xs = x * s + p2 * (2 * x * x + r2) + 2 * p1 * x * y + dx
ys = y * s + 2 * p2 * x * y + p1 * (2 * y * y + r2) + dy
rays = np.stack([xs, ys, np.ones_like(xs)], axis=1) @ load('r').reshape(3, 3)
ce, cn, cu, ground = load('c')
t = (ground - cu) / rays[:, 2]
save('v', np.stack([ce + t * rays[:, 0], cn + t * rays[:, 1]], axis=1))
)"),
            "");
  const std::vector<double> want = py.get("v");
  ASSERT_EQ(want.size(), 8 * n);
  for (size_t k = 0; k < 4 * n; ++k) {
    // 1e-9 in ray units at ranges near 100 m.
    EXPECT_NEAR(got[k].x, want[2 * k], 1e-6) << "vertex " << k;
    EXPECT_NEAR(got[k].y, want[2 * k + 1], 1e-6) << "vertex " << k;
  }
}

// What pair prediction does: the overlap of one photo's footprint with the hull of its
// neighbour's, against shapely's intersection of the same two shapes.
TEST(Footprint, OverlapOfNeighbouringFootprintsMatchesShapely) {
  TSL_REQUIRE_PYTHON("numpy shapely");
  CameraModel m = pinhole_4000x3000();
  m.kind = LensKind::Brown;
  m.coeffs = {-0.12, 0.05, 0.0004, -0.0003, -0.01};
  const Polygon a = footprint(m, tilted_north(8.0), {0.0, 0.0, 90.0}, flat(0.0), 6);
  const Polygon b = footprint(m, tilted_north(-5.0), {35.0, 20.0, 95.0}, flat(0.0), 6);
  test::PyOracle py;
  std::vector<double> fa, fb;
  for (const Vec2& v : a) fa.insert(fa.end(), {v.x, v.y});
  for (const Vec2& v : b) fb.insert(fb.end(), {v.x, v.y});
  py.put("a", fa);
  py.put("b", fb);
  ASSERT_EQ(py.run(R"(
import shapely.geometry as g
pa, pb = g.Polygon(load('a').reshape(-1, 2)), g.Polygon(load('b').reshape(-1, 2))
save('area', [pa.intersection(pb.convex_hull).area, pa.area])
)"),
            "");
  const std::vector<double> want = py.get("area");
  const double got = intersection_area(a, convex_hull(b));
  EXPECT_GT(want[0], 0.2 * want[1]);  // a real partial overlap
  EXPECT_LT(want[0], 0.9 * want[1]);
  EXPECT_NEAR(got, want[0], 1e-9 * want[0]);
}

// A grid covering the footprint, sampled from `height(e, n)`: cells of 2 m from (-150, 150).
Surface grid_from(double (*height)(double, double)) {
  const uint64_t nx = 151, ny = 151;
  std::vector<float> z(nx * ny);
  for (uint64_t j = 0; j < ny; ++j)
    for (uint64_t i = 0; i < nx; ++i) z[j * nx + i] = static_cast<float>(height(-150.0 + 2.0 * i, 150.0 - 2.0 * j));
  return Surface::dsm(0.0, -150.0, 150.0, 2.0, nx, ny, std::move(z));
}

TEST(Footprint, FlatGridGivesThePlaneFootprint) {
  const CameraModel m = pinhole_4000x3000();
  const Surface level = grid_from([](double, double) { return 5.0; });
  const Polygon on_grid = footprint(m, tilted_north(15.0), {3.0, 4.0, 100.0}, ground_heights(level), 4);
  const Polygon on_plane = footprint(m, tilted_north(15.0), {3.0, 4.0, 100.0}, flat(5.0), 4);
  ASSERT_EQ(on_grid.size(), on_plane.size());
  for (size_t k = 0; k < on_grid.size(); ++k) {
    EXPECT_NEAR(on_grid[k].x, on_plane[k].x, 1e-9) << "vertex " << k;
    EXPECT_NEAR(on_grid[k].y, on_plane[k].y, 1e-9) << "vertex " << k;
  }
}

TEST(Footprint, SlopedGridVerticesAreTheRaysCutWithTheSlope) {
  // A planar slope z = 0.08 e - 0.05 n + 2 is reproduced exactly by bilinear interpolation,
  // so each vertex must be its pixel's ray cut with that plane in closed form; seven
  // refinements from the median height converge far below the tolerance for this slope.
  const Surface slope = grid_from([](double e, double n) { return 0.08 * e - 0.05 * n + 2.0; });
  const CameraModel m = pinhole_4000x3000();
  const Mat3 r = tilted_north(10.0);
  const Vec3 c = {0.0, 0.0, 90.0};
  const size_t n = 5;
  const Polygon got = footprint(m, r, c, ground_heights(slope), n);
  ASSERT_EQ(got.size(), 4 * n);
  const std::vector<Vec2> pixels = border_pixels(m, n);
  for (size_t k = 0; k < pixels.size(); ++k) {
    const double x = (pixels[k].x - m.cx) / m.fx, y = (pixels[k].y - m.cy) / m.fy;
    const double de = r[0] * x + r[3] * y + r[6], dn = r[1] * x + r[4] * y + r[7], du = r[2] * x + r[5] * y + r[8];
    const double t = (2.0 - c[2]) / (du - 0.08 * de + 0.05 * dn);
    // Heights are stored as f32 (about 2e-6 m here); 0.1 mm leaves room for that.
    EXPECT_NEAR(got[k].x, t * de, 1e-4) << "vertex " << k;
    EXPECT_NEAR(got[k].y, t * dn, 1e-4) << "vertex " << k;
  }
}

TEST(Footprint, HorizontalRaysGiveNonFiniteVerticesThatHullsDrop) {
  // Looking north along the horizon: the middle row of pixels is horizontal.
  CameraModel m = pinhole_4000x3000();
  m.cy = 1499.5;  // so that the middle samples of the side edges lie exactly on it
  const Mat3 horizon = {1, 0, 0, 0, 0, -1, 0, 1, 0};
  const Polygon got = footprint(m, horizon, {0.0, 0.0, 50.0}, flat(0.0), 3);
  ASSERT_EQ(got.size(), 12u);
  EXPECT_FALSE(std::isfinite(got[4].y));   // right edge, middle sample
  EXPECT_FALSE(std::isfinite(got[10].y));  // left edge, middle sample
  for (const Vec2& v : convex_hull(got)) EXPECT_TRUE(std::isfinite(v.x) && std::isfinite(v.y));
}

TEST(Footprint, FewerThanTwoSamplesPerSideIsAnInternalError) {
  EXPECT_THROW(footprint(pinhole_4000x3000(), NADIR, {0, 0, 100}, flat(0.0), 1), InternalError);
}

}  // namespace
}  // namespace tsl
