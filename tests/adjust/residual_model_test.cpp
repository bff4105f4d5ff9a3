#include "adjust/residual_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "adjust/solver.h"
#include "adjust/synthetic_flight.h"
#include "support/test_util.h"
#include "util/json.h"

namespace tsl {
namespace {

// Two nadir photos 100 m up, fx 1000, no self-calibration.
AdjustProblem two_photo_problem() {
  AdjustProblem p;
  p.photo_count = 2;
  p.group_count = 1;
  p.terms_per_group = 2;
  p.first_height = 13;
  p.photo_group = {0, 0};
  p.focal = {1000.0, 1000.0};
  p.rotations0 = {test::nadir_rotation(0.0), test::nadir_rotation(0.0)};
  p.positions0 = {Vec3{0.0, 0.0, 100.0}, Vec3{10.0, 0.0, 100.0}};
  p.tie_photo_a = {0};
  p.tie_photo_b = {1};
  p.obs_a = {{0.1, 0.2}};
  p.obs_b = {{0.0, 0.2}};
  p.tie_scale = {3.0};
  p.pose_sigma = {3, 3, 2, 0.01, 0.01, 0.05};
  return p;
}

TEST(ResidualModel, RotationIncrementIsARotationAboutW) {
  const Vec3 cases[] = {{0, 0, 0}, {1e-12, 0, 0}, {0.01, -0.02, 0.03}, {0.5, 0.2, -1.0}, {0, 0, 3.0}};
  for (const Vec3& w : cases) {
    SCOPED_TRACE(testing::Message() << w[0] << " " << w[1] << " " << w[2]);
    const Mat3 r = rotation_increment(w[0], w[1], w[2]);
    for (size_t i = 0; i < 3; ++i)
      for (size_t j = 0; j < 3; ++j) {
        const double dot = r[3 * i] * r[3 * j] + r[3 * i + 1] * r[3 * j + 1] + r[3 * i + 2] * r[3 * j + 2];
        EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-14);
      }
    // The axis stays where it is, and the trace gives the angle.
    for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(r[3 * i] * w[0] + r[3 * i + 1] * w[1] + r[3 * i + 2] * w[2], w[i], 1e-14);
    const double theta = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
    EXPECT_NEAR(r[0] + r[4] + r[8], 1 + 2 * std::cos(theta), 1e-14);
  }
  const Mat3 id = rotation_increment(0, 0, 0);
  EXPECT_EQ(id, (Mat3{1, 0, 0, 0, 1, 0, 0, 0, 1}));
}

TEST(ResidualModel, ObservationMeetsTheGroundPlane) {
  const AdjustProblem p = two_photo_problem();
  const PoseState s = camera_poses(p, std::vector<double>(13, 0.0));
  // Ray (0.1, 0.2, 1) of a camera facing down with its top to the north: east +0.1, south 0.2.
  const GroundHit h = project_observation(p, s, 0, 0.1, 0.2, 0.0, true);
  EXPECT_NEAR(h.east, 10.0, 1e-12);
  EXPECT_NEAR(h.north, -20.0, 1e-12);
  EXPECT_NEAR(h.lambda, 100.0, 1e-12);
  // Raising the tie plane by 1 m brings the point towards the nadir by 1 % of its offset.
  EXPECT_NEAR(h.d_height[0], -0.1, 1e-12);
  EXPECT_NEAR(h.d_height[1], 0.2, 1e-12);
}

TEST(ResidualModel, HorizontalRayGivesAFarFiniteGroundPoint) {
  AdjustProblem p = two_photo_problem();
  p.rotations0[0] = {1, 0, 0, 0, 0, -1, 0, 1, 0};  // looking north, level
  const PoseState s = camera_poses(p, std::vector<double>(13, 0.0));
  const GroundHit h = project_observation(p, s, 0, 0.0, 0.0, 0.0, true);
  EXPECT_TRUE(std::isfinite(h.north));
  EXPECT_NEAR(h.north, 1e8, 1.0);
}

TEST(ResidualModel, TieSigmaIsOneAndAHalfWorkingPixels) {
  const AdjustProblem p = two_photo_problem();
  const std::vector<Vec3> pos = {Vec3{0, 0, 100}, Vec3{0, 0, 100}};
  // Scale 3 (working scale 0.5 in both photos) and GSD 0.1 m: 1.5 x 0.1 / 0.5.
  TieSigma s = tie_sigma(p, pos, 0, 0.0);
  EXPECT_NEAR(s.sigma, 0.3, 1e-15);
  EXPECT_NEAR(s.d_a, 0.0015, 1e-15);
  // A camera 0.2 m above the tie counts as 0.5 m and its derivative vanishes.
  const std::vector<Vec3> low = {Vec3{0, 0, 0.2}, Vec3{0, 0, 100}};
  s = tie_sigma(p, low, 0, 0.0);
  EXPECT_NEAR(s.sigma, 1.5 * (0.5 / 1000 + 0.1), 1e-15);
  EXPECT_EQ(s.d_a, 0.0);
}

TEST(ResidualModel, ResidualLayout) {
  AdjustProblem p = two_photo_problem();
  std::vector<double> x(13, 0.0);
  EXPECT_EQ(residual_vector(p, x, std::vector<uint8_t>{0}).size(), 13u);  // 6n + 1
  EXPECT_EQ(residual_vector(p, x, std::vector<uint8_t>{1}).size(), 15u);
  // Relief stage: an inactive tie still has its height prior, centred on the ground height.
  x.push_back(3.0);
  x[12] = 1.0;
  const std::vector<double> r = residual_vector(p, x, std::vector<uint8_t>{0});
  ASSERT_EQ(r.size(), 14u);
  EXPECT_DOUBLE_EQ(r.back(), (3.0 - 1.0) / p.sigma_relief);
  EXPECT_DOUBLE_EQ(r[12], 1.0 / p.sigma_ground);
  // Without self-calibration the poses still carry G x T zero lens terms.
  EXPECT_EQ(camera_poses(p, x).lens_terms, std::vector<double>(2, 0.0));
  EXPECT_TRUE(camera_poses(p, x).has_heights);
}

// Writes a problem, a vector and a mask for the numpy re-implementation.
JsonValue problem_json(const AdjustProblem& p, const std::vector<double>& x, const std::vector<uint8_t>& mask) {
  JsonValue o = JsonValue::empty_object();
  std::vector<double> groups, ta, tb, oa, ob, rot, pos, m;
  for (size_t g : p.photo_group) groups.push_back(static_cast<double>(g));
  for (size_t t = 0; t < p.tie_photo_a.size(); ++t) {
    ta.push_back(static_cast<double>(p.tie_photo_a[t]));
    tb.push_back(static_cast<double>(p.tie_photo_b[t]));
    oa.insert(oa.end(), {p.obs_a[t].x, p.obs_a[t].y});
    ob.insert(ob.end(), {p.obs_b[t].x, p.obs_b[t].y});
  }
  for (const Mat3& r : p.rotations0) rot.insert(rot.end(), r.begin(), r.end());
  for (const Vec3& c : p.positions0) pos.insert(pos.end(), c.begin(), c.end());
  for (uint8_t b : mask) m.push_back(b);
  o.set_f64s("photo_group", groups);
  o.set_f64s("focal", p.focal);
  o.set_f64s("tie_photo_a", ta);
  o.set_f64s("tie_photo_b", tb);
  o.set_f64s("obs_a", oa);
  o.set_f64s("obs_b", ob);
  o.set_f64s("tie_scale", p.tie_scale);
  o.set_f64s("lens_prior_mean", p.lens_prior_mean);
  o.set_f64s("lens_prior_sigma", p.lens_prior_sigma);
  o.set_f64s("rotations0", rot);
  o.set_f64s("positions0", pos);
  o.set_f64("photo_count", static_cast<double>(p.photo_count));
  o.set_f64("group_count", static_cast<double>(p.group_count));
  o.set_f64("terms_per_group", static_cast<double>(p.terms_per_group));
  o.set_f64("first_height", static_cast<double>(p.first_height));
  o.set_f64s("pose_sigma", std::vector<double>(p.pose_sigma.begin(), p.pose_sigma.end()));
  o.set_f64("sigma_ground", p.sigma_ground);
  o.set_f64("sigma_relief", p.sigma_relief);
  o.set_f64("relief_ref_height", p.relief_ref_height);
  o.set_bool("selfcal", p.selfcal);
  o.set_f64s("params", x);
  o.set_f64s("mask", m);
  return o;
}

// A 10-photo flight with radial distortion and a few gross outliers, as the adjustment sees it.
AdjustProblem oracle_problem(bool selfcal, size_t terms) {
  test::FlightSpec spec;
  spec.legs = 2;
  spec.photos_per_leg = 5;
  spec.ties_per_pair = 25;
  spec.true_selfcal = {-0.04, 0.01};
  test::Flight f = test::make_flight(spec);
  f.ties[0].b[0].x += 40.0;
  f.ties[1].a[3].y -= 25.0;
  return test::flight_problem(f, selfcal, terms);
}

TEST(ResidualModel, AgreesWithNumpyAndScipyLeastSquares) {
  TSL_REQUIRE_PYTHON("numpy scipy");
  struct Case {
    const char* name;
    bool selfcal;
    size_t terms;
    double relief_ref_height;  // 0: the tie-height prior in plain metres
  };
  const Case cases[] = {{"fixed lens", false, 2, 0.0}, {"full self-calibration", true, 6, 65.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AdjustProblem p = oracle_problem(c.selfcal, c.terms);
    p.relief_ref_height = c.relief_ref_height;
    const std::vector<uint8_t> mask(p.tie_photo_a.size(), 1);
    // Residuals at a perturbed planar vector and at a relief vector with tie heights.
    std::vector<double> x(p.first_height, 0.0);
    for (size_t k = 0; k < x.size(); ++k) x[k] = 0.001 * static_cast<double>(k % 7);
    std::vector<double> xr = x;
    for (size_t t = 0; t < mask.size(); ++t) xr.push_back(0.5 - 0.01 * static_cast<double>(t % 50));
    const LmResult lm = levenberg_marquardt(p, std::vector<double>(p.first_height, 0.0), mask, 200);
    double cost = 0.0;
    for (double r : residual_vector(p, lm.params, mask)) cost += pseudo_huber(r);

    test::TempDir dir;
    JsonValue doc = JsonValue::empty_object();
    doc.set("planar", problem_json(p, x, mask));
    doc.set("relief", problem_json(p, xr, mask));
    doc.set_f64s("r_planar", residual_vector(p, x, mask));
    doc.set_f64s("r_relief", residual_vector(p, xr, mask));
    std::string text;
    json_write(doc, text, false);
    test::write_file_text(dir / "problem.json", text);
    const auto out = test::run_command(test::python3() + " " +
                                       test::shell_quote((test::source_dir() / "tests/adjust/ba_oracle.py").string()) +
                                       " " + test::shell_quote((dir / "problem.json").string()));
    ASSERT_EQ(out.exit_code, 0) << out.err;
    auto res = json_parse(out.out);
    ASSERT_TRUE(res.has_value()) << out.out;
    EXPECT_LT((*res)["residual_rel_diff"].as_f64(), 1e-12) << out.out;
    const double scipy_cost = (*res)["scipy_cost"].as_f64();
    EXPECT_LT(std::abs(cost - scipy_cost), 0.01 * scipy_cost) << "ours " << cost << " scipy " << scipy_cost;
  }
}

}  // namespace
}  // namespace tsl
