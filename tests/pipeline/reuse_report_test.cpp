#include "pipeline/reuse_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/camera_fixtures.h"
#include "support/log_capture.h"
#include "support/test_util.h"
#include "util/npy.h"
#include "util/text.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

constexpr Mat3 NADIR = {1, 0, 0, 0, -1, 0, 0, 0, -1};
// Nadir turned 90 degrees about the vertical: image right points south.
constexpr Mat3 TURNED = {0, -1, 0, -1, 0, 0, 0, 0, -1};

// Three photos of one camera (key "FC300S|4000x3000|3.6") in zone 33 north, origin
// (500000, 5400000), metadata poses nadir 100 m up at east 0, 40 and 80.
ImageSet three_photos() {
  ImageSet set;
  set.zone = 33;
  set.origin_e = 500000;
  set.origin_n = 5400000;
  for (int k = 0; k < 3; ++k) {
    ImageMeta m;
    m.path = format("/flight/DJI_000{}.JPG", k + 1);
    m.model = "FC300S";
    m.width = 4000;
    m.height = 3000;
    m.focal_mm = 3.6;
    m.lens = test::pinhole_4000x3000();
    set.images.push_back(m);
    set.rotations.push_back(NADIR);
    set.positions.push_back({40.0 * k, 0.0, 100.0});
  }
  return set;
}

std::string json_quoted(const fs::path& path) { return json_to_string(JsonValue(path.string())); }

struct Loaded {
  std::expected<ReusedSolution, std::string> result;
  std::vector<std::string> lines;
};

Loaded load(const test::TempDir& dir, const std::string& report, ImageSet& set, bool dsm = true) {
  test::write_file_text(dir / "old_report.json", report);
  test::LogCapture log;
  auto r = load_reuse_report(dir / "old_report.json", dsm, set);
  return {std::move(r), log.lines()};
}

const char* const SHOT_2 =
    R"({"file": "DJI_0002.JPG", "E": 500041.5, "N": 5400002, "h": 99.5,
        "R": [[0, -1, 0], [-1, 0, 0], [0, 0, -1]], "gain": [1.1, 0.9, 1.05]})";

TEST(ReuseReport, PosesAndGainsByFileName) {
  test::TempDir dir;
  ImageSet set = three_photos();
  // Photo 3 has no shot; photo 1's first shot lacks "R" and is passed over; of two shots with
  // "R" the first wins; a gain of 4 values is ignored.
  const std::string report = format(
      R"({{"epsg": 32633, "ground_z": "-2.5", "adjustment": {{"rms": 0.3}}, "tie_pairs": [[0, 1, 50]],
          "shots": [7, {{"file": "DJI_0001.JPG", "E": 1}},
                    {{"file": "DJI_0001.JPG", "E": 499999, "N": 5399999, "h": 101, "R": [[1, 0, 0], [0, -1, 0], [0, 0, -1]],
                      "gain": [1, 2, 3, 4]}},
                    {{"file": "DJI_0001.JPG", "E": 0, "N": 0, "h": 0, "R": [[1, 0, 0], [0, -1, 0], [0, 0, -1]]}},
                    {}]}})",
      SHOT_2);
  Loaded got = load(dir, report, set);
  ASSERT_TRUE(got.result.has_value()) << got.result.error();
  const ReusedSolution& s = *got.result;
  EXPECT_EQ(s.positions[0], (Vec3{-1, -1, 101}));
  EXPECT_EQ(s.gains[0], (Gain{1, 1, 1}));
  EXPECT_EQ(s.rotations[1], TURNED);
  EXPECT_EQ(s.positions[1], (Vec3{41.5, 2, 99.5}));
  EXPECT_EQ(s.gains[1], (Gain{1.1, 0.9, 1.05}));
  EXPECT_EQ(s.rotations[2], NADIR);
  EXPECT_EQ(s.positions[2], (Vec3{80, 0, 100}));
  EXPECT_EQ(s.gains[2], (Gain{1, 1, 1}));
  EXPECT_EQ(s.ground_z, -2.5);
  EXPECT_FALSE(s.surface.z.has_value());
  EXPECT_EQ(s.surface.z0, -2.5);
  EXPECT_EQ(json_to_string(s.adjustment), R"({"rms": 0.3})");
  EXPECT_EQ(json_to_string(s.tie_pairs), "[[0, 1, 50]]");
  EXPECT_EQ(got.lines, std::vector<std::string>{"[2-5/6] reusing solved poses + gains from old_report.json (2/3 images)"});
}

