#include "pipeline/build_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/camera_fixtures.h"

namespace tsl {
namespace {

std::vector<std::string> keys(const JsonValue& object) {
  std::vector<std::string> out;
  for (const JsonMember& m : object.as_object()) out.push_back(m.first);
  return out;
}

TEST(BuildReport, RoundToHalvesAwayFromZero) {
  const struct {
    double value;
    int decimals;
    double want;
  } cases[] = {
      {0.9876543214, 9, 0.987654321}, {1.23456, 4, 1.2346}, {0.00025, 4, 0.0003}, {-0.00025, 4, -0.0003},
      {12.34, 1, 12.3},               {0.05, 1, 0.1},       {-2.5, 0, -3},
  };
  for (const auto& c : cases) EXPECT_EQ(round_to(c.value, c.decimals), c.want) << c.value;
}

// The rounded solution is exactly what a reader of the report gets back: rotations and gains
// parse to the same doubles, and the absolute east and north minus the origin give the same
// local positions, so a reuse renders from identical numbers.
TEST(BuildReport, RoundedSolutionSurvivesTheReport) {
  std::vector<Mat3> rotations = {Mat3{0.99899250512345, -0.0448773041, 5.8666e-05, -0.044877267, -0.99898757,
                                      0.00314104, -8.2355e-05, -0.003140508, -0.999995065}};
  std::vector<Vec3> positions = {Vec3{61.753303091571234, -39.842266536, 69.783}, Vec3{-0.1, 1e-9, 0}};
  std::vector<Gain> gains = {Gain{1.14141414, 0.99995, 1.0}};
  const double e0 = 446700, n0 = 5205400;
  round_as_reported(rotations, positions, gains, e0, n0);
  for (const Vec3& p : positions) {
    const double e = json_parse(json_to_string(JsonValue(e0 + p[0])))->f64_or(0) - e0;
    EXPECT_EQ(e, p[0]);
    const double n = json_parse(json_to_string(JsonValue(n0 + p[1])))->f64_or(0) - n0;
    EXPECT_EQ(n, p[1]);
  }
  for (double v : rotations[0]) EXPECT_EQ(round_to(v, 9), v);
  EXPECT_EQ(gains[0], (Gain{1.1414, 1.0, 1.0}));
  // Rounding again changes nothing.
  std::vector<Mat3> again_r = rotations;
  std::vector<Vec3> again_p = positions;
  std::vector<Gain> again_g = gains;
  round_as_reported(again_r, again_p, again_g, e0, n0);
  EXPECT_EQ(again_r, rotations);
  EXPECT_EQ(again_p, positions);
  EXPECT_EQ(again_g, gains);
}

struct Fixture {
  ImageSet set;
  std::vector<Mat3> rotations;
  std::vector<Vec3> positions;
  std::vector<Gain> gains;
  Config config;
  Surface surface = Surface::plane(0.0);
  JsonValue adjustment = JsonValue::empty_object();
  JsonValue tie_pairs = JsonValue::empty_array();

  // Two photos of two cameras (the second a different model) and one skipped file, in zone 32
  // south with origin (400000, 7000000).
  Fixture() {
    set.zone = 32;
    set.south = true;
    set.origin_e = 400000;
    set.origin_n = 7000000;
    set.skipped = {{"DJI_0009.JPG", "no GPS"}};
    for (int k = 0; k < 2; ++k) {
      ImageMeta m;
      m.path = k == 0 ? "/f/DJI_0001.JPG" : "/f/DJI_0002.JPG";
      m.model = k == 0 ? "FC300S" : "FC6310";
      m.width = 4000;
      m.height = 3000;
      m.focal_mm = 3.6;
      m.time = "2024:05:01 10:00:0" + std::to_string(k);
      m.lens = test::pinhole_4000x3000();
      m.lens->selfcal = {0.001 * (k + 1), 0.0};
      set.images.push_back(m);
    }
    rotations = {Mat3{0.9876543214, 0, 0, 0, -1, 0, 0, 0, -1}, Mat3{1, 0, 0, 0, -1, 0, 0, 0, -1}};
    positions = {Vec3{10.25, -5, 70}, Vec3{50, 5, 71}};
    gains = {Gain{1.23456, 0.00025, 1}, Gain{1, 1, 1}};
    config.workers = 3;
    config.ev = 0.5;
    config.options = JsonValue::empty_object();
    config.options.set_strings("input", {"/f"});
  }

