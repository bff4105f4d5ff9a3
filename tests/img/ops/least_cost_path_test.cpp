#include "img/ops/least_cost_path.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace tsl {
namespace {

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

}  // namespace
}  // namespace tsl
