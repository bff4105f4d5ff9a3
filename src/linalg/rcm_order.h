#pragma once
// Reverse Cuthill-McKee ordering of an undirected graph: a numbering that keeps every node's
// neighbours close to it, so a symmetric matrix with this graph has a narrow envelope and its
// Cholesky factor fills in little (a mapping block's photos end up ordered in sweeping fronts
// across the block instead of flight order).
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace tsl {

// Neighbour lists of a graph with `nodes` nodes in compressed form: the neighbours of node v
// are index[start[v] .. start[v+1]), sorted ascending, without v itself or repeats.
struct Adjacency {
  std::vector<size_t> start;  // nodes + 1 entries
  std::vector<uint32_t> index;
};

// The adjacency of the undirected edges (u, v); self-edges and repeats are dropped. An end
// outside [0, nodes) is a caller's bug (InternalError).
Adjacency adjacency_from_edges(size_t nodes, std::span<const std::pair<uint32_t, uint32_t>> edges);

// order[k] = the node numbered k. Every connected component is numbered on its own, starting
// from a pseudo-peripheral node of it; components follow their lowest node. Neighbours are
// visited by increasing degree, ties by index, so the ordering depends on the graph alone.
std::vector<uint32_t> reverse_cuthill_mckee(const Adjacency& graph);

}  // namespace tsl