  ReportInputs inputs() const {
    ReportInputs in;
    in.images = &set;
    in.rotations = rotations;
    in.positions = positions;
    in.gains = gains;
    in.config = &config;
    in.output = "/out/ortho.tif";
    in.gsd_m = 0.0875;
    in.width = 1200;
    in.height = 900;
    in.left_e = -40;
    in.top_n = 30;
    in.adjustment = &adjustment;
    in.tie_pairs = &tie_pairs;
    in.surface = &surface;
    in.preview = "/out/ortho_preview.jpg";
    in.seconds = 12.34;
    in.timings = {{"metadata", 0.5}, {"render", 1.25}, {"metadata", 0.75}};
    return in;
  }
};

TEST(BuildReport, MembersInOrder) {
  Fixture f;
  const JsonValue r = make_report(f.inputs());
  EXPECT_EQ(keys(r), (std::vector<std::string>{"version", "images", "output", "epsg", "zone", "south", "gsd_m",
                                               "size_px", "origin_utm", "lens", "selfcal", "ground_z", "adjustment",
                                               "finish", "tie_pairs", "skipped", "surface", "surface_file",
                                               "seam_file", "preview", "shots", "seconds", "config", "timings",
                                               "workers"}));
  EXPECT_EQ(r["version"].as_string(), "0.5.0b4");
  EXPECT_EQ(r["epsg"].as_f64(), 32732);
  EXPECT_EQ(json_to_string(r["origin_utm"]), "[399960, 7000030]");
  EXPECT_EQ(json_to_string(r["size_px"]), "[1200, 900]");
  EXPECT_EQ(json_to_string(r["lens"]),
            R"({"W": 4000, "H": 3000, "fx": 3000, "fy": 3000, "cx": 2000, "cy": 1500, "kind": "none", )"
            R"("k": [0, 0, 0, 0, 0, 0, 0], "selfcal": [0.001, 0]})");
  EXPECT_EQ(json_to_string(r["selfcal"]), R"({"FC300S|4000x3000|3.6": [0.001, 0], "FC6310|4000x3000|3.6": [0.002, 0]})");
  EXPECT_EQ(json_to_string(r["finish"]), R"({"ev": 0.5, "wb": [1, 1, 1], "saturation": 1, "contrast": 0})");
  EXPECT_EQ(json_to_string(r["skipped"]), R"([["DJI_0009.JPG", "no GPS"]])");
  EXPECT_EQ(json_to_string(r["surface"]), R"({"kind": "plane", "z0": 0})");
  EXPECT_TRUE(r["surface_file"].is_null());
  EXPECT_TRUE(r["seam_file"].is_null());
  EXPECT_EQ(r["preview"].as_string(), "/out/ortho_preview.jpg");
  EXPECT_EQ(r["seconds"].as_f64(), 12.3);
  // A repeated stage keeps its first place and takes the later time; "render" ends the list
  // in a real build because the report step closes that stage last.
  EXPECT_EQ(json_to_string(r["timings"]), R"({"metadata": 0.75, "render": 1.25})");
  EXPECT_EQ(r["workers"].as_f64(), 3);
  EXPECT_EQ(json_to_string(r["config"]), R"({"input": ["/f"]})");
}

TEST(BuildReport, ShotsRoundRotationsAndGains) {
  Fixture f;
  const JsonValue r = make_report(f.inputs());
  ASSERT_EQ(r["shots"].size(), 2u);
  EXPECT_EQ(json_to_string(r["shots"].at(0)),
            R"({"file": "DJI_0001.JPG", "path": "/f/DJI_0001.JPG", "E": 400010.25, "N": 6999995, "h": 70, )"
            R"("R": [[0.987654321, 0, 0], [0, -1, 0], [0, 0, -1]], "gain": [1.2346, 0.0003, 1], "pos_corr": 0, )"
            R"("rot_corr": 0, "time": "2024:05:01 10:00:00"})");
}

TEST(BuildReport, AdjustmentIsFilteredAndCorrectionsReported) {
  Fixture f;
  auto parsed = json_parse(R"({"rms": 0.3, "pos_corr_m": [1, 2], "_params": [9], "rot_corr_deg": [0.1, 0.2],
                               "ties_per_image": [5, 5], "a_b": 1})");
  f.adjustment = *parsed;
  f.tie_pairs = *json_parse("[[0, 1, 5]]");
  const std::vector<double> pos = {0.5, 1.5}, rot = {0.01, 0.02};
  ReportInputs in = f.inputs();
  in.pos_corr = pos;
  in.rot_corr = rot;
  in.surface_file = "/out/ortho_surface.npz";
  in.preview.reset();
  const JsonValue r = make_report(in);
  EXPECT_EQ(json_to_string(r["adjustment"]), R"({"rms": 0.3, "ties_per_image": [5, 5], "a_b": 1})");
  EXPECT_EQ(json_to_string(r["tie_pairs"]), "[[0, 1, 5]]");
  EXPECT_EQ(r["shots"].at(1)["pos_corr"].as_f64(), 1.5);
  EXPECT_EQ(r["shots"].at(1)["rot_corr"].as_f64(), 0.02);
  EXPECT_EQ(r["surface_file"].as_string(), "/out/ortho_surface.npz");
  EXPECT_TRUE(r["preview"].is_null());

  // A reused report's members pass through: a tie list of Null stays Null, an adjustment that
  // is not an object becomes {}.
  JsonValue null_ties, odd_adjustment(JsonArray{JsonValue(1)});
  in.tie_pairs = &null_ties;
  in.adjustment = &odd_adjustment;
  const JsonValue reused = make_report(in);
  EXPECT_TRUE(reused["tie_pairs"].is_null());
  EXPECT_EQ(json_to_string(reused["adjustment"]), "{}");
}

}  // namespace
}  // namespace tsl
