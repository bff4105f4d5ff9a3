#include "cache/disk_cache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <thread>

#include "cache/cache_key.h"
#include "cache/eviction.h"
#include "config/environment.h"
#include "support/test_util.h"
#include "util/error.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

// A read bound no record of these tests reaches.
constexpr uint64_t ANY_SIZE = 1 << 24;

// A record whose every byte tells which writer made it and whose size differs per writer,
// so a torn or mixed file cannot pass for a whole one.
CacheRecord writer_record(char tag, size_t values) {
  CacheRecord r;
  const std::vector<uint16_t> data(values, static_cast<uint16_t>(tag * 257));
  r.put_f64_pair("dims", static_cast<double>(tag), static_cast<double>(values));
  r.put_u16s("img", data);
  return r;
}

// Whether `r` is exactly one writer's record.
bool is_whole_writer_record(const CacheRecord& r) {
  const auto dims = r.get_f64s("dims");
  const auto img = r.get_u16s("img");
  if (!dims || !img || dims->size() != 2) return false;
  const auto tag = static_cast<uint16_t>((*dims)[0]);
  if (img->size() != static_cast<size_t>((*dims)[1])) return false;
  return std::all_of(img->begin(), img->end(), [&](uint16_t v) { return v == tag * 257; });
}

class DiskCacheTest : public ::testing::Test {
 protected:
  test::TempDir dir;
  const std::string key = cache_key({"decoded-test", "photo.dng", "1"});
  void SetUp() override { configure_disk_cache(dir.path().string(), 20.0); }
};

TEST_F(DiskCacheTest, MissThenStoreThenHit) {
  EXPECT_FALSE(cache_load("decoded", key, ANY_SIZE));
  EXPECT_EQ(cache_stats().misses, 1u);
  cache_store("decoded", key, writer_record('A', 10));
  const fs::path path = cache_entry_path("decoded", key);
  EXPECT_EQ(path, dir / "decoded" / key.substr(0, 2) / (key + ".tslc"));
  // An hour-old entry becomes the newest when it is loaded.
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(1));
  const auto loaded = cache_load("decoded", key, ANY_SIZE);
  ASSERT_TRUE(loaded);
  EXPECT_TRUE(is_whole_writer_record(*loaded));
  EXPECT_GT(fs::last_write_time(path), fs::file_time_type::clock::now() - std::chrono::minutes(1));
  const CacheStats stats = cache_stats();
  EXPECT_EQ(stats.hits, 1u);
  EXPECT_EQ(stats.misses, 1u);
  EXPECT_TRUE(stats.enabled);
  EXPECT_EQ(stats.limit_gb, 20.0);
  configure_disk_cache(dir.path().string(), 20.0);  // a new build zeroes the counters
  EXPECT_EQ(cache_stats().hits, 0u);
}

TEST_F(DiskCacheTest, CorruptOrTruncatedFileIsASilentMissUntilReplaced) {
  cache_store("features", key, writer_record('A', 1000));
  const fs::path path = cache_entry_path("features", key);
  const std::vector<uint8_t> whole = test::read_file_bytes(path);
  const std::vector<std::vector<uint8_t>> damaged = {
      std::vector<uint8_t>(whole.begin(), whole.end() - 1),
      std::vector<uint8_t>(whole.begin(), whole.begin() + 3),
      {},
      std::vector<uint8_t>(whole.size(), 0xFF),
  };
  for (size_t i = 0; i < damaged.size(); ++i) {
    SCOPED_TRACE(i);
    test::write_file_bytes(path, damaged[i]);
    EXPECT_FALSE(cache_load("features", key, ANY_SIZE));
  }
  EXPECT_EQ(cache_stats().misses, damaged.size());
  cache_store("features", key, writer_record('B', 7));
  const auto loaded = cache_load("features", key, ANY_SIZE);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->get_f64s("dims"), (std::vector<double>{'B', 7}));
}

