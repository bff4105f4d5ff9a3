#include "linalg/rcm_order.h"

#include <algorithm>

#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

size_t degree(const Adjacency& g, uint32_t v) { return g.start[v + 1] - g.start[v]; }

// Breadth-first levels from `root` over the unvisited part of the graph; returns the nodes in
// visiting order (neighbours by increasing degree, ties by index) and the depth of the last.
// `mark` holds `stamp` for every node reached.
size_t bfs(const Adjacency& g, uint32_t root, std::vector<uint32_t>& mark, uint32_t stamp,
           std::span<const uint8_t> done, std::vector<uint32_t>& visit, std::vector<uint32_t>& level) {
  visit.clear();
  visit.push_back(root);
  mark[root] = stamp;
  level[root] = 0;
  std::vector<uint32_t> next;
  for (size_t head = 0; head < visit.size(); ++head) {
    const uint32_t v = visit[head];
    next.clear();
    for (size_t e = g.start[v]; e < g.start[v + 1]; ++e) {
      const uint32_t u = g.index[e];
      if (done[u] || mark[u] == stamp) continue;
      mark[u] = stamp;
      level[u] = level[v] + 1;
      next.push_back(u);
    }
    std::sort(next.begin(), next.end(), [&](uint32_t a, uint32_t b) {
      const size_t da = degree(g, a), db = degree(g, b);
      return da != db ? da < db : a < b;
    });
    visit.insert(visit.end(), next.begin(), next.end());
  }
  return level[visit.back()];
}

}  // namespace

Adjacency adjacency_from_edges(size_t nodes, std::span<const std::pair<uint32_t, uint32_t>> edges) {
  std::vector<std::pair<uint32_t, uint32_t>> both;
  both.reserve(2 * edges.size());
  for (const auto& [u, v] : edges) {
    if (u >= nodes || v >= nodes) internal_error(format("adjacency_from_edges: edge ({}, {}) for {} nodes", u, v, nodes));
    if (u == v) continue;
    both.emplace_back(u, v);
    both.emplace_back(v, u);
  }
  std::sort(both.begin(), both.end());
  both.erase(std::unique(both.begin(), both.end()), both.end());
  Adjacency g;
  g.start.assign(nodes + 1, 0);
  for (const auto& e : both) ++g.start[e.first + 1];
  for (size_t v = 0; v < nodes; ++v) g.start[v + 1] += g.start[v];
  g.index.reserve(both.size());
  for (const auto& e : both) g.index.push_back(e.second);
  return g;
}

std::vector<uint32_t> reverse_cuthill_mckee(const Adjacency& g) {
  const size_t n = g.start.empty() ? 0 : g.start.size() - 1;
  std::vector<uint8_t> done(n, 0);
  std::vector<uint32_t> mark(n, 0), level(n, 0), visit, order;
  order.reserve(n);
  uint32_t stamp = 0;
  for (uint32_t seed = 0; seed < n; ++seed) {
    if (done[seed]) continue;
    // Pseudo-peripheral start (George and Liu): move to a node of least degree on the
    // deepest level while that makes the level structure deeper.
    uint32_t root = seed;
    size_t depth = bfs(g, root, mark, ++stamp, done, visit, level);
    for (;;) {
      uint32_t best = root;
      for (uint32_t v : visit)
        if (level[v] == depth && (best == root || degree(g, v) < degree(g, best))) best = v;
      if (best == root) break;
      const size_t d = bfs(g, best, mark, ++stamp, done, visit, level);
      if (d <= depth) {
        bfs(g, root, mark, ++stamp, done, visit, level);
        break;
      }
      root = best;
      depth = d;
    }
    for (uint32_t v : visit) done[v] = 1;
    order.insert(order.end(), visit.rbegin(), visit.rend());
  }
  return order;
}

}  // namespace tsl
