#include "pipeline/collect_images.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <sstream>

#include "logx.h"
#include "meta/fixture_cache.h"
#include "support/test_util.h"
#include "util/text.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

using Lines = std::vector<std::string>;
using Skips = std::vector<std::pair<std::string, std::string>>;

struct StageRun {
  std::expected<ImageSet, std::string> result;
  Lines lines;
};

// Runs the stage with its log lines captured (the parallel readers inherit the capture).
StageRun run_stage(const Config& config) {
  auto capture = std::make_shared<CaptureList>();
  const LogContext before = log_context();
  set_log_capture(capture);
  auto result = collect_images(config);
  set_log_context(before);
  return {std::move(result), capture->lines};
}

// Flight folders assembled per test from the photos of tests/pipeline/stage_fixtures.py.
class StageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pool = test::cached_fixture_dir("tests/pipeline/stage_fixtures.py");
    if (pool.empty()) GTEST_SKIP() << "needs cjpeg, exiftool and python3-tifffile";
  }
  // Copies photo `from` (a fixture name without extension) to `to` under the test's folder.
  fs::path put(const std::string& from, const std::string& to) {
    const fs::path target = dir / to;
    fs::create_directories(target.parent_path());
    fs::copy_file(pool / (from + ".jpg"), target, fs::copy_options::overwrite_existing);
    return target;
  }
  Config config_for(std::vector<std::string> inputs) {
    Config c;
    c.input = std::move(inputs);
    c.workers = 4;
    return c;
  }
  Config config() { return config_for({dir.path().string()}); }

  fs::path pool;
  test::TempDir dir;
};

TEST_F(StageTest, NothingToReadFailsBeforeAnyLine) {
  test::write_file_text(dir / "notes.txt", "");
  put("line_0", "DJI_0001.JPG");
  struct Case {
    const char* name;
    Config config;
  } cases[] = {
      {"empty folder", config_for({(dir / "none").string()})},
      {"no image extension", config_for({(dir / "notes.txt").string()})},
      {"all excluded", [&] {
         Config c = config();
         c.exclude = {"dji_0001.jpg"};
         return c;
       }()},
  };
  fs::create_directories(dir / "none");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto run = run_stage(c.config);
    ASSERT_FALSE(run.result.has_value());
    EXPECT_EQ(run.result.error(), "no images found");
    EXPECT_TRUE(run.lines.empty());
  }
}

TEST_F(StageTest, UnreadableAndExcludedFilesAreNamed) {
  for (int k = 0; k < 5; ++k) put(format("line_{}", k), format("DJI_000{}.JPG", k));
  test::write_file_text(dir / "DJI_0009.JPG", "not a jpeg");
  Config c = config();
  c.exclude = {"DJI_0004.jpg"};
  auto run = run_stage(c);
  ASSERT_TRUE(run.result.has_value()) << run.result.error();
  EXPECT_EQ(run.result->images.size(), 4u);
  EXPECT_EQ(run.result->skipped, (Skips{{"DJI_0004.JPG", "excluded"}, {"DJI_0009.JPG", "unreadable"}}));
  ASSERT_GE(run.lines.size(), 2u);
  EXPECT_EQ(run.lines[0], "[1/6] metadata: 5 files");
  EXPECT_EQ(run.lines[1], "  skip DJI_0009.JPG: cannot read JPEG size");
}

