#include "linalg/eigen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>

#include "support/py_oracle.h"
#include "util/error.h"

namespace tsl {
namespace {

std::vector<double> random_symmetric(size_t n, uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> a(n * n);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j <= i; ++j) a[i * n + j] = a[j * n + i] = u(rng);
  return a;
}

// Against numpy.linalg.eigh: the same spectrum, and for each eigenvalue the same vector up to
// sign (random spectra have well-separated eigenvalues). n = 500 takes about two seconds.
TEST(JacobiEigen, MatchesNumpyEighOnRandomSymmetricMatrices) {
  TSL_REQUIRE_PYTHON("numpy");
  const std::vector<size_t> sizes = {1, 2, 3, 9, 30, 100, 500};
  test::PyOracle py;
  std::vector<double> size_list;
  for (size_t n : sizes) {
    py.put("a" + std::to_string(n), random_symmetric(n, static_cast<uint32_t>(n)));
    size_list.push_back(static_cast<double>(n));
  }
  py.put("sizes", size_list);
  ASSERT_EQ(py.run(R"(
for n in load('sizes').astype(int):
    w, v = np.linalg.eigh(load(f'a{n}').reshape(n, n))
    save(f'w{n}', w)
    save(f'v{n}', v)
)"),
            "");
  for (size_t n : sizes) {
    SCOPED_TRACE(testing::Message() << "n = " << n);
    const std::vector<double> a = random_symmetric(n, static_cast<uint32_t>(n));
    const std::vector<double> want_w = py.get("w" + std::to_string(n));
    const std::vector<double> want_v = py.get("v" + std::to_string(n));
    const EigenResult got = jacobi_eigen(a, n);
    ASSERT_EQ(got.values.size(), n);
    ASSERT_EQ(got.vectors.size(), n * n);
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), size_t{0});
    std::sort(order.begin(), order.end(), [&](size_t x, size_t y) { return got.values[x] < got.values[y]; });
    for (size_t k = 0; k < n; ++k) {
      const size_t g = order[k];
      // Entries are in [-1, 1], so eigenvalues are O(sqrt(n)); rounding stays far below 1e-10.
      ASSERT_NEAR(got.values[g], want_w[k], 1e-10) << "eigenvalue " << k;
      double dot = 0.0, norm = 0.0;
      for (size_t r = 0; r < n; ++r) {
        dot += got.vectors[r * n + g] * want_v[r * n + k];
        norm += got.vectors[r * n + g] * got.vectors[r * n + g];
      }
      ASSERT_NEAR(norm, 1.0, 1e-12) << "eigenvector " << k;
      ASSERT_NEAR(std::fabs(dot), 1.0, 1e-9) << "eigenvector " << k;
    }
  }
}

TEST(JacobiEigen, DiagonalMatrixNeedsNoRotation) {
  const std::vector<double> a = {3.0, 0.0, 0.0, 0.0, -1.0, 0.0, 0.0, 0.0, 2.0};
  const EigenResult e = jacobi_eigen(a, 3);
  EXPECT_EQ(e.values, (std::vector<double>{3.0, -1.0, 2.0}));
  EXPECT_EQ(e.vectors, (std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
}

TEST(JacobiEigen, EqualDiagonalEntriesRotateByFortyFiveDegrees) {
  // theta = 0 gives t = 1, c = s = 1/sqrt(2): one rotation diagonalises the matrix exactly.
  const std::vector<double> a = {1.0, 2.0, 2.0, 1.0};
  const EigenResult e = jacobi_eigen(a, 2);
  EXPECT_NEAR(e.values[0], -1.0, 1e-15);
  EXPECT_NEAR(e.values[1], 3.0, 1e-15);
  const double h = 1.0 / std::sqrt(2.0);
  const double want_v[] = {h, h, -h, h};  // columns (h, -h) and (h, h)
  for (size_t k = 0; k < 4; ++k) EXPECT_NEAR(e.vectors[k], want_v[k], 1e-15) << k;
}

TEST(JacobiEigen, InputIsCopiedAndShortListsAreInternalErrors) {
  const std::vector<double> a = {2.0, 1.0, 1.0, 2.0};
  const std::vector<double> before = a;
  jacobi_eigen(a, 2);
  EXPECT_EQ(a, before);
  EXPECT_THROW(jacobi_eigen(a, 3), InternalError);
  EXPECT_THROW(null_vector9(a), InternalError);
}

TEST(NullVector9, ReturnsTheEigenvectorOfTheSmallestEigenvalue) {
  TSL_REQUIRE_PYTHON("numpy");
  // The Gram matrix of 20 random 9-vectors that barely extend along one axis: the shape of a
  // two-view estimation's normal matrix, with a clear smallest eigenvalue.
  std::mt19937_64 rng(5);
  std::normal_distribution<double> g;
  std::vector<double> rows(20 * 9);
  for (double& v : rows) v = g(rng);
  for (size_t r = 0; r < 20; ++r) rows[r * 9 + 4] *= 1e-3;
  std::vector<double> a(81, 0.0);
  for (size_t r = 0; r < 20; ++r)
    for (size_t i = 0; i < 9; ++i)
      for (size_t j = 0; j < 9; ++j) a[i * 9 + j] += rows[r * 9 + i] * rows[r * 9 + j];
  test::PyOracle py;
  py.put("a", a);
  ASSERT_EQ(py.run("w, v = np.linalg.eigh(load('a').reshape(9, 9))\nsave('v', v[:, 0])\n"), "");
  const std::vector<double> want = py.get("v");
  const std::array<double, 9> got = null_vector9(a);
  double dot = 0.0;
  for (size_t i = 0; i < 9; ++i) dot += got[i] * want[i];
  EXPECT_NEAR(std::fabs(dot), 1.0, 1e-10);
}

TEST(NullVector9, TiesGoToTheLowerIndexAndNaNNeverWins) {
  struct Case {
    const char* name;
    std::array<double, 9> diagonal;
    size_t want;  // a diagonal matrix's eigenvectors are the unit vectors
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {
      {"two equal smallest", {5, 4, 3, 1, 1, 2, 6, 7, 8}, 3},
      {"NaN in front", {nan, 4, 3, 2, 1, 2, 6, 7, 8}, 4},
      {"NaN after the minimum", {5, 1, nan, 2, 3, 2, 6, 7, 8}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<double> a(81, 0.0);
    for (size_t i = 0; i < 9; ++i) a[i * 9 + i] = c.diagonal[i];
    const std::array<double, 9> v = null_vector9(a);
    for (size_t i = 0; i < 9; ++i) EXPECT_EQ(v[i], i == c.want ? 1.0 : 0.0) << i;
  }
}

}  // namespace
}  // namespace tsl
