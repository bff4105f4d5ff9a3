#include "drivers/render_stage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace tsl {
namespace {

TEST(RenderStage, PreviewSize) {
  const struct {
    uint64_t width, height, preview_px;
    double scale;
    uint64_t preview_width;
  } cases[] = {
      {10000, 2000, 4096, 0.4096, 4096},
      {2000, 10000, 4096, 0.4096, 819},  // 819.2 rounds down
      {372, 408, 4096, 1.0, 372},        // smaller than the preview: its own size
      {3, 1000, 64, 0.064, 1},           // never narrower than one pixel
      {1001, 10, 100, 100.0 / 1001.0, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
    const PreviewSize p = preview_size(c.width, c.height, c.preview_px);
    EXPECT_DOUBLE_EQ(p.scale, c.scale);
    EXPECT_EQ(p.width, c.preview_width);
  }
}

TEST(RenderStage, OutputBits) {
  Config config;
  EXPECT_EQ(output_bits(config, 5, 5).value(), 16u);  // all DNG
  EXPECT_EQ(output_bits(config, 5, 4).value(), 8u);   // one JPEG among them
  EXPECT_EQ(output_bits(config, 5, 0).value(), 8u);
  config.bits = 16;
  EXPECT_EQ(output_bits(config, 5, 0).value(), 16u);
  config.bits = 8;
  EXPECT_EQ(output_bits(config, 5, 5).value(), 8u);
  // A stored option map is not checked against the option's choices; the writer knows only 8
  // and 16 bits.
  config.bits = 12;
  EXPECT_EQ(output_bits(config, 5, 5).error(), "--bits 12 is not 8 or 16");
}

TEST(RenderStage, BoundsInLocalMetres) {
  Config config;
  EXPECT_FALSE(local_bounds(config, 500000, 5400000).has_value());
  const GroundBounds want = {-100, 50, 200, 250};
  config.bounds = std::array<double, 4>{499900, 5400050, 500200, 5400250};
  EXPECT_EQ(local_bounds(config, 500000, 5400000).value(), want);
  config.bounds = std::array<double, 4>{500200, 5400250, 499900, 5400050};  // corners swapped
  EXPECT_EQ(local_bounds(config, 500000, 5400000).value(), want);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  config.bounds = std::array<double, 4>{nan, 5400250, 499900, 5400050};
  const GroundBounds one_nan = local_bounds(config, 500000, 5400000).value();
  EXPECT_EQ(one_nan[0], -100);  // the other corner's east on both sides
  EXPECT_EQ(one_nan[2], -100);
  EXPECT_EQ(one_nan[1], 50);
}

}  // namespace
}  // namespace tsl
