// Builds over an earlier result that are stopped or fail half-way: the earlier result must
// stay byte for byte, and nothing of the stopped build may stay behind. The real program runs
// as a child process so that real signals reach it.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/test_util.h"
#include "util/files.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

// The program running with its standard output on a pipe and its errors in a file.
struct Child {
  pid_t pid = -1;
  int out_fd = -1;
  std::string out;      // everything read so far
  long peak_kb = 0;     // peak resident size, once finished
};

// Starts the program with `args`. `file_size_limit` (bytes) makes every write past it fail
// with SIGXFSZ at its default action: the program itself must ignore that signal, so that the
// write returns EFBIG and fails the way it would on a full disk.
Child spawn(const std::vector<std::string>& args, const fs::path& err_file, rlim_t file_size_limit = RLIM_INFINITY) {
  std::vector<std::string> words = {test::tessaly_exe().string()};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const std::string err_path = err_file.string();
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err >= 0) dup2(err, 2);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    if (file_size_limit != RLIM_INFINITY) {
      signal(SIGXFSZ, SIG_DFL);
      const rlimit limit{file_size_limit, file_size_limit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  return {pid, fds[0], {}};
}

// Reads until a whole line starting with `prefix` arrived; false at the end of the output.
bool read_until_line(Child& c, const std::string& prefix) {
  size_t scanned = 0;
  for (;;) {
    for (size_t nl; (nl = c.out.find('\n', scanned)) != std::string::npos; scanned = nl + 1)
      if (c.out.compare(scanned, prefix.size(), prefix) == 0) return true;
    char buf[4096];
    const ssize_t got = read(c.out_fd, buf, sizeof buf);
    if (got <= 0) return false;
    c.out.append(buf, static_cast<size_t>(got));
  }
}

// Reads the rest of the output and waits for the end; the wait status.
int finish(Child& c) {
  char buf[4096];
  for (ssize_t got; (got = read(c.out_fd, buf, sizeof buf)) > 0;) c.out.append(buf, static_cast<size_t>(got));
  close(c.out_fd);
  int status = 0;
  struct rusage usage {};
  wait4(c.pid, &status, 0, &usage);
  c.peak_kb = usage.ru_maxrss;
  return status;
}

// Every entry of a folder with its bytes (nothing for an entry that is not a file).
std::map<std::string, std::vector<uint8_t>> snapshot(const fs::path& folder) {
  std::map<std::string, std::vector<uint8_t>> files;
  for (const auto& e : fs::directory_iterator(folder))
    files[e.path().filename().string()] = e.is_regular_file() ? test::read_file_bytes(e.path()) : std::vector<uint8_t>{};
  return files;
}

std::vector<std::string> partial_names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().filename().string().find(".partial") != std::string::npos) names.push_back(e.path().filename().string());
  return names;
}

class InterruptedBuild : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(dir / "photos");
    for (const char* name : {"DJI_0001.JPG", "DJI_0002.JPG", "DJI_0003.JPG"})
      fs::copy_file(test::source_dir() / "samples/flight" / name, dir / "photos" / name);
  }

  // A multi-band build with seams and previews, at a gsd that gives the render two block rows,
  // so that it is still busy when the test stops it after the first.
  std::vector<std::string> build_args() const {
    return {(dir / "photos").string(), "--gsd", "20", "--block-rows", "512", "--seams", "nadir", "--disk-cache-gb", "0",
            "--no-refine", "--workers", "2", "-o", (dir / "out" / "ortho.tif").string()};
  }

  test::TempDir dir;
};

