#include "linalg/envelope_cholesky.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "linalg/cholesky.h"
#include "support/cpu_paths.h"
#include "util/error.h"

namespace tsl {
namespace {

// A symmetric block-sparse matrix in its given order: the dense form (the oracle's input) and
// the envelope that holds it.
struct Sparse {
  size_t n = 0;
  std::vector<double> dense;  // n x n, both triangles
  BlockEnvelope env;
};

// Random values on the diagonal blocks and on the blocks of `edges` (block pairs, either
// order), made positive definite by a dominant diagonal; first[I] is the lowest block that
// block I couples with.
Sparse block_sparse(const std::vector<size_t>& sizes, const std::vector<std::pair<size_t, size_t>>& edges,
                    uint64_t seed) {
  std::vector<size_t> first(sizes.size());
  for (size_t b = 0; b < sizes.size(); ++b) first[b] = b;
  for (auto [u, v] : edges) {
    if (u < v) std::swap(u, v);
    first[u] = std::min(first[u], v);
  }
  Sparse s;
  s.env = block_envelope(sizes, first);
  s.n = envelope_order(s.env);
  s.dense.assign(s.n * s.n, 0.0);
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  auto fill = [&](size_t bi, size_t bj) {  // block (bi, bj), bi >= bj, and its mirror
    for (size_t r = s.env.start[bi]; r < s.env.start[bi + 1]; ++r)
      for (size_t c = s.env.start[bj]; c < s.env.start[bj + 1] && c <= r; ++c) s.dense[r * s.n + c] = s.dense[c * s.n + r] = u(rng);
  };
  for (size_t b = 0; b < sizes.size(); ++b) fill(b, b);
  for (auto [a, b] : edges) fill(std::max(a, b), std::min(a, b));
  for (size_t r = 0; r < s.n; ++r) {
    double sum = 0.0;
    for (size_t c = 0; c < s.n; ++c) sum += std::abs(s.dense[r * s.n + c]);
    s.dense[r * s.n + r] = sum + 0.5;
  }
  for (size_t bi = 0; bi < sizes.size(); ++bi)
    for (size_t r = s.env.start[bi]; r < s.env.start[bi + 1]; ++r)
      for (size_t c = s.env.start[first[bi]]; c <= r; ++c)
        s.env.values[static_cast<size_t>(s.env.row_base[r] + static_cast<std::ptrdiff_t>(c))] = s.dense[r * s.n + c];
  return s;
}

double env_at(const BlockEnvelope& m, size_t r, size_t c) {
  return m.values[static_cast<size_t>(m.row_base[r] + static_cast<std::ptrdiff_t>(c))];
}

size_t block_of_row(const BlockEnvelope& m, size_t r) {
  return static_cast<size_t>(std::upper_bound(m.start.begin(), m.start.end(), r) - m.start.begin()) - 1;
}

struct Shape {
  std::string name;
  std::vector<size_t> sizes;
  std::vector<std::pair<size_t, size_t>> edges;
};

std::vector<Shape> shapes() {
  std::vector<Shape> out;
  {
    Shape s{"scalar tridiagonal", std::vector<size_t>(40, 1), {}};
    for (size_t i = 0; i + 1 < 40; ++i) s.edges.emplace_back(i, i + 1);
    out.push_back(s);
  }
  {
    // A strip of photos, each coupled with the next three, and a border of 7 shared
    // parameters coupled with all: the adjustment's shape.
    Shape s{"photo blocks with a dense border", std::vector<size_t>(30, 6), {}};
    s.sizes.push_back(7);
    for (size_t i = 0; i < 30; ++i) {
      for (size_t k = 1; k <= 3 && i + k < 30; ++k) s.edges.emplace_back(i, i + k);
      s.edges.emplace_back(30, i);
    }
    out.push_back(s);
  }
  out.push_back({"one block", {5}, {}});
  out.push_back({"no couplings", std::vector<size_t>(10, 6), {}});
  {
    // Every block coupled with block 0: the envelope is the whole lower triangle.
    Shape s{"full envelope", std::vector<size_t>(12, 6), {}};
    for (size_t i = 1; i < 12; ++i) s.edges.emplace_back(0, i);
    out.push_back(s);
  }
  {
    // Sizes 1 to 7 against each other, so every tile shape and the scalar tails run;
    // long reaches give rows longer than the four-wide lanes.
    Shape s{"mixed block sizes", {1, 2, 3, 4, 5, 6, 7, 3, 1, 7, 2, 5}, {}};
    const std::pair<size_t, size_t> e[] = {{0, 5}, {1, 2}, {2, 6}, {3, 9}, {4, 5}, {6, 11}, {7, 8}, {8, 10}, {0, 11}};
    s.edges.assign(std::begin(e), std::end(e));
    out.push_back(s);
  }
  return out;
}

TEST(EnvelopeCholesky, FactorEqualsTheDenseFactorAndNeverFillsOutsideTheEnvelope) {
  uint64_t seed = 1;
  for (const Shape& shape : shapes()) {
    SCOPED_TRACE(shape.name);
    Sparse s = block_sparse(shape.sizes, shape.edges, seed++);
    std::vector<double> dense_l = s.dense;
    ASSERT_TRUE(cholesky_factor(dense_l, s.n));
    ASSERT_TRUE(envelope_cholesky_factor(s.env, 4));
    for (size_t r = 0; r < s.n; ++r) {
      const size_t c0 = s.env.start[s.env.first[block_of_row(s.env, r)]];
      for (size_t c = 0; c <= r; ++c) {
        // Outside the envelope the dense factor is exactly zero: its sums hold only zeros.
        if (c < c0)
          ASSERT_EQ(dense_l[r * s.n + c], 0.0) << "fill at (" << r << ", " << c << ")";
        else  // entries are O(1) with a dominant diagonal; the two differ by rounding only
          ASSERT_NEAR(env_at(s.env, r, c), dense_l[r * s.n + c], 1e-12) << "L(" << r << ", " << c << ")";
      }
    }
  }
}

// Every path against the plain one: the same envelope within rounding (entries O(1), diagonally
// dominant, so fused multiply-adds move each by far less than 1e-12).
TEST(EnvelopeCholesky, EveryPathGivesThePlainFactorWithinRounding) {
  uint64_t seed = 50;
  for (const Shape& shape : shapes()) {
    const Sparse s = block_sparse(shape.sizes, shape.edges, seed++);
    BlockEnvelope plain = s.env;
    {
      test::ScopedCpuFeatures plain_path({});
      ASSERT_TRUE(envelope_cholesky_factor(plain, 4));
    }
    for (const test::CpuPath& path : test::cpu_paths()) {
      SCOPED_TRACE(shape.name + ", " + path.name);
      test::ScopedCpuFeatures on_path(path.features);
      BlockEnvelope m = s.env;
      ASSERT_TRUE(envelope_cholesky_factor(m, 4));
      for (size_t k = 0; k < m.values.size(); ++k) ASSERT_NEAR(m.values[k], plain.values[k], 1e-12) << "value " << k;
    }
  }
}

TEST(EnvelopeCholesky, SolveReturnsTheManufacturedSolutionAndQuadraticFormMatches) {
  uint64_t seed = 100;
  for (const Shape& shape : shapes()) {
    SCOPED_TRACE(shape.name);
    Sparse s = block_sparse(shape.sizes, shape.edges, seed++);
    std::vector<double> x(s.n), b(s.n, 0.0);
    for (size_t i = 0; i < s.n; ++i) x[i] = std::sin(static_cast<double>(i) + 1.0);
    double q = 0.0;
    for (size_t r = 0; r < s.n; ++r)
      for (size_t c = 0; c < s.n; ++c) {
        b[r] += s.dense[r * s.n + c] * x[c];
        q += x[r] * s.dense[r * s.n + c] * x[c];
      }
    EXPECT_NEAR(envelope_quadratic_form(s.env, x), q, 1e-12 * std::abs(q));
    ASSERT_TRUE(envelope_cholesky_factor(s.env, 4));
    const std::vector<double> got = envelope_cholesky_solve(s.env, b);
    ASSERT_EQ(got.size(), s.n);
    // Diagonally dominant by 0.5 at least: the condition number stays small.
    for (size_t i = 0; i < s.n; ++i) ASSERT_NEAR(got[i], x[i], 1e-12) << "x[" << i << "]";
  }
}

TEST(EnvelopeCholesky, FailingPivots) {
  struct Case {
    const char* name;
    size_t row;  // the diagonal element that is replaced
    double value;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"negative pivot in the border block", 186, -1.0},
      {"zero pivot in the first block", 0, 0.0},
      {"NaN pivot mid-way", 20, std::numeric_limits<double>::quiet_NaN()},
      {"infinite pivot", 7, inf},
  };
  const std::vector<Shape> all = shapes();
  const Shape& shape = all[1];  // 30 photo blocks and the border: rows 0 .. 186
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sparse s = block_sparse(shape.sizes, shape.edges, 7);
    s.env.values[static_cast<size_t>(s.env.row_base[c.row] + static_cast<std::ptrdiff_t>(c.row))] = c.value;
    EXPECT_FALSE(envelope_cholesky_factor(s.env, 4));
  }
}