// Regression: a shot with a missing or malformed rotation or position was taken as zeros,
// which lost the photo (a zero rotation) or stretched the output box to the UTM origin.
TEST(ReuseReport, ShotsWithoutAUsablePoseKeepTheMetadataPose) {
  const std::string good_r = "[[0, -1, 0], [-1, 0, 0], [0, 0, -1]]";
  struct Case {
    std::string name, shot;
  };
  const Case cases[] = {
      {"zero rotation", R"("R": [[0, 0, 0], [0, 0, 0], [0, 0, 0]], "E": 500000, "N": 5400000, "h": 90)"},
      {"rotation not an array", R"("R": 5, "E": 500000, "N": 5400000, "h": 90)"},
      {"rotation row too short", R"("R": [[0, -1], [-1, 0, 0], [0, 0, -1]], "E": 500000, "N": 5400000, "h": 90)"},
      {"NaN in the rotation", R"("R": [[0, -1, 0], [-1, NaN, 0], [0, 0, -1]], "E": 500000, "N": 5400000, "h": 90)"},
      {"text in the rotation", R"("R": [[0, -1, 0], [-1, "x", 0], [0, 0, -1]], "E": 500000, "N": 5400000, "h": 90)"},
      {"scaled rotation", R"("R": [[0, -2, 0], [-2, 0, 0], [0, 0, -2]], "E": 500000, "N": 5400000, "h": 90)"},
      {"mirror, not a rotation", R"("R": [[0, 1, 0], [-1, 0, 0], [0, 0, -1]], "E": 500000, "N": 5400000, "h": 90)"},
      {"missing E", R"("R": )" + good_r + R"(, "N": 5400000, "h": 90)"},
      {"missing h", R"("R": )" + good_r + R"(, "E": 500000, "N": 5400000)"},
      {"infinite N", R"("R": )" + good_r + R"(, "E": 500000, "N": Infinity, "h": 90)"},
      {"null E", R"("R": )" + good_r + R"(, "E": null, "N": 5400000, "h": 90)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    ImageSet set = three_photos();
    const std::string report = format(
        R"({{"epsg": 32633, "shots": [{{"file": "DJI_0001.JPG", {}, "gain": [2, 2, 2]}}, {}]}})", c.shot, SHOT_2);
    Loaded got = load(dir, report, set);
    ASSERT_TRUE(got.result.has_value()) << got.result.error();
    EXPECT_EQ(got.result->rotations[0], NADIR);
    EXPECT_EQ(got.result->positions[0], (Vec3{0, 0, 100}));
    EXPECT_EQ(got.result->gains[0], (Gain{1, 1, 1}));
    EXPECT_EQ(got.result->rotations[1], TURNED);
    EXPECT_EQ(got.lines, (std::vector<std::string>{
                             "  warning: DJI_0001.JPG in the report has no usable pose - metadata pose used",
                             "[2-5/6] reusing solved poses + gains from old_report.json (1/3 images)"}));
  }
}

TEST(ReuseReport, GainsOnlyWhenThreeFinitePositiveValues) {
  const std::pair<std::string, Gain> cases[] = {
      {"[1.5, \"0.5\", true]", {1.5, 0.5, 1}}, {"[1, 2]", {1, 1, 1}},    {"[1, 2, 3, 4]", {1, 1, 1}},
      {"[1, NaN, 1]", {1, 1, 1}},                {"[1, 0, 1]", {1, 1, 1}}, {"\"1, 1, 1\"", {1, 1, 1}},
  };
  for (const auto& [gain, want] : cases) {
    SCOPED_TRACE(gain);
    test::TempDir dir;
    ImageSet set = three_photos();
    Loaded got = load(dir,
                      format(R"({{"epsg": 32633, "shots": [{{"file": "DJI_0003.JPG", "E": 500000, "N": 5400000,
                                 "h": 1, "R": [[1, 0, 0], [0, -1, 0], [0, 0, -1]], "gain": {}}}]}})",
                             gain),
                      set);
    ASSERT_TRUE(got.result.has_value());
    EXPECT_EQ(got.result->gains[2], want);
  }
}

