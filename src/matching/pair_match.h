#pragma once
// One matched photo pair: the tie points that matching, the dense stage or an injected tie
// file found between photos i and j, read by the adjustment, the terrain model, the gain
// solve, the report and the tie dump.
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "geo/vec.h"

namespace tsl {

struct PairMatch {
  // ln(colour in photo j) - ln(colour in photo i) per channel (red, green, blue), the medians
  // over the ties; absent when the pair carries no colour figures (dense pairs, tie dumps).
  std::optional<std::array<double, 3>> log_ratio;
  std::vector<Vec2> a;      // kept ties in photo i, full-resolution pixels (x column, y row)
  std::vector<Vec2> b;      // the same ties in photo j, same order and length as `a`
  std::vector<Vec2> a_all;  // every inlier in photo i
  std::vector<Vec2> b_all;  // the same inliers in photo j, same length as `a_all`
  uint64_t i = 0;           // photo indices in the build's photo order
  uint64_t j = 0;
  uint64_t n = 0;           // number of kept ties
  double flow_cm = 0.0;     // median dense flow; 0 for sparse ties
  bool dense = false;
};

}  // namespace tsl
