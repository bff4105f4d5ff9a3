#pragma once
// Distance transform of a byte mask: how far every cell of a row-major w x h grid lies from
// the nearest seed (non-zero byte), by a two-pass 3 x 3 chamfer in fixed point.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tsl {

// Distances in cells, steps 0.9550018 (orthogonal) and 1.3692932 (diagonal) cells: the
// weights that best fit the true distance over a 3 x 3 mask. Cells that no seed reaches get
// the largest finite float. `seeds` shorter than w x h is an internal error.
std::vector<float> chamfer_distance(std::span<const uint8_t> seeds, size_t w, size_t h);

// The same into `out`, with `fixed` as the fixed-point scratch; both keep their storage
// between calls.
void chamfer_distance_into(std::span<const uint8_t> seeds, size_t w, size_t h, std::vector<int64_t>& fixed,
                           std::vector<float>& out);

}  // namespace tsl
