// The dense stage's set-up: the flow back end's label, the decode scales, the dense ground
// sampling distance and the progress step.
#include "drivers/dense_stage.h"

#include <gtest/gtest.h>

#include <vector>

namespace tsl {
namespace {

TEST(DenseStageSetUp, FlowLabelScalesAndProgressStep) {
  EXPECT_EQ(flow_backend_label(FlowBackend::LucasKanade), "Lucas-Kanade (CPU)");
  EXPECT_EQ(flow_backend_label(FlowBackend::Dis), "DIS (CPU)");
  ImageMeta big, small;
  big.width = 4000;
  big.height = 3000;
  small.width = 1200;
  small.height = 900;
  const std::vector<ImageMeta> photos = {big, small};
  EXPECT_EQ(dense_scales(photos, 2000), (std::vector<double>{0.5, 1.0}));
  // A photo of unknown size: the quotient is infinite, so the scale is 1.
  EXPECT_EQ(dense_scales(std::vector<ImageMeta>{ImageMeta{}}, 2000), std::vector<double>{1.0});
  EXPECT_EQ(dense_progress_step(4), 1u);
  EXPECT_EQ(dense_progress_step(12), 2u);
  EXPECT_EQ(dense_progress_step(0), 1u);
  // 4000 px wide photos at 2000 px: twice the native gsd.
  CameraModel cam;
  cam.fx = cam.fy = 1000.0;
  big.lens = cam;
  const std::vector<ImageMeta> two = {big, big};
  const std::vector<Vec3> pos = {{0, 0, 100}, {0, 0, 100}};
  EXPECT_DOUBLE_EQ(dense_gsd(two, pos, Surface::plane(0.0), dense_scales(two, 2000)), 0.2);
}

}  // namespace
}  // namespace tsl