// Regression: a folder at an entry's name ended every build with an internal error, a FIFO
// made it wait for ever, and /dev/zero or a huge file was read whole until memory ran out.
// An entry is read like an input: a regular file no larger than its bound, or a miss.
TEST_F(DiskCacheTest, EntriesThatAreNoFileOrTooLargeAreMisses) {
  const fs::path path = cache_entry_path("decoded", key);
  struct Case {
    const char* name;
    std::function<bool()> make;  // false: not possible here, skipped
    uint64_t bound;  // 0: one byte less than the file made
  };
  const std::vector<Case> cases = {
      {"folder", [&] { return fs::create_directory(path); }, ANY_SIZE},
      {"FIFO without a writer", [&] { return mkfifo(path.c_str(), 0644) == 0; }, ANY_SIZE},
      {"link to /dev/zero", [&] { return fs::exists("/dev/zero") && (fs::create_symlink("/dev/zero", path), true); }, ANY_SIZE},
      // Sparse: 3 GB long without taking the disk space.
      {"3 GB file", [&] { return test::run_command("truncate -s 3G " + test::shell_quote(path.string())).exit_code == 0; },
       ANY_SIZE},
      {"whole record one byte past the bound", [&] {
         cache_store("decoded", key, writer_record('A', 10));
         return true;
       }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::create_directories(path.parent_path());
    if (!c.make()) continue;
    const uint64_t bound = c.bound != 0 ? c.bound : fs::file_size(path) - 1;
    configure_disk_cache(dir.path().string(), 20.0);
    EXPECT_FALSE(cache_load("decoded", key, bound));
    EXPECT_EQ(cache_stats().misses, 1u);
    EXPECT_EQ(cache_stats().hits, 0u);
    fs::remove_all(path);
  }
  // The bound itself is allowed.
  cache_store("decoded", key, writer_record('A', 10));
  EXPECT_TRUE(cache_load("decoded", key, fs::file_size(path)));
}

TEST_F(DiskCacheTest, DisabledCacheNeitherLoadsNorStoresNorCounts) {
  for (double limit : {0.0, -1.0, std::nan("")}) {
    SCOPED_TRACE(limit);
    configure_disk_cache(dir.path().string(), limit);
    cache_store("decoded", key, writer_record('A', 10));
    EXPECT_FALSE(fs::exists(cache_entry_path("decoded", key)));
    EXPECT_FALSE(cache_load("decoded", key, ANY_SIZE));
    const CacheStats stats = cache_stats();
    EXPECT_FALSE(stats.enabled);
    EXPECT_EQ(stats.misses, 0u);
  }
}

TEST_F(DiskCacheTest, UnwritableFolderIsHarmlessAndLeavesNoTemporaryFiles) {
  // The cache folder is a plain file: no entry folder can be made and every write fails.
  test::write_file_text(dir / "blocked", "");
  configure_disk_cache((dir / "blocked").string(), 20.0);
  cache_store("decoded", key, writer_record('A', 10));
  EXPECT_FALSE(cache_load("decoded", key, ANY_SIZE));
  configure_disk_cache(dir.path().string(), 20.0);
  for (int i = 0; i < 5; ++i) cache_store("decoded", key, writer_record('A', 10));
  std::vector<FileEntry> files;
  walk_files(dir.path(), files);
  for (const FileEntry& f : files) EXPECT_NE(f.path.extension(), ".tmp") << f.path;
}

TEST_F(DiskCacheTest, OnlyTheCachesOwnKindsAndKeysAreAccepted) {
  EXPECT_THROW(cache_entry_path("thumbs", key), InternalError);
  EXPECT_THROW(cache_store("features", "../../etc/passwd", CacheRecord{}), InternalError);
  EXPECT_THROW(cache_load("decoded", "0123", ANY_SIZE), InternalError);
}

TEST_F(DiskCacheTest, DirInfoCountsEveryFileAndRoundsTheSize) {
  // Sparse files give the sizes without writing them.
  fs::create_directories(dir / "features" / "ab");
  test::write_file_text(dir / "notes.txt", "");
  const fs::path big = dir / "features" / "ab" / "big.bin";
  test::write_file_text(big, "");
  const struct {
    uintmax_t bytes;
    double gb;
  } rows[] = {{1234567890, 1.23}, {1235000000, 1.24}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.bytes);
    fs::resize_file(big, r.bytes);
    const CacheDirInfo info = cache_dir_info();
    EXPECT_EQ(info.dir, dir.path().string());
    EXPECT_EQ(info.files, 2u);
    EXPECT_DOUBLE_EQ(info.gb, r.gb);
  }
}

// Once an entry exists, a rename only ever replaces it by another whole file: every later
// load must be a hit with one writer's whole record. A torn file would show as a miss or a
// mixed record.
TEST_F(DiskCacheTest, ConcurrentThreadsNeverSeeAPartialEntry) {
  cache_store("decoded", key, writer_record('Z', 10));
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0}, hits{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 3; ++w) {
    threads.emplace_back([&, w] {
      const CacheRecord r = writer_record(static_cast<char>('A' + w), 20000 + 30000 * static_cast<size_t>(w));
      for (int i = 0; i < 40; ++i) cache_store("decoded", key, r);
    });
  }
  for (int l = 0; l < 3; ++l) {
    threads.emplace_back([&] {
      while (!stop) {
        const auto r = cache_load("decoded", key, ANY_SIZE);
        ++hits;
        if (!r || !is_whole_writer_record(*r)) ++bad;
      }
    });
  }
  for (int w = 0; w < 3; ++w) threads[static_cast<size_t>(w)].join();
  stop = true;
  for (size_t t = 3; t < threads.size(); ++t) threads[t].join();
  EXPECT_EQ(bad, 0) << "of " << hits << " loads";
}

