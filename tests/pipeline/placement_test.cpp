#include "pipeline/placement.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "logx.h"

namespace tsl {
namespace {

constexpr double D2R = M_PI / 180.0;

Vec3 row(const Mat3& r, int i) { return {r[3 * i], r[3 * i + 1], r[3 * i + 2]}; }
Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// The camera axes built geometrically: the view looks along the yaw, tilted by the pitch;
// with no roll the image's right is horizontal, a quarter turn clockwise from the view; the
// roll turns right and down about the view.
Mat3 rotation_by_construction(double yaw, double pitch, double roll) {
  const Vec3 view = {std::sin(yaw * D2R) * std::cos(pitch * D2R), std::cos(yaw * D2R) * std::cos(pitch * D2R),
                     std::sin(pitch * D2R)};
  const Vec3 right0 = {std::cos(yaw * D2R), -std::sin(yaw * D2R), 0.0};
  const Vec3 down0 = cross(view, right0);
  const double c = std::cos(roll * D2R), s = std::sin(roll * D2R);
  Mat3 r;
  for (int k = 0; k < 3; ++k) {
    r[k] = c * right0[k] + s * down0[k];
    r[3 + k] = c * down0[k] - s * right0[k];
    r[6 + k] = view[k];
  }
  return r;
}

TEST(RotationFromAngles, MatchesTheGeometricConstruction) {
  const double angles[][3] = {{0, -90, 0}, {90, -90, 0}, {-131.4, -89.9, 0}, {45, -60, 5},
                              {200, 0, -10}, {12, -120, 30}, {-359, 10, 180}};
  for (const auto& a : angles) {
    SCOPED_TRACE(testing::Message() << a[0] << " " << a[1] << " " << a[2]);
    const Mat3 got = rotation_from_angles(a[0], a[1], a[2]);
    const Mat3 want = rotation_by_construction(a[0], a[1], a[2]);
    for (int k = 0; k < 9; ++k) EXPECT_NEAR(got[k], want[k], 1e-15) << k;
    // Right-handed camera frame: right x down = view.
    const Vec3 v = cross(row(got, 0), row(got, 1));
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(v[k], got[6 + k], 1e-15);
  }
}

TEST(RotationFromAngles, NadirAndHorizontalExamples) {
  const Mat3 nadir = rotation_from_angles(0, -90, 0);
  const Mat3 want = {1, 0, 0, 0, -1, 0, 0, 0, -1};
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(nadir[k], want[k], 1e-16) << k;
  // At yaw 90 the image's top (minus the down row) points east.
  const Mat3 east = rotation_from_angles(90, -90, 0);
  EXPECT_NEAR(-east[3], 1.0, 1e-15);
  const Mat3 level = rotation_from_angles(30, 0, 0);
  EXPECT_NEAR(level[6], 0.5, 1e-15);
  EXPECT_NEAR(level[7], std::sqrt(3.0) / 2, 1e-15);
  EXPECT_NEAR(level[8], 0.0, 1e-16);
}

ImageMeta shot(double lat, double lon, double rel_alt = 80.0, double yaw = 0.0) {
  ImageMeta m;
  m.lat = lat;
  m.lon = lon;
  m.rel_alt = rel_alt;
  m.gimbal_yaw = yaw;
  m.gimbal_pitch = -90.0;
  return m;
}

// Runs place_images with its log line captured.
std::pair<Placement, std::vector<std::string>> place(std::vector<ImageMeta>& records) {
  auto capture = std::make_shared<CaptureList>();
  const LogContext before = log_context();
  set_log_capture(capture);
  Placement p = place_images(records);
  set_log_context(before);
  return {std::move(p), capture->lines};
}

TEST(PlaceImages, SinglePhotoFrame) {
  std::vector<ImageMeta> one = {shot(47.0, 8.0, 80.26)};
  auto [p, lines] = place(one);
  EXPECT_EQ(p.frame.zone, 32);
  EXPECT_FALSE(p.frame.south);
  EXPECT_EQ(utm_epsg(p.frame), 32632);
  EXPECT_EQ(std::fmod(p.frame.origin_e, 100.0), 0.0);
  EXPECT_EQ(std::fmod(p.frame.origin_n, 100.0), 0.0);
  EXPECT_LE(std::fabs(one[0].local_e), 50.0);
  EXPECT_LE(std::fabs(one[0].local_n), 50.0);
  const UtmPoint u = utm_forward(47.0, 8.0, 32, false);
  EXPECT_EQ(one[0].local_e, u.easting - p.frame.origin_e);
  EXPECT_EQ(p.positions[0], (Vec3{one[0].local_e, one[0].local_n, 80.26}));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "  UTM zone 32N (EPSG:32632), median rel. alt 80.3 m");
}

TEST(PlaceImages, ZoneFromTheMedianLongitude) {
  std::vector<ImageMeta> set = {shot(50, 5.9), shot(50, 6.0), shot(50, 6.1)};
  EXPECT_EQ(place(set).first.frame.zone, 32);  // floor(186 / 6) + 1
}

TEST(PlaceImages, SouthFrameKeepsFalseNorthingForNorthernPhotos) {
  std::vector<ImageMeta> set = {shot(-0.5, 9.0), shot(-0.6, 9.0), shot(0.1, 9.0)};
  auto [p, lines] = place(set);
  EXPECT_TRUE(p.frame.south);
  EXPECT_EQ(utm_epsg(p.frame), 32732);
  const UtmPoint north_photo = utm_forward(0.1, 9.0, 32, true);
  EXPECT_GT(north_photo.northing, 10000000.0);
  EXPECT_EQ(set[2].local_n, north_photo.northing - p.frame.origin_n);
  // One continuous frame: 0.6 degrees of latitude north of the first photo, no 10,000 km jump.
  EXPECT_NEAR(set[2].local_n - set[0].local_n, 66350.0, 100.0);
  EXPECT_EQ(lines[0].substr(0, 29), "  UTM zone 32S (EPSG:32732), ");
}

TEST(PlaceImages, YawTurnedToGridNorth) {
  // Zone 32's central meridian is 9 degrees east.
  std::vector<ImageMeta> set = {shot(47.0, 9.0, 80, 30.0), shot(47.0, 10.0, 80, 30.0), shot(47.0, 8.0, 80, 30.0)};
  place(set);
  EXPECT_EQ(set[0].grid_yaw, 30.0);
  EXPECT_LT(set[1].grid_yaw, 30.0);  // east of the meridian, grid north lies east of true north
  EXPECT_GT(set[2].grid_yaw, 30.0);
  const double gamma_deg = std::atan(std::tan(1.0 * D2R) * std::sin(47.0 * D2R)) / D2R;
  EXPECT_NEAR(set[1].grid_yaw, 30.0 - gamma_deg, 1e-12);
}

}  // namespace
}  // namespace tsl
