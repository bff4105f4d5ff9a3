#include "adjust/jacobian.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "adjust/bundle_adjust.h"
#include "adjust/synthetic_flight.h"
#include "util/par.h"

namespace tsl {
namespace {

// A random problem: photos on a line at about 80 m, random ties between neighbours with
// observations anywhere in a wide frame, one or two camera groups.
AdjustProblem random_problem(size_t photos, size_t ties, bool selfcal, size_t terms, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  AdjustProblem p;
  p.photo_count = photos;
  p.group_count = photos > 2 ? 2 : 1;
  p.terms_per_group = terms;
  p.selfcal = selfcal;
  p.first_height = 6 * photos + 1 + (selfcal ? p.group_count * terms : 0);
  for (size_t k = 0; k < photos; ++k) {
    p.photo_group.push_back(k % p.group_count);
    p.focal.push_back(900.0 + 200.0 * u(rng));
    p.rotations0.push_back(rotation_increment(0.05 * u(rng), 0.05 * u(rng), 3.0 * u(rng)));
    // Looking down: turn the camera's +z towards -up.
    p.rotations0.back() = test::mat_mul(p.rotations0.back(), test::nadir_rotation(0.0));
    p.positions0.push_back({20.0 * static_cast<double>(k) + u(rng), 5.0 * u(rng), 80.0 + 3.0 * u(rng)});
  }
  for (size_t t = 0; t < ties; ++t) {
    const size_t a = t % photos;
    const size_t b = (a + 1 + t / photos % (photos - 1)) % photos;
    p.tie_photo_a.push_back(a);
    p.tie_photo_b.push_back(b);
    p.obs_a.push_back({0.6 * u(rng), 0.45 * u(rng)});
    p.obs_b.push_back({0.6 * u(rng), 0.45 * u(rng)});
    p.tie_scale.push_back(1.5 + u(rng));
  }
  p.pose_sigma = {3.0, 3.0, 2.0, 0.0087, 0.0087, 0.052};
  for (size_t l = 0; l < (selfcal ? p.group_count * terms : 0); ++l) {
    p.lens_prior_mean.push_back(0.001 * static_cast<double>(l));
    p.lens_prior_sigma.push_back(0.1);
  }
  return p;
}

struct Case {
  const char* name;
  size_t photos;
  size_t ties;
  bool selfcal;
  size_t terms;
  double relief_ref_height;  // 0: the tie-height prior in plain metres
};

const Case CASES[] = {
    {"two photos, fixed lens", 2, 6, false, 2, 0.0},
    {"five photos, radial self-calibration", 5, 30, true, 2, 75.0},
    {"twelve photos, full self-calibration", 12, 80, true, 6, 0.0},
    {"twelve photos, fixed lens, scaled height prior", 12, 80, false, 6, 82.0},
};

// Central differences of step 1e-6 on residuals of order 1..100 carry about 1e-8 of rounding
// and 1e-9 of truncation error, so 1e-3 leaves room only for a wrong derivative.
constexpr double MAX_REL = 1e-3;

TEST(Jacobian, MatchesCentralDifferencesInBothStages) {
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    AdjustProblem p = random_problem(c.photos, c.ties, c.selfcal, c.terms, 7 + c.photos);
    p.relief_ref_height = c.relief_ref_height;
    const std::vector<double> relief = jacobian_check_vector(p);
    const std::vector<double> planar(relief.begin(), relief.begin() + static_cast<long>(p.first_height));
    const std::vector<uint8_t> mask(c.ties, 1);
    for (const std::vector<double>* x : {&planar, &relief}) {
      SCOPED_TRACE(x == &planar ? "planar" : "relief");
      const JacobianCheck check = compare_jacobian(p, *x, jacobian_parallel(p, *x, mask));
      EXPECT_LT(check.worst_rel, MAX_REL) << jacobian_check_text(check, p.first_height);
      EXPECT_EQ(check.columns.size(), p.first_height + (x == &relief ? 5 : 0));
    }
  }
}

TEST(Jacobian, ExactAtLargeRotationVectors) {
  // The rotation columns follow exp([w]x) itself, not only its tangent at w = 0.
  AdjustProblem p = random_problem(5, 30, true, 6, 3);
  std::vector<double> x = jacobian_check_vector(p);
  for (size_t k = 0; k < p.photo_count; ++k) {
    x[6 * k + 3] = 0.3;
    x[6 * k + 4] = -0.2;
    x[6 * k + 5] = 0.5;
  }
  const std::vector<uint8_t> mask(30, 1);
  const JacobianCheck check = compare_jacobian(p, x, jacobian_parallel(p, x, mask));
  EXPECT_LT(check.worst_rel, MAX_REL) << jacobian_check_text(check, p.first_height);
}

TEST(Jacobian, CheckCatchesOneWrongDerivative) {
  const AdjustProblem p = random_problem(5, 30, true, 6, 11);
  const std::vector<double> x = jacobian_check_vector(p);
  const std::vector<uint8_t> mask(30, 1);
  struct Fault {
    const char* name;
    size_t row;
    size_t entry;  // entry index in the row, or SIZE_MAX for the height derivative
  };
  const Fault faults[] = {
      {"sigma by camera height", 0, 0},
      {"position east of photo a", 0, 2},
      {"rotation w0 of photo a", 3, 3},
      {"lens term of photo b", 41, 25},
      {"tie height", 3, SIZE_MAX},
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.name);
    std::vector<JacobianRow> rows = jacobian_parallel(p, x, mask);
    ASSERT_LT(f.row, rows.size());
    if (f.entry == SIZE_MAX) {
      rows[f.row].height_deriv *= 1.01;
    } else {
      ASSERT_LT(f.entry, rows[f.row].entries.size());
      // Off by 1 % of the column's largest derivative: well inside what a wrong sign or a
      // dropped term produces, well above the differences' own error.
      const uint32_t col = rows[f.row].entries[f.entry].col;
      double largest = 0.0;
      for (const JacobianRow& r : rows)
        for (const JacEntry& e : r.entries)
          if (e.col == col) largest = std::max(largest, std::abs(e.value));
      rows[f.row].entries[f.entry].value += 0.01 * largest;
    }
    const JacobianCheck check = compare_jacobian(p, x, rows);
    EXPECT_GT(check.worst_rel, MAX_REL);
    EXPECT_NE(jacobian_check_text(check, p.first_height).find("JACCHECK col "), std::string::npos);
  }
}