TEST_F(StageTest, FiltersDecideTheReason) {
  struct Case {
    const char* photo;
    const char* reason;  // empty: usable
  } cases[] = {
      {"rel_2_00", ""},
      {"rel_1_99", "no/low relative altitude"},
      {"abs_only", ""},  // 200 m above sea level over ground at 120 m
      {"no_gps", "no GPS"},
      {"no_pose", "no GPS"},  // neither GPS nor angles: the first check fails
      {"no_gimbal", "no gimbal angles"},
      {"tilted_64_9", "tilted -65°"},
      {"tilted_65_0", ""},
      // Regression: a gimbal pitched past nadir used to pass any tilt limit.
      {"past_nadir_120", "tilted -120°"},
  };
  for (const auto& c : cases) put(c.photo, std::string(c.photo) + ".jpg");
  Config cfg = config();
  cfg.ground_amsl = 120.0;
  auto run = run_stage(cfg);
  ASSERT_TRUE(run.result.has_value()) << run.result.error();
  Skips want_skips;
  Lines want_lines;
  std::vector<std::string> usable;
  for (const auto& c : cases) {
    const std::string name = std::string(c.photo) + ".jpg";
    if (*c.reason == '\0') {
      usable.push_back(name);
    } else {
      want_skips.emplace_back(name, c.reason);
      want_lines.push_back(format("  skip {}: {}", name, c.reason));
    }
  }
  // Both lists follow the read list, which is in path order.
  std::sort(want_skips.begin(), want_skips.end());
  std::sort(want_lines.begin(), want_lines.end(), [](const std::string& a, const std::string& b) {
    return a.substr(7) < b.substr(7);
  });
  std::sort(usable.begin(), usable.end());
  EXPECT_EQ(run.result->skipped, want_skips);
  std::vector<std::string> got_usable;
  for (const ImageMeta& m : run.result->images) got_usable.push_back(m.path.filename().string());
  EXPECT_EQ(got_usable, usable);
  Lines skip_lines;
  for (const auto& l : run.lines)
    if (l.starts_with("  skip ")) skip_lines.push_back(l);
  EXPECT_EQ(skip_lines, want_lines);
  for (const ImageMeta& m : run.result->images) {
    if (m.path.filename() == "abs_only.jpg") {
      EXPECT_EQ(m.rel_alt, 80.0);
    }
  }
}

TEST_F(StageTest, EverythingFilteredIsNoUsableImages) {
  put("no_gps", "a.jpg");
  put("rel_1_99", "b.jpg");
  auto run = run_stage(config());
  ASSERT_FALSE(run.result.has_value());
  EXPECT_EQ(run.result.error(), "no usable images: 2 skipped (1 no GPS, 1 no/low relative altitude)");
  EXPECT_EQ(run.lines,
            (Lines{"[1/6] metadata: 2 files", "  skip a.jpg: no GPS", "  skip b.jpg: no/low relative altitude"}));
}

TEST_F(StageTest, MissingFocalLengthSkipsOrTakesTheOverride) {
  put("line_0", "a.jpg");
  put("no_focal", "b.jpg");
  auto run = run_stage(config());
  ASSERT_TRUE(run.result.has_value());
  EXPECT_EQ(run.result->skipped, (Skips{{"b.jpg", "no focal length"}}));
  // The lens message starts with the file name; the skip line names it once.
  EXPECT_EQ(run.lines[1], "  skip b.jpg: cannot determine focal length (use --focal-px)");

  Config c = config();
  c.focal_px = 1800.0;
  run = run_stage(c);
  ASSERT_TRUE(run.result.has_value());
  // Usable now, but without an EXIF focal length it is a camera of its own.
  EXPECT_EQ(run.result->skipped, (Skips{{"b.jpg", "other camera FC300S|64x48|nan"}}));
}