TEST(ReuseReport, ZoneCheck) {
  struct Case {
    std::string epsg;
    bool south;
    bool ok;
  };
  const Case cases[] = {
      {"32633", false, true},   {"\"32633\"", false, true}, {"\" 32633.9 \"", false, true}, {"32733", false, false},
      {"32733", true, true},    {"\"x\"", false, false},    {"null", false, false},          {"[32633]", false, false},
      {"NaN", false, false},    {"1e300", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.epsg);
    test::TempDir dir;
    ImageSet set = three_photos();
    set.south = c.south;
    Loaded got = load(dir, format(R"({{"epsg": {}}})", c.epsg), set);
    EXPECT_EQ(got.result.has_value(), c.ok);
    if (!c.ok) {
      EXPECT_EQ(got.result.error(), "--reuse report is from a different UTM zone");
    }
  }
  test::TempDir dir;
  ImageSet set = three_photos();
  EXPECT_EQ(load(dir, "{}", set).result.error(), "--reuse report is from a different UTM zone");
  EXPECT_EQ(load(dir, "[1, 2]", set).result.error(), "--reuse report is from a different UTM zone");
}

TEST(ReuseReport, FileErrors) {
  test::TempDir dir;
  ImageSet set = three_photos();
  const fs::path missing = dir / "gone_report.json";
  EXPECT_EQ(load_reuse_report(missing, true, set).error(),
            "cannot read " + missing.string() + ": No such file or directory (os error 2)");
  test::write_file_text(dir / "cut_report.json", "{\"epsg\": 32633, ");
  EXPECT_EQ(load_reuse_report(dir / "cut_report.json", true, set).error(),
            "bad report " + (dir / "cut_report.json").string() + ": unexpected end");
  test::write_file_bytes(dir / "bin_report.json", {'{', 0xC3, '}'});
  EXPECT_EQ(load_reuse_report(dir / "bin_report.json", true, set).error(),
            "cannot read " + (dir / "bin_report.json").string() + ": stream did not contain valid UTF-8");
}

// Self-calibration terms replace those of the named camera's photos; a member for another
// camera changes nothing, and terms a camera model cannot hold are ignored with a warning
// (a list of 4 used to reach the lens model and abort the render).
TEST(ReuseReport, SelfCalibrationTerms) {
  test::TempDir dir;
  ImageSet set = three_photos();
  set.images[2].model = "OTHER";
  Loaded got = load(dir, R"({"epsg": 32633, "selfcal": {
      "FC300S|4000x3000|3.6": [0.01, -0.02],
      "FC300S|4000x3000|3.6": [0.01, -0.02, 0.001, 0.002, 0, 0],
      "X7|6000x4000|16.0": [0.5, 0.5],
      "OTHER|4000x3000|3.6": [0.1, 0.2, 0.3, 0.4]}})",
                    set);
  ASSERT_TRUE(got.result.has_value());
  const std::vector<double> six = {0.01, -0.02, 0.001, 0.002, 0, 0};
  EXPECT_EQ(set.images[0].lens->selfcal, six);
  EXPECT_EQ(set.images[1].lens->selfcal, six);
  EXPECT_EQ(set.images[2].lens->selfcal, (std::vector<double>{0, 0}));
  EXPECT_EQ(got.lines.front(),
            "  warning: self-calibration of OTHER|4000x3000|3.6 in the report ignored (4 terms, or not all numbers)");

  ImageSet again = three_photos();
  Loaded nan = load(dir, R"({"epsg": 32633, "selfcal": {"FC300S|4000x3000|3.6": [0.01, NaN]}})", again);
  ASSERT_TRUE(nan.result.has_value());
  EXPECT_EQ(again.images[0].lens->selfcal, (std::vector<double>{0, 0}));
}

