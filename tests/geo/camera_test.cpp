#include "geo/camera.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "support/camera_fixtures.h"
#include "support/py_oracle.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

using test::pinhole_4000x3000;

// A strong real-world drone lens (a 20 MP one-inch camera's factory calibration): barrel
// distortion of about 190 px at the corners, where the inverse converges slowest.
CameraModel strong_brown() {
  CameraModel m;
  m.kind = LensKind::Brown;
  m.width = 5472;
  m.height = 3648;
  m.fx = 3678.87;
  m.fy = 3671.84;
  m.cx = 2735.5 + 7.72;
  m.cy = 1823.5 - 14.44;
  m.coeffs = {-0.268558, 0.111821, 0.000231187, 0.000185248, -0.0307606};
  return m;
}

CameraModel pincushion_brown() {
  CameraModel m = pinhole_4000x3000();
  m.kind = LensKind::Brown;
  m.fy = 3010.0;
  m.cx = 1987.0;
  m.cy = 1511.0;
  m.coeffs = {0.12, -0.03, -0.0008, 0.0011, 0.004};
  return m;
}

CameraModel dng_warp(double kr1, double kt0, Vec2 center) {
  CameraModel m;
  m.kind = LensKind::DngWarp;
  m.width = 6000;
  m.height = 4000;
  m.fx = m.fy = 4200.0;
  m.dng_center = center;
  m.cx = center.x * 5999.0;
  m.cy = center.y * 3999.0;
  m.coeffs = {1.0, kr1, 0.004, -0.001, kt0, -0.0004};
  return m;
}

// Pixels on an 11 x 11 lattice over the whole photo, corners included.
std::vector<Vec2> pixel_lattice(const CameraModel& m) {
  std::vector<Vec2> out;
  for (int i = 0; i <= 10; ++i)
    for (int j = 0; j <= 10; ++j)
      out.push_back({(static_cast<double>(m.width) - 1.0) * i / 10.0, (static_cast<double>(m.height) - 1.0) * j / 10.0});
  return out;
}

TEST(SelfcalDistort, AppliesRadialShiftAndTangentialTerms) {
  struct Case {
    const char* name;
    std::vector<double> terms;
    double x, y, want_x, want_y;
  };
  // At (0.5, -0.2): r2 = 0.29.
  const Case cases[] = {
      {"no terms", {}, 0.5, -0.2, 0.5, -0.2},
      {"two zeros", {0.0, 0.0}, 0.5, -0.2, 0.5, -0.2},
      {"six zeros", {0, 0, 0, 0, 0, 0}, 0.5, -0.2, 0.5, -0.2},
      // s = (0.01 * 0.29 + 0.1) * 0.29 + 1 = 1.029841
      {"radial", {0.1, 0.01}, 0.5, -0.2, 0.5 * 1.029841, -0.2 * 1.029841},
      // x' = 0.5 + 0.002 * 0.79 + 2 * 0.001 * 0.5 * -0.2 + 0.01
      // y' = -0.2 + 2 * 0.002 * 0.5 * -0.2 + 0.001 * 0.37 - 0.02
      {"shift and tangential", {0, 0, 0.01, -0.02, 0.001, 0.002}, 0.5, -0.2, 0.51138, -0.22003},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Vec2 got = selfcal_distort(c.x, c.y, c.terms);
    EXPECT_NEAR(got.x, c.want_x, 1e-15);
    EXPECT_NEAR(got.y, c.want_y, 1e-15);
  }
  // A NaN term is a term, not an absent one: it must not be mistaken for "no calibration".
  const std::vector<double> nan_terms = {NaN, 0.0};
  EXPECT_TRUE(std::isnan(selfcal_distort(0.5, -0.2, nan_terms).x));
}

TEST(CameraModel, CoefficientListsOfTheWrongLengthAreInternalErrors) {
  CameraModel brown = pincushion_brown();
  brown.coeffs.pop_back();
  EXPECT_THROW(brown.project(0.1, 0.1, {}), InternalError);
  CameraModel warp = dng_warp(0.01, 0.0, {0.5, 0.5});
  warp.coeffs.push_back(0.0);
  EXPECT_THROW(warp.unproject(10.0, 10.0), InternalError);
  const std::vector<double> three = {0.1, 0.0, 0.0};
  EXPECT_THROW(selfcal_distort(0.1, 0.1, three), InternalError);
}

