#include "surface/surface.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "linalg/py_oracle.h"
#include "util/error.h"

namespace tsl {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr float NaNf = std::numeric_limits<float>::quiet_NaN();

// Heights [[0, 1], [2, 3]] (row 0 north), node (0, 0) at (0, 10), 10 m cells.
Surface two_by_two() { return Surface::dsm(0.0, 0.0, 10.0, 10.0, 2, 2, {0.0f, 1.0f, 2.0f, 3.0f}); }

TEST(Surface, PlaneAnswersItsHeightEverywhere) {
  const Surface s = Surface::plane(12.5);
  EXPECT_EQ(s.z_median, 12.5);
  for (double e : {0.0, -1e9, NaN, INF}) EXPECT_EQ(s.height_at(e, 3.0), 12.5);
}

TEST(Surface, GridLookupsInsideOnTheEdgeAndBeyond) {
  struct Case {
    const char* name;
    double east, north, want;
  };
  const Case cases[] = {
      {"cell centre", 5.0, 5.0, 1.5},
      {"north-west node", 0.0, 10.0, 0.0},
      // Clamped 1.0001 cells short of the far edge: 0.0001 cell short of the south-east node.
      {"south-east node", 10.0, 0.0, 2.9997},
      {"beyond the north-west corner", -50.0, 50.0, 0.0},
      // gx clamped to 0.9999, gy = 0.5: 0.5 (0.9999 * 1) + 0.5 (0.9999 * 3 + 0.0001 * 2).
      {"beyond the east side", 1e6, 5.0, 1.9999},
  };
  const Surface s = two_by_two();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(s.height_at(c.east, c.north), c.want, 1e-12);
  }
}

// The grid index is formed by converting a double to an integer: a NaN or infinite coordinate
// must be answered before that conversion, which would be undefined behaviour.
TEST(Surface, NonFiniteCoordinatesOnAGridGiveNaN) {
  const Surface s = two_by_two();
  const double coords[][2] = {{NaN, 5.0}, {5.0, NaN}, {INF, 5.0}, {5.0, -INF}, {-INF, INF}};
  for (const auto& c : coords) {
    SCOPED_TRACE(testing::Message() << c[0] << ", " << c[1]);
    EXPECT_TRUE(std::isnan(s.height_at(c[0], c[1])));
  }
  // A grid whose origin or cell size is missing (NaN) answers NaN everywhere.
  Surface no_cell = two_by_two();
  no_cell.cell = NaN;
  EXPECT_TRUE(std::isnan(no_cell.height_at(5.0, 5.0)));
}

TEST(Surface, NaNNodeSpoilsOnlyTheCellsThatTouchIt) {
  // 3 x 2 nodes, the north-east one missing.
  const Surface s = Surface::dsm(0.0, 0.0, 1.0, 1.0, 3, 2, {1.0f, 2.0f, NaNf, 4.0f, 5.0f, 6.0f});
  EXPECT_TRUE(std::isnan(s.height_at(1.5, 0.5)));
  EXPECT_NEAR(s.height_at(0.5, 0.5), 3.0, 1e-12);
  EXPECT_EQ(s.z_median, 4.0);  // median of 1, 2, 4, 5, 6
}

TEST(Surface, HeightMatchesScipyRegularGridInterpolator) {
  TSL_REQUIRE_PYTHON("numpy scipy");
  const uint64_t nx = 7, ny = 5;
  const double e0 = 100.0, n0 = -20.0, cell = 2.5;
  std::mt19937_64 rng(9);
  std::uniform_real_distribution<float> hz(-3.0f, 40.0f);
  std::vector<float> z(nx * ny);
  for (float& v : z) v = hz(rng);
  const Surface s = Surface::dsm(1.0, e0, n0, cell, nx, ny, z);
  // Points inside and beyond the grid (up to two cells out on each side).
  std::uniform_real_distribution<double> ue(e0 - 2 * cell, e0 + (nx + 1) * cell), un(n0 - (ny + 1) * cell, n0 + 2 * cell);
  std::vector<double> pts;
  for (int k = 0; k < 200; ++k) pts.insert(pts.end(), {ue(rng), un(rng)});
  test::PyOracle py;
  py.put("z", std::vector<double>(z.begin(), z.end()));
  py.put("pts", pts);
  py.put("grid", std::vector<double>{e0, n0, cell, static_cast<double>(nx), static_cast<double>(ny)});
  ASSERT_EQ(py.run(R"(
from scipy.interpolate import RegularGridInterpolator
e0, n0, cell, nx, ny = load('grid'); nx, ny = int(nx), int(ny)
z = load('z').reshape(ny, nx)
f = RegularGridInterpolator((np.arange(ny), np.arange(nx)), z, method='linear')
p = load('pts').reshape(-1, 2)
gx = np.clip((p[:, 0] - e0) / cell, 0, nx - 1.0001)
gy = np.clip((n0 - p[:, 1]) / cell, 0, ny - 1.0001)
save('h', f(np.stack([gy, gx], axis=1)))
)"),
            "");
  const std::vector<double> want = py.get("h");
  ASSERT_EQ(want.size(), pts.size() / 2);
  for (size_t k = 0; k < want.size(); ++k)
    EXPECT_NEAR(s.height_at(pts[2 * k], pts[2 * k + 1]), want[k], 1e-9) << "point " << pts[2 * k] << ", " << pts[2 * k + 1];
}

TEST(Surface, ReportObjects) {
  struct Case {
    const char* name;
    Surface surface;
    std::string want;
  };
  std::vector<float> ramp(300 * 200);
  for (size_t k = 0; k < ramp.size(); ++k) ramp[k] = static_cast<float>(k % 101);  // 0 .. 100
  const Case cases[] = {
      {"plane", Surface::plane(-3.5), R"({"kind": "plane", "z0": -3.5})"},
      // Rows first; the 2nd and 98th percentiles fall inside the runs of 2s and of 98s.
      {"300 columns by 200 rows", Surface::dsm(0.0, 0.0, 0.0, 0.5, 300, 200, ramp),
       R"({"kind": "dsm", "cell_m": 0.5, "z_min": 0, "z_max": 100, "relief_m": 96, "shape": [200, 300]})"},
      {"no heights at all", Surface::dsm(0.0, 0.0, 0.0, 1.0, 2, 2, {NaNf, NaNf, NaNf, NaNf}),
       R"({"kind": "dsm", "cell_m": 1, "z_min": Infinity, "z_max": -Infinity, "relief_m": NaN, "shape": [2, 2]})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(json_to_string(c.surface.to_json()), c.want);
  }
  EXPECT_TRUE(std::isnan(Surface::dsm(0.0, 0.0, 0.0, 1.0, 2, 2, {NaNf, NaNf, NaNf, NaNf}).z_median));
}

TEST(Surface, GridsUnderTwoByTwoOrWithTheWrongCountAreInternalErrors) {
  EXPECT_THROW(Surface::dsm(0, 0, 0, 1, 1, 4, {1, 2, 3, 4}), InternalError);
  EXPECT_THROW(Surface::dsm(0, 0, 0, 1, 4, 1, {1, 2, 3, 4}), InternalError);
  EXPECT_THROW(Surface::dsm(0, 0, 0, 1, 2, 2, {1, 2, 3}), InternalError);
  EXPECT_THROW(Surface::dsm(0, 0, 0, 1, uint64_t{1} << 32, uint64_t{1} << 32, {1, 2, 3, 4}), InternalError);
}

}  // namespace
}  // namespace tsl
