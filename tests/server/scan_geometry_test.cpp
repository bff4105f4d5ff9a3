// The scan's flight figures on synthetic nadir flights whose footprints are exact rectangles,
// so every overlap is known in closed form.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support/render_fixtures.h"
#include "server/http.h"
#include "server/scan.h"

namespace tsl {
namespace {

// 100 m along east, 60 m along north from 50 m up; fx = 50 * 999 / 100.
constexpr double ALONG = 100.0, ACROSS = 60.0, ALT = 50.0;

struct Shot {
  double e = 0.0, n = 0.0;
  std::string time;
  std::string name;
};

ImageSet flight(const std::vector<Shot>& shots) {
  ImageSet set;
  for (const Shot& s : shots) {
    ImageMeta m = test::nadir_photo(s.name, 1000, 600, ALT, ALONG, ACROSS);
    m.time = s.time;
    set.images.push_back(m);
    set.rotations.push_back(test::nadir_rotation());
    set.positions.push_back({s.e, s.n, ALT});
  }
  set.zone = 32;
  return set;
}

// Shots k = 0.. along east every `step` metres on the line north = n, timed in that order
// (or the reverse order when `back`), seconds counted from `t0`.
std::vector<Shot> leg(int count, double step, double n, int t0, bool back, const std::string& prefix) {
  std::vector<Shot> out;
  for (int k = 0; k < count; ++k) {
    const int t = t0 + (back ? count - 1 - k : k);
    const std::string minute = (t < 10 ? "0" : "") + std::to_string(t);
    out.push_back({k * step, n, "2024:05:14 10:" + minute + ":00", prefix + std::to_string(t) + ".jpg"});
  }
  return out;
}

TEST(ScanGeometry, FiveInARowMeasureSideOverlapAcrossThreeShots) {
  const ImageSet set = flight(leg(5, 20.0, 0.0, 0, false, "a"));
  const ScanGeometry g = scan_geometry(set);
  ASSERT_EQ(g.forward.size(), 4u);
  for (double r : g.forward) EXPECT_NEAR(r, 0.8, 1e-9);
  // Photos 0, 1, 3 and 4 each find a photo three or more shots away; the middle one none.
  ASSERT_EQ(g.side.size(), 4u);
  for (double r : g.side) EXPECT_NEAR(r, 0.4, 1e-9);
  EXPECT_NEAR(g.area_m2, (ALONG + 80.0) * ACROSS, 1e-6);
  EXPECT_NEAR(g.gsd, ALT / (ALT * 999.0 / ALONG), 1e-12);
  EXPECT_NEAR(g.areas[2], ALONG * ACROSS, 1e-6);
  EXPECT_EQ(g.footprints[0].size(), 16u);
}

TEST(ScanGeometry, ThreeInARowHaveNoSideNeighbour) {
  const ImageSet set = flight(leg(3, 20.0, 0.0, 0, false, "a"));
  const ScanGeometry g = scan_geometry(set);
  EXPECT_TRUE(g.side.empty());
  EXPECT_EQ(g.forward.size(), 2u);
  const JsonValue reply = scan_reply(set, g, {});
  EXPECT_TRUE(reply["stats"]["side"].is_null());
  EXPECT_NEAR(reply["stats"]["forward"].as_f64(), 0.8, 1e-9);
}

TEST(ScanGeometry, SerpentineFindsTheOtherLegAndSkipsTheTurn) {
  // Two legs 40 m apart (side overlap 1/3 of 60 m), the second flown back west; the turn pair
  // (last of leg one, first of leg two) lies side by side and overlaps by 1/3 > 0.2.
  std::vector<Shot> shots = leg(6, 20.0, 0.0, 0, false, "a");
  for (const Shot& s : leg(6, 20.0, 40.0, 6, true, "b")) shots.push_back(s);
  const ImageSet set = flight(shots);
  const ScanGeometry g = scan_geometry(set);
  ASSERT_EQ(g.forward.size(), 11u);
  EXPECT_NEAR(g.forward[5], 1.0 / 3.0, 1e-9);
  ASSERT_EQ(g.side.size(), 12u);
  // Every photo's best neighbour three shots away is its twin on the other leg (or, at the
  // turn, the photo three along its own leg at 0.4).
  for (size_t v = 0; v < 12; ++v) EXPECT_GE(g.side[v], 1.0 / 3.0 - 1e-9) << v;
  const JsonValue reply = scan_reply(set, g, {});
  EXPECT_GE(reply["stats"]["side"].as_f64(), 1.0 / 3.0 - 1e-9);
  EXPECT_LE(reply["stats"]["side"].as_f64(), 0.4 + 1e-9);
  // The middle photos of a leg see only the other leg: a2 at (40, 0) gets its twin b at (40, 40).
  EXPECT_NEAR(g.side[2], 1.0 / 3.0, 1e-9);
  EXPECT_NEAR(reply["stats"]["forward"].as_f64(), 0.8, 1e-9);
}

TEST(ScanGeometry, CaptureOrderIsTimeThenFileName) {
  ImageSet set = flight({{0, 0, "2024:05:14 10:00:01", "b.jpg"},
                         {20, 0, "2024:05:14 10:00:01", "a.jpg"},
                         {40, 0, "", "z.jpg"},
                         {60, 0, "2024:05:14 10:00:00", "c.jpg"}});
  const ScanGeometry g = scan_geometry(set);
  EXPECT_EQ(g.seq, (std::vector<size_t>{3, 2, 0, 1}));
}

TEST(ScanGeometry, ReplyShapeAndRounding) {
  ImageSet set = flight({{0.125, -0.004, "t", "a.jpg"}});
  set.origin_e = 400000;
  set.origin_n = 5200000;
  set.south = true;
  set.skipped = {{"x.jpg", "no GPS"}};
  set.images[0].lat = 47.0;
  set.images[0].gimbal_yaw = 12.5;
  set.images[0].meta_from = "orig.jpg";
  const ScanGeometry g = scan_geometry(set);
  const JsonValue reply = scan_reply(set, g, {"line"});
  std::vector<std::string> keys;
  for (const auto& [k, v] : reply.as_object()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"log", "origin", "zone", "south", "epsg", "skipped", "camera", "stats",
                                            "shots"}));
  EXPECT_EQ(reply["epsg"].as_f64(), 32732);
  EXPECT_EQ(json_reply_text(reply["skipped"]), R"([["x.jpg", "no GPS"]])");
  const JsonValue& s = reply["shots"].at(0);
  EXPECT_EQ(s["E"].as_f64(), 0.125);  // unrounded
  EXPECT_EQ(s["fp"].at(0).at(0).as_f64(), std::round(g.footprints[0][0].x * 100.0) / 100.0);
  EXPECT_EQ(s["meta"].as_string(), "orig.jpg");
  EXPECT_TRUE(s["lon"].is_null());
  EXPECT_TRUE(s["pitch"].is_null());
  EXPECT_EQ(s["yaw"].as_f64(), 12.5);
  EXPECT_TRUE(s["exposure"].is_null());
  EXPECT_EQ(reply["camera"]["lens"].as_string(), "none");
  EXPECT_EQ(reply["camera"]["W"].as_f64(), 1000);
}

