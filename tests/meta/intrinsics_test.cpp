#include "meta/intrinsics.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tsl {
namespace {

// A 4000 x 3000 photo with no focal facts; each case adds its own.
ImageMeta photo() {
  ImageMeta m;
  m.path = "/flight/DJI_0001.JPG";
  m.width = 4000;
  m.height = 3000;
  return m;
}

constexpr double CX0 = 1999.5, CY0 = 1499.5;  // ((W - 1) / 2, (H - 1) / 2)
const char* DEWARP9 = "2022-06-08;3713.29,3713.30,7.02,-10.72,-0.1125,0.0148,-0.0000857,0.0000001,-0.0270";

TEST(LensFromMeta, FocalSources) {
  struct Case {
    const char* name;
    std::optional<double> override_px;
    XmpAttrs xmp;
    double px_per_mm, focal_mm, focal_35mm;
    double want_f, want_cx, want_cy;
  } cases[] = {
      {"override wins", 3600.0, {{"CalibratedFocalLength", "3000"}}, 648.0, 4.5, 24, 3600, CX0, CY0},
      {"override 0 counts as absent", 0.0, {{"CalibratedFocalLength", "3000"}}, NAN, NAN, NAN, 3000, CX0, CY0},
      {"calibrated without centre", std::nullopt, {{"CalibratedFocalLength", "3000"}}, NAN, NAN, NAN, 3000, CX0, CY0},
      {"calibrated with centre",
       std::nullopt,
       {{"CalibratedFocalLength", "3000"}, {"CalibratedOpticalCenterX", "2010.5"}, {"CalibratedOpticalCenterY", "1490"}},
       NAN, NAN, NAN, 3000, 2010.5, 1490},
      {"centre x equal to the width is refused",
       std::nullopt,
       {{"CalibratedFocalLength", "3000"}, {"CalibratedOpticalCenterX", "4000"}, {"CalibratedOpticalCenterY", "1490"}},
       NAN, NAN, NAN, 3000, CX0, CY0},
      {"NaN override skips the calibrated value", NAN, {{"CalibratedFocalLength", "3000"}}, NAN, NAN, 24,
       24 * 5000 / std::hypot(36.0, 24.0), CX0, CY0},
      // 4000 px / 648.3 px/mm = 6.17 mm sensor
      {"focal-plane resolution", std::nullopt, {}, 648.3, 4.5, 24, 4.5 * 648.3, CX0, CY0},
      {"40 mm sensor is not believed", std::nullopt, {}, 100.0, 4.5, 24, 24 * 5000 / std::hypot(36.0, 24.0), CX0, CY0},
      {"exactly 4 mm is not believed", std::nullopt, {}, 1000.0, 4.5, NAN, NAN, 0, 0},
      {"35 mm equivalent", std::nullopt, {}, NAN, NAN, 24, 24 * 5000 / std::hypot(36.0, 24.0), CX0, CY0},
      // A zero or negative focal length would turn every ray around or into NaN.
      {"calibrated 0 falls through", std::nullopt, {{"CalibratedFocalLength", "0"}}, NAN, NAN, 24,
       24 * 5000 / std::hypot(36.0, 24.0), CX0, CY0},
      {"negative EXIF focal falls through", std::nullopt, {}, 648.3, -4.5, NAN, NAN, 0, 0},
      {"nothing at all", std::nullopt, {}, NAN, NAN, NAN, NAN, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ImageMeta m = photo();
    m.xmp = c.xmp;
    m.px_per_mm = c.px_per_mm;
    m.focal_mm = c.focal_mm;
    m.focal_35mm = c.focal_35mm;
    auto cam = lens_from_meta(m, c.override_px);
    if (std::isnan(c.want_f)) {
      ASSERT_FALSE(cam.has_value());
      EXPECT_EQ(cam.error(), "DJI_0001.JPG: cannot determine focal length (use --focal-px)");
      continue;
    }
    ASSERT_TRUE(cam.has_value()) << cam.error();
    EXPECT_DOUBLE_EQ(cam->fx, c.want_f);
    EXPECT_DOUBLE_EQ(cam->fy, c.want_f);
    EXPECT_EQ(cam->cx, c.want_cx);
    EXPECT_EQ(cam->cy, c.want_cy);
    EXPECT_EQ(cam->kind, LensKind::None);
    EXPECT_EQ(cam->coeffs, std::vector<double>(7, 0.0));
    EXPECT_EQ(cam->width, 4000u);
    EXPECT_EQ(cam->height, 3000u);
  }
}

TEST(LensFromMeta, DewarpDataGivesBrownModel) {
  ImageMeta m = photo();
  m.xmp = {{"CalibratedFocalLength", "3000"}, {"DewarpData", DEWARP9}};
  auto cam = lens_from_meta(m, std::nullopt);
  ASSERT_TRUE(cam.has_value());
  EXPECT_EQ(cam->kind, LensKind::Brown);
  EXPECT_EQ(cam->fx, 3713.29);
  EXPECT_EQ(cam->fy, 3713.30);
  EXPECT_EQ(cam->cx, CX0 + 7.02);
  EXPECT_EQ(cam->cy, CY0 - 10.72);
  EXPECT_EQ(cam->coeffs, (std::vector<double>{-0.1125, 0.0148, -0.0000857, 0.0000001, -0.0270}));
}

TEST(LensFromMeta, DewarpDataIgnoredOrIncomplete) {
  struct Case {
    const char* name;
    XmpAttrs xmp;
    bool processed;
  } cases[] = {
      {"eight numbers", {{"DewarpData", "2022-06-08;1,2,3,4,5,6,7,8"}}, false},
      {"unparsable pieces are left out", {{"DewarpData", "d;1,2,3,4,x,5,6,7,8"}}, false},
      {"flag 1: already dewarped", {{"DewarpData", DEWARP9}, {"DewarpFlag", " 1 "}}, false},
      {"processed photo", {{"DewarpData", DEWARP9}}, true},
      {"empty value", {{"DewarpData", ""}}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ImageMeta m = photo();
    m.xmp = c.xmp;
    m.processed = c.processed;
    m.focal_35mm = 24;
    auto cam = lens_from_meta(m, std::nullopt);
    ASSERT_TRUE(cam.has_value());
    EXPECT_EQ(cam->kind, LensKind::None);
    EXPECT_DOUBLE_EQ(cam->fx, 24 * 5000 / std::hypot(36.0, 24.0));
  }
  ImageMeta m = photo();
  m.xmp = {{"DewarpData", "1,2,3,4,5,6,7,8,9,10"}, {"DewarpFlag", "0"}};  // no ";", extra numbers ignored
  m.focal_35mm = 24;
  auto cam = lens_from_meta(m, 3600.0);
  ASSERT_TRUE(cam.has_value());
  EXPECT_EQ(cam->kind, LensKind::Brown);
  EXPECT_EQ(cam->fx, 1.0);  // the calibration replaces even an override
  EXPECT_EQ(cam->coeffs, (std::vector<double>{5, 6, 7, 8, 9}));
}

TEST(LensFromMeta, DngWarpWinsAndSetsThePrincipalPoint) {
  ImageMeta m = photo();
  m.is_dng = true;
  m.xmp = {{"DewarpData", DEWARP9}};
  m.focal_35mm = 24;
  m.lens_ops = {VignOp{}, WarpOp{0.99, 0.01, -0.02, 0.001, 0.0001, -0.0002, 0.51, 0.48}, WarpOp{}};
  auto cam = lens_from_meta(m, std::nullopt);
  ASSERT_TRUE(cam.has_value());
  EXPECT_EQ(cam->kind, LensKind::DngWarp);
  EXPECT_EQ(cam->coeffs, (std::vector<double>{0.99, 0.01, -0.02, 0.001, 0.0001, -0.0002}));
  EXPECT_EQ(cam->dng_center.x, 0.51);
  EXPECT_EQ(cam->dng_center.y, 0.48);
  EXPECT_EQ(cam->cx, 3999 * 0.51);
  EXPECT_EQ(cam->cy, 2999 * 0.48);
  EXPECT_DOUBLE_EQ(cam->fx, 24 * 5000 / std::hypot(36.0, 24.0));

  m.lens_ops = {WarpOp{}};  // centre (0.5, 0.5) is the image centre
  cam = lens_from_meta(m, 3600.0);
  ASSERT_TRUE(cam.has_value());
  EXPECT_EQ(cam->cx, CX0);
  EXPECT_EQ(cam->cy, CY0);
  EXPECT_EQ(cam->fx, 3600.0);
}

}  // namespace
}  // namespace tsl