// Ctrl-C and SIGTERM at several points of a rebuild, and a rebuild whose writes fail like on
// a full disk: each leaves the earlier result byte-identical and no partial file; a signal
// ends the program the way the signal itself would.
TEST_F(InterruptedBuild, EarlierResultSurvives) {
  {
    Child first = spawn(build_args(), dir / "first.err");
    ASSERT_EQ(finish(first), 0) << test::read_file_text(dir / "first.err");
  }
  const auto before = snapshot(dir / "out");
  ASSERT_TRUE(before.contains("ortho_seams.npz"));
  ASSERT_TRUE(before.contains("ortho_report.json"));

  struct Case {
    const char* name;
    const char* stop_at;  // the line after which the signal is sent; empty: none
    int signal_number;    // 0: no signal
    bool partial_while_stopped;  // the build had begun a file when it was stopped
    rlim_t file_size_limit;
    const char* error;  // the start of the error line, without a signal
  };
  const Case cases[] = {
      {"SIGINT in the metadata stage", "[1/6] metadata", SIGINT, false, RLIM_INFINITY, ""},
      {"SIGINT in the render", "render: CPU", SIGINT, true, RLIM_INFINITY, ""},
      {"SIGTERM after the first block row", "  block row 1/", SIGTERM, true, RLIM_INFINITY, ""},
      // 2 KiB: the seam archive or the mosaic is the first file to outgrow it.
      {"writes fail like on a full disk", "", 0, false, 2048, "error: cannot write "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Child child = spawn(build_args(), dir / "again.err", c.file_size_limit);
    ASSERT_GT(child.pid, 0);
    if (c.signal_number != 0) {
      ASSERT_TRUE(read_until_line(child, c.stop_at)) << child.out;
      // Held still while the signal is queued, so it lands before the build can finish.
      kill(child.pid, SIGSTOP);
      if (c.partial_while_stopped) {
        EXPECT_FALSE(partial_names(dir / "out").empty());
      }
      kill(child.pid, c.signal_number);
      kill(child.pid, SIGCONT);
    }
    const int status = finish(child);
    const std::string err = test::read_file_text(dir / "again.err");
    if (c.signal_number != 0) {
      ASSERT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status) << ": " << err;
      EXPECT_EQ(WTERMSIG(status), c.signal_number);
      EXPECT_EQ(err, "");
      EXPECT_EQ(child.out.find("done in"), std::string::npos) << child.out;
    } else {
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 1) << err;
      EXPECT_TRUE(err.starts_with(std::string(c.error) + (dir / "out").string())) << err;
      EXPECT_NE(err.find(": File too large (os error 27)"), std::string::npos) << err;
      EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
    EXPECT_EQ(partial_names(dir / "out"), std::vector<std::string>{});
    const auto after = snapshot(dir / "out");
    EXPECT_EQ(after.size(), before.size());
    for (const auto& [name, bytes] : before) {
      ASSERT_TRUE(after.contains(name)) << name;
      EXPECT_TRUE(after.at(name) == bytes) << name << " changed";
    }
  }
}

// Regression: a build killed by SIGKILL (or the out-of-memory killer, or a crash) left its
// partial files, and every later build into that output failed with "cannot create
// ...ortho.partial.tif: File exists". Now the next build takes the leftovers over; and when it
// writes no seams, the seam file of an earlier build and the killed build's partial seam file
// are gone too. A partial file a live build holds still stops a second build, untouched.
TEST_F(InterruptedBuild, KilledBuildLeavesNothingInTheWayOfTheNext) {
  {
    Child first = spawn(build_args(), dir / "first.err");
    ASSERT_EQ(finish(first), 0) << test::read_file_text(dir / "first.err");
  }
  ASSERT_TRUE(fs::exists(dir / "out" / "ortho_seams.npz"));
  {
    Child killed = spawn(build_args(), dir / "killed.err");
    ASSERT_TRUE(read_until_line(killed, "  block row 1/")) << killed.out;
    kill(killed.pid, SIGKILL);
    const int status = finish(killed);
    ASSERT_TRUE(WIFSIGNALED(status));
  }
  std::vector<std::string> left = partial_names(dir / "out");
  std::sort(left.begin(), left.end());
  ASSERT_EQ(left, (std::vector<std::string>{"ortho.partial.tif", "ortho_seams.partial.npz"}));

  std::vector<std::string> feather = build_args();
  feather.insert(feather.end(), {"--blend", "feather", "--no-preview"});
  Child next = spawn(feather, dir / "next.err");
  ASSERT_EQ(finish(next), 0) << test::read_file_text(dir / "next.err");
  EXPECT_LT(next.peak_kb, 1024 * 1024);
  EXPECT_EQ(partial_names(dir / "out"), std::vector<std::string>{});
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir / "out")) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"ortho.tfw", "ortho.tif", "ortho_report.json"}));

  // Two processes: the test holds the mosaic's partial file as a running build would.
  {
    PendingFile running(dir / "out" / "ortho.tif");
    ASSERT_TRUE(reserve_partial(running).has_value());
    test::write_file_text(running.partial, "being written");
    const auto before = snapshot(dir / "out");
    Child second = spawn(build_args(), dir / "second.err");
    const int status = finish(second);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(test::read_file_text(dir / "second.err"),
              "error: cannot create " + running.partial.string() + ": held by another running build\n");
    EXPECT_EQ(test::read_file_text(running.partial), "being written");
    EXPECT_TRUE(snapshot(dir / "out") == before);
  }
}

