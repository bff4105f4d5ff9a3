#pragma once
// Brute-force descriptor matching with Lowe's ratio test, in single precision: every query
// descriptor of photo i against every candidate descriptor of photo j.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "sift/descriptor.h"

namespace tsl {

inline constexpr float RATIO = 0.8f;     // best squared distance must stay below 0.8 x second

struct DescMatch {
  uint32_t i = 0;  // keypoint index in photo i
  uint32_t j = 0;  // keypoint index in photo j
};

// For each index p of `query` (in order) the nearest candidate q of `cand` by squared
// distance max(|p|^2 + |q|^2 - 2 p.q, 0): kept when best < 0.8 x second best. Equal distances
// keep the earlier candidate; several queries may take the same candidate. Descriptors are
// DESC_LEN floats at DESC_LEN x index of desc_i / desc_j; indices must be in range (the
// caller checks the descriptor count once). The queries are shared among up to `threads`
// threads (inline when called from a parallel worker); each query's result is the same
// whatever their number.
std::vector<DescMatch> ratio_match(std::span<const float> desc_i, std::span<const uint32_t> query,
                                   std::span<const float> desc_j, std::span<const uint32_t> cand,
                                   size_t threads = 1);

// The same rule with one plain dot product per comparison: the reference for tests and
// benchmarks (its sums run in another order, so rare near-ties may decide differently).
std::vector<DescMatch> ratio_match_plain(std::span<const float> desc_i, std::span<const uint32_t> query,
                                         std::span<const float> desc_j, std::span<const uint32_t> cand);

}  // namespace tsl
