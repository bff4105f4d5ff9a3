#include "pipeline/output_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/test_util.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

TEST(OutputFiles, SiblingAndPartialNames) {
  struct Case {
    std::string path, suffix, sibling, partial;
  };
  const Case cases[] = {
      {"/out/ortho.tif", "_report.json", "/out/ortho_report.json", "/out/ortho.partial.tif"},
      {"mosaic", "_seams.npz", "mosaic_seams.npz", "mosaic.partial"},
      {"/out/a.b.tif", "_dsm.tif", "/out/a.b_dsm.tif", "/out/a.b.partial.tif"},
      {"/out/", "_report.json", "/out/_report.json", "/out/.partial"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(sibling_path(c.path, c.suffix).string(), c.sibling);
    EXPECT_EQ(partial_path(c.path).string(), c.partial);
  }
}

// The chosen output folder is settled before anything is written: kept when its nearest
// existing ancestor is a folder (the missing ones are made), moved beside a file it points
// into.
TEST(OutputFiles, SettleOutputPath) {
  test::TempDir dir;
  test::write_file_text(dir / "DJI_0001.JPG", "x");
  struct Case {
    std::string name;
    fs::path configured, want;
    bool redirected;
  };
  const Case cases[] = {
      {"existing folder", dir.path() / "ortho.tif", dir.path() / "ortho.tif", false},
      {"missing folders are made", dir.path() / "a" / "b" / "ortho.tif", dir.path() / "a" / "b" / "ortho.tif", false},
      {"inside a photo", dir.path() / "DJI_0001.JPG" / "ortho.tif",
       dir.path() / "tessaly" / (dir.path().filename().string() + "_ortho.tif"), true},
      {"deep inside a photo", dir.path() / "DJI_0001.JPG" / "x" / "ortho.tif",
       dir.path() / "tessaly" / (dir.path().filename().string() + "_ortho.tif"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::LogCapture log;
    auto got = settle_output_path(c.configured);
    ASSERT_TRUE(got.has_value()) << got.error();
    EXPECT_EQ(*got, c.want);
    EXPECT_TRUE(fs::is_directory(got->parent_path()));
    if (c.redirected) {
      EXPECT_EQ(log.lines(), std::vector<std::string>{"  output folder pointed inside the file DJI_0001.JPG -> writing to " +
                                                      c.want.string()});
    } else {
      EXPECT_TRUE(log.lines().empty());
    }
  }
}

// Relative paths: a bare name needs no folder; a file without a parent folder sends the output
// to "tessaly/ortho_ortho.tif".
TEST(OutputFiles, SettleRelativeOutputPath) {
  test::TempDir dir;
  const fs::path before = fs::current_path();
  fs::current_path(dir.path());
  test::write_file_text(dir / "x.jpg", "x");
  test::LogCapture log;
  auto bare = settle_output_path("ortho.tif");
  auto inside = settle_output_path("x.jpg/ortho.tif");
  fs::current_path(before);
  ASSERT_TRUE(bare.has_value());
  EXPECT_EQ(bare->string(), "ortho.tif");
  ASSERT_TRUE(inside.has_value());
  EXPECT_EQ(inside->string(), "tessaly/ortho_ortho.tif");
  EXPECT_TRUE(fs::is_directory(dir / "tessaly"));
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"  output folder pointed inside the file x.jpg -> writing to tessaly/ortho_ortho.tif"});
}

TEST(OutputFiles, SettleFailsWithTheSystemText) {
  if (!fs::is_directory("/proc/self")) GTEST_SKIP() << "needs /proc";
  auto r = settle_output_path("/proc/tessaly-test/ortho.tif");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "No such file or directory (os error 2)");
}

// A file replaces its predecessor only when it is whole; a failed write or an abandoned
// pending file leaves the previous file and no partial one.
TEST(OutputFiles, AtomicWrites) {
  test::TempDir dir;
  const fs::path path = dir / "ortho_report.json";
  ASSERT_TRUE(write_file_atomic(path, std::string_view("first")).has_value());
  ASSERT_TRUE(write_file_atomic(path, std::string_view("second")).has_value());
  EXPECT_EQ(test::read_file_text(path), "second");
  EXPECT_FALSE(fs::exists(partial_path(path)));

  // The final name taken by a folder: the rename fails, the partial file goes away.
  fs::create_directory(dir / "taken.json");
  test::write_file_text(dir / "taken.json" / "keep", "k");
  auto r = write_file_atomic(dir / "taken.json", std::string_view("x"));
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().find("(os error "), std::string::npos) << r.error();
  EXPECT_FALSE(fs::exists(partial_path(dir / "taken.json")));
  EXPECT_EQ(test::read_file_text(dir / "taken.json" / "keep"), "k");

  {
    PendingFile pending(path);
    test::write_file_text(pending.partial, "half");
  }
  EXPECT_FALSE(fs::exists(partial_path(path)));
  EXPECT_EQ(test::read_file_text(path), "second");
}

TEST(OutputFiles, ReadTextFile) {
  test::TempDir dir;
  test::write_file_text(dir / "a.json", "{\"k\": \"\xc3\xa9\"}");
  auto ok = read_text_file(dir / "a.json");
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(*ok, "{\"k\": \"\xc3\xa9\"}");
  test::write_file_bytes(dir / "b.json", {0xff, 0xfe});
  EXPECT_EQ(read_text_file(dir / "b.json").error(), "stream did not contain valid UTF-8");
  EXPECT_EQ(read_text_file(dir / "c.json").error(), "No such file or directory (os error 2)");
  EXPECT_FALSE(read_text_file(dir.path()).has_value());
}

}  // namespace
}  // namespace tsl
