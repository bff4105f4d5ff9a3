#include "cache/eviction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "support/test_util.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

const std::string KEY_A = "0123456789abcdef01234567";
const std::string KEY_B = "fedcba9876543210fedcba98";

// A file of `size` bytes whose modification time is `age_s` seconds in the past.
void make_file(const fs::path& path, size_t size, int age_s) {
  fs::create_directories(path.parent_path());
  test::write_file_text(path, std::string(size, 'x'));
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(age_s));
}

fs::path entry(const fs::path& dir, const std::string& kind, const std::string& key) {
  return dir / kind / key.substr(0, 2) / (key + ".tslc");
}

TEST(IsCacheFile, OnlyKeyNamedEntriesInKindFolders) {
  const fs::path root = "/c";
  const struct {
    fs::path path;
    bool expected;
  } rows[] = {
      {entry(root, "features", KEY_A), true},
      {entry(root, "decoded", KEY_B), true},
      {root / "other" / "01" / (KEY_A + ".tslc"), false},     // not a kind folder
      {root / "features" / "02" / (KEY_A + ".tslc"), false},  // wrong two-digit folder
      {root / "features" / "01" / (KEY_A + ".npz"), false},
      {root / "features" / "01" / (KEY_A + ".TSLC"), false},
      {root / "features" / "01" / "0123456789ABCDEF01234567.tslc", false},
      {root / "features" / "01" / "0123456789abcdef0123456.tslc", false},  // 23 digits
      {root / "features" / "01" / (KEY_A + ".4120.ThreadId7.tmp"), false},
      {root / "project" / "site_surface.npz", false},
      {root / "b.npy", false},
      {"a.tslc", false},
      {".tslc", false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.path.string());
    EXPECT_EQ(is_cache_file(r.path), r.expected);
  }
}

TEST(WalkFiles, DoesNotFollowLinksAndWalksIntoFolders) {
  test::TempDir dir;
  make_file(dir / "a.txt", 3, 0);
  make_file(dir / (KEY_A + ".tslc") / "inner.bin", 5, 0);  // a folder named like an entry
  fs::create_directory_symlink(dir.path(), dir / "cycle");   // a link back to the top
  fs::create_symlink(dir / "a.txt", dir / "alias.txt");
  std::vector<FileEntry> files;
  walk_files(dir.path(), files);
  std::vector<std::string> names;
  for (const FileEntry& f : files) names.push_back(f.path.filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "inner.bin"}));
  for (const FileEntry& f : files) EXPECT_EQ(f.size, f.path.filename() == "a.txt" ? 3u : 5u);
  files.clear();
  walk_files(dir / "missing", files);
  EXPECT_TRUE(files.empty());
}

// The cache folder set to a user's project folder: eviction deletes only the oldest cache
// entries and never the user's files, however far over the limit they are.
TEST(EvictCacheFiles, DeletesOldestEntriesAndNothingElse) {
  test::TempDir dir;
  make_file(entry(dir.path(), "features", KEY_A), 100, 50);  // oldest entry
  make_file(entry(dir.path(), "decoded", KEY_B), 100, 40);
  make_file(dir / "features" / "01" / "b.npy", 100, 90);
  make_file(dir / "c.txt", 10000, 100);
  make_file(dir / "site_surface.npz", 10000, 100);
  make_file(dir / "features" / "01" / (KEY_A + ".4120.ThreadId7.tmp"), 100, 100);
  fs::create_directories(entry(dir.path(), "decoded", KEY_A));  // a folder named like an entry
  // Entries reached only through a link stay out of reach.
  test::TempDir outside;
  make_file(entry(outside.path(), "features", KEY_B), 100, 100);
  fs::create_directory_symlink(outside / "features" / "fe", dir / "features" / "fe");
  fs::create_directory_symlink(dir.path(), dir / "features" / "loop");

  evict_cache_files(dir.path(), 150e-9);  // 150 bytes: the two entries hold 200
  EXPECT_FALSE(fs::exists(entry(dir.path(), "features", KEY_A)));
  EXPECT_TRUE(fs::exists(entry(dir.path(), "decoded", KEY_B)));
  for (const char* kept : {"features/01/b.npy", "c.txt", "site_surface.npz"}) EXPECT_TRUE(fs::exists(dir / kept)) << kept;
  EXPECT_TRUE(fs::exists(dir / "features" / "01" / (KEY_A + ".4120.ThreadId7.tmp")));
  EXPECT_TRUE(fs::is_directory(entry(dir.path(), "decoded", KEY_A)));
  EXPECT_TRUE(fs::exists(entry(outside.path(), "features", KEY_B)));

  evict_cache_files(dir.path(), 0.0);
  EXPECT_FALSE(fs::exists(entry(dir.path(), "decoded", KEY_B)));
  EXPECT_TRUE(fs::exists(dir / "site_surface.npz"));
  EXPECT_TRUE(fs::exists(entry(outside.path(), "features", KEY_B)));
}

TEST(EvictCacheFiles, StaysWithinTheLimitAndMissingFolderIsHarmless) {
  test::TempDir dir;
  make_file(entry(dir.path(), "features", KEY_A), 100, 50);
  make_file(entry(dir.path(), "decoded", KEY_B), 100, 40);
  evict_cache_files(dir.path(), 200e-9);
  EXPECT_TRUE(fs::exists(entry(dir.path(), "features", KEY_A)));
  EXPECT_TRUE(fs::exists(entry(dir.path(), "decoded", KEY_B)));
  evict_cache_files(dir / "missing", 0.0);
}

}  // namespace
}  // namespace tsl
