#pragma once
// The cheapest 8-connected path through one component of a label grid (row-major, w cells
// per row), from a set of start cells to the best-reached goal cell: Dijkstra's search with
// a step costing the mean of the two cells' costs, times 1.4142 diagonally.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace tsl {

// A rectangle of grid cells: columns x0..x0+w-1, rows y0..y0+h-1.
struct CellRect {
  size_t x0 = 0, y0 = 0, w = 0, h = 0;
};

// A 4-ary min-heap of (distance, cell) holding each cell at most once: a cell whose distance
// drops moves up in place. It pops cells in the order a heap of every pushed entry would pop
// their current entries, the superseded entries of that heap being the ones the search skips.
struct CellHeap {
  static constexpr size_t NONE = SIZE_MAX;
  using Item = std::pair<double, size_t>;  // ties order by the lower cell
  std::vector<Item> items;
  std::vector<size_t> place;  // per cell: its index in items, or NONE

  // Room for `cells` cells; the caller marks the places of those it will push NONE.
  void reset(size_t cells) {
    items.clear();
    place.resize(cells);
  }
  bool empty() const { return items.empty(); }
  void set(size_t k, const Item& it) {
    items[k] = it;
    place[it.second] = k;
  }
  void sift_up(size_t k, Item it) {
    while (k > 0) {
      const size_t parent = (k - 1) / 4;
      if (!(it < items[parent])) break;
      set(k, items[parent]);
      k = parent;
    }
    set(k, it);
  }
  // Inserts the cell, or moves it to its lower distance.
  void push(double d, size_t cell) {
    size_t k = place[cell];
    if (k == NONE) {
      k = items.size();
      items.emplace_back();
    }
    sift_up(k, {d, cell});
  }
  Item pop() {
    const Item top = items[0];
    place[top.second] = NONE;
    const Item last = items.back();
    items.pop_back();
    if (items.empty()) return top;
    size_t k = 0;
    for (;;) {
      const size_t first = 4 * k + 1;
      if (first >= items.size()) break;
      size_t best = first;
      for (size_t c = first + 1; c < std::min(first + 4, items.size()); ++c)
        if (items[c] < items[best]) best = c;
      if (!(items[best] < last)) break;
      set(k, items[best]);
      k = best;
    }
    set(k, last);
    return top;
  }
};

// The search's buffers, kept from one search to the next.
struct PathScratch {
  std::vector<uint8_t> inside;  // 1 for the component's cells
  std::vector<double> cost, dist;
  std::vector<size_t> pred;
  CellHeap heap;
};

// The path through the cells whose `component` value equals c, from any start cell to the
// best-reached goal cell. Ties go to the lower cell index, both in the search and among
// goals. Returns the path from the goal back to its start, or nothing when no goal is reached.
// Starts and goals must be cells of c.
std::vector<size_t> least_cost_path(std::span<const int32_t> component, int32_t c, std::span<const size_t> starts,
                                    std::span<const size_t> goals, std::span<const double> cost, size_t w, size_t h);

// least_cost_path confined to the rectangle `r` of a grid `w` cells wide, which must hold
// every cell of c; indices are the grid's and the result is that of the whole grid. Reuses
// the buffers of `scratch`.
std::vector<size_t> least_cost_path_in_rect(std::span<const int32_t> component, int32_t c,
                                            std::span<const size_t> starts, std::span<const size_t> goals,
                                            std::span<const double> cost, size_t w, CellRect r, PathScratch& scratch);

}  // namespace tsl
