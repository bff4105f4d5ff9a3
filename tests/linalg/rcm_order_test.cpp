#include "linalg/rcm_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "support/py_oracle.h"
#include "util/error.h"

namespace tsl {
namespace {

using Edges = std::vector<std::pair<uint32_t, uint32_t>>;

// Largest |position(u) - position(v)| over the edges when node order[k] gets position k.
size_t bandwidth(const Edges& edges, const std::vector<uint32_t>& order) {
  std::vector<size_t> pos(order.size());
  for (size_t k = 0; k < order.size(); ++k) pos[order[k]] = k;
  size_t w = 0;
  for (auto [u, v] : edges) w = std::max(w, pos[u] > pos[v] ? pos[u] - pos[v] : pos[v] - pos[u]);
  return w;
}

// A rows x cols grid graph (4-neighbours and one diagonal, like a photo block's overlaps)
// under randomly shuffled node labels.
Edges shuffled_grid(size_t rows, size_t cols, uint64_t seed) {
  std::vector<uint32_t> label(rows * cols);
  std::iota(label.begin(), label.end(), 0u);
  std::mt19937_64 rng(seed);
  std::shuffle(label.begin(), label.end(), rng);
  Edges e;
  for (size_t r = 0; r < rows; ++r)
    for (size_t c = 0; c < cols; ++c) {
      const uint32_t v = label[r * cols + c];
      if (c + 1 < cols) e.emplace_back(v, label[r * cols + c + 1]);
      if (r + 1 < rows) e.emplace_back(v, label[(r + 1) * cols + c]);
      if (r + 1 < rows && c + 1 < cols) e.emplace_back(v, label[(r + 1) * cols + c + 1]);
    }
  return e;
}

TEST(RcmOrder, AdjacencyDropsSelfEdgesAndRepeats) {
  const Edges edges = {{2, 0}, {0, 2}, {1, 1}, {3, 0}, {2, 0}};
  const Adjacency g = adjacency_from_edges(4, edges);
  EXPECT_EQ(g.start, (std::vector<size_t>{0, 2, 2, 3, 4}));
  EXPECT_EQ(g.index, (std::vector<uint32_t>{2, 3, 0, 0}));
  EXPECT_THROW(adjacency_from_edges(3, Edges{{0, 3}}), InternalError);
}

TEST(RcmOrder, OrderIsAPermutationOverEveryComponent) {
  struct Case {
    std::string name;
    size_t nodes;
    Edges edges;
  };
  const Case cases[] = {
      {"no nodes", 0, {}},
      {"isolated nodes only", 5, {}},
      {"two paths and an isolated node", 7, {{0, 3}, {3, 5}, {1, 6}, {6, 4}}},
      {"star", 6, {{2, 0}, {2, 1}, {2, 3}, {2, 4}, {2, 5}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint32_t> order = reverse_cuthill_mckee(adjacency_from_edges(c.nodes, c.edges));
    std::vector<uint32_t> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    std::vector<uint32_t> all(c.nodes);
    std::iota(all.begin(), all.end(), 0u);
    EXPECT_EQ(sorted, all);
  }
  // A path under shuffled labels comes out as the path itself: bandwidth 1.
  const Edges path = {{4, 2}, {2, 7}, {7, 0}, {0, 5}, {5, 1}, {1, 6}, {6, 3}};
  EXPECT_EQ(bandwidth(path, reverse_cuthill_mckee(adjacency_from_edges(8, path))), 1u);
}

TEST(RcmOrder, GridBandwidthMatchesScipy) {
  // scipy's reverse Cuthill-McKee on the same graphs is the yardstick; tie-breaking differs,
  // so ours may be a little wider but never by much, and far below the shuffled labels'.
  TSL_REQUIRE_PYTHON("scipy");
  struct Case {
    size_t rows, cols;
  };
  const Case cases[] = {{12, 30}, {40, 50}, {3, 200}};
  test::PyOracle py;
  std::vector<Edges> graphs;
  for (size_t k = 0; k < std::size(cases); ++k) {
    graphs.push_back(shuffled_grid(cases[k].rows, cases[k].cols, k + 1));
    std::vector<double> flat;
    for (auto [u, v] : graphs.back()) {
      flat.push_back(u);
      flat.push_back(v);
    }
    py.put("e" + std::to_string(k), flat);
    py.put("n" + std::to_string(k), std::vector<double>{static_cast<double>(cases[k].rows * cases[k].cols)});
  }
  ASSERT_EQ(py.run(R"(
import scipy.sparse as sp
from scipy.sparse.csgraph import reverse_cuthill_mckee
for k in range(3):
    e = load(f'e{k}').reshape(-1, 2).astype(int)
    n = int(load(f'n{k}')[0])
    a = sp.coo_matrix((np.ones(len(e)), (e[:, 0], e[:, 1])), shape=(n, n)).tocsr()
    a = a + a.T
    p = reverse_cuthill_mckee(a, symmetric_mode=True)
    pos = np.empty(n, int); pos[p] = np.arange(n)
    save(f'w{k}', np.array([np.abs(pos[e[:, 0]] - pos[e[:, 1]]).max()]))
)"),
            "");
  for (size_t k = 0; k < std::size(cases); ++k) {
    SCOPED_TRACE(testing::Message() << cases[k].rows << " x " << cases[k].cols);
    const size_t n = cases[k].rows * cases[k].cols;
    const std::vector<uint32_t> order = reverse_cuthill_mckee(adjacency_from_edges(n, graphs[k]));
    std::vector<uint32_t> identity(n);
    std::iota(identity.begin(), identity.end(), 0u);
    const size_t ours = bandwidth(graphs[k], order);
    const size_t scipy = static_cast<size_t>(py.get("w" + std::to_string(k))[0]);
    EXPECT_LE(ours, scipy + scipy / 4 + 1) << "scipy " << scipy;
    EXPECT_LE(ours, 2 * std::min(cases[k].rows, cases[k].cols) + 2);
    EXPECT_GT(bandwidth(graphs[k], identity), 4 * ours);
  }
}

}  // namespace
}  // namespace tsl