// Outputs the build must refuse, and sizes that do not fit: one error line naming what is at
// fault, exit code 1, the earlier result untouched, and nothing written beside a refused
// output. The refused outputs are found before the metadata stage.
TEST_F(InterruptedBuild, RefusedOutputsAndSizesThatDoNotFit) {
  {
    Child first = spawn(build_args(), dir / "first.err");
    ASSERT_EQ(finish(first), 0) << test::read_file_text(dir / "first.err");
  }
  const auto before = snapshot(dir / "out");
  const fs::path out = dir / "out" / "ortho.tif";
  fs::create_directory(dir / "folder.tif");
  const bool have_fifo = test::run_command("mkfifo " + test::shell_quote((dir / "pipe.tif").string())).exit_code == 0;
  fs::create_directory(dir / "held");
  fs::create_directory(dir / "held" / "ortho.partial.tif");
  // Reports whose first shot stands 1e300 m east or 1e308 m up: no plan around it fits.
  auto edited_report = [&](const std::string& key, const std::string& value) {
    const fs::path path = dir / (key + "_report.json");
    const std::string edit = "import json,sys; r=json.load(open(sys.argv[1])); r['shots'][0]['" + key + "']=" + value +
                             "; json.dump(r, open(sys.argv[2], 'w'))";
    const auto r = test::run_command(test::python3() + " -c " + test::shell_quote(edit) + " " +
                                     test::shell_quote((dir / "out" / "ortho_report.json").string()) + " " +
                                     test::shell_quote(path.string()));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return path.string();
  };

  struct Case {
    std::string name;
    std::vector<std::string> args;  // replacing or added to the earlier build's
    std::string error;              // the whole error line, or its start when it has no line end
    bool before_metadata;
  };
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> a = build_args();
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  };
  std::vector<Case> cases = {
      {"output is a folder", with({"-o", (dir / "folder.tif").string()}),
       "error: output " + (dir / "folder.tif").string() + " is a folder, not a file\n", true},
      {"partial name held by a folder", with({"-o", (dir / "held" / "ortho.tif").string()}),
       "error: cannot create " + (dir / "held" / "ortho.partial.tif").string() + ": File exists (os error 17)\n", true},
      // Regression: a cap below one pixel planned a 1 x 1 mosaic at an infinite gsd, and the
      // seams then failed with an internal error.
      {"cap below one pixel", with({"--max-mpix", "5e-324"}), "error: max_mpix 5e-324 is less than one pixel\n", false},
      // 0.0001 cm over 120 m with the cap lifted would be 1.4e16 pixels, whose tile table alone
      // would take 0.8 TB; a gsd that far below the photos' is refused before any planning.
      {"gsd far below the photos'", with({"--gsd", "0.0001", "--max-mpix", "1e300"}), "error: output gsd 1e-06 m is far below", false},
      {"reused shot far east", with({"--reuse", edited_report("E", "1e300")}), "error: ", false},
      {"reused shot far up", with({"--reuse", edited_report("h", "1e308")}), "error: ", false},
  };
  if (have_fifo)
    cases.push_back({"output is a FIFO", with({"-o", (dir / "pipe.tif").string()}),
                     "error: output " + (dir / "pipe.tif").string() + " is a FIFO, not a file\n", true});
  if (fs::exists("/dev/null"))
    cases.push_back({"output is a device", with({"-o", "/dev/null"}), "error: output /dev/null is a device, not a file\n", true});
  if (fs::is_directory("/proc/self"))
    cases.push_back({"output folder takes no file", with({"-o", "/proc/self/ortho.tif"}),
                     "error: cannot create /proc/self/ortho.partial.tif: ", true});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Child child = spawn(c.args, dir / "again.err");
    ASSERT_GT(child.pid, 0);
    const int status = finish(child);
    const std::string err = test::read_file_text(dir / "again.err");
    ASSERT_TRUE(WIFEXITED(status)) << err;
    EXPECT_EQ(WEXITSTATUS(status), 1) << err;
    if (!c.error.ends_with('\n')) {
      EXPECT_TRUE(err.starts_with(c.error)) << err;
    } else {
      EXPECT_EQ(err, c.error);
    }
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(child.out.find("panicked"), std::string::npos);
    if (c.before_metadata) {
      EXPECT_EQ(child.out.find("[1/6] metadata"), std::string::npos) << child.out;
    }
    EXPECT_EQ(partial_names(dir / "out"), std::vector<std::string>{});
    EXPECT_TRUE(snapshot(dir / "out") == before);
  }
  EXPECT_TRUE(fs::is_directory(dir / "folder.tif"));
  EXPECT_TRUE(fs::is_empty(dir / "folder.tif"));
  EXPECT_TRUE(fs::is_directory(dir / "held" / "ortho.partial.tif"));
  EXPECT_EQ(snapshot(dir / "held").size(), 1u);
  if (have_fifo) {
    EXPECT_EQ(fs::status(dir / "pipe.tif").type(), fs::file_type::fifo);
  }
  for (const char* side : {"/dev/null_report.json", "/dev/null.tfw", "/dev/null_preview.jpg", "/dev/null.partial"})
    EXPECT_FALSE(fs::exists(side)) << side;
  if (fs::exists("/dev/null")) {
    EXPECT_EQ(fs::status("/dev/null").type(), fs::file_type::character);
  }
}

}  // namespace
}  // namespace tsl