TEST(CameraModel, PinholeProjectAndUnprojectAreExactInverses) {
  const CameraModel m = pinhole_4000x3000();
  const Vec2 p = m.project(0.25, -0.125, m.selfcal);
  EXPECT_EQ(p.x, 2750.0);
  EXPECT_EQ(p.y, 1125.0);
  const Vec2 d = m.unproject(2750.0, 1125.0);
  EXPECT_EQ(d.x, 0.25);
  EXPECT_EQ(d.y, -0.125);
}

struct NamedModel {
  const char* name;
  CameraModel model;
};

std::vector<NamedModel> brown_models() {
  return {{"strong barrel", strong_brown()}, {"pincushion", pincushion_brown()}};
}

// Compares project (with the model's own terms) with an oracle's pixels for (x, y) pairs.
void expect_projections(const CameraModel& m, const std::vector<double>& rays, const std::vector<double>& want,
                        double tolerance_px) {
  ASSERT_EQ(want.size(), rays.size());
  for (size_t k = 0; k < rays.size(); k += 2) {
    const Vec2 got = m.project(rays[k], rays[k + 1], m.selfcal);
    ASSERT_NEAR(got.x, want[k], tolerance_px) << "ray " << rays[k] << ", " << rays[k + 1];
    ASSERT_NEAR(got.y, want[k + 1], tolerance_px) << "ray " << rays[k] << ", " << rays[k + 1];
  }
}

// Forward against cv2.projectPoints, inverse against cv2.undistortPointsIter, one OpenCV run
// for all models.
TEST(CameraModel, BrownModelMatchesOpenCv) {
  TSL_REQUIRE_PYTHON("numpy cv2");
  const std::vector<NamedModel> models = brown_models();
  test::PyOracle py;
  std::vector<std::vector<double>> rays(models.size()), pixels(models.size());
  for (size_t k = 0; k < models.size(); ++k) {
    const CameraModel& m = models[k].model;
    // Directions out to 1.2 times the photo's half-diagonal.
    for (int i = -6; i <= 6; ++i)
      for (int j = -6; j <= 6; ++j)
        rays[k].insert(rays[k].end(), {i * 0.1 * static_cast<double>(m.width) / 2.0 / m.fx,
                                       j * 0.1 * static_cast<double>(m.height) / 2.0 / m.fy});
    for (const Vec2& p : pixel_lattice(m)) pixels[k].insert(pixels[k].end(), {p.x, p.y});
    const std::string id = std::to_string(k);
    py.put("rays" + id, rays[k]);
    py.put("px" + id, pixels[k]);
    py.put("cam" + id, std::vector<double>{m.fx, m.fy, m.cx, m.cy});
    py.put("dist" + id, m.coeffs);
  }
  // OpenCV's own inverse converges as slowly as a plain iteration at the corners: give it
  // many steps.
  ASSERT_EQ(py.run(format(R"(
import cv2
crit = (cv2.TERM_CRITERIA_COUNT | cv2.TERM_CRITERIA_EPS, 2000, 1e-16)
for k in range({}):
    fx, fy, cx, cy = load(f'cam{{k}}')
    K = np.array([[fx, 0, cx], [0, fy, cy], [0, 0, 1.0]])
    dist = load(f'dist{{k}}')
    rays = load(f'rays{{k}}').reshape(-1, 2)
    obj = np.hstack([rays, np.ones((len(rays), 1))]).reshape(-1, 1, 3)
    save(f'projected{{k}}', cv2.projectPoints(obj, np.zeros(3), np.zeros(3), K, dist)[0])
    save(f'unprojected{{k}}', cv2.undistortPointsIter(load(f'px{{k}}').reshape(-1, 1, 2), K, dist, None, None, crit))
)",
                          models.size())),
            "");
  for (size_t k = 0; k < models.size(); ++k) {
    SCOPED_TRACE(models[k].name);
    const CameraModel& m = models[k].model;
    // Both evaluate the same polynomial in double precision in different orders.
    expect_projections(m, rays[k], py.get("projected" + std::to_string(k)), 1e-8);
    const std::vector<double> want = py.get("unprojected" + std::to_string(k));
    ASSERT_EQ(want.size(), pixels[k].size());
    for (size_t i = 0; i < pixels[k].size(); i += 2) {
      const Vec2 got = m.unproject(pixels[k][i], pixels[k][i + 1]);
      // 1e-9 in normalised units is below 4e-6 px for these focal lengths.
      ASSERT_NEAR(got.x, want[i], 1e-9) << "pixel " << pixels[k][i] << ", " << pixels[k][i + 1];
      ASSERT_NEAR(got.y, want[i + 1], 1e-9) << "pixel " << pixels[k][i] << ", " << pixels[k][i + 1];
    }
  }
}

