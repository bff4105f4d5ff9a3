#include "adjust/solver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "adjust/synthetic_flight.h"
#include "linalg/cholesky.h"
#include "logx.h"
#include "util/par.h"

namespace tsl {
namespace {

TEST(Solver, PseudoHuberLossAndWeight) {
  EXPECT_EQ(pseudo_huber(0.0), 0.0);
  EXPECT_DOUBLE_EQ(pseudo_huber(3.0), 9.0 * (std::sqrt(2.0) - 1.0));
  EXPECT_NEAR(pseudo_huber(1e-4), 0.5e-8, 1e-15);  // quadratic near zero
  EXPECT_DOUBLE_EQ(pseudo_huber_weight(3.0), 1.0 / std::sqrt(2.0));
  EXPECT_NEAR(pseudo_huber(3e6), 9e6, 10.0);  // linear far out
}

// Whether element (a, b) of the base columns lies inside the normal matrix's envelope, and
// its value there.
bool inside_envelope(const NormalEquations& ne, size_t a, size_t b) {
  size_t r = ne.position[a], c = ne.position[b];
  if (r < c) std::swap(r, c);
  const size_t block = static_cast<size_t>(std::upper_bound(ne.h.start.begin(), ne.h.start.end(), r) - ne.h.start.begin()) - 1;
  return c >= ne.h.start[ne.h.first[block]];
}

double normal_at(const NormalEquations& ne, size_t a, size_t b) {
  size_t r = ne.position[a], c = ne.position[b];
  if (r < c) std::swap(r, c);
  return ne.h.values[static_cast<size_t>(ne.h.row_base[r] + static_cast<std::ptrdiff_t>(c))];
}

TEST(Solver, NormalEquationsEqualDenseProducts) {
  // Random sparse rows with repeated columns and tie heights, against J^T W J formed densely.
  constexpr size_t PHOTOS = 20;
  constexpr size_t P0 = 150;  // 120 photo columns and a border of 30: more than two column items
  constexpr size_t HEIGHTS = 7;
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_int_distribution<uint32_t> col(0, P0 - 1);
  std::vector<JacobianRow> rows(300);
  std::vector<double> w(rows.size()), r(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    for (int e = 0; e < 9; ++e) rows[i].entries.push_back({col(rng), u(rng)});
    rows[i].entries.push_back(rows[i].entries[2]);  // a repeated column
    if (i % 3 == 0) {
      rows[i].has_height = true;
      rows[i].height_index = i % HEIGHTS;
      rows[i].height_deriv = u(rng);
    }
    w[i] = 0.5 + 0.5 * u(rng);
    r[i] = u(rng);
  }
  const NormalLayout layout = normal_layout(rows, PHOTOS, P0);
  const NormalEquations ne = normal_equations(rows, w, r, HEIGHTS, layout);
  std::vector<double> h(P0 * P0, 0.0), g(P0, 0.0), hhh(HEIGHTS, 0.0), gh(HEIGHTS, 0.0);
  std::vector<std::vector<double>> cross(HEIGHTS, std::vector<double>(P0, 0.0));
  for (size_t i = 0; i < rows.size(); ++i) {
    std::vector<double> dense(P0, 0.0);
    for (const JacEntry& e : rows[i].entries) dense[e.col] += e.value;
    for (size_t a = 0; a < P0; ++a) {
      g[a] += w[i] * r[i] * dense[a];
      for (size_t b = 0; b < P0; ++b) h[a * P0 + b] += w[i] * dense[a] * dense[b];
    }
    if (rows[i].has_height) {
      const size_t j = rows[i].height_index;
      const double hd = rows[i].height_deriv;
      hhh[j] += w[i] * hd * hd;
      gh[j] += w[i] * hd * r[i];
      for (size_t a = 0; a < P0; ++a) cross[j][a] += w[i] * hd * dense[a];
    }
  }
  for (size_t a = 0; a < P0; ++a) {
    EXPECT_NEAR(ne.g[a], g[a], 1e-12);
    for (size_t b = 0; b <= a; ++b) {
      if (!inside_envelope(ne, a, b)) {
        ASSERT_EQ(h[a * P0 + b], 0.0) << "nonzero outside the envelope at " << a << " " << b;
        continue;
      }
      ASSERT_NEAR(normal_at(ne, a, b), h[a * P0 + b], 1e-12) << a << " " << b;
    }
  }
  for (size_t j = 0; j < HEIGHTS; ++j) {
    EXPECT_NEAR(ne.hhh[j], hhh[j], 1e-12);
    EXPECT_NEAR(ne.gh[j], gh[j], 1e-12);
    std::vector<double> got(P0, 0.0);
    for (size_t e = 0; e < ne.cross[j].size(); ++e) {
      if (e > 0) {
        EXPECT_LT(ne.cross[j][e - 1].col, ne.cross[j][e].col);  // sorted, merged
      }
      got[ne.cross[j][e].col] = ne.cross[j][e].value;
    }
    for (size_t a = 0; a < P0; ++a) EXPECT_NEAR(got[a], cross[j][a], 1e-12);
    // Eliminating the height couples every pair of its columns: the layout must hold them.
    for (const JacEntry& x : ne.cross[j]) {
      for (const JacEntry& y : ne.cross[j]) {
        ASSERT_TRUE(inside_envelope(ne, x.col, y.col)) << x.col << " " << y.col;
      }
    }
  }
  // A row holding a NaN is left out instead of poisoning every sum.
  rows[5].entries[0].value = std::numeric_limits<double>::quiet_NaN();
  const NormalEquations poisoned = normal_equations(rows, w, r, HEIGHTS, layout);
  for (double v : poisoned.h.values) ASSERT_TRUE(std::isfinite(v));
}

AdjustProblem flight_problem(const test::Flight& f) { return test::flight_problem(f, false, 2); }

test::Flight small_flight(bool relief) {
  test::FlightSpec spec;
  spec.legs = 2;
  spec.photos_per_leg = 4;
  spec.ties_per_pair = 30;
  spec.relief = relief;
  return test::make_flight(spec);
}

std::vector<std::string> captured(const std::function<void()>& body) { return test::capture_log(body); }

TEST(Solver, OneEvaluationReturnsTheInput) {
  const test::Flight f = small_flight(false);
  const AdjustProblem p = flight_problem(f);
  const std::vector<double> x(p.first_height, 0.25);
  const LmResult lm = levenberg_marquardt(p, x, std::vector<uint8_t>(p.tie_photo_a.size(), 1), 1);
  EXPECT_EQ(lm.params, x);
  EXPECT_EQ(lm.evals, 1u);
}

TEST(Solver, ReliefStageEliminatesTieHeightsExactly) {
  // Solving with the heights eliminated must reach the true relief: heights within a few
  // centimetres of the generator's ground under every tie.
  const test::Flight f = small_flight(true);
  AdjustProblem p = flight_problem(f);
  p.rotations0 = f.true_rotations;  // exact poses: only the heights are unknown
  p.positions0 = f.true_positions;
  p.pose_sigma = {1e-4, 1e-4, 1e-4, 1e-6, 1e-6, 1e-6};
  const size_t ties = p.tie_photo_a.size();
  std::vector<double> x(p.first_height + ties, 0.0);
  const std::vector<uint8_t> mask(ties, 1);
  const LmResult lm = levenberg_marquardt(p, x, mask, 60);
  const std::vector<TieGap> gaps = tie_residuals(p, lm.params, mask);
  test::FlightSpec spec;
  spec.relief = true;
  double worst = 0.0;
  for (const TieGap& g : gaps) {
    const double truth = test::ground_height(spec, (g.east_a + g.east_b) / 2, (g.north_a + g.north_b) / 2);
    worst = std::max(worst, std::abs(g.height - truth));
  }
  // 0.3 px of tie noise over baselines of a third of the height: a few centimetres.
  EXPECT_LT(worst, 0.5);
  EXPECT_GT(lm.evals, 2u);
}

TEST(Solver, FirstStepEqualsTheDenseDampedSolveWithHeightsAsColumns) {
  // Oracle: the damped normal equations over every parameter, tie heights included as
  // ordinary columns, robust weights on the tie rows and unit weights on the prior rows,
  // formed densely and solved with the dense Cholesky. Eliminating the
  // heights into the sparse photo system must give the same step, at the damping of the first
  // trial. A sigma_relief of 1e7 m leaves the deactivated ties' heights with pivots below
  // 1e-12, which take the path damped by a fixed amount instead of by scaling.
  for (double sigma_relief : {20.0, 1e7}) {
    SCOPED_TRACE(testing::Message() << "sigma_relief " << sigma_relief);
    const test::Flight f = small_flight(true);
    AdjustProblem p = flight_problem(f);
    p.sigma_relief = sigma_relief;
    const size_t ties = p.tie_photo_a.size();
    std::vector<uint8_t> mask(ties, 1);
    for (size_t t = 0; t < ties; t += 7) mask[t] = 0;
    std::vector<double> x(p.first_height + ties, 0.0);
    for (size_t t = 0; t < ties; ++t) x[p.first_height + t] = 0.5 * std::sin(static_cast<double>(t));
    // A photo ten sigmas off its position prior: the prior's row keeps its full weight, where a
    // robust loss would have cut it to a third and let the ties drag the photo further.
    x[0] = 10.0 * p.pose_sigma[0];
    const LmResult lm = levenberg_marquardt(p, x, mask, 2);
    ASSERT_EQ(lm.evals, 2u);

    const size_t n = x.size();
    const std::vector<JacobianRow> rows = jacobian_parallel(p, x, mask);
    const std::vector<double> r = residual_vector(p, x, mask);
    std::vector<double> h(n * n, 0.0), g(n, 0.0);
    const size_t tie_rows = 2 * active_count(mask);  // the robust loss is for them alone
    for (size_t i = 0; i < rows.size(); ++i) {
      std::vector<double> dense(n, 0.0);
      for (const JacEntry& e : rows[i].entries) dense[e.col] += e.value;
      if (rows[i].has_height) dense[p.first_height + rows[i].height_index] += rows[i].height_deriv;
      const double w = i < tie_rows ? pseudo_huber_weight(r[i]) : 1.0;
      for (size_t a = 0; a < n; ++a) {
        if (dense[a] == 0.0) continue;
        g[a] += w * r[i] * dense[a];
        for (size_t b = 0; b < n; ++b) h[a * n + b] += w * dense[a] * dense[b];
      }
    }
    for (size_t c = 0; c < n; ++c) h[c * n + c] += std::max(h[c * n + c], 1e-12) * 1e-3;  // the first lambda
    ASSERT_TRUE(cholesky_factor(h, n));
    std::vector<double> minus_g(n);
    for (size_t c = 0; c < n; ++c) minus_g[c] = -g[c];
    const std::vector<double> step = cholesky_solve(h, n, minus_g);
    double worst = 0.0, largest = 0.0;
    for (size_t c = 0; c < n; ++c) {
      worst = std::max(worst, std::abs(lm.params[c] - (x[c] + step[c])));
      largest = std::max(largest, std::abs(step[c]));
    }
    // The two differ by the rounding of two factorisations of a system whose condition the
    // weak priors make large; 1e-6 of the step is far below any fault in the elimination.
    EXPECT_LT(worst, 1e-6 * largest) << "largest step " << largest;
  }
}

TEST(Solver, NormalEquationsDoNotDependOnTheThreadCount) {
  // The rows are summed in fixed chunks added in chunk order, so one thread (a loop started on
  // a worker runs inline, one chunk matrix at a time) gives the bits of many.
  const test::Flight f = small_flight(true);
  const AdjustProblem p = flight_problem(f);
  const size_t ties = p.tie_photo_a.size();
  const std::vector<uint8_t> mask(ties, 1);
  std::vector<double> x(p.first_height + ties, 0.0);
  for (size_t c = 0; c < x.size(); ++c) x[c] = 0.01 * std::cos(static_cast<double>(c));
  const std::vector<JacobianRow> rows = jacobian_parallel(p, x, mask);
  const std::vector<double> r = residual_vector(p, x, mask);
  std::vector<double> w(r.size());
  for (size_t i = 0; i < r.size(); ++i) w[i] = pseudo_huber_weight(r[i]);
  const NormalLayout layout = normal_layout(rows, p.photo_count, p.first_height);
  const NormalEquations many = normal_equations(rows, w, r, ties, layout);
  const NormalEquations one =
      std::move(par_map(2, 2, [&](size_t k) { return k == 0 ? normal_equations(rows, w, r, ties, layout) : NormalEquations{}; })[0]);
  EXPECT_EQ(many.h.values, one.h.values);
  EXPECT_EQ(many.g, one.g);
  EXPECT_EQ(many.height_schur, one.height_schur);
  EXPECT_EQ(many.height_schur_g, one.height_schur_g);
}

TEST(Solver, PhotoWithoutTiesOrPriorKeepsItsMetadataPose) {
  // Photo 3 loses its ties and its pose prior is switched off (infinite sigmas): its block of
  // the normal matrix is zero, so only the damping makes the system solvable. The solve must
  // leave it where it was instead of returning NaN.
  const test::Flight f = small_flight(false);
  AdjustProblem p = flight_problem(f);
  const double inf = std::numeric_limits<double>::infinity();
  p.pose_sigma = {inf, inf, inf, inf, inf, inf};
  std::vector<uint8_t> mask(p.tie_photo_a.size(), 1);
  for (size_t t = 0; t < mask.size(); ++t)
    if (p.tie_photo_a[t] == 3 || p.tie_photo_b[t] == 3) mask[t] = 0;
  const LmResult lm = levenberg_marquardt(p, std::vector<double>(p.first_height, 0.0), mask, 20);
  for (double v : lm.params) ASSERT_TRUE(std::isfinite(v));
  for (size_t k = 0; k < 6; ++k) EXPECT_EQ(lm.params[6 * 3 + k], 0.0) << "parameter " << k;
}

TEST(Solver, RobustRoundsDropPlantedOutliersAndLogFallingRms) {
  test::Flight f = small_flight(false);
  // Three gross mismatches.
  f.ties[0].b[0].x += 60.0;
  f.ties[1].a[1].y += 80.0;
  f.ties[2].b[2].x -= 50.0;
  const AdjustProblem p = flight_problem(f);
  const size_t ties = p.tie_photo_a.size();
  RoundsResult out;
  const auto lines = captured([&] {
    out = robust_rounds(p, std::vector<double>(p.first_height, 0.0), std::vector<uint8_t>(ties, 1), 60, 3, "planar");
  });
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(out.mask[0], 0);
  EXPECT_EQ(out.mask[f.ties[0].n + 1], 0);
  EXPECT_EQ(out.mask[f.ties[0].n + f.ties[1].n + 2], 0);
  EXPECT_GT(active_count(out.mask), ties - 10);
  EXPECT_EQ(lines[0].rfind("  BA planar round 1: tie RMS ", 0), 0u) << lines[0];
  double before = 0, after = 0;
  ASSERT_EQ(std::sscanf(lines[0].c_str(), "  BA planar round 1: tie RMS %lf m -> %lf m", &before, &after), 2);
  EXPECT_LT(after, before);
}

TEST(Solver, UnusableTiesAreSwitchedOffBeforeTheSolve) {
  test::Flight f = small_flight(false);
  AdjustProblem p = flight_problem(f);
  p.obs_a[4] = {std::numeric_limits<double>::quiet_NaN(), 0.0};  // e.g. from an injected file
  std::vector<uint8_t> mask(p.tie_photo_a.size(), 1);
  const auto lines = captured([&] {
    const RoundsResult out = robust_rounds(p, std::vector<double>(p.first_height, 0.0), mask, 60, 2, "planar");
    for (double v : out.params) ASSERT_TRUE(std::isfinite(v));
    EXPECT_EQ(out.mask[4], 0);
  });
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].find("NaN"), std::string::npos) << lines[0];

  // A camera looking up meets the ground behind itself: all its ties go.
  p = flight_problem(f);
  p.rotations0[1] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  size_t with_photo_1 = 0;
  for (size_t t = 0; t < p.tie_photo_a.size(); ++t) with_photo_1 += p.tie_photo_a[t] == 1 || p.tie_photo_b[t] == 1;
  ASSERT_GT(with_photo_1, 0u);
  EXPECT_EQ(deactivate_unusable_ties(p, std::vector<double>(p.first_height, 0.0), mask), with_photo_1);
}

TEST(Solver, NoActiveTieLogsZeroRmsAndEndsTheStage) {
  const test::Flight f = small_flight(false);
  const AdjustProblem p = flight_problem(f);
  const auto lines = captured([&] {
    robust_rounds(p, std::vector<double>(p.first_height, 0.0), std::vector<uint8_t>(p.tie_photo_a.size(), 0), 60, 3,
                  "relief");
  });
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("  BA relief round 1: tie RMS 0.000 m -> 0.000 m (median NaN m, 0 pts, ", 0), 0u)
      << lines[0];
}

}  // namespace
}  // namespace tsl
