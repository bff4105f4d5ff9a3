#include "linalg/cholesky.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "support/cpu_paths.h"
#include "support/py_oracle.h"
#include "util/error.h"
#include "util/par.h"

namespace tsl {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
// Marks the strict upper triangle, which the factorisation must neither read nor write.
constexpr double UPPER_SENTINEL = -12345.0;

// A random SPD matrix M M^T / n + I (condition number below about 5), lower triangle only;
// the upper triangle holds the sentinel.
std::vector<double> random_spd(size_t n, uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> g;
  std::vector<double> m(n * n);
  for (double& v : m) v = g(rng);
  std::vector<double> a(n * n, UPPER_SENTINEL);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j <= i; ++j) {
      double s = 0.0;
      for (size_t k = 0; k < n; ++k) s += m[i * n + k] * m[j * n + k];
      a[i * n + j] = s / static_cast<double>(n) + (i == j ? 1.0 : 0.0);
    }
  return a;
}

std::vector<double> symmetric_full(const std::vector<double>& lower, size_t n) {
  std::vector<double> a(n * n);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j <= i; ++j) a[i * n + j] = a[j * n + i] = lower[i * n + j];
  return a;
}

// Sizes around the 64-column panels: one panel, a one-column second panel, several panels.
TEST(Cholesky, FactorAndSolveMatchNumpyOnRandomSpdMatrices) {
  TSL_REQUIRE_PYTHON("numpy");
  const size_t sizes[] = {1, 2, 3, 63, 64, 65, 129, 200, 500};
  std::vector<std::vector<double>> matrices;
  std::vector<double> size_list;
  test::PyOracle py;
  for (size_t n : sizes) {
    matrices.push_back(random_spd(n, static_cast<uint32_t>(n)));
    std::vector<double> x_true(n);
    for (size_t i = 0; i < n; ++i) x_true[i] = std::sin(static_cast<double>(i) + 1.0);
    py.put("a" + std::to_string(n), symmetric_full(matrices.back(), n));
    py.put("x" + std::to_string(n), x_true);
    size_list.push_back(static_cast<double>(n));
  }
  py.put("sizes", size_list);
  ASSERT_EQ(py.run(R"(
for n in load('sizes').astype(int):
    a = load(f'a{n}').reshape(n, n)
    save(f'l{n}', np.linalg.cholesky(a))
    save(f'b{n}', a @ load(f'x{n}'))
)"),
            "");
  for (size_t t = 0; t < std::size(sizes); ++t) {
    const size_t n = sizes[t];
    SCOPED_TRACE(testing::Message() << "n = " << n);
    const std::vector<double> want_l = py.get("l" + std::to_string(n));
    const std::vector<double> b = py.get("b" + std::to_string(n));
    std::vector<double> a = matrices[t];
    ASSERT_TRUE(cholesky_factor(a, n));
    // Entries of L are O(1) here; the two factorisations differ by rounding only.
    for (size_t i = 0; i < n; ++i)
      for (size_t j = 0; j < n; ++j) {
        if (j <= i)
          ASSERT_NEAR(a[i * n + j], want_l[i * n + j], 1e-12) << "L[" << i << "][" << j << "]";
        else
          ASSERT_EQ(a[i * n + j], UPPER_SENTINEL) << "upper element (" << i << ", " << j << ") written";
      }
    // Manufactured solution: b = A x, so solving must give x back (condition number < 5).
    const std::vector<double> x = cholesky_solve(a, n, b);
    ASSERT_EQ(x.size(), n);
    for (size_t i = 0; i < n; ++i) ASSERT_NEAR(x[i], std::sin(static_cast<double>(i) + 1.0), 1e-12) << "x[" << i << "]";
  }
}

// Every path against the plain one, on sizes with one, two and several panels of trailing
// updates (the part with a vector path). Entries of L are O(1) and the condition number below
// 5, so fused multiply-adds move each entry by far less than 1e-12.
TEST(Cholesky, EveryPathGivesThePlainFactorWithinRounding) {
  for (size_t n : {65u, 200u, 300u}) {
    const std::vector<double> a0 = random_spd(n, static_cast<uint32_t>(n) + 7);
    std::vector<double> plain = a0;
    {
      test::ScopedCpuFeatures plain_path({});
      ASSERT_TRUE(cholesky_factor(plain, n));
    }
    for (const test::CpuPath& path : test::cpu_paths()) {
      SCOPED_TRACE(testing::Message() << "n = " << n << ", " << path.name);
      test::ScopedCpuFeatures on_path(path.features);
      std::vector<double> a = a0;
      ASSERT_TRUE(cholesky_factor(a, n));
      for (size_t k = 0; k < n * n; ++k) ASSERT_NEAR(a[k], plain[k], 1e-12) << "element " << k;
      // A failing pivot past the first panel is found on this path too.
      std::vector<double> bad = a0;
      bad[n * n - 1] = -1.0;
      EXPECT_FALSE(cholesky_factor(bad, n));
    }
  }
}

