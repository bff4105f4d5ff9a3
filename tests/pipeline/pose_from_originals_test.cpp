#include "pipeline/pose_from_originals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "logx.h"
#include "meta/fixture_cache.h"
#include "meta/meta_reader.h"
#include "support/test_util.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

using Names = std::vector<std::string>;

class CandidatesTest : public ::testing::Test {
 protected:
  test::TempDir dir;
  void touch(const std::string& rel) {
    fs::create_directories((dir / rel).parent_path());
    test::write_file_text(dir / rel, "");
  }
  Names candidates(const std::string& rel, const std::string& original_name = "",
                   std::vector<std::string> folders = {}) {
    ImageMeta m;
    m.path = dir / rel;
    m.original_name = original_name;
    FolderCache cache;
    Names out;
    for (const fs::path& p : original_candidates(m, folders, cache)) out.push_back(p.lexically_relative(dir.path()));
    return out;
  }
};

TEST_F(CandidatesTest, DjiKeyOriginalsDngFirst) {
  touch("f/DJI_20240315103012_0001_D.JPG");
  touch("f/DJI_20240315103012_0001_D.DNG");
  touch("f/DJI_20240315103012_0001_D-DxO_DeepPRIME.dng");
  touch("f/DJI_20240315103012_0001_D-DxO_DeepPRIME.tif");  // another developed file: not an original
  touch("f/DJI_20240315103012_0002_D.JPG");                // another shot
  touch("f/DJI_0001.JPG");                                 // no DJI key: never with one that has
  EXPECT_EQ(candidates("f/DJI_20240315103012_0001_D-DxO_DeepPRIME.dng"),
            (Names{"f/DJI_20240315103012_0001_D.DNG", "f/DJI_20240315103012_0001_D.JPG"}));
}

TEST_F(CandidatesTest, StemRulesWithoutDjiKey) {
  touch("f/IMG_1234.JPG");
  touch("f/IMG_12.JPG");                // too short to be trusted
  touch("f/IMG_1234-Enhanced-NR.tif");  // the same shot in another format
  touch("f/IMG_12345.JPG");             // another shot
  touch("f/IMG_1234-Enhanced-NR.dng");  // the photo itself
  EXPECT_EQ(candidates("f/IMG_1234-Enhanced-NR.dng"), Names{"f/IMG_1234.JPG"});
}

TEST_F(CandidatesTest, RecordedOriginalNameComesFirst) {
  touch("f/IMG_1234.JPG");
  touch("f/IMG_1234.DNG");
  touch("f/raw_source.cr2.jpg");
  touch("f/IMG_1234-edit.tif");
  EXPECT_EQ(candidates("f/IMG_1234-edit.tif", "RAW_SOURCE.CR2.JPG"),
            (Names{"f/raw_source.cr2.jpg", "f/IMG_1234.DNG", "f/IMG_1234.JPG"}));
}

TEST_F(CandidatesTest, FoldersInOrderWithRepeats) {
  touch("flight/orig/IMG_0001.JPG");
  touch("flight/IMG_0001.JPG");
  touch("flight/dev/IMG_0001_edit.jpg");
  touch("flight/dev/IMG_0001.tif");
  // meta_from first, then the photo's folder, then the folder above; a folder named twice
  // is listed once and matches twice.
  const std::vector<std::string> meta_from = {(dir / "flight/orig").string(), (dir / "flight/dev").string()};
  EXPECT_EQ(candidates("flight/dev/IMG_0001_edit.jpg", "", meta_from),
            (Names{"flight/orig/IMG_0001.JPG", "flight/dev/IMG_0001.tif", "flight/dev/IMG_0001.tif",
                   "flight/IMG_0001.JPG"}));
}

// Regression: a stem inside another (photo1 in photo10) made photo1 a candidate for photo10.
TEST_F(CandidatesTest, NumberedShotIsNoCandidate) {
  touch("f/photo1.jpg");
  touch("f/photo10.jpg");
  EXPECT_TRUE(candidates("f/photo10.jpg").empty());
  touch("f/photo1 (edit).jpg");
  EXPECT_EQ(candidates("f/photo1 (edit).jpg"), Names{"f/photo1.jpg"});
}

class BorrowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pool = test::cached_fixture_dir("tests/pipeline/stage_fixtures.py");
    if (pool.empty()) GTEST_SKIP() << "needs cjpeg, exiftool and python3-tifffile";
  }
  fs::path put(const std::string& from, const std::string& to) {
    fs::create_directories((dir / to).parent_path());
    fs::copy_file(pool / (from + ".jpg"), dir / to);
    return dir / to;
  }
  static ImageMeta read(const fs::path& p) { return read_image_meta(p, std::nullopt, ProcessedMode::Auto).value(); }
  fs::path pool;
  test::TempDir dir;
};

TEST_F(BorrowTest, PairedFileSearchesOnlyItsOriginals) {
  const fs::path orig = put("no_pose", "f/IMG_1234.JPG");
  const fs::path nr = put("no_pose", "f/IMG_1234-NR.jpg");
  put("line_0", "elsewhere/IMG_1234.JPG");  // would give a pose, but is never searched
  std::vector<ImageMeta> records = {read(nr)};
  const std::vector<ProcessedPair> pairs = {{nr, {orig}}};
  const std::vector<std::string> meta_from = {(dir / "elsewhere").string()};
  EXPECT_EQ(pose_from_originals(records, pairs, ProcessedMode::No, meta_from), 0u);
  EXPECT_FALSE(has_pose(records[0]));
  EXPECT_TRUE(records[0].meta_from.empty());
}

TEST_F(BorrowTest, MarkingOnlyInAutoMode) {
  const fs::path orig = put("line_0", "f/IMG_1234.JPG");
  const fs::path nr = put("dewarp", "f/IMG_1234-NR.jpg");
  const std::vector<ProcessedPair> pairs = {{nr, {orig}}};
  for (ProcessedMode mode : {ProcessedMode::No, ProcessedMode::Yes, ProcessedMode::Auto}) {
    SCOPED_TRACE(static_cast<int>(mode));
    std::vector<ImageMeta> records = {read(nr)};
    records[0].lens_ops = {VignOp{}};
    pose_from_originals(records, pairs, mode, {});
    const bool marked = mode == ProcessedMode::Auto;
    EXPECT_EQ(records[0].processed, marked);
    EXPECT_EQ(records[0].lens_ops.empty(), marked);
    EXPECT_EQ(records[0].lens.has_value(), !marked);  // derived again by the stage
  }
}

TEST_F(BorrowTest, BorrowedFieldsAndLogLine) {
  const fs::path orig = put("line_2", "f/IMG_0001.JPG");
  const fs::path dev = put("no_pose_dxo", "f/IMG_0001-edit.jpg");
  ImageMeta m = read(dev);
  m.make.clear();
  m.exposure = 7.0;  // its own value stays
  m.focal_35mm = NAN;
  m.focal_mm = 99.0;  // replaced together with the missing 35 mm value
  std::vector<ImageMeta> records = {m};
  auto capture = std::make_shared<CaptureList>();
  const LogContext before = log_context();
  set_log_capture(capture);
  const size_t n = pose_from_originals(records, {}, ProcessedMode::Auto, {});
  set_log_context(before);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(capture->lines, std::vector<std::string>{"  pose metadata taken from originals for 1 image(s)"});
  const ImageMeta o = read(orig);
  const ImageMeta& r = records[0];
  EXPECT_EQ(r.lat, o.lat);
  EXPECT_EQ(r.lon, o.lon);
  EXPECT_EQ(r.rel_alt, o.rel_alt);
  EXPECT_EQ(r.abs_alt, o.abs_alt);
  EXPECT_EQ(r.gimbal_yaw, o.gimbal_yaw);
  EXPECT_EQ(r.gimbal_pitch, o.gimbal_pitch);
  EXPECT_EQ(r.flight_yaw, o.flight_yaw);
  EXPECT_EQ(r.exposure, 7.0);
  EXPECT_EQ(r.focal_mm, o.focal_mm);
  EXPECT_EQ(r.focal_35mm, o.focal_35mm);
  EXPECT_EQ(r.make, "DJI");
  EXPECT_EQ(r.meta_from, "IMG_0001.JPG");
  EXPECT_EQ(r.path, dev);
}

}  // namespace
}  // namespace tsl
