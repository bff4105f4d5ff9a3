#include "cache/cache_key.h"

#include <gtest/gtest.h>

#include <chrono>
#include <unistd.h>

#include "support/test_util.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

fs::file_time_type file_time(std::chrono::sys_days day, std::chrono::nanoseconds after = {}) {
  return fs::file_time_type::clock::from_sys(std::chrono::sys_time<std::chrono::nanoseconds>(day) + after);
}

TEST(CacheKey, IsTheShortenedSha1OfThePrefixedParts) {
  // printf '3|dec|x|1' | sha1sum -> d993c52d77d4b3612eec67ff0cc1b5cce554c46b
  EXPECT_EQ(cache_key({"dec", "x", "1"}), "d993c52d77d4b3612eec67ff");
  // printf '3' | sha1sum -> 77de68daecd823babbb58edb1c8e14d7106e83bb
  EXPECT_EQ(cache_key(std::initializer_list<std::string_view>{}), "77de68daecd823babbb58edb");
  // Parts are not escaped.
  EXPECT_EQ(cache_key({"a|b"}), cache_key({"a", "b"}));
  const std::vector<std::string> owned = {"a", "b"};
  EXPECT_EQ(cache_key(owned), "6ea9c9a855d3652177c35a06");
}

class FingerprintTest : public ::testing::Test {
 protected:
  test::TempDir dir;
  fs::path file = dir / "photo.dng";
  void SetUp() override { test::write_file_text(file, "raw bytes"); }
};

TEST_F(FingerprintTest, NamesCanonicalPathSizeAndNanoseconds) {
  fs::last_write_time(file, file_time(std::chrono::year{2024} / 5 / 6, std::chrono::nanoseconds(123456789)));
  EXPECT_EQ(file_fingerprint(file), fs::canonical(file).string() + "|9|1714953600123456789");
}

TEST_F(FingerprintTest, SameFileThroughAnotherPathKeepsItsFingerprint) {
  const fs::path old_cwd = fs::current_path();
  fs::current_path(dir.path());
  const auto relative = file_fingerprint("photo.dng");
  fs::create_directory(dir / "sub");
  const auto through_sub = file_fingerprint("sub/../photo.dng");
  fs::current_path(old_cwd);
  EXPECT_EQ(relative, file_fingerprint(file));
  EXPECT_EQ(through_sub, file_fingerprint(file));
  fs::create_symlink(file, dir / "link.dng");
  EXPECT_EQ(file_fingerprint(dir / "link.dng"), file_fingerprint(file));
}

TEST_F(FingerprintTest, ChangesWithSizeOrTimeAndFailsSafely) {
  const auto before = file_fingerprint(file);
  ASSERT_TRUE(before);
  fs::last_write_time(file, fs::last_write_time(file) + std::chrono::seconds(1));
  const auto touched = file_fingerprint(file);
  EXPECT_NE(touched, before);
  const auto t = fs::last_write_time(file);
  test::write_file_text(file, "raw bytes!");
  fs::last_write_time(file, t);
  EXPECT_NE(file_fingerprint(file), touched);
  EXPECT_FALSE(file_fingerprint(dir / "missing.dng"));
  EXPECT_FALSE(file_fingerprint(dir.path()));  // a folder has no size
  std::error_code ec;
  fs::last_write_time(file, file_time(std::chrono::year{1969} / 6 / 1), ec);
  if (ec) GTEST_SKIP() << "file system refuses times before 1970";
  EXPECT_FALSE(file_fingerprint(file));
}

}  // namespace
}  // namespace tsl
