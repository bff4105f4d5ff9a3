#include "img/ops/least_cost_path.h"

#include <cmath>
#include <limits>

namespace tsl {

// Cells outside `r` are not in c, so the search, its ties (the index order within `r` is the
// grid's) and the path are those of the whole grid. The search runs on a copy of the rectangle
// with a ring of cells outside c around it, so that a step needs no bounds test.
std::vector<size_t> least_cost_path_in_rect(std::span<const int32_t> component, int32_t c,
                                            std::span<const size_t> starts, std::span<const size_t> goals,
                                            std::span<const double> cost, size_t w, CellRect r, PathScratch& s) {
  constexpr size_t NONE = SIZE_MAX;
  const double INF = std::numeric_limits<double>::infinity();
  const size_t pw = r.w + 2, pn = pw * (r.h + 2);
  const auto local = [&](size_t i) { return (i / w - r.y0 + 1) * pw + (i % w - r.x0 + 1); };
  // Only the component's cells are ever read past `inside`, so only they are initialised: a
  // band-shaped component covers a small part of its box.
  s.inside.assign(pn, 0);
  s.cost.resize(pn), s.dist.resize(pn), s.pred.resize(pn);
  CellHeap& heap = s.heap;
  heap.reset(pn);
  for (size_t y = 0; y < r.h; ++y) {
    const size_t base = (r.y0 + y) * w + r.x0;
    for (size_t x = 0; x < r.w; ++x) {
      if (component[base + x] != c) continue;
      const size_t li = (y + 1) * pw + x + 1;
      s.inside[li] = 1;
      s.cost[li] = cost[base + x];
      s.dist[li] = INF;
      s.pred[li] = NONE;
      heap.place[li] = CellHeap::NONE;
    }
  }
  for (size_t st : starts) {
    s.dist[local(st)] = 0.0;
    heap.push(0.0, local(st));
  }
  // The moves (+1, 0), (-1, 0), (0, +1), (0, -1), (+1, +1), (-1, -1), (+1, -1), (-1, +1).
  const ptrdiff_t row = static_cast<ptrdiff_t>(pw);
  const ptrdiff_t STEP[8] = {1, -1, row, -row, row + 1, -row - 1, 1 - row, row - 1};
  static constexpr double FACTOR[8] = {1, 1, 1, 1, 1.4142, 1.4142, 1.4142, 1.4142};
  while (!heap.empty()) {
    const auto [dt, i] = heap.pop();
    for (int m = 0; m < 8; ++m) {
      const size_t j = static_cast<size_t>(static_cast<ptrdiff_t>(i) + STEP[m]);
      if (!s.inside[j]) continue;
      const double cand = dt + 0.5 * (s.cost[i] + s.cost[j]) * FACTOR[m];
      if (s.dist[j] > cand) {
        s.dist[j] = cand;
        s.pred[j] = i;
        heap.push(cand, j);
      }
    }
  }
  size_t goal = NONE;
  for (size_t g : goals)
    if (goal == NONE || s.dist[local(g)] < s.dist[local(goal)]) goal = g;
  if (goal == NONE || !std::isfinite(s.dist[local(goal)])) return {};
  std::vector<size_t> path;
  for (size_t i = local(goal); i != NONE; i = s.pred[i]) path.push_back((i / pw - 1 + r.y0) * w + i % pw - 1 + r.x0);
  return path;
}

std::vector<size_t> least_cost_path(std::span<const int32_t> component, int32_t c, std::span<const size_t> starts,
                                    std::span<const size_t> goals, std::span<const double> cost, size_t w, size_t h) {
  PathScratch scratch;
  return least_cost_path_in_rect(component, c, starts, goals, cost, w, CellRect{0, 0, w, h}, scratch);
}

}  // namespace tsl
