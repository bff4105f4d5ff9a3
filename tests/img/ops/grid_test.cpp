#include "img/ops/grid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "img/ops/ops_test_util.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {
namespace {

TEST(SmoothGrid, ConstantStaysConstantAndSmallSigmaChangesNothing) {
  struct Row {
    size_t w, h;
    double sigma;
  };
  // The last rows have radii past the grid, which keep reflecting.
  const Row rows[] = {{9, 7, 1.0}, {1, 5, 2.0}, {4, 3, 3.0}, {2, 2, 10.0}};
  for (const Row& r : rows) {
    SCOPED_TRACE(format("{}x{} sigma {}", r.w, r.h, r.sigma));
    const std::vector<double> grid(r.w * r.h, 12.5);
    for (double v : smooth_grid(grid, r.w, r.h, r.sigma)) EXPECT_NEAR(v, 12.5, 1e-12);
  }
  std::vector<double> ramp(20);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<double>(i * i);
  EXPECT_EQ(smooth_grid(ramp, 5, 4, 0.1), ramp);
  EXPECT_EQ(smooth_grid(ramp, 5, 4, std::nan("")), ramp);
  EXPECT_TRUE(smooth_grid({}, 0, 3, 1.0).empty());
  EXPECT_THROW(smooth_grid(ramp, 4, 4, 1.0), InternalError);
}

TEST(SmoothGrid, NanSpreadsOnlyWithinItsWindow) {
  std::vector<double> grid(15 * 15, 1.0);
  grid[7 * 15 + 7] = std::nan("");
  const std::vector<double> out = smooth_grid(grid, 15, 15, 1.0);  // radius 4
  EXPECT_TRUE(std::isnan(out[7 * 15 + 11]));
  EXPECT_FALSE(std::isnan(out[7 * 15 + 12]));
  EXPECT_FALSE(std::isnan(out[2 * 15 + 7]));
}

TEST(SmoothGrid, AgreesWithScipyReflect) {
  TSL_REQUIRE_OPS_ORACLE();
  test::TempDir dir;
  std::mt19937 rng(21);
  std::normal_distribution<double> dist(30.0, 5.0);
  std::vector<double> grid(37 * 23);
  for (double& v : grid) v = dist(rng);
  test::save_raw<double>(dir / "grid.f64", grid);
  const std::string code = R"(
g = np.fromfile('grid.f64', np.float64).reshape(23, 37)
for i, s in enumerate((0.6, 1.5, 4.0, 9.0)):
    scipy.ndimage.gaussian_filter(g, s, mode='reflect', truncate=4.0).tofile(f'out{i}.f64')
)";
  ASSERT_TRUE(test::run_python_oracle(dir.path(), code));
  const double sigmas[] = {0.6, 1.5, 4.0, 9.0};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(format("sigma {}", sigmas[i]));
    const std::vector<double> want = test::load_raw<double>(dir / format("out{}.f64", i));
    const std::vector<double> got = smooth_grid(grid, 37, 23, sigmas[i]);
    ASSERT_EQ(want.size(), got.size());
    // Both sum in double; the order differs.
    for (size_t k = 0; k < got.size(); ++k) ASSERT_NEAR(got[k], want[k], 1e-10) << "value " << k;
  }
}

// A terrain-sized grid with a wide kernel is smoothed on the workers; inside a worker it
// runs on the calling thread. Both must give the same bits.
TEST(SmoothGrid, WideKernelOnALargeGridIsTheSameOnTheWorkers) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> dist(-3.0, 3.0);
  const size_t w = 310, h = 205;
  std::vector<double> grid(w * h);
  for (double& v : grid) v = dist(rng);
  for (const double sigma : {8.0, 24.0}) {
    const std::vector<double> spread = smooth_grid(grid, w, h, sigma);
    const auto inside = par_map(2, 2, [&](size_t) { return smooth_grid(grid, w, h, sigma); });
    ASSERT_TRUE(spread == inside[0] && spread == inside[1]) << "sigma " << sigma;
  }
}

TEST(UpsampleGrid, NodesAreExactAndEdgesExtrapolate) {
  // A 3 x 3 node grid of a plane a + b c + d r: bilinear interpolation and its linear
  // extrapolation past the last node must reproduce the plane.
  const float a = 5.0f, b = 2.0f, d = -3.0f;
  std::vector<float> nodes(9);
  for (size_t r = 0; r < 3; ++r)
    for (size_t c = 0; c < 3; ++c) nodes[r * 3 + c] = a + b * static_cast<float>(c) + d * static_cast<float>(r);
  const std::vector<float> up = upsample_grid(nodes, 3, 3, 24, 24, 8);
  ASSERT_EQ(up.size(), 24u * 24u);
  for (size_t r = 0; r < 3; ++r)
    for (size_t c = 0; c < 3; ++c) EXPECT_EQ(up[(8 * r) * 24 + 8 * c], nodes[r * 3 + c]) << r << "," << c;
  for (size_t y = 0; y < 24; ++y) {
    for (size_t x = 0; x < 24; ++x) {
      const float plane = a + b * static_cast<float>(x) / 8.0f + d * static_cast<float>(y) / 8.0f;
      ASSERT_NEAR(up[y * 24 + x], plane, 1e-5f) << x << "," << y;
    }
  }
}

TEST(UpsampleGrid, BadNodeGridsAreInternalErrors) {
  const std::vector<float> nodes(6, 1.0f);
  EXPECT_THROW(upsample_grid(nodes, 1, 6, 4, 4, 2), InternalError);
  EXPECT_THROW(upsample_grid(nodes, 2, 3, 4, 4, 0), InternalError);
  EXPECT_THROW(upsample_grid(nodes, 3, 3, 4, 4, 2), InternalError);
  EXPECT_TRUE(upsample_grid(nodes, 2, 3, 0, 4, 2).empty());
}

}  // namespace
}  // namespace tsl
