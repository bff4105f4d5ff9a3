#include "linalg/stats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "support/py_oracle.h"
#include "util/error.h"

namespace tsl {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

TEST(Median, SmallLists) {
  struct Case {
    const char* name;
    std::vector<double> values;
    double want;  // NaN: expect NaN
  };
  const Case cases[] = {
      {"empty", {}, NaN},
      {"NaNs only", {NaN, NaN}, NaN},
      {"NaN skipped", {NaN, 3.0, 1.0}, 2.0},
      {"even count", {4.0, 1.0, 3.0, 2.0}, 2.5},
      {"odd count", {5.0, -1.0, 3.0}, 3.0},
      {"infinities count", {INF, 1.0, 2.0}, 2.0},
      {"mean of infinite middles", {-INF, INF}, NaN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const double got = median(c.values);
    if (std::isnan(c.want))
      EXPECT_TRUE(std::isnan(got)) << got;
    else
      EXPECT_EQ(got, c.want);
  }
}

TEST(Percentile, SmallLists) {
  struct Case {
    const char* name;
    std::vector<double> values;
    double p, want;
  };
  const std::vector<double> five = {50.0, 10.0, 40.0, 20.0, 30.0};
  const Case cases[] = {
      {"p = 90 interpolates at 3.6", five, 90.0, 46.0},
      {"p = 0 is the minimum", five, 0.0, 10.0},
      {"p = 100 is the maximum", five, 100.0, 50.0},
      {"p = 50 is the median", five, 50.0, 30.0},
      {"a single value answers every p", {7.0}, 37.0, 7.0},
      {"NaN skipped", {NaN, 1.0, NaN, 3.0}, 25.0, 1.5},
      {"NaNs only", {NaN}, 50.0, NaN},
      {"empty", {}, 50.0, NaN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const double got = percentile(c.values, c.p);
    if (std::isnan(c.want))
      EXPECT_TRUE(std::isnan(got)) << got;
    else
      EXPECT_NEAR(got, c.want, 1e-12);
  }
}

TEST(Percentile, PositionOutsideZeroToHundredIsAnInternalError) {
  const std::vector<double> v = {1.0, 2.0};
  for (double p : {-1.0, 100.5, NaN}) {
    SCOPED_TRACE(p);
    EXPECT_THROW(percentile(v, p), InternalError);
  }
}

TEST(RobustStatistics, MatchNumpyNanmedianAndNanpercentile) {
  TSL_REQUIRE_PYTHON("numpy");
  std::mt19937_64 rng(3);
  std::normal_distribution<double> g(10.0, 5.0);
  std::uniform_int_distribution<int> hole(0, 9);
  const size_t sizes[] = {1, 2, 7, 100, 1001};
  const std::vector<double> ps = {0.0, 2.0, 25.0, 50.0, 73.3, 98.0, 100.0};
  test::PyOracle py;
  std::vector<std::vector<double>> lists;
  for (size_t n : sizes) {
    std::vector<double> v(n);
    for (double& x : v) x = hole(rng) == 0 ? NaN : g(rng);  // about one value in ten missing
    v[0] = g(rng);
    py.put("v" + std::to_string(lists.size()), v);
    lists.push_back(v);
  }
  py.put("ps", ps);
  ASSERT_EQ(py.run(R"(
for k in range(5):
    v = load(f'v{k}')
    save(f'med{k}', np.nanmedian(v))
    save(f'pct{k}', np.nanpercentile(v, load('ps')))
)"),
            "");
  for (size_t k = 0; k < lists.size(); ++k) {
    SCOPED_TRACE(testing::Message() << "list of " << lists[k].size());
    // numpy also takes the mean of the two middle values: equal to the last bit.
    EXPECT_EQ(median(lists[k]), py.get("med" + std::to_string(k))[0]);
    const std::vector<double> want = py.get("pct" + std::to_string(k));
    // numpy interpolates with a different but equivalent formula: a few ulps apart.
    for (size_t i = 0; i < ps.size(); ++i)
      EXPECT_NEAR(percentile(lists[k], ps[i]), want[i], 1e-12 * (1.0 + std::fabs(want[i]))) << "p = " << ps[i];
  }
}

}  // namespace
}  // namespace tsl
