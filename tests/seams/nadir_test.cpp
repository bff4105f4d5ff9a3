#include "seams/nadir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "support/render_fixtures.h"

namespace tsl {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

OutputGrid grid_of(uint64_t width, uint64_t height, double gsd) {
  OutputGrid g;
  g.width = width;
  g.height = height;
  g.gsd = gsd;
  return g;
}

TEST(SeamGridSize, CellFromTheMatchingResolutionAndTheCellBudget) {
  struct Case {
    const char* name;
    uint64_t photo_w, photo_h;
    double native;
    OutputGrid grid;
    double seam_mpix;
    double cell;
    uint64_t nx, ny;
  };
  const Case cases[] = {
      // r = 5472 x 0.0275 / 2000 = 0.07524 m, cell 1.25 r = 0.09405 m.
      {"matching based", 5472, 3648, 0.0275, grid_of(1000, 500, 0.02), 16, 0.09405, 213, 107},
      // Never finer than the output.
      {"at least the gsd", 5472, 3648, 0.0275, grid_of(1000, 500, 0.2), 16, 0.2, 1000, 500},
      // No usable photo size: the output gsd.
      {"NaN falls back", 5472, 3648, NaN, grid_of(1000, 500, 0.05), 16, 0.05, 1000, 500},
      // Regression: an infinite native size gave an infinite cell and a 0 x 0 seam grid.
      {"infinite falls back", 5472, 3648, INF, grid_of(1000, 500, 0.05), 16, 0.05, 1000, 500},
      // 20000 x 15000 px at 3 cm with a 5 cm cell is 108 M cells; the 16 M budget gives
      // sqrt(3e8 / 1.6e7) x 0.03 = 0.12990 m and 4619 x 3465 cells.
      {"budget", 2000, 1000, 0.04, grid_of(20000, 15000, 0.03), 16, 0.1299038106, 4619, 3465},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ImageMeta photos[] = {test::sized_photo(c.photo_w, c.photo_h)};
    const double natives[] = {c.native};
    const SeamGridSize s = seam_grid_size(photos, natives, c.grid, 2000, c.seam_mpix);
    EXPECT_NEAR(s.cell, c.cell, 1e-9);
    EXPECT_EQ(s.nx, c.nx);
    EXPECT_EQ(s.ny, c.ny);
  }
}

TEST(SeamGridSize, BudgetAtOrBelowZeroIsClampedNotInfinite) {
  const ImageMeta photos[] = {test::sized_photo(2000, 1000)};
  const double natives[] = {0.04};
  for (double budget : {0.0, -4.0, NaN, 1e-9}) {
    SCOPED_TRACE(budget);
    const SeamGridSize s = seam_grid_size(photos, natives, grid_of(20000, 15000, 0.03), 2000, budget);
    EXPECT_TRUE(std::isfinite(s.cell));
    EXPECT_GT(s.nx, 0u);
    EXPECT_GT(s.ny, 0u);
    EXPECT_LE(static_cast<double>(s.nx) * static_cast<double>(s.ny), MIN_SEAM_MPIX * 1e6 * 1.05);
  }
}

TEST(SeamDecodeScales, AboutOneSamplePerCellNeverAboveFullSize) {
  const double natives[] = {0.0275, 0.2, 1e-6, NaN};
  const std::vector<double> s = seam_decode_scales(natives, 0.09405);
  EXPECT_NEAR(s[0], 1.25 * 0.0275 / 0.09405, 1e-12);  // 0.3655: finer cells than the photo would waste
  EXPECT_EQ(s[1], 1.0);
  EXPECT_EQ(s[2], 0.02);
  EXPECT_EQ(s[3], 0.02);
}

TEST(CellWindows, OutputWindowWidenedByACell) {
  OutputGrid g = grid_of(400, 400, 0.03);
  g.windows = {{10, 50, 3, 20}, {0, 0, 0, 0}, {396, 400, 0, 400}};
  const SeamGridSize size{0.12, 100, 100};
  const std::vector<CellWindow> w = cell_windows(g, size);
  // f = 0.25: cx0 = trunc(2.5) - 1 = 1, cx1 = ceil(12.5) + 1 = 14; trunc(0.75) = 0 gives 0.
  EXPECT_TRUE(w[0].valid);
  EXPECT_EQ(w[0].x0, 1u);
  EXPECT_EQ(w[0].x1, 14u);
  EXPECT_EQ(w[0].y0, 0u);
  EXPECT_EQ(w[0].y1, 6u);
  EXPECT_FALSE(w[1].valid);
  EXPECT_EQ(w[2].x0, 98u);
  EXPECT_EQ(w[2].x1, 100u);  // clamped to nx
}

// Nadir photos over a plane on a 1 m seam grid; each photo is 201 x 101 px over 200 x 100 m.
struct SeamScene {
  std::vector<ImageMeta> images;
  std::vector<Mat3> rotations;
  std::vector<Vec3> positions;
  Surface plane = Surface::plane(0.0);
  SeamMap map;
  OutputGrid grid;