// A focal length that no survey camera has (here forced by the override on a 64 px wide
// photo) would map the frame onto a speck of ground, or beyond the horizon.
TEST_F(StageTest, FieldOfViewOutsideSurveyCamerasIsSkipped) {
  put("line_0", "a.jpg");
  struct Case {
    double focal_px;
    const char* line;  // empty: usable
  } cases[] = {
      {1e6, "  skip a.jpg: focal length 1000000.0 px gives a field of view of 0.004° (outside 1..170°)"},
      {3670.0, "  skip a.jpg: focal length 3670.0 px gives a field of view of 0.999° (outside 1..170°)"},
      {3600.0, ""},
      {3.0, ""},  // 169.3°
      {2.5, "  skip a.jpg: focal length 2.5 px gives a field of view of 171.066° (outside 1..170°)"},
  };
  for (const Case& c : cases) {
    Config cfg = config();
    cfg.focal_px = c.focal_px;
    auto run = run_stage(cfg);
    if (*c.line == '\0') {
      ASSERT_TRUE(run.result.has_value()) << c.focal_px << ": " << run.result.error();
      EXPECT_TRUE(run.result->skipped.empty()) << c.focal_px;
      continue;
    }
    ASSERT_FALSE(run.result.has_value()) << c.focal_px;
    EXPECT_EQ(run.result.error(), "no usable images: 1 skipped (1 focal length out of range)");
    ASSERT_GE(run.lines.size(), 2u);
    EXPECT_EQ(run.lines[1], c.line);
  }
}

TEST_F(StageTest, DominantCameraWins) {
  put("line_0", "a1.jpg");
  put("other_camera", "a2.jpg");
  put("line_1", "b1.jpg");
  put("other_camera", "b2.jpg");
  put("other_camera", "c1.jpg");
  put("line_2", "c2.jpg");
  auto run = run_stage(config());
  ASSERT_TRUE(run.result.has_value());
  // Three each: the camera of the first photo in read order wins the tie.
  EXPECT_EQ(run.result->images.size(), 3u);
  EXPECT_EQ(run.lines[1],
            "  cameras found: {'FC300S|64x48|3.6': 3, 'FC6310|64x48|8.8': 3} -> using 'FC300S|64x48|3.6' "
            "(--all-cameras to mix)");
  EXPECT_EQ(run.result->skipped, (Skips{{"a2.jpg", "other camera FC6310|64x48|8.8"},
                                        {"b2.jpg", "other camera FC6310|64x48|8.8"},
                                        {"c1.jpg", "other camera FC6310|64x48|8.8"}}));
  put("other_camera", "d.jpg");  // now the other camera has more photos
  run = run_stage(config());
  ASSERT_TRUE(run.result.has_value());
  EXPECT_EQ(run.result->images[0].model, "FC6310");

  Config all = config();
  all.all_cameras = true;
  run = run_stage(all);
  ASSERT_TRUE(run.result.has_value());
  EXPECT_EQ(run.result->images.size(), 7u);
  for (const auto& l : run.lines) EXPECT_FALSE(l.starts_with("  cameras found"));
}

TEST_F(StageTest, SummaryAndPlacementLines) {
  for (int k = 0; k < 6; ++k) put(format("line_{}", k), format("DJI_00{}.JPG", 10 + k));
  auto run = run_stage(config());
  ASSERT_TRUE(run.result.has_value());
  const double f = 20 * std::hypot(64.0, 48.0) / std::hypot(36.0, 24.0);
  EXPECT_EQ(run.lines, (Lines{"[1/6] metadata: 6 files",
                              format("  6 usable (0 DNG) | DJI FC300S 64x48 f={:.0}px lens=none vignette=none", f),
                              "  UTM zone 15N (EPSG:32615), median rel. alt 40.1 m"}));
  const ImageSet& set = *run.result;
  EXPECT_EQ(set.zone, 15);
  EXPECT_FALSE(set.south);
  EXPECT_EQ(set.vignette, "none");
  ASSERT_EQ(set.rotations.size(), 6u);
  ASSERT_EQ(set.positions.size(), 6u);
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(set.positions[i][0], set.images[i].local_e);
    EXPECT_EQ(set.positions[i][2], 40.1);
    ASSERT_TRUE(set.images[i].lens.has_value());
  }
}