// Two processes store the same key again and again while this one loads it: every load
// must find one writer's whole record, never a torn or mixed file (the entry exists from
// the start, so a miss is a fault too).
TEST_F(DiskCacheTest, TwoProcessesStoringOneKeyNeverTearIt) {
  cache_store("decoded", key, writer_record('Z', 10));
  std::vector<pid_t> writers;
  for (char tag : {'A', 'B'}) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const CacheRecord r = writer_record(tag, tag == 'A' ? 150000 : 400000);
      for (int i = 0; i < 60; ++i) cache_store("decoded", key, r);
      _exit(0);
    }
    writers.push_back(pid);
  }
  int hits = 0, bad = 0, running = 2;
  while (running > 0) {
    const auto r = cache_load("decoded", key, ANY_SIZE);
    ++hits;
    bad += !r || !is_whole_writer_record(*r);
    running = 0;
    for (pid_t pid : writers) running += waitpid(pid, nullptr, WNOHANG) == 0;
  }
  for (pid_t pid : writers) waitpid(pid, nullptr, 0);
  EXPECT_EQ(bad, 0) << "of " << hits << " loads";
  const auto last = cache_load("decoded", key, ANY_SIZE);
  ASSERT_TRUE(last);
  EXPECT_TRUE(is_whole_writer_record(*last));
  std::vector<FileEntry> files;
  walk_files(dir.path(), files);
  EXPECT_EQ(files.size(), 1u);  // the entry, no temporary file left behind
}

TEST(DiskCacheFolder, EmptyOrAbsentSettingUsesTheDefault) {
  test::ScopedEnv a("LOCALAPPDATA", nullptr), x("XDG_CACHE_HOME", nullptr), b("HOME", "/home/someone");
  configure_disk_cache(std::string(), 5.0);
  EXPECT_EQ(current_cache_dir(), default_cache_dir());
  configure_disk_cache(std::nullopt, 5.0);
  EXPECT_EQ(current_cache_dir(), fs::path("/home/someone/.cache/tessaly"));
  configure_disk_cache("/elsewhere", 5.0);
  EXPECT_EQ(current_cache_dir(), fs::path("/elsewhere"));
}

// The eviction throttle is per process and starts open: these tests run their body again in
// a new process of this test binary, where no store has happened yet.
bool in_fresh_process() { return std::getenv("TSL_CACHE_FRESH_PROCESS") != nullptr; }

void rerun_in_fresh_process() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter = std::string(info->test_suite_name()) + "." + info->name();
  const fs::path exe = fs::read_symlink("/proc/self/exe");
  const test::CommandResult r = test::run_command("TSL_CACHE_FRESH_PROCESS=1 " + test::shell_quote(exe.string()) +
                                                  " --gtest_filter=" + test::shell_quote(filter));
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("[  SKIPPED ]"), std::string::npos) << r.out;
}

// The store is larger than the limit: the first store of a process evicts it at once, the
// next store within 30 seconds runs no pass and its entry stays.
TEST(DiskCacheEviction, FirstStoreOfAProcessRunsAPassAndTheNextWaits) {
  if (!in_fresh_process()) return rerun_in_fresh_process();
  test::TempDir dir;
  configure_disk_cache(dir.path().string(), 0.000001);  // 1000 bytes
  const std::string first = cache_key({"first"}), second = cache_key({"second"});
  cache_store("decoded", first, writer_record('A', 2500));  // about 5000 bytes
  EXPECT_FALSE(fs::exists(cache_entry_path("decoded", first)));
  cache_store("decoded", second, writer_record('B', 2500));
  EXPECT_TRUE(fs::exists(cache_entry_path("decoded", second)));
  // A new build's settings do not reopen the throttle.
  configure_disk_cache(dir.path().string(), 0.000001);
  cache_store("decoded", first, writer_record('A', 2500));
  EXPECT_TRUE(fs::exists(cache_entry_path("decoded", first)));
}

TEST(DiskCacheEviction, StoreAfterThirtySecondsRunsTheNextPass) {
  if (std::getenv("TSL_SLOW_TESTS") == nullptr) GTEST_SKIP() << "waits 31 s; set TSL_SLOW_TESTS=1";
  if (!in_fresh_process()) return rerun_in_fresh_process();
  test::TempDir dir;
  configure_disk_cache(dir.path().string(), 0.000001);
  const std::string a = cache_key({"a"}), b = cache_key({"b"}), c = cache_key({"c"});
  cache_store("features", a, writer_record('A', 2500));  // the pass deletes it
  std::this_thread::sleep_for(std::chrono::seconds(10));
  cache_store("features", b, writer_record('B', 2500));  // no pass
  EXPECT_TRUE(fs::exists(cache_entry_path("features", b)));
  std::this_thread::sleep_for(std::chrono::seconds(21));
  cache_store("features", c, writer_record('C', 2500));  // a pass: both are over the limit
  EXPECT_FALSE(fs::exists(cache_entry_path("features", b)));
  EXPECT_FALSE(fs::exists(cache_entry_path("features", c)));
}

}  // namespace
}  // namespace tsl