  SeamScene(uint64_t nx, uint64_t ny) {
    map.nx = nx;
    map.ny = ny;
    map.left_e = 0;
    map.top_n = static_cast<double>(ny);
    map.cell = 1.0;
    grid = grid_of(nx, ny, 1.0);
    grid.top_n = map.top_n;
  }
  void add(double east, double north) {
    images.push_back(test::nadir_photo("p.jpg", 201, 101, 100.0, 200.0, 100.0));
    rotations.push_back(test::nadir_rotation());
    positions.push_back({east, north, 100.0});
    grid.windows.push_back({0, grid.width, 0, grid.height});
  }
  SeamInputs inputs() const { return {{images, rotations, positions}, &plane}; }
  std::vector<CellWindow> windows() const { return cell_windows(grid, {map.cell, map.nx, map.ny}); }
};

TEST(NadirScoreGrid, PeaksAtTheFrameCentre) {
  SeamScene s(300, 100);
  s.add(100.5, 49.5);  // the centre of cell (100, 50) projects to pixel (100, 50), the frame centre
  const auto w = s.windows();
  const auto score = nadir_score_grid(s.inputs(), s.map, w, 0);
  ASSERT_TRUE(score.has_value());
  const uint64_t ww = w[0].x1 - w[0].x0;
  EXPECT_FLOAT_EQ((*score)[(50 - w[0].y0) * ww + (100 - w[0].x0)], 1.0f + 1e-6f);
  // Pixel column 200 is u = 1: outside 0.995, score 0; cells beyond the frame likewise.
  EXPECT_EQ((*score)[(50 - w[0].y0) * ww + (200 - w[0].x0)], 0.0f);
  EXPECT_EQ((*score)[(50 - w[0].y0) * ww + (250 - w[0].x0)], 0.0f);
}

TEST(NadirPartition, SinglePhotoOwnsItsFrameInterior) {
  SeamScene s(300, 100);
  s.add(100.5, 49.5);
  nadir_partition(s.inputs(), s.map, s.windows(), 1);
  // Cell column c projects to pixel c: |u| < 0.995 means 0.5 < c < 199.5.
  const auto label = [&](uint64_t x, uint64_t y) { return s.map.labels[y * s.map.nx + x]; };
  EXPECT_EQ(label(0, 50), -1);
  EXPECT_EQ(label(1, 50), 0);
  EXPECT_EQ(label(199, 50), 0);
  EXPECT_EQ(label(200, 50), -1);
  EXPECT_EQ(label(250, 50), -1);
}

TEST(NadirPartition, ClosestToTheCentreWinsTiesToTheLowerIndex) {
  for (uint64_t workers : {0u, 1u, 3u}) {
    SCOPED_TRACE(workers);
    SeamScene s(300, 100);
    s.add(200.5, 49.5);  // photo 0 to the east
    s.add(100.5, 49.5);  // photo 1 to the west
    s.add(100.5, 49.5);  // photo 2 equal to photo 1: ties go to photo 1, so it never wins
    nadir_partition(s.inputs(), s.map, s.windows(), workers);
    const auto label = [&](uint64_t x) { return s.map.labels[50 * s.map.nx + x]; };
    EXPECT_EQ(label(120), 1);
    EXPECT_EQ(label(148), 1);
    EXPECT_EQ(label(152), 0);
    EXPECT_EQ(label(290), 0);
    for (int32_t l : s.map.labels) EXPECT_NE(l, 2);
  }
}

// The plain merge: each photo's whole nadir_score_grid in ascending photo order, a cell going
// to a strictly higher score. The oracle for the partition, which never holds whole grids.
std::vector<int32_t> merge_score_grids(const SeamInputs& in, const SeamMap& map, std::span<const CellWindow> windows) {
  std::vector<int32_t> labels(map.nx * map.ny, -1);
  std::vector<float> best(map.nx * map.ny, 0.0f);
  for (size_t k = 0; k < in.photos.images.size(); ++k) {
    const auto score = nadir_score_grid(in, map, windows, k);
    if (!score) continue;
    const CellWindow& w = windows[k];
    const uint64_t ww = w.x1 - w.x0;
    for (size_t j = 0; j < score->size(); ++j) {
      const size_t cell = (w.y0 + j / ww) * map.nx + w.x0 + j % ww;
      if ((*score)[j] > best[cell]) best[cell] = (*score)[j], labels[cell] = static_cast<int32_t>(k);
    }
  }
  return labels;
}

TEST(NadirPartition, SameLabelsAsMergingWholeScoreGrids) {
  // Turned photos over a 230 x 170 grid of 0.9 m cells: several bands of rows, windows that
  // start and end between lattice nodes, a photo twice (the copy never wins) and one photo
  // without a window.
  test::SyntheticScene scene;
  scene.add_turned(60, 60, 120, 90, 0, 121, 91);
  scene.add_turned(140, 75, 120, 90, 30, 121, 91);
  scene.add_turned(100, 115, 120, 90, -50, 97, 73);
  scene.add_turned(100, 115, 120, 90, -50, 97, 73);
  scene.add_turned(100, 80, 120, 90, 10, 121, 91);
  const Surface plane = Surface::plane(0.0);
  const SeamInputs in{{scene.images, scene.rotations, scene.positions}, &plane};
  SeamMap map;
  map.nx = 230;
  map.ny = 170;
  map.cell = 0.9;
  map.top_n = 155.0;
  const CellWindow windows[] = {
      {true, 3, 181, 5, 150}, {true, 50, 230, 0, 170}, {true, 0, 230, 67, 170}, {true, 0, 230, 67, 170}, {}};
  const std::vector<int32_t> expected = merge_score_grids(in, map, windows);
  const std::set<int32_t> owners(expected.begin(), expected.end());
  ASSERT_EQ(owners, (std::set<int32_t>{-1, 0, 1, 2}));  // every case above shows in the grid
  for (uint64_t workers : {1u, 2u, 5u}) {
    SCOPED_TRACE(workers);
    nadir_partition(in, map, windows, workers);
    EXPECT_EQ(map.labels, expected);
  }
}

}  // namespace
}  // namespace tsl
