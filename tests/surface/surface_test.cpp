#include "surface/surface.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "support/py_oracle.h"
#include "util/error.h"
#include "util/text.h"

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

// Runs a Python snippet with numpy as np and the target path (a file or folder) as `path`.
void run_numpy_writer(const std::filesystem::path& path, const std::string& body) {
  const std::string script = "import sys\nimport numpy as np\npath = sys.argv[1]\n" + body + "\n";
  test::write_file_text(path.string() + ".py", script);
  const test::CommandResult r = test::run_command(test::python3() + " " + test::shell_quote(path.string() + ".py") +
                                                  " " + test::shell_quote(path.string()));
  ASSERT_EQ(r.exit_code, 0) << r.err;
}

// What a build writes: absolute UTM corner, f32 heights, rows from the north.
constexpr const char* BUILD_ARRAYS =
    "z0=np.float64(12.5), E0=np.float64(500123.0), N0=np.float64(5600456.0), cell=np.float64(0.5), "
    "Z=np.array([[1, 2, 3], [4, 5, 6]], dtype=np.float32)";

TEST(LoadSurface, ReadsWhatNumpySavezWrites) {
  TSL_REQUIRE_PYTHON("numpy");
  test::TempDir dir;
  run_numpy_writer(dir.path(), format("np.savez(path + '/surface.npz', {})\nnp.savez_compressed(path + '/c_surface.npz', {})",
                                       BUILD_ARRAYS, BUILD_ARRAYS));
  for (const char* name : {"surface.npz", "c_surface.npz"}) {
    SCOPED_TRACE(name);
    const std::expected<Surface, std::string> s = load_surface(dir / name, 500100.0, 5600400.0);
    ASSERT_TRUE(s.has_value()) << s.error();
    EXPECT_EQ(s->z0, 12.5);
    EXPECT_EQ(s->e0, 23.0);  // the file's absolute corner made relative to the origin
    EXPECT_EQ(s->n0, 56.0);
    EXPECT_EQ(s->cell, 0.5);
    EXPECT_EQ(s->nx, 3u);
    EXPECT_EQ(s->ny, 2u);
    EXPECT_EQ(s->z, (std::vector<float>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(s->z_median, 3.5);
    EXPECT_NEAR(s->height_at(23.25, 55.75), 3.0, 1e-12);  // centre of the western cell
  }
  // Against another origin the corner moves by the difference.
  const std::expected<Surface, std::string> moved = load_surface(dir / "surface.npz", 500000.0, 5600000.0);
  ASSERT_TRUE(moved.has_value()) << moved.error();
  EXPECT_EQ(moved->e0, 123.0);
  EXPECT_EQ(moved->n0, 456.0);
}

TEST(LoadSurface, PlanesFailuresAndMalformedGrids) {
  TSL_REQUIRE_PYTHON("numpy");
  struct Case {
    const char* name;
    std::string arrays;  // savez keyword arguments
    std::string error;   // empty: loads
    bool plane;          // when it loads: a plane at z0 = 7
  };
  const std::string scalars = "z0=np.float64(7), E0=np.float64(10), N0=np.float64(20), ";
  const Case cases[] = {
      {"no Z", scalars + "cell=np.float64(1)", "surface Z missing", false},
      {"empty Z", scalars + "cell=np.float64(1), Z=np.zeros((0, 0), np.float32)", "", true},
      {"one-dimensional Z", scalars + "cell=np.float64(1), Z=np.ones(5, np.float32)", "", true},
      {"one row", scalars + "cell=np.float64(1), Z=np.ones((1, 5), np.float32)",
       "surface Z of 1 x 5 nodes, needs at least 2 x 2", false},
      {"one column", scalars + "cell=np.float64(1), Z=np.ones((5, 1), np.float32)",
       "surface Z of 5 x 1 nodes, needs at least 2 x 2", false},
      {"text heights", scalars + "cell=np.float64(1), Z=np.array([['a', 'b'], ['c', 'd']])",
       "surface Z holds no numbers", false},
      {"no cell", scalars + "Z=np.ones((2, 2), np.float32)", "surface cell size NaN is not a positive finite number",
       false},
      {"infinite cell", scalars + "cell=np.float64(np.inf), Z=np.ones((2, 2), np.float32)",
       "surface cell size inf is not a positive finite number", false},
      {"zero cell", scalars + "cell=np.float64(0), Z=np.ones((2, 2), np.float32)",
       "surface cell size 0 is not a positive finite number", false},
      {"integer heights", scalars + "cell=np.float64(1), Z=np.array([[1, 2], [3, 4]], np.int16)", "", false},
  };
  test::TempDir dir;
  std::string writer;  // one Python run writes every file
  for (size_t k = 0; k < std::size(cases); ++k)
    writer += "np.savez(path + '/s" + std::to_string(k) + ".npz', " + cases[k].arrays + ")\n";
  run_numpy_writer(dir.path(), writer);
  for (size_t k = 0; k < std::size(cases); ++k) {
    const Case& c = cases[k];
    SCOPED_TRACE(c.name);
    const std::expected<Surface, std::string> s = load_surface(dir / ("s" + std::to_string(k) + ".npz"), 0.0, 0.0);
    if (!c.error.empty()) {
      ASSERT_FALSE(s.has_value());
      EXPECT_EQ(s.error(), c.error);
      continue;
    }
    ASSERT_TRUE(s.has_value()) << s.error();
    EXPECT_EQ(s->z.has_value(), !c.plane);
    if (c.plane) {
      EXPECT_EQ(s->height_at(1e3, -1e3), 7.0);
    }
  }
}

// A grid past the node cap keeps every k-th node on both axes, k as small as fits, with a k
// times larger cell and its north-west node in place; before, a huge terrain file cost its
// size several times over in memory however small the mosaic.
TEST(LoadSurface, GridBeyondTheCapIsThinned) {
  TSL_REQUIRE_PYTHON("numpy");
  struct Case {
    uint64_t max_nodes;
    uint64_t nx, ny, step;  // expected
    std::string error;
  } cases[] = {
      {45, 9, 5, 1, ""},   // exactly at the cap: unchanged
      {44, 5, 3, 2, ""},   // one below: every second node
      {15, 5, 3, 2, ""},
      {14, 3, 2, 3, ""},   // step 2 keeps 15, step 3 keeps 3 x 2
      {5, 0, 0, 0, "surface Z of 5 x 9 nodes is too large"},  // a side would keep one node
  };
  test::TempDir dir;
  run_numpy_writer(dir / "grid.npz",
                   "r, c = np.meshgrid(np.arange(5), np.arange(9), indexing='ij')\n"
                   "np.savez(path, z0=np.float64(3), E0=np.float64(1000), N0=np.float64(2000), cell=np.float64(0.5), "
                   "Z=(r * 100 + c).astype(np.float32))");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.max_nodes);
    const std::expected<Surface, std::string> s = load_surface(dir / "grid.npz", 0.0, 0.0, c.max_nodes);
    if (!c.error.empty()) {
      ASSERT_FALSE(s.has_value());
      EXPECT_EQ(s.error(), c.error);
      continue;
    }
    ASSERT_TRUE(s.has_value()) << s.error();
    ASSERT_EQ(s->nx, c.nx);
    ASSERT_EQ(s->ny, c.ny);
    EXPECT_EQ(s->cell, 0.5 * static_cast<double>(c.step));
    EXPECT_EQ(s->e0, 1000.0);
    EXPECT_EQ(s->n0, 2000.0);
    for (uint64_t j = 0; j < s->ny; ++j)
      for (uint64_t i = 0; i < s->nx; ++i)
        EXPECT_EQ((*s->z)[j * s->nx + i], static_cast<float>(100 * c.step * j + c.step * i)) << j << " " << i;
  }
}

TEST(LoadSurface, UnreadableFilesReportTheReadersMessage) {
  test::TempDir dir;
  if (test::have_python_modules("numpy")) {
    // Z's header promises 3 x 3 floats, its data holds 7: the reader must refuse it.
    run_numpy_writer(dir / "short.npz", R"(
import io, zipfile
b = io.BytesIO(); np.save(b, np.ones((3, 3), np.float32))
with zipfile.ZipFile(path, 'w') as z:
    z.writestr('cell.npy', (lambda c: (np.save(c, np.float64(1)), c.getvalue())[1])(io.BytesIO()))
    z.writestr('Z.npy', b.getvalue()[:-8])
)");
    const std::expected<Surface, std::string> s = load_surface(dir / "short.npz", 0.0, 0.0);
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error(), "truncated npy data");
  }
  EXPECT_FALSE(load_surface(dir / "absent.npz", 0.0, 0.0).has_value());
  test::write_file_text(dir / "not.npz", "this is not a zip archive");
  const std::expected<Surface, std::string> s = load_surface(dir / "not.npz", 0.0, 0.0);
  ASSERT_FALSE(s.has_value());
  EXPECT_FALSE(s.error().empty());
}

}  // namespace
}  // namespace tsl