TEST(Jacobian, RowsFollowResidualOrderAndLayout) {
  const AdjustProblem p = random_problem(3, 4, true, 2, 5);
  std::vector<double> x = jacobian_check_vector(p);
  x.resize(p.first_height);
  const std::vector<uint8_t> mask{1, 0, 1, 1};
  const std::vector<JacobianRow> rows = jacobian_parallel(p, x, mask);
  // 3 active ties x 2, 18 pose priors, the ground, 2 groups x 2 lens terms.
  ASSERT_EQ(rows.size(), 6u + 18 + 1 + 4);
  ASSERT_EQ(rows.size(), residual_vector(p, x, mask).size());
  // A planar tie row: 2 sigma entries, 2 x (6 pose + 2 lens), then the ground column last.
  EXPECT_EQ(rows[0].entries.size(), 2u + 16 + 1);
  EXPECT_EQ(rows[0].entries.back().col, 6u * 3);
  EXPECT_FALSE(rows[0].has_height);
  EXPECT_EQ(rows[6].entries[0].col, 0u);
  EXPECT_EQ(rows[24].entries[0].col, 18u);  // ground prior
  EXPECT_DOUBLE_EQ(rows[24].entries[0].value, 1.0 / p.sigma_ground);
}

TEST(Jacobian, ParallelRowsEqualRowsBuiltInline) {
  const AdjustProblem p = random_problem(12, 200, true, 6, 13);
  const std::vector<double> x = jacobian_check_vector(p);
  const std::vector<uint8_t> mask(200, 1);
  const std::vector<JacobianRow> threaded = jacobian_parallel(p, x, mask);
  // A loop started on a worker runs inline: the same rows on one thread.
  const auto inline_rows = par_map(2, 2, [&](size_t k) {
    return k == 0 ? jacobian_parallel(p, x, mask) : std::vector<JacobianRow>{};
  })[0];
  ASSERT_EQ(threaded.size(), inline_rows.size());
  for (size_t i = 0; i < threaded.size(); ++i) {
    ASSERT_EQ(threaded[i].entries.size(), inline_rows[i].entries.size());
    for (size_t e = 0; e < threaded[i].entries.size(); ++e) {
      EXPECT_EQ(threaded[i].entries[e].col, inline_rows[i].entries[e].col);
      EXPECT_EQ(threaded[i].entries[e].value, inline_rows[i].entries[e].value);
    }
  }
}

TEST(Jacobian, CheckOptionRunsTheCheckOnStderr) {
  test::FlightSpec spec;
  spec.legs = 2;
  spec.photos_per_leg = 3;
  spec.ties_per_pair = 10;
  AdjustOptions options;
  options.selfcal = true;
  options.relief = false;
  options.iterations = 1;
  options.rounds = 1;
  {
    test::Flight f = test::make_flight(spec);
    options.jacobian_check = true;
    testing::internal::CaptureStderr();
    bundle_adjust({f.images, f.meta_rotations, f.meta_positions}, f.ties, options);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("JACCHECK worst rel err "), std::string::npos) << err;
    EXPECT_NE(err.find("(np0 43)"), std::string::npos) << err;  // 6 photos x 6 + ground + 6 lens terms
    EXPECT_EQ(err.find("JACCHECK col "), std::string::npos) << err;
  }
  test::Flight f = test::make_flight(spec);
  options.jacobian_check = false;
  testing::internal::CaptureStderr();
  bundle_adjust({f.images, f.meta_rotations, f.meta_positions}, f.ties, options);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace tsl