TEST_F(StageTest, ProcessedFileBorrowsThePoseOfItsOriginal) {
  put("line_3", "IMG_1234.JPG");
  put("no_pose", "IMG_1234-Enhanced-NR.jpg");
  put("line_0", "IMG_0001.JPG");
  auto run = run_stage(config());
  ASSERT_TRUE(run.result.has_value()) << run.result.error();
  const ImageSet& set = *run.result;
  ASSERT_EQ(set.images.size(), 2u);
  const ImageMeta& nr = set.images[1];
  EXPECT_EQ(nr.path.filename(), "IMG_1234-Enhanced-NR.jpg");
  EXPECT_EQ(nr.meta_from, "IMG_1234.JPG");
  EXPECT_TRUE(nr.processed);
  EXPECT_EQ(nr.rel_alt, 40.1);
  EXPECT_EQ(run.lines[0], "[1/6] metadata: 2 files (1 processed, originals used for metadata)");
  EXPECT_EQ(run.lines[1], "  pose metadata taken from originals for 1 image(s)");
  EXPECT_EQ(run.lines[2], "  1 pre-processed image(s) (e.g. DxO): metadata lens/vignette corrections disabled");
}

// Regression: a name inside another (photo1 in photo10) made photo10 borrow photo1's pose.
TEST_F(StageTest, NumberedShotNeverBorrowsAnotherShotsPose) {
  put("line_0", "photo1.jpg");
  put("no_pose", "photo10.jpg");
  auto run = run_stage(config());
  ASSERT_TRUE(run.result.has_value());
  EXPECT_EQ(run.lines[0], "[1/6] metadata: 2 files");
  EXPECT_EQ(run.result->skipped, (Skips{{"photo10.jpg", "no GPS"}}));
}

TEST_F(StageTest, MetaFromFolderSuppliesThePose) {
  put("line_2", "originals/DJI_0042.JPG");
  put("no_pose_dxo", "developed/DJI_0042-DxO_DeepPRIME.jpg");
  Config c = config_for({(dir / "developed").string()});
  c.meta_from = {(dir / "originals").string()};
  auto run = run_stage(c);
  ASSERT_TRUE(run.result.has_value()) << run.result.error();
  ASSERT_EQ(run.result->images.size(), 1u);
  const ImageMeta& m = run.result->images[0];
  EXPECT_EQ(m.meta_from, "DJI_0042.JPG");
  EXPECT_TRUE(m.processed);  // DxO in its software
  EXPECT_EQ(m.gimbal_pitch, -90.0);
  EXPECT_EQ(run.lines.back().substr(0, 12), "  UTM zone 1");
  EXPECT_NE(run.lines[3].find("[pre-processed]"), std::string::npos) << run.lines[3];
}

TEST_F(StageTest, PairedFileMarkedProcessedLosesTheDroneCalibration) {
  // Its own pose is complete, but a developer wrote it from the original next to it: the
  // distortion in its DewarpData is already gone from the pixels.
  put("line_0", "IMG_0007.JPG");
  put("dewarp", "IMG_0007-edit.jpg");
  auto run = run_stage(config());
  ASSERT_TRUE(run.result.has_value());
  const ImageMeta& m = run.result->images[0];
  EXPECT_TRUE(m.processed);
  EXPECT_TRUE(m.meta_from.empty());
  ASSERT_TRUE(m.lens.has_value());
  EXPECT_EQ(m.lens->kind, LensKind::None);

  Config no_mode = config();
  no_mode.processed = "no";
  run = run_stage(no_mode);
  ASSERT_TRUE(run.result.has_value());
  EXPECT_FALSE(run.result->images[0].processed);
  EXPECT_EQ(run.result->images[0].lens->kind, LensKind::Brown);
}

TEST_F(StageTest, NoLensSwitchClearsTheDistortion) {
  put("dewarp", "a.jpg");
  Config c = config();
  c.no_lens = true;
  c.no_vignette = true;
  auto run = run_stage(c);
  ASSERT_TRUE(run.result.has_value());
  const CameraModel& lens = *run.result->images[0].lens;
  EXPECT_EQ(lens.kind, LensKind::None);
  EXPECT_EQ(lens.coeffs, std::vector<double>(5, 0.0));
  EXPECT_EQ(lens.fx, 2100.0);  // the calibrated focal length stays
  EXPECT_NE(run.lines[1].find("lens=none vignette=none"), std::string::npos) << run.lines[1];
}