TEST(Cholesky, SmallFactorsAndFailingPivots) {
  struct Case {
    const char* name;
    size_t n;
    std::vector<double> a;
    bool ok;
    std::vector<double> want;  // the lower triangle after the call (also after a failure)
  };
  const double tiny = std::numeric_limits<double>::denorm_min();
  const Case cases[] = {
      {"[[4]] factors to [[2]]", 1, {4.0}, true, {2.0}},
      {"2x2", 2, {4.0, 0.0, 2.0, 5.0}, true, {2.0, 0.0, 1.0, 2.0}},
      // u = 1 - 2^2 = -3 at the second pivot, after A[0][0] and A[1][0] were written.
      {"indefinite fails at the second pivot", 2, {1.0, 2.0, 2.0, 1.0}, false, {1.0, 2.0, 2.0, 1.0}},
      {"zero pivot", 1, {0.0}, false, {0.0}},
      {"negative pivot", 1, {-1.0}, false, {-1.0}},
      {"NaN pivot", 1, {NaN}, false, {NaN}},
      {"infinite pivot", 1, {std::numeric_limits<double>::infinity()}, false, {std::numeric_limits<double>::infinity()}},
      {"positive subnormal pivot passes", 1, {tiny}, true, {std::sqrt(tiny)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<double> a = c.a;
    EXPECT_EQ(cholesky_factor(a, c.n), c.ok);
    for (size_t i = 0; i < c.n; ++i)
      for (size_t j = 0; j <= i; ++j) {
        const double got = a[i * c.n + j], want = c.want[i * c.n + j];
        if (std::isnan(want))
          EXPECT_TRUE(std::isnan(got));
        else
          EXPECT_EQ(got, want) << "(" << i << ", " << j << ")";
      }
  }
}

TEST(Cholesky, IndefiniteMatrixFailsInALaterPanel) {
  // Identity with a negative last diagonal entry: the failing pivot lies in the second panel,
  // after a trailing update has run.
  const size_t n = 100;
  std::vector<double> a(n * n, 0.0);
  for (size_t i = 0; i < n; ++i) a[i * n + i] = 1.0;
  a[n * n - 1] = -1.0;
  EXPECT_FALSE(cholesky_factor(a, n));
}

TEST(Cholesky, EmptyMatrixSucceedsAndShortListsAreInternalErrors) {
  std::vector<double> none;
  EXPECT_TRUE(cholesky_factor(none, 0));
  EXPECT_TRUE(cholesky_solve(none, 0, none).empty());
  std::vector<double> short_a(8, 1.0);
  EXPECT_THROW(cholesky_factor(short_a, 3), InternalError);
  std::vector<double> l = {2.0, 0.0, 1.0, 2.0};
  std::vector<double> short_b = {1.0};
  EXPECT_THROW(cholesky_solve(l, 2, short_b), InternalError);
}

// Run inside a parallel worker the factorisation runs on one thread; on the test's own
// thread it uses every processor. The bits must agree, on every path.
TEST(Cholesky, ResultDoesNotDependOnTheThreadCount) {
  const size_t n = 300;
  const std::vector<double> a0 = random_spd(n, 11);
  for (const test::CpuPath& path : test::cpu_paths()) {
    SCOPED_TRACE(path.name);
    test::ScopedCpuFeatures on_path(path.features);
    std::vector<double> parallel = a0;
    ASSERT_TRUE(cholesky_factor(parallel, n));
    std::vector<double> serial = a0;
    par_map(2, 2, [&](size_t i) {
      if (i == 0) {
        EXPECT_TRUE(cholesky_factor(serial, n));
      }
      return 0;
    });
    for (size_t k = 0; k < n * n; ++k)
      ASSERT_EQ(std::bit_cast<uint64_t>(parallel[k]), std::bit_cast<uint64_t>(serial[k])) << "element " << k;
  }
}

}  // namespace
}  // namespace tsl
