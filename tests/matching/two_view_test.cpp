#include "matching/two_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <random>
#include <vector>

#include "support/py_oracle.h"
#include "util/text.h"

namespace tsl {
namespace {

// Draws recomputed by an independent script from the generator's definition: state = seed x
// 0x9E3779B97F4A7C15 | 1, xorshift64 (13, 7, 17), index = state mod n, repeats drawn again.
TEST(TwoView, FirstDrawsFollowTheGenerator) {
  struct Case {
    uint64_t seed;
    size_t n;
    std::vector<size_t> expected;
    uint64_t state_after;
  };
  const Case cases[] = {
      {0, 100, {61, 5, 57, 45, 33, 9, 21, 39}, 0x7d3e032e9a7908ffULL},
      {12345, 37, {31, 29, 16, 32}, 0xab7e6e273271ca2eULL},
      {3 * 100003 + 5 + 7, 500, {335, 266, 262, 380, 103, 17, 42, 191}, 0x38b230e16b26c01bULL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seed);
    uint64_t state = ransac_state(c.seed);
    std::vector<size_t> got(c.expected.size());
    draw_sample(state, c.n, got);
    EXPECT_EQ(got, c.expected);
    EXPECT_EQ(state, c.state_after);
  }
}

TEST(TwoView, NormalizationCentresAndScalesToRootTwo) {
  const std::vector<Vec2> pts = {{10, 20}, {14, 20}, {10, 23}, {30, -5}};
  NormalizedPoints n = normalize_points(pts);
  double sx = 0, sy = 0, d = 0;
  for (const Vec2& p : n.points) {
    sx += p.x;
    sy += p.y;
    d += std::hypot(p.x, p.y);
  }
  EXPECT_NEAR(sx, 0.0, 1e-12);
  EXPECT_NEAR(sy, 0.0, 1e-12);
  EXPECT_NEAR(d / 4.0, std::sqrt(2.0), 1e-12);
  EXPECT_DOUBLE_EQ(n.centre.x, 16.0);
  // Coincident points keep scale 1.
  const std::vector<Vec2> same = {{3, 4}, {3, 4}};
  EXPECT_EQ(normalize_points(same).scale, 1.0);
}

TEST(TwoView, TooFewCorrespondencesGiveNoMask) {
  std::vector<Vec2> a(7), b(7);
  for (size_t k = 0; k < 7; ++k) a[k] = b[k] = {double(k * k % 5), double(k)};
  EXPECT_FALSE(ransac(TwoViewKind::Fundamental, a, b, 0.6, 100, 1));
  a.resize(3);
  b.resize(3);
  EXPECT_FALSE(ransac(TwoViewKind::Homography, a, b, 3.0, 100, 1));
}

// The four corners of a square mapped by (x, y) -> (1 / x, y / x), a homography whose m33 is
// zero: every normalisation here is exact, so the fitted m33 is zero up to rounding.
TEST(TwoView, DegenerateHomographyFailsCleanly) {
  const std::vector<Vec2> a = {{1, 1}, {-1, 1}, {1, -1}, {-1, -1}};
  std::vector<Vec2> b;
  for (const Vec2& p : a) b.push_back({1.0 / p.x, p.y / p.x});
  const std::vector<size_t> all = {0, 1, 2, 3};
  EXPECT_FALSE(fit_model(TwoViewKind::Homography, a, b, all));
  // Every sample degenerates, the search gives up at its limit with no model.
  EXPECT_FALSE(ransac(TwoViewKind::Homography, a, b, 3.0, 50, 9));
}

TEST(TwoView, FundamentalFitNeverFailsOnPlanarPoints) {
  std::vector<Vec2> a, b;
  for (int k = 0; k < 8; ++k) {
    const double x = 100.0 + 37.0 * k, y = 50.0 + 11.0 * (k * k % 7);
    a.push_back({x, y});
    b.push_back({1.02 * x + 0.01 * y + 5.0, -0.01 * x + 0.99 * y + 3.0});
  }
  auto mask = ransac(TwoViewKind::Fundamental, a, b, 0.6, 200, 4);
  ASSERT_TRUE(mask);
  EXPECT_EQ(mask->size(), 8u);
}

TEST(TwoView, HorizonPointIsAnInfiniteResidual) {
  TwoViewModel h;
  h.m = {1, 0, 0, 0, 1, 0, 0.01, 0, 1};  // w = 0 at x = -100
  const std::vector<Vec2> a = {{-100, 5}}, b = {{0, 0}};
  EXPECT_TRUE(std::isinf(model_residual(TwoViewKind::Homography, a, b, h, 0)));
}

// A synthetic pair with a known model, planted outliers and Gaussian noise.
struct Scene {
  std::vector<Vec2> a, b;
  std::vector<uint8_t> planted;  // 1 for a correspondence made from the model
  std::array<double, 9> model{};  // the homography, for homography scenes
};

constexpr double W = 2000, H = 1125;  // a working frame

Scene homography_scene(uint64_t seed, double outlier_rate, size_t n) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> ux(0, W), uy(0, H), small(-1, 1);
  std::normal_distribution<double> noise(0.0, 0.5);
  // A homography near a similarity, with some perspective.
  const std::array<double, 9> hm = {1.0 + 0.05 * small(rng), 0.1 * small(rng), 300 * small(rng),
                                    0.1 * small(rng),        1.0 + 0.05 * small(rng), 200 * small(rng),
                                    2e-5 * small(rng),       2e-5 * small(rng), 1.0};
  Scene s;
  s.model = hm;
  for (size_t k = 0; k < n; ++k) {
    const Vec2 p = {ux(rng), uy(rng)};
    const bool outlier = std::uniform_real_distribution<double>(0, 1)(rng) < outlier_rate;
    Vec2 q;
    if (outlier) {
      q = {ux(rng), uy(rng)};
    } else {
      const double w = hm[6] * p.x + hm[7] * p.y + hm[8];
      q = {(hm[0] * p.x + hm[1] * p.y + hm[2]) / w, (hm[3] * p.x + hm[4] * p.y + hm[5]) / w};
    }
    s.a.push_back({p.x + noise(rng), p.y + noise(rng)});
    s.b.push_back({q.x + noise(rng), q.y + noise(rng)});
    s.planted.push_back(outlier ? 0 : 1);
  }
  return s;
}

// Two pinhole views (f = 1500 px) of ground with 15 % relief, 40 % of the height apart.
Scene fundamental_scene(uint64_t seed, double outlier_rate, size_t n, std::array<double, 9>& f_true,
                        double noise_px = 0.5) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> ux(0, W), uy(0, H), small(-1, 1);
  std::normal_distribution<double> noise(0.0, std::max(noise_px, 1e-300));
  const double f = 1500, cx = W / 2, cy = H / 2, height = 100;
  // Camera b: rotated by a few degrees about z and tilted, shifted along x and y.
  const double yaw = 0.1 * small(rng), tilt = 0.05 * small(rng);
  const std::array<double, 9> r = {std::cos(yaw), -std::sin(yaw), 0, std::sin(yaw) * std::cos(tilt),
                                   std::cos(yaw) * std::cos(tilt), -std::sin(tilt), std::sin(yaw) * std::sin(tilt),
                                   std::cos(yaw) * std::sin(tilt), std::cos(tilt)};
  const std::array<double, 3> t = {-40.0 + 5 * small(rng), 10 * small(rng), 5 * small(rng)};
  // F = K^-T [t]x R K^-1 for x_b = R x_a + t in camera coordinates.
  const std::array<double, 9> tx = {0, -t[2], t[1], t[2], 0, -t[0], -t[1], t[0], 0};
  std::array<double, 9> e{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) e[i * 3 + j] += tx[i * 3 + k] * r[k * 3 + j];
  const std::array<double, 9> kinv = {1 / f, 0, -cx / f, 0, 1 / f, -cy / f, 0, 0, 1};
  std::array<double, 9> tmp{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) tmp[i * 3 + j] += e[i * 3 + k] * kinv[k * 3 + j];
  f_true = {};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) f_true[i * 3 + j] += kinv[k * 3 + i] * tmp[k * 3 + j];
  Scene s;
  while (s.a.size() < n) {
    const Vec2 p = {ux(rng), uy(rng)};
    const double depth = height * (1.0 + 0.15 * small(rng));
    const double X = (p.x - cx) / f * depth, Y = (p.y - cy) / f * depth, Z = depth;
    const double xb = r[0] * X + r[1] * Y + r[2] * Z + t[0];
    const double yb = r[3] * X + r[4] * Y + r[5] * Z + t[1];
    const double zb = r[6] * X + r[7] * Y + r[8] * Z + t[2];
    const Vec2 q = {f * xb / zb + cx, f * yb / zb + cy};
    if (q.x < 0 || q.x > W || q.y < 0 || q.y > H) continue;
    const bool outlier = std::uniform_real_distribution<double>(0, 1)(rng) < outlier_rate;
    const Vec2 qq = outlier ? Vec2{ux(rng), uy(rng)} : q;
    s.a.push_back({p.x + noise(rng), p.y + noise(rng)});
    s.b.push_back({qq.x + noise(rng), qq.y + noise(rng)});
    s.planted.push_back(outlier ? 0 : 1);
  }
  return s;
}

