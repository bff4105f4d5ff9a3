#include "gains/gains.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/py_oracle.h"

namespace tsl {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

std::vector<ImageMeta> photos_with_exposures(const std::vector<double>& exposures) {
  std::vector<ImageMeta> images(exposures.size());
  for (size_t k = 0; k < exposures.size(); ++k) images[k].exposure = exposures[k];
  return images;
}

PairMatch colour_pair(uint64_t i, uint64_t j, uint64_t n, std::array<double, 3> d) {
  PairMatch p;
  p.i = i;
  p.j = j;
  p.n = n;
  p.log_ratio = d;
  return p;
}

struct GainCase {
  std::string name;
  std::vector<double> exposures;
  std::vector<PairMatch> pairs;
  std::vector<Gain> want;  // to 1e-4, the precision the report keeps
  std::string line;
};

TEST(SolveGains, WorkedCases) {
  const GainCase cases[] = {
      {"exposure prior alone: m / e", {1, 2, 4}, {}, {{2, 2, 2}, {1, 1, 1}, {0.5, 0.5, 0.5}},
       "  gains: min 0.500 max 2.000 (EXIF exposure spread 4.00x)"},
      // w = 6.25 and x_i = w d / (2 w + 0.25) = 0.04902 for red, the negative for blue.
      {"one colour pair between equal exposures",
       {1, 1},
       {colour_pair(0, 1, 100, {0.1, 0.0, -0.1})},
       {{1.0502, 1.0, 0.9522}, {0.9522, 1.0, 1.0502}},
       "  gains: min 0.952 max 1.050 (EXIF exposure spread 1.00x)"},
      {"400 ties weigh as much as 200 (w = 12.5: x = 12.5 d / 25.25)",
       {1, 1},
       {colour_pair(0, 1, 400, {0.1, 0.1, 0.1})},
       {{1.0508, 1.0508, 1.0508}, {0.9517, 0.9517, 0.9517}},
       "  gains: min 0.952 max 1.051 (EXIF exposure spread 1.00x)"},
      {"a pair without colour ratios adds nothing", {2, 2}, {[] {
                                                                PairMatch p;
                                                                p.i = 0;
                                                                p.j = 1;
                                                                p.n = 100;
                                                                p.dense = true;
                                                                return p;
                                                              }()},
       {{1, 1, 1}, {1, 1, 1}}, "  gains: min 1.000 max 1.000 (EXIF exposure spread 1.00x)"},
      {"no valid exposure: every prior 0", {NaN, 0, -3, INF}, {}, {{1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}},
       "  gains: min 1.000 max 1.000 (EXIF exposure spread 1.00x)"},
      // 0, negative and infinite exposures stay out of the median (of 1 and 4: 2.5).
      {"invalid exposures are left out of the median", {1, 0, 4, -1, INF},
       {}, {{2.5, 2.5, 2.5}, {1, 1, 1}, {0.625, 0.625, 0.625}, {1, 1, 1}, {1, 1, 1}},
       "  gains: min 0.625 max 2.500 (EXIF exposure spread 4.00x)"},
      {"a single photo keeps gain 1", {0.02}, {}, {{1, 1, 1}},
       "  gains: min 1.000 max 1.000 (EXIF exposure spread 1.00x)"},
      // Regression: one NaN ratio used to turn every gain connected to it into NaN.
      {"a non-finite ratio is skipped", {1, 1, 1},
       {colour_pair(0, 1, 100, {NaN, 0, 0}), colour_pair(1, 2, 50, {0, INF, 0}), colour_pair(0, 2, 100, {0.1, 0.0, -0.1})},
       {{1.0502, 1.0, 0.9522}, {1, 1, 1}, {0.9522, 1.0, 1.0502}},
       "  gains: min 0.952 max 1.050 (EXIF exposure spread 1.00x)"},
  };
  for (const GainCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::LogCapture log;
    const std::vector<ImageMeta> images = photos_with_exposures(c.exposures);
    const std::vector<Gain> got = solve_gains(images, c.pairs);
    ASSERT_EQ(got.size(), c.want.size());
    for (size_t k = 0; k < got.size(); ++k)
      for (size_t ch = 0; ch < 3; ++ch) EXPECT_NEAR(got[k][ch], c.want[k][ch], 5e-5) << "photo " << k << " channel " << ch;
    EXPECT_EQ(log.lines(), std::vector<std::string>{c.line});
  }
}

// Astronomically large ratios overflow exp() in the solution: those gains fall back to 1
// instead of reaching the renderer as infinity.
TEST(SolveGains, NonFiniteGainBecomesOne) {
  test::LogCapture log;
  const std::vector<ImageMeta> images = photos_with_exposures({1, 1});
  const std::vector<PairMatch> pairs = {colour_pair(0, 1, 200, {1e6, 0, -1e6})};
  const std::vector<Gain> got = solve_gains(images, pairs);
  EXPECT_EQ(got[0][0], 1.0);  // exp(+5e5): overflow
  EXPECT_EQ(got[1][2], 1.0);
  EXPECT_EQ(got[0][1], 1.0);  // green had no difference
  EXPECT_EQ(got[0][2], 0.0);  // exp(-5e5) underflows to a finite 0
}

// The normal equations against an independent formulation: numpy's least squares over the
// stacked weighted rows sqrt(w) (x_i - x_j) = sqrt(w) d and 0.5 x_i = 0.5 p_i, on a fixed
// irregular graph with unequal tie counts and exposures.
TEST(SolveGains, MatchesStackedLeastSquares) {
  TSL_REQUIRE_PYTHON("numpy");
  const std::vector<double> exposures = {0.010, 0.012, 0.009, 0.015, NaN, 0.011};
  const std::vector<PairMatch> pairs = {
      colour_pair(0, 1, 120, {0.05, -0.02, 0.01}), colour_pair(1, 2, 30, {-0.1, 0.04, 0.2}),
      colour_pair(2, 3, 260, {0.3, 0.1, -0.05}),   colour_pair(0, 3, 12, {0.2, 0.0, 0.1}),
      colour_pair(3, 4, 75, {-0.07, -0.01, 0.02}), colour_pair(1, 4, 5, {0.0, 0.3, -0.3}),
  };
  test::LogCapture log;
  const std::vector<ImageMeta> images = photos_with_exposures(exposures);
  const std::vector<Gain> got = solve_gains(images, pairs);

  std::vector<double> rows;  // i, j, n, d_r, d_g, d_b
  for (const PairMatch& p : pairs) {
    rows.insert(rows.end(), {static_cast<double>(p.i), static_cast<double>(p.j), static_cast<double>(p.n)});
    rows.insert(rows.end(), p.log_ratio->begin(), p.log_ratio->end());
  }
  test::PyOracle py;
  py.put("pairs", rows);
  py.put("exposure", exposures);
  ASSERT_EQ(py.run(R"(
e = load("exposure"); pairs = load("pairs").reshape(-1, 6); n = len(e)
ok = np.isfinite(e) & (e > 0)
m = np.median(e[ok]); p = np.where(ok, np.log(m / np.where(ok, e, 1)), 0)
out = np.zeros((n, 3))
for c in range(3):
    A = []; b = []
    for i, j, t, *d in pairs:
        s = 0.25 * np.sqrt(min(t, 200)); row = np.zeros(n); row[int(i)] = s; row[int(j)] = -s
        A.append(row); b.append(s * d[c])
    for i in range(n):
        row = np.zeros(n); row[i] = 0.5; A.append(row); b.append(0.5 * p[i])
    out[:, c] = np.exp(np.linalg.lstsq(np.array(A), np.array(b), rcond=None)[0])
save("gains", out)
)"),
            "");
  const std::vector<double> want = py.get("gains");
  for (size_t k = 0; k < got.size(); ++k)
    for (size_t ch = 0; ch < 3; ++ch) EXPECT_NEAR(got[k][ch], want[k * 3 + ch], 1e-12) << k << "/" << ch;
}

}  // namespace
}  // namespace tsl
