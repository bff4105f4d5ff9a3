#include "img/ops/chamfer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace tsl {
namespace {

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

}  // namespace
}  // namespace tsl