TEST(CameraModel, DngWarpMatchesTheWarpRectilinearFormula) {
  TSL_REQUIRE_PYTHON("numpy");
  const NamedModel models[] = {
      {"centred, radial only", dng_warp(-0.03, 0.0, {0.5, 0.5})},
      {"off-centre with tangential terms", dng_warp(0.02, 0.0007, {0.43, 0.56})},
  };
  std::vector<double> rays;
  for (int i = -5; i <= 5; ++i)
    for (int j = -5; j <= 5; ++j) rays.insert(rays.end(), {i * 0.15, j * 0.1});
  test::PyOracle py;
  py.put("rays", rays);
  for (size_t k = 0; k < std::size(models); ++k) {
    const CameraModel& m = models[k].model;
    py.put("cam" + std::to_string(k), std::vector<double>{m.fx, m.fy, m.cx, m.cy, static_cast<double>(m.width),
                                                          static_cast<double>(m.height), m.dng_center.x, m.dng_center.y});
    py.put("k" + std::to_string(k), m.coeffs);
  }
  // The forward warp as the DNG format states it: positions relative to the optical centre,
  // normalised by the largest centre-to-corner distance, a radial polynomial in r^2 plus two
  // tangential terms, then back to pixels.
  ASSERT_EQ(py.run(R"(
rays = load('rays').reshape(-1, 2)
for k in range(2):
    fx, fy, cx, cy, w, h, ocx, ocy = load(f'cam{k}')
    kr0, kr1, kr2, kr3, kt0, kt1 = load(f'k{k}')
    x0, y0, x1, y1 = 0.0, 0.0, w - 1, h - 1
    ox, oy = x0 + ocx * (x1 - x0), y0 + ocy * (y1 - y0)
    corners = np.array([[x0, y0], [x1, y0], [x0, y1], [x1, y1]])
    m = np.max(np.hypot(corners[:, 0] - ox, corners[:, 1] - oy))
    dx = (fx * rays[:, 0] + cx - ox) / m
    dy = (fy * rays[:, 1] + cy - oy) / m
    r2 = dx * dx + dy * dy
    f = kr0 + kr1 * r2 + kr2 * r2**2 + kr3 * r2**3
    xs = ox + m * (f * dx + kt0 * 2 * dx * dy + kt1 * (r2 + 2 * dx * dx))
    ys = oy + m * (f * dy + kt1 * 2 * dx * dy + kt0 * (r2 + 2 * dy * dy))
    save(f'px{k}', np.stack([xs, ys], axis=1))
)"),
            "");
  for (size_t k = 0; k < std::size(models); ++k) {
    SCOPED_TRACE(models[k].name);
    expect_projections(models[k].model, rays, py.get("px" + std::to_string(k)), 1e-8);
  }
  // The optical centre is a fixed point of the warp.
  const CameraModel m = dng_warp(-0.03, 0.0007, {0.5, 0.5});
  const Vec2 centre = m.project(0.0, 0.0, m.selfcal);
  EXPECT_NEAR(centre.x, 2999.5, 1e-9);
  EXPECT_NEAR(centre.y, 1999.5, 1e-9);
}

