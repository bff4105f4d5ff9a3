// Reading input files: only regular files are read (a FIFO without a writer must not block the
// open, a device must not be read without end), whole reads stop at their limit, and every
// failure is a short text the caller can put after the file's name.
#include "util/files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/test_util.h"
#include "util/path.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

struct ReadCase {
  const char* name;
  std::function<fs::path(const fs::path& dir)> make;  // builds the input, returns its path
  uint64_t limit;
  std::string error;  // the start of the expected error; empty: the read succeeds
};

TEST(ReadInputFiles, RefuseWhatIsNoRegularFileAndWhatPassesTheLimit) {
  const auto file_of = [](size_t n) {
    return [n](const fs::path& dir) {
      test::write_file_bytes(dir / "f.bin", std::vector<uint8_t>(n, 7));
      return dir / "f.bin";
    };
  };
  const ReadCase cases[] = {
      {"regular file within the limit", file_of(1000), 1000, ""},
      {"regular file one byte over the limit", file_of(1001), 1000, "too large (1001 bytes, limit 1000 bytes)"},
      {"empty file", file_of(0), 1000, ""},
      {"sparse file of 3 GB",
       [](const fs::path& dir) {
         test::write_file_bytes(dir / "big.bin", {});
         fs::resize_file(dir / "big.bin", 3'000'000'000);
         return dir / "big.bin";
       },
       DOCUMENT_FILE_LIMIT, "too large (3 GB, limit 250 MB)"},
      {"folder", [](const fs::path& dir) { return dir; }, 1000, "Is a directory (os error 21)"},
      {"FIFO without a writer",
       [](const fs::path& dir) {
         EXPECT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
         return dir / "fifo";
       },
       1000, "not a regular file (FIFO)"},
      {"character device", [](const fs::path&) { return fs::path("/dev/zero"); }, UINT64_MAX,
       "not a regular file (character device)"},
      {"link to a character device",
       [](const fs::path& dir) {
         fs::create_symlink("/dev/zero", dir / "zero.jpg");
         return dir / "zero.jpg";
       },
       UINT64_MAX, "not a regular file (character device)"},
      {"dangling link",
       [](const fs::path& dir) {
         fs::create_symlink(dir / "nothing", dir / "dangling");
         return dir / "dangling";
       },
       1000, "No such file or directory (os error 2)"},
      {"looping link",
       [](const fs::path& dir) {
         fs::create_symlink(dir / "loop", dir / "loop");
         return dir / "loop";
       },
       1000, "Too many levels of symbolic links (os error 40)"},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const fs::path path = c.make(dir.path());
    auto whole = read_whole_file(path, c.limit);
    auto text = read_text_file(path, c.limit);
    if (c.error.empty()) {
      ASSERT_TRUE(whole.has_value()) << whole.error();
      EXPECT_EQ(whole->size(), fs::file_size(path));
      EXPECT_TRUE(text.has_value());
    } else {
      ASSERT_FALSE(whole.has_value());
      EXPECT_EQ(whole.error().substr(0, c.error.size()), c.error);
      ASSERT_FALSE(text.has_value());
      EXPECT_EQ(text.error().substr(0, c.error.size()), c.error);
    }
    // A head read takes the regular file's first bytes and refuses the rest alike.
    auto head = read_file_head(path, 10);
    EXPECT_EQ(head.has_value(), c.error.empty() || c.error.starts_with("too large"));
    if (head) {
      EXPECT_EQ(head->size(), std::min<uint64_t>(10, fs::file_size(path)));
    }
  }
}

TEST(ByteSizeText, DecimalUnitsWithOneDecimalAtMost) {
  const std::pair<uint64_t, const char*> cases[] = {
      {0, "0 bytes"}, {999, "999 bytes"}, {1000, "1 kB"}, {1500, "1.5 kB"}, {250'000'000, "250 MB"},
      {3'000'000'000, "3 GB"}, {1'649'267'441, "1.6 GB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(byte_size_text(bytes), text) << bytes;
}

// A child process that reserves the partial file of `final_path` and holds it until killed,
// as a running build does; -1 when it could not reserve it.
pid_t hold_in_child(const fs::path& final_path) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    PendingFile pending(final_path);
    const char ok = reserve_partial(pending).has_value() ? 'y' : 'n';
    if (write(fds[1], &ok, 1) != 1) _exit(1);
    for (;;) pause();
  }
  close(fds[1]);
  char ok = 'n';
  if (pid < 0 || read(fds[0], &ok, 1) != 1 || ok != 'y') {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    ok = 'n';
  }
  close(fds[0]);
  return ok == 'y' ? pid : -1;
}

// Regression: a build killed while writing (SIGKILL, the out-of-memory killer) left its partial
// files, and every later build into that output failed with "File exists". A partial file that
// no live process holds is a leftover and is taken over; one a live process holds is never
// touched, and is taken over once that process died.
TEST(PartialFiles, LeftoversAreTakenOverAndLiveOnesAreNot) {
  test::TempDir dir;
  const fs::path out = dir / "ortho.tif";
  const fs::path partial = partial_path(out);

  test::write_file_text(partial, "half a mosaic");
  {
    PendingFile pending(out);
    ASSERT_TRUE(reserve_partial(pending).has_value());
    EXPECT_EQ(fs::file_size(partial), 0u);
  }
  EXPECT_FALSE(fs::exists(partial));

  const pid_t holder = hold_in_child(out);
  ASSERT_GT(holder, 0);
  test::write_file_text(partial, "being written");
  {
    PendingFile pending(out);
    auto r = reserve_partial(pending);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), "cannot create " + partial.string() + ": held by another running build");
  }
  remove_leftover_partial(out);
  EXPECT_EQ(test::read_file_text(partial), "being written");

  // Killed as the out-of-memory killer would: nothing of the holder runs again.
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(test::read_file_text(partial), "being written");
  {
    PendingFile pending(out);
    ASSERT_TRUE(reserve_partial(pending).has_value());
    test::write_file_text(pending.partial, "whole");
    ASSERT_TRUE(commit(pending).has_value());
  }
  EXPECT_EQ(test::read_file_text(out), "whole");
  EXPECT_FALSE(fs::exists(partial));

  // A leftover is removed on request; the committed file of that name is not touched.
  test::write_file_text(partial, "left");
  remove_leftover_partial(out);
  EXPECT_FALSE(fs::exists(partial));
  EXPECT_EQ(test::read_file_text(out), "whole");
}

}  // namespace
}  // namespace tsl