TEST(EnvelopeCholesky, EmptyMatrixAndCallerBugs) {
  BlockEnvelope none = block_envelope({}, {});
  EXPECT_EQ(envelope_order(none), 0u);
  EXPECT_TRUE(envelope_cholesky_factor(none, 4));
  EXPECT_TRUE(envelope_cholesky_solve(none, {}).empty());
  const std::vector<size_t> sizes = {2, 2};
  EXPECT_THROW(block_envelope(sizes, std::vector<size_t>{0}), InternalError);     // one first per block
  EXPECT_THROW(block_envelope(sizes, std::vector<size_t>{0, 2}), InternalError);  // reaching past itself
  BlockEnvelope m = block_envelope(sizes, std::vector<size_t>{0, 0});
  EXPECT_THROW(envelope_cholesky_solve(m, std::vector<double>{1.0, 2.0, 3.0}), InternalError);
}

TEST(EnvelopeCholesky, ResultDoesNotDependOnTheThreadCount) {
  // A long strip of photo blocks with a border, so that many rows run at once and wait for
  // each other.
  std::vector<size_t> sizes(400, 6);
  sizes.push_back(7);
  std::vector<std::pair<size_t, size_t>> edges;
  for (size_t i = 0; i < 400; ++i) {
    for (size_t k = 1; k <= 20 && i + k < 400; k += 3) edges.emplace_back(i, i + k);
    edges.emplace_back(400, i);
  }
  const Sparse s = block_sparse(sizes, edges, 5);
  for (const test::CpuPath& path : test::cpu_paths()) {
    test::ScopedCpuFeatures on_path(path.features);
    BlockEnvelope one = s.env;
    ASSERT_TRUE(envelope_cholesky_factor(one, 1));
    for (size_t threads : {2, 3, 8}) {
      SCOPED_TRACE(testing::Message() << path.name << ", " << threads << " threads");
      BlockEnvelope many = s.env;
      ASSERT_TRUE(envelope_cholesky_factor(many, threads));
      for (size_t k = 0; k < one.values.size(); ++k)
        ASSERT_EQ(std::bit_cast<uint64_t>(one.values[k]), std::bit_cast<uint64_t>(many.values[k])) << "value " << k;
    }
  }
  // A failing pivot near the end stops every thread instead of leaving one waiting.
  BlockEnvelope bad = s.env;
  bad.values[static_cast<size_t>(bad.row_base[2390] + 2390)] = -1.0;
  EXPECT_FALSE(envelope_cholesky_factor(bad, 8));
}

}  // namespace
}  // namespace tsl