TEST(CameraKey, ModelSizeAndFocal) {
  ImageMeta m;
  m.model = "FC300S";
  m.width = 4000;
  m.height = 2250;
  struct Case {
    double focal;
    const char* want;
  } cases[] = {{3.61, "FC300S|4000x2250|3.6"},    {24, "FC300S|4000x2250|24.0"},
               {4.55, "FC300S|4000x2250|4.5"},     {NAN, "FC300S|4000x2250|nan"},
               {INFINITY, "FC300S|4000x2250|inf"}, {-INFINITY, "FC300S|4000x2250|-inf"}};
  for (const auto& c : cases) {
    m.focal_mm = c.focal;
    EXPECT_EQ(camera_key(m), c.want);
  }
}

// The real flight: every photo usable, placed where PROJ puts it, in 3 lines of 6 shots.
TEST(CollectImages, RealFlightFormsThreeLines) {
  TSL_REQUIRE_SHARED_DATA();
  Config c;
  c.input = {(test::shared_data_dir() / "dji-phantom3-brighton-beach").string()};
  c.workers = 4;
  auto run = run_stage(c);
  ASSERT_TRUE(run.result.has_value()) << run.result.error();
  const ImageSet& set = *run.result;
  ASSERT_EQ(set.images.size(), 18u);
  EXPECT_TRUE(set.skipped.empty());
  EXPECT_EQ(set.zone, 15);
  EXPECT_EQ(run.lines.back(), "  UTM zone 15N (EPSG:32615), median rel. alt 40.1 m");

  if (test::have_tool("cs2cs")) {
    std::string in;
    for (const ImageMeta& m : set.images)
      in += format("{} {} 0\n", shortest_positional(m.lon), shortest_positional(m.lat));
    test::TempDir tmp;
    test::write_file_text(tmp / "in.txt", in);
    auto r = test::run_command("cs2cs -f %.6f +proj=longlat +datum=WGS84 +to +proj=utm +zone=15 +datum=WGS84 " +
                               test::shell_quote((tmp / "in.txt").string()));
    std::istringstream out(r.out);
    for (size_t i = 0; i < set.images.size(); ++i) {
      double e, n, z;
      out >> e >> n >> z;
      EXPECT_NEAR(set.positions[i][0] + set.origin_e, e, 1e-3) << i;
      EXPECT_NEAR(set.positions[i][1] + set.origin_n, n, 1e-3) << i;
    }
  }

  // Photos DJI_0018..0035 in capture order: lines of 6, flown alternately NE and SW.
  for (int line = 0; line < 3; ++line) {
    const Vec3& first = set.positions[6 * line];
    const Vec3& last = set.positions[6 * line + 5];
    const double length = std::hypot(last[0] - first[0], last[1] - first[1]);
    EXPECT_NEAR(length / 5, 13.5, 1.5) << "shot spacing on line " << line;
  }
  // Line spacing: distance between line centres across the flight direction.
  Vec3 centre[3] = {};
  for (int line = 0; line < 3; ++line)
    for (int k = 0; k < 6; ++k)
      for (int a = 0; a < 2; ++a) centre[line][a] += set.positions[6 * line + k][a] / 6;
  const double dir_e = set.positions[5][0] - set.positions[0][0], dir_n = set.positions[5][1] - set.positions[0][1];
  const double len = std::hypot(dir_e, dir_n);
  for (int line = 1; line < 3; ++line) {
    const double de = centre[line][0] - centre[line - 1][0], dn = centre[line][1] - centre[line - 1][1];
    const double across = std::fabs(de * dir_n - dn * dir_e) / len;
    EXPECT_NEAR(across, 25.5, 2.0) << "between lines " << line - 1 << " and " << line;
  }
}

}  // namespace
}  // namespace tsl