// The residual left by the inverse is what every footprint corner and tie-point ray
// inherits; the plain twelve-step iteration left about a pixel at the strong lens's corners.
TEST(CameraModel, ProjectOfUnprojectReturnsThePixelInsideTheMonotonicRadius) {
  const std::vector<double> small_selfcal = {0.01, -0.005, 0.001, -0.002, 1e-4, -2e-4};
  const NamedModel models[] = {
      {"pinhole", pinhole_4000x3000()},
      {"strong barrel", strong_brown()},
      {"pincushion", pincushion_brown()},
      {"dng warp", dng_warp(-0.03, 0.0007, {0.5, 0.5})},
      {"off-centre dng warp", dng_warp(0.02, 0.0007, {0.43, 0.56})},
  };
  for (const NamedModel& c : models) {
    SCOPED_TRACE(c.name);
    CameraModel m = c.model;
    const double radius = m.monotonic_radius();
    for (const Vec2& p : pixel_lattice(m)) {
      const Vec2 d = m.unproject(p.x, p.y);
      ASSERT_LT(std::hypot(d.x, d.y), radius) << "pixel " << p.x << ", " << p.y;
      const Vec2 back = m.project(d.x, d.y, std::vector<double>{0.0, 0.0});
      ASSERT_NEAR(back.x, p.x, 1e-6) << "pixel " << p.x << ", " << p.y;
      ASSERT_NEAR(back.y, p.y, 1e-6) << "pixel " << p.x << ", " << p.y;
    }
    // With self-calibration: a pixel's ray is S(L^-1(p)), and project undoes S again.
    m.selfcal = small_selfcal;
    for (const Vec2& p : pixel_lattice(m)) {
      const Vec2 d = m.unproject(p.x, p.y);
      const Vec2 ray = selfcal_distort(d.x, d.y, m.selfcal);
      const Vec2 back = m.project(ray.x, ray.y, m.selfcal);
      ASSERT_NEAR(back.x, p.x, 1e-6) << "pixel " << p.x << ", " << p.y;
      ASSERT_NEAR(back.y, p.y, 1e-6) << "pixel " << p.x << ", " << p.y;
    }
  }
}

TEST(MonotonicRadius, PinholeStopsAtTheDistanceThreshold) {
  // Threshold 2500 * 1.03 * 1.6 = 4120 px, i.e. radius 1.37333; samples reach 2.5.
  const CameraModel m = pinhole_4000x3000();
  const double want = 658.0 * (2.5 - 0.0001) / 1199.0 + 0.0001;
  EXPECT_DOUBLE_EQ(m.monotonic_radius(), want);
  EXPECT_NEAR(m.monotonic_radius(), 1.372022, 1e-6);
}

TEST(MonotonicRadius, LimitsAndInfinity) {
  // Pure barrel k1 = -0.3: r (1 - 0.3 r^2) turns back at r = 1/sqrt(0.9), well before the
  // distance threshold; the limit is the last sample before the fall, within a sample of it.
  CameraModel fold = pinhole_4000x3000();
  fold.kind = LensKind::Brown;
  fold.coeffs = {-0.3, 0.0, 0.0, 0.0, 0.0};
  const double spacing = (2.5 - 0.0001) / 1199.0;
  const double r_fold = fold.monotonic_radius();
  EXPECT_NEAR(r_fold, 1.0 / std::sqrt(0.9), spacing);

  // A warp that halves every distance from the centre stays within 1.5 half-diagonals,
  // below the threshold of 1.648, and rises throughout: no limit.
  CameraModel halving = dng_warp(0.0, 0.0, {0.5, 0.5});
  halving.coeffs = {0.5, 0.0, 0.0, 0.0, 0.0, 0.0};
  EXPECT_EQ(halving.monotonic_radius(), INF);

}

TEST(MonotonicRadius, ChangingTheSelfCalibrationRecomputes) {
  CameraModel m = pinhole_4000x3000();
  const double before = m.monotonic_radius();
  m.selfcal = {-0.3, 0.0};
  const double after = m.monotonic_radius();
  CameraModel fresh = pinhole_4000x3000();
  fresh.selfcal = {-0.3, 0.0};
  EXPECT_NE(after, before);
  EXPECT_EQ(after, fresh.monotonic_radius());
  // A copy carries the memo, and it stays keyed: changing the copy recomputes too.
  CameraModel copy = m;
  copy.selfcal = {0.0, 0.0};
  EXPECT_EQ(copy.monotonic_radius(), before);
  EXPECT_EQ(m.monotonic_radius(), after);
}

TEST(MonotonicRadius, SharedModelGivesOneAnswerAcrossThreads) {
  const CameraModel m = strong_brown();
  std::vector<double> got(4, 0.0);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < got.size(); ++i) threads.emplace_back([&, i] { got[i] = m.monotonic_radius(); });
  for (auto& t : threads) t.join();
  for (double r : got) EXPECT_EQ(r, got[0]);
}

}  // namespace
}  // namespace tsl
