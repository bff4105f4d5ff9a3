#include "server/post_routes.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_util.h"

namespace tsl {
namespace {
namespace fs = std::filesystem;

TEST(CacheClear, RemovesOnlyTheCachesOwnFiles) {
  test::TempDir dir;
  const std::string key = "0123456789abcdef01234567";
  fs::create_directories(dir / "features" / "01");
  fs::create_directories(dir / "decoded" / "ab");
  fs::create_directories(dir / "photos");
  test::write_file_text(dir / "features" / "01" / (key + ".tslc"), "x");
  test::write_file_text(dir / "features" / "01" / (key + ".123.ThreadId4.tmp"), "x");
  test::write_file_text(dir / "decoded" / "ab" / (key + ".tslc"), "x");
  test::write_file_text(dir / "decoded" / "ab" / "notes.txt", "keep");
  test::write_file_text(dir / "features" / "keep.tslc", "keep");
  test::write_file_text(dir / "photos" / "DJI_0001.JPG", "keep");

  CacheClearResult r = clear_cache_files(dir.path().string());
  EXPECT_EQ(r.removed, 3u);
  EXPECT_EQ(r.failed, 0u);
  EXPECT_FALSE(fs::exists(dir / "features" / "01"));
  EXPECT_TRUE(fs::exists(dir / "decoded" / "ab" / "notes.txt"));
  EXPECT_TRUE(fs::exists(dir / "features" / "keep.tslc"));
  EXPECT_TRUE(fs::exists(dir / "photos" / "DJI_0001.JPG"));
  EXPECT_FALSE(fs::exists(dir / "decoded" / "ab" / (key + ".tslc")));
}

TEST(CacheClear, ReportsFailures) {
  test::TempDir dir;
  const std::string key = "0123456789abcdef01234567";
  // An entry name that is a non-empty folder cannot be removed, whoever runs the test.
  fs::create_directories(dir / "features" / "01" / (key + ".tslc"));
  test::write_file_text(dir / "features" / "01" / (key + ".tslc") / "inner", "x");
  CacheClearResult r = clear_cache_files(dir.path().string());
  EXPECT_EQ(r.failed, 1u);
  EXPECT_NE(r.first_error.find("cannot remove"), std::string::npos) << r.first_error;
  EXPECT_TRUE(fs::exists(dir / "features" / "01" / (key + ".tslc") / "inner"));
}

TEST(CacheClear, MissingFolderIsNothingToDo) {
  test::TempDir dir;
  CacheClearResult r = clear_cache_files((dir / "absent").string());
  EXPECT_EQ(r.removed, 0u);
  EXPECT_EQ(r.failed, 0u);
}

}  // namespace
}  // namespace tsl
