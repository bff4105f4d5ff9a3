#include "img/ops/luma.h"

#include <gtest/gtest.h>

namespace tsl {
namespace {

TEST(RgbToLuma, WeightsOfTheVideoStandard) {
  const float rgb[] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 0.5f, 0.5f, 0.5f};
  const ImageF32 l = rgb_to_luma(4, 1, rgb);
  EXPECT_FLOAT_EQ(l.data[0], 0.299f);
  EXPECT_FLOAT_EQ(l.data[1], 0.587f);
  EXPECT_FLOAT_EQ(l.data[2], 0.114f);
  EXPECT_FLOAT_EQ(l.data[3], 0.5f);
}

}  // namespace
}  // namespace tsl