struct Tally {
  size_t true_inliers = 0;  // planted inliers the true model accepts within the threshold
  size_t recovered = 0;     // of those, in the mask
  size_t false_inliers = 0; // planted outliers in the mask
};

Tally tally(const Scene& s, std::span<const uint8_t> truth_ok, std::span<const uint8_t> mask) {
  Tally t;
  for (size_t k = 0; k < s.a.size(); ++k) {
    if (s.planted[k] && truth_ok[k]) {
      ++t.true_inliers;
      t.recovered += mask[k] ? 1 : 0;
    }
    if (!s.planted[k] && mask[k]) ++t.false_inliers;
  }
  return t;
}

// Our search against OpenCV's RANSAC on the same data (Gaussian noise of 0.5 px on every
// coordinate, 20 to 50 % planted outliers). With 0.5 px noise in both photos, some planted inliers lie
// beyond a 0.6 px Sampson threshold even under the true model; no threshold test can keep
// them, so "true inliers" are the planted ones the true model accepts.
TEST(TwoView, RecoversPlantedModelsAtLeastAsCleanlyAsOpenCv) {
  TSL_REQUIRE_PYTHON("numpy cv2");
  struct Case {
    TwoViewKind kind;
    uint64_t seed;
    double outliers;
  };
  std::vector<Case> cases;
  for (TwoViewKind kind : {TwoViewKind::Homography, TwoViewKind::Fundamental})
    for (uint64_t seed : {1, 2, 3, 4})
      for (double rate : {0.2, 0.4, 0.5}) cases.push_back({kind, seed, rate});

  std::vector<Scene> scenes;
  std::vector<std::vector<uint8_t>> truth;
  test::PyOracle py;
  for (size_t c = 0; c < cases.size(); ++c) {
    const Case& cs = cases[c];
    std::array<double, 9> f_true{};
    Scene s = cs.kind == TwoViewKind::Homography ? homography_scene(cs.seed, cs.outliers, 400)
                                                 : fundamental_scene(cs.seed, cs.outliers, 400, f_true);
    // What the true model accepts within the threshold (a planted outlier may by chance).
    std::vector<uint8_t> ok(s.a.size(), 1);
    const TwoViewModel truth_model{cs.kind == TwoViewKind::Fundamental ? f_true : s.model};
    const double tau = cs.kind == TwoViewKind::Fundamental ? 0.6 : 3.0;
    for (size_t k = 0; k < s.a.size(); ++k) ok[k] = model_residual(cs.kind, s.a, s.b, truth_model, k) < tau * tau;
    std::vector<double> flat_a, flat_b;
    for (size_t k = 0; k < s.a.size(); ++k) {
      flat_a.insert(flat_a.end(), {s.a[k].x, s.a[k].y});
      flat_b.insert(flat_b.end(), {s.b[k].x, s.b[k].y});
    }
    py.put(format("a{}", c), flat_a);
    py.put(format("b{}", c), flat_b);
    scenes.push_back(std::move(s));
    truth.push_back(std::move(ok));
  }
  std::vector<double> kinds;
  for (const Case& c : cases) kinds.push_back(c.kind == TwoViewKind::Homography ? 1.0 : 0.0);
  py.put("kinds", kinds);
  const std::string err = py.run(R"(
import cv2
kinds = load('kinds')
for c, k in enumerate(kinds):
    a = load('a%d' % c).reshape(-1, 2)
    b = load('b%d' % c).reshape(-1, 2)
    if k == 1:
        _, m = cv2.findHomography(a, b, cv2.RANSAC, 3.0)
    else:
        _, m = cv2.findFundamentalMat(a, b, cv2.FM_RANSAC, 0.6, 0.99)
    save('m%d' % c, m.ravel() if m is not None else np.zeros(len(a)))
)");
  ASSERT_TRUE(err.empty()) << err;
  for (size_t c = 0; c < cases.size(); ++c) {
    const Case& cs = cases[c];
    const bool homography = cs.kind == TwoViewKind::Homography;
    SCOPED_TRACE(format("{} seed {} outliers {}", homography ? "H" : "F", cs.seed, cs.outliers));
    const Scene& s = scenes[c];
    auto mask = ransac(cs.kind, s.a, s.b, homography ? 3.0 : 0.6, homography ? 5000 : 10000, cs.seed);
    ASSERT_TRUE(mask);
    const std::vector<double> cv_raw = py.get(format("m{}", c));
    std::vector<uint8_t> cv_mask(cv_raw.begin(), cv_raw.end());
    const Tally ours = tally(s, truth[c], *mask);
    const Tally cv = tally(s, truth[c], cv_mask);
    SCOPED_TRACE(format("ours {}/{} with {} false, OpenCV {}/{} with {} false", ours.recovered, ours.true_inliers,
                        ours.false_inliers, cv.recovered, cv.true_inliers, cv.false_inliers));
    if (homography) {
      EXPECT_GE(ours.recovered, 0.95 * ours.true_inliers);
      EXPECT_LE(ours.false_inliers, cv.false_inliers);
    } else {
      // At 0.5 px noise an 8-point sample is a rough model and the final one a refit through
      // a threshold of 1.2 sigma, so boundary inliers flip (85 to 99 % kept here); OpenCV keeps
      // far fewer. The Sampson threshold is about sqrt(2) wider in photo b than OpenCV's
      // point-to-line one, so a random outlier lands in the band a little more often: at
      // most 1.5 % of the outliers (chance is about 0.2 %), or as many as OpenCV takes.
      EXPECT_GE(ours.recovered, cv.recovered);
      EXPECT_GE(ours.recovered, 0.7 * ours.true_inliers);
      size_t planted_out = 0;
      for (uint8_t p : s.planted) planted_out += p ? 0 : 1;
      EXPECT_LE(double(ours.false_inliers), std::max(double(cv.false_inliers), 0.015 * planted_out));
    }
  }
}

