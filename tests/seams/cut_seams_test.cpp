#include "seams/cut_seams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <random>

#include "support/render_fixtures.h"
#include "util/error.h"

namespace tsl {
namespace {

TEST(SeamBandCells, FractionOfTheShorterSideInCells) {
  // A 100 m shorter side (4000 px at 2.5 cm), cell 0.094 m, seam_band 0.12: round(127.66).
  const ImageMeta photo = test::sized_photo(6000, 4000);
  const ImageMeta photos[] = {photo, photo, photo};
  const double natives[] = {0.025, 0.025, 0.025};
  EXPECT_EQ(seam_band_cells(photos, natives, 0.094, 0.12), 128u);
  // A tiny footprint still gets 3 cells.
  const double tiny[] = {1e-5, 1e-5, 1e-5};
  EXPECT_EQ(seam_band_cells(photos, tiny, 0.094, 0.12), 3u);
}

TEST(ChamferDistance, FixedPointStepsAndTheBandEdge) {
  // One seed at (0, 2) of a 6 x 5 window.
  const size_t w = 6, h = 5;
  std::vector<uint8_t> seeds(w * h, 0);
  seeds[2 * w + 0] = 1;
  const std::vector<float> d = chamfer_distance(seeds, w, h);
  EXPECT_EQ(d[2 * w + 0], 0.0f);
  EXPECT_NEAR(d[2 * w + 2], 1.9100, 1e-4);  // two orthogonal steps
  EXPECT_NEAR(d[1 * w + 1], 1.3693, 1e-4);  // one diagonal step
  EXPECT_NEAR(d[2 * w + 3], 2.8650, 1e-4);  // three steps: inside a band of 3
  EXPECT_NEAR(d[2 * w + 4], 3.8200, 1e-4);  // four: outside it
  EXPECT_LE(d[2 * w + 3], 3.0f);
  EXPECT_GT(d[2 * w + 4], 3.0f);
  // Without seeds nothing is reached.
  const std::vector<float> none = chamfer_distance(std::vector<uint8_t>(w * h, 0), w, h);
  EXPECT_EQ(none[0], std::numeric_limits<float>::max());
}

TEST(SeamBoundaries, CountsSharedEdgesLargestFirst) {
  SeamMap m;
  m.nx = 4;
  m.ny = 3;
  m.labels = {0,  0, 1, 1,  //
              0,  2, 2, 1,  //
              -1, 2, 2, 1};
  // Edges (first cell): (0, 1) at (1, 0); (0, 2) at (1, 0) and (0, 1); (1, 2) at (2, 0),
  // (2, 1) and (2, 2). The -1 cell borders nothing.
  const std::vector<SeamBoundary> b = seam_boundaries(m);
  ASSERT_EQ(b.size(), 3u);
  const auto is = [](const SeamBoundary& x, int32_t a, int32_t bb, uint64_t count, uint64_t x0, uint64_t x1,
                     uint64_t y0, uint64_t y1) {
    return x.a == a && x.b == bb && x.count == count && x.min_x == x0 && x.max_x == x1 && x.min_y == y0 &&
           x.max_y == y1;
  };
  EXPECT_TRUE(is(b[0], 1, 2, 3, 2, 2, 0, 2));
  EXPECT_TRUE(is(b[1], 0, 2, 2, 0, 1, 0, 1));
  EXPECT_TRUE(is(b[2], 0, 1, 1, 1, 1, 0, 0));

  // Equal counts keep (a, b) order.
  SeamMap tie;
  tie.nx = 3;
  tie.ny = 1;
  tie.labels = {2, 0, 1};
  const std::vector<SeamBoundary> t = seam_boundaries(tie);
  ASSERT_EQ(t.size(), 2u);
  EXPECT_TRUE(is(t[0], 0, 1, 1, 1, 1, 0, 0));
  EXPECT_TRUE(is(t[1], 0, 2, 1, 0, 0, 0, 0));
}

TEST(LeastCostPath, TiesGoToTheLowerCellIndex) {
  // A 3 x 2 component of equal costs, starts in the left column, goals in the right: both
  // goals are 2 away; the lower index wins, reached along the top row.
  const std::vector<int32_t> comp(6, 1);
  const std::vector<double> cost(6, 1.0);
  const size_t starts[] = {0, 3}, goals[] = {2, 5};
  EXPECT_EQ(least_cost_path(comp, 1, starts, goals, cost, 3, 2), (std::vector<size_t>{2, 1, 0}));
  // A cheaper bottom row moves the path there; a diagonal step costs 1.4142 x the mean.
  const std::vector<double> cheap_bottom = {1, 1, 1, 0.1, 0.1, 0.1};
  EXPECT_EQ(least_cost_path(comp, 1, starts, goals, cheap_bottom, 3, 2), (std::vector<size_t>{5, 4, 3}));
  // Cells of other components are walls: no goal is reached.
  const std::vector<int32_t> split = {1, 2, 1, 1, 2, 1};
  EXPECT_TRUE(least_cost_path(split, 1, starts, goals, cost, 3, 2).empty());
}

// The plain search: settle the unsettled reached cell of least (distance, index) by scanning
// them all, relax its eight moves in order; the goal of least (distance, index) wins.
std::vector<size_t> plain_least_cost_path(const std::vector<int32_t>& comp, int32_t c, const std::vector<size_t>& starts,
                                          const std::vector<size_t>& goals, const std::vector<double>& cost, size_t w,
                                          size_t h) {
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> dist(w * h, inf);
  std::vector<size_t> pred(w * h, SIZE_MAX);
  std::vector<bool> done(w * h, false);
  for (size_t s : starts) dist[s] = 0.0;
  const int dx[8] = {1, -1, 0, 0, 1, -1, 1, -1}, dy[8] = {0, 0, 1, -1, 1, -1, -1, 1};
  for (;;) {
    size_t i = SIZE_MAX;
    for (size_t k = 0; k < w * h; ++k)
      if (!done[k] && dist[k] < inf && (i == SIZE_MAX || dist[k] < dist[i])) i = k;
    if (i == SIZE_MAX) break;
    done[i] = true;
    for (int m = 0; m < 8; ++m) {
      const int64_t x = static_cast<int64_t>(i % w) + dx[m], y = static_cast<int64_t>(i / w) + dy[m];
      if (x < 0 || y < 0 || x >= static_cast<int64_t>(w) || y >= static_cast<int64_t>(h)) continue;
      const size_t j = static_cast<size_t>(y) * w + static_cast<size_t>(x);
      if (comp[j] != c) continue;
      const double cand = dist[i] + 0.5 * (cost[i] + cost[j]) * (m < 4 ? 1.0 : 1.4142);
      if (dist[j] > cand) dist[j] = cand, pred[j] = i;
    }
  }
  size_t goal = SIZE_MAX;
  for (size_t g : goals)
    if (goal == SIZE_MAX || dist[g] < dist[goal]) goal = g;
  if (goal == SIZE_MAX || !std::isfinite(dist[goal])) return {};
  std::vector<size_t> path;
  for (size_t i = goal; i != SIZE_MAX; i = pred[i]) path.push_back(i);
  return path;
}

TEST(LeastCostPath, SameAsThePlainSearchOnRandomComponents) {
  struct Case {
    const char* name;
    uint32_t seed;
    size_t w, h;
    int cost_levels;  // 0: continuous costs; else integer costs 1..levels, full of ties
    double fill;      // share of cells in the component
  };
  const Case cases[] = {
      {"continuous costs", 1, 23, 17, 0, 0.8},   {"two cost levels", 2, 31, 12, 2, 0.85},
      {"equal costs", 3, 19, 19, 1, 0.9},        {"sparse component", 4, 40, 9, 3, 0.7},
      {"equal costs, wide", 5, 64, 48, 1, 0.95}, {"two levels, wide", 6, 64, 48, 2, 0.9},
      {"equal costs, full", 7, 50, 30, 1, 1.0},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.name);
    std::mt19937 rng(t.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const size_t n = t.w * t.h;
    std::vector<int32_t> comp(n);
    std::vector<double> cost(n);
    for (size_t i = 0; i < n; ++i) {
      comp[i] = unit(rng) < t.fill ? 1 : 2;
      cost[i] = t.cost_levels == 0 ? 0.01 + unit(rng) : static_cast<double>(1 + rng() % t.cost_levels);
    }
    // Starts on every other row of the left column, so that two starts tie for the cell
    // between them; goals in the right column. Only cells of the component.
    std::vector<size_t> starts, goals;
    for (size_t y = 0; y < t.h; ++y) {
      if (comp[y * t.w] == 1 && y % 2 == 0) starts.push_back(y * t.w);
      if (comp[y * t.w + t.w - 1] == 1) goals.push_back(y * t.w + t.w - 1);
    }
    const std::vector<size_t> expected = plain_least_cost_path(comp, 1, starts, goals, cost, t.w, t.h);
    ASSERT_FALSE(expected.empty());  // every case has a path, so the comparison means something
    EXPECT_EQ(least_cost_path(comp, 1, starts, goals, cost, t.w, t.h), expected);
  }
}

TEST(RgbToLuma, WeightsOfTheVideoStandard) {
  const float rgb[] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 0.5f, 0.5f, 0.5f};
  const ImageF32 l = rgb_to_luma(4, 1, rgb);
  EXPECT_FLOAT_EQ(l.data[0], 0.299f);
  EXPECT_FLOAT_EQ(l.data[1], 0.587f);
  EXPECT_FLOAT_EQ(l.data[2], 0.114f);
  EXPECT_FLOAT_EQ(l.data[3], 0.5f);
}

TEST(RenderSeamWindow, SkippedCellsAreBlankAndTheOthersUnchanged) {
  // One photo of 101 x 81 px over east 0..100, north 0..80; the window of 1.5 m cells reaches
  // past its frame, so it holds valid and invalid cells.
  test::SyntheticScene scene;
  scene.add(0, 100, 0, 80);
  const Surface plane = Surface::plane(0.0);
  ImageCache cache(1e9, scene.loader());
  const Config cfg;
  const double scales[] = {1.0}, natives[] = {1.0};
  const CutInputs in{{scene.images, scene.rotations, scene.positions, &plane}, scene.gains, &cfg, &cache,
                     scales, natives};
  SeamMap map;
  map.nx = 80;
  map.ny = 70;
  map.cell = 1.5;
  map.left_e = -10.0;
  map.top_n = 90.0;
  const uint64_t x0 = 3, x1 = 77, y0 = 2, y1 = 66;
  const size_t n = (x1 - x0) * (y1 - y0);
  const auto full = render_seam_window(in, map, 0, x0, x1, y0, y1);
  ASSERT_TRUE(full.has_value()) << full.error();
  const size_t n_valid = static_cast<size_t>(std::count(full->valid.begin(), full->valid.end(), 1));
  ASSERT_GT(n_valid, 0u);
  ASSERT_LT(n_valid, n);
  std::vector<uint8_t> needed(n);
  for (size_t i = 0; i < n; ++i) needed[i] = (i * 7) % 3 != 0;
  const auto part = render_seam_window(in, map, 0, x0, x1, y0, y1, needed);
  ASSERT_TRUE(part.has_value()) << part.error();
  for (size_t i = 0; i < n; ++i) {
    SCOPED_TRACE(i);
    if (needed[i]) {
      ASSERT_EQ(std::memcmp(&part->rgb.data[3 * i], &full->rgb.data[3 * i], 3 * sizeof(float)), 0);
      ASSERT_EQ(part->valid[i], full->valid[i]);
    } else {
      ASSERT_EQ(part->valid[i], 0);
      ASSERT_EQ(part->rgb.data[3 * i] + part->rgb.data[3 * i + 1] + part->rgb.data[3 * i + 2], 0.0f);
    }
  }
  // A mask that is not one byte per cell is a caller's bug.
  EXPECT_THROW((void)render_seam_window(in, map, 0, x0, x1, y0, y1, std::span(needed).first(n - 1)), InternalError);
}

}  // namespace
}  // namespace tsl