TEST(ReuseReport, TerrainModel) {
  test::TempDir dir;
  // A 3 x 2 grid whose north-west node lies 10 m east and 20 m north of the origin.
  const std::vector<NamedArray> arrays = {
      {"z0", {std::vector<double>{1.5}, {}}},
      {"E0", {std::vector<double>{500010}, {}}},
      {"N0", {std::vector<double>{5400020}, {}}},
      {"cell", {std::vector<double>{2}, {}}},
      {"Z", {std::vector<float>{1, 2, 3, 4, 5, 6}, {2, 3}}},
  };
  ASSERT_TRUE(write_npz(dir / "old_surface.npz", arrays).has_value());
  const std::string with_file =
      format(R"({{"epsg": 32633, "ground_z": 4, "surface_file": {}}})", json_quoted(dir / "old_surface.npz"));
  {
    ImageSet set = three_photos();
    Loaded got = load(dir, with_file, set);
    ASSERT_TRUE(got.result.has_value()) << got.result.error();
    ASSERT_TRUE(got.result->surface.z.has_value());
    EXPECT_EQ(got.result->surface.e0, 10);
    EXPECT_EQ(got.result->surface.n0, 20);
    EXPECT_EQ(got.result->surface.nx, 3u);
    EXPECT_EQ(got.lines.back(), "  reusing DSM old_surface.npz");
  }
  {
    SCOPED_TRACE("a plane surface wanted: the file is not opened");
    ImageSet set = three_photos();
    Loaded got = load(dir, with_file, set, false);
    ASSERT_TRUE(got.result.has_value());
    EXPECT_FALSE(got.result->surface.z.has_value());
    EXPECT_EQ(got.result->surface.z0, 4);
  }
  for (const std::string& file : {(dir / "vanished.npz").string(), dir.path().string()}) {
    SCOPED_TRACE(file);
    ImageSet set = three_photos();
    Loaded got = load(dir, format(R"({{"epsg": 32633, "ground_z": 4, "surface_file": {}}})", json_quoted(file)), set);
    ASSERT_TRUE(got.result.has_value());
    EXPECT_FALSE(got.result->surface.z.has_value());
    EXPECT_EQ(got.result->surface.z0, 4);
  }
  {
    SCOPED_TRACE("a damaged terrain file is an error");
    test::write_file_text(dir / "broken.npz", "not a zip");
    ImageSet set = three_photos();
    Loaded got = load(dir, format(R"({{"epsg": 32633, "surface_file": {}}})", json_quoted(dir / "broken.npz")), set);
    ASSERT_FALSE(got.result.has_value());
    EXPECT_FALSE(got.result.error().empty());
  }
  {
    SCOPED_TRACE("a ground height that is not finite falls back to 0");
    ImageSet set = three_photos();
    Loaded got = load(dir, R"({"epsg": 32633, "ground_z": NaN})", set);
    ASSERT_TRUE(got.result.has_value());
    EXPECT_EQ(got.result->ground_z, 0);
    EXPECT_TRUE(got.result->adjustment.is_null());
    EXPECT_TRUE(got.result->tie_pairs.is_null());
  }
}

}  // namespace
}  // namespace tsl