// Minimal samples take a direct null-space solve and larger sets the eigen-decomposition: both
// must give the exact model on noise-free data, and a sample with repeated points (dependent
// rows) still gives a fundamental matrix.
TEST(TwoView, MinimalAndLargerFitsRecoverExactModels) {
  std::array<double, 9> f_true{};
  Scene fs = fundamental_scene(21, 0.0, 60, f_true, 0.0);
  Scene hs = homography_scene(22, 0.0, 60);
  // Noise-free copies: the scenes add 0.5 px noise, so rebuild b from the exact models.
  for (size_t k = 0; k < hs.a.size(); ++k) {
    const auto& h = hs.model;
    const Vec2 p = hs.a[k];
    const double w = h[6] * p.x + h[7] * p.y + h[8];
    hs.b[k] = {(h[0] * p.x + h[1] * p.y + h[2]) / w, (h[3] * p.x + h[4] * p.y + h[5]) / w};
  }
  std::vector<size_t> four = {3, 17, 29, 44}, many(40);
  for (size_t k = 0; k < many.size(); ++k) many[k] = k;
  for (const auto& idx : {four, many}) {
    auto h = fit_model(TwoViewKind::Homography, hs.a, hs.b, idx);
    ASSERT_TRUE(h);
    for (size_t e = 0; e < 9; ++e) EXPECT_NEAR(h->m[e], hs.model[e], 1e-7 * (1.0 + std::fabs(hs.model[e])));
  }
  // F: every correspondence, fitted or not, lies on its epipolar line.
  std::vector<size_t> eight = {0, 7, 13, 21, 30, 38, 45, 52};
  for (const auto& idx : {eight, many}) {
    auto f = fit_model(TwoViewKind::Fundamental, fs.a, fs.b, idx);
    ASSERT_TRUE(f);
    for (size_t k = 0; k < fs.a.size(); ++k) EXPECT_LT(model_residual(TwoViewKind::Fundamental, fs.a, fs.b, *f, k), 1e-8);
  }
  std::vector<size_t> repeated = {0, 1, 2, 3, 4, 5, 6, 7};
  std::vector<Vec2> a(fs.a.begin(), fs.a.begin() + 8), b(fs.b.begin(), fs.b.begin() + 8);
  a[7] = a[6];
  b[7] = b[6];
  auto f = fit_model(TwoViewKind::Fundamental, a, b, repeated);
  ASSERT_TRUE(f);
  for (double v : f->m) EXPECT_TRUE(std::isfinite(v));
}

TEST(TwoView, SameSeedSameMask) {
  Scene s = homography_scene(7, 0.4, 200);
  auto m1 = ransac(TwoViewKind::Homography, s.a, s.b, 3.0, 5000, 11);
  auto m2 = ransac(TwoViewKind::Homography, s.a, s.b, 3.0, 5000, 11);
  ASSERT_TRUE(m1 && m2);
  EXPECT_EQ(*m1, *m2);
}

}  // namespace
}  // namespace tsl