TEST(ScanGeometry, NonFiniteFiguresReachThePageAsNull) {
  // Two cameras on the ground collapse their footprints and make the median GSD 0, so the
  // estimated size is infinite; a side overlap with only NaN ratios is minus infinity.
  ImageSet set = flight({{0, 0, "1", "a.jpg"}, {10, 0, "2", "b.jpg"}, {20, 0, "3", "c.jpg"}});
  set.positions[0][2] = 0.0;
  set.positions[1][2] = 0.0;
  ScanGeometry g = scan_geometry(set);
  EXPECT_EQ(g.gsd, 0.0);
  g.side = {-std::numeric_limits<double>::infinity()};
  const JsonValue reply = scan_reply(set, g, {});
  EXPECT_TRUE(std::isinf(reply["stats"]["est_mpix"].as_f64()));
  const std::string text = json_reply_text(reply["stats"]);
  EXPECT_NE(text.find("\"side\": null"), std::string::npos) << text;
  EXPECT_NE(text.find("\"est_mpix\": null"), std::string::npos) << text;
  EXPECT_EQ(text.find("Infinity"), std::string::npos) << text;
}

TEST(ScanGeometry, RayParallelToTheGroundDoesNotBreakTheScan) {
  ImageSet set = flight(leg(5, 20.0, 0.0, 0, false, "a"));
  // Looking at the horizon: half the border rays never meet the ground.
  set.rotations[2] = {1, 0, 0, 0, 0, -1, 0, 1, 0};
  const ScanGeometry g = scan_geometry(set);
  EXPECT_EQ(g.seq.size(), 5u);
  EXPECT_FALSE(std::isnan(g.area_m2));
}

}  // namespace
}  // namespace tsl
