// The entry, run as the built executable: dispatch, output streams and exit codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>

#include "platform/socket.h"
#include "support/test_util.h"

namespace tsl {
namespace {

test::CommandResult run_tessaly(const std::string& args) {
  return test::run_command(test::shell_quote(test::tessaly_exe().string()) + " " + args);
}

TEST(Entry, VersionIsExact) {
  auto r = run_tessaly("--version");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "0.5.0b4\n");
  EXPECT_EQ(r.err, "");
}

TEST(Entry, HelpMatchesTheGoldenUsageText) {
  const std::string golden = test::read_file_text(test::source_dir() / "tests" / "data" / "usage.txt");
  ASSERT_FALSE(golden.empty());
  for (const char* args : {"--help", "-h", "a.jpg b.jpg -h", "--version -h", "--bogus --help", "-o x.tif --help"}) {
    SCOPED_TRACE(args);
    auto r = run_tessaly(args);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, golden);
    EXPECT_EQ(r.err, "");
  }
  // 63 option lines follow the "options:" line.
  size_t at = golden.find("options:\n");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(std::count(golden.begin() + static_cast<std::ptrdiff_t>(at), golden.end(), '\n'), 64);
}

TEST(Entry, ExitCodesAndStreams) {
  struct Case {
    std::string args;
    int code;
    std::string err_prefix;  // stderr must begin with this
    bool err_exact;
  };
  const Case cases[] = {
      // A rejected command line: the two lines on stderr.
      {"a.jpg --bogus", 2, "tessaly: error: unrecognized arguments: --bogus\n(see tessaly --help)\n", true},
      {"--ev 1", 2, "tessaly: error: the following arguments are required: input\n(see tessaly --help)\n", true},
      {"a.jpg --bits 12",
       2,
       "tessaly: error: argument --bits: invalid choice: '12' (choose from 8, 16)\n(see tessaly --help)\n",
       true},
      // A build that fails reports "error: ..." and exits 1.
      {"/nonexistent/a.jpg", 1, "error: ", false},
      // Two words: not a test command but a build of the inputs "__load" and the path.
      {"__load /nonexistent/a.jpg", 1, "error: ", false},
      // Internal errors (here the hidden test commands' stand-in and a non-UTF-8 word) exit 101.
      {"__load a b", 101, "thread 'main' panicked", false},
      {"a.jpg $(printf '\\377')", 101, "thread 'main' panicked", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    auto r = run_tessaly(c.args);
    EXPECT_EQ(r.exit_code, c.code);
    // A rejected command line prints nothing on stdout; a build may log its stages first.
    if (c.code == 2) {
      EXPECT_EQ(r.out, "");
    }
    if (c.err_exact) {
      EXPECT_EQ(r.err, c.err_prefix);
    } else {
      EXPECT_TRUE(r.err.starts_with(c.err_prefix)) << r.err;
    }
  }
}

// The vector-path switch is checked before anything runs: text that names no feature is a
// rejected command line, whatever the words.
TEST(Entry, UnknownCpuFeatureIsRefused) {
  for (const char* words : {"--version", "a.jpg"}) {
    SCOPED_TRACE(words);
    auto r = test::run_command("TSL_CPU_FEATURES=sse9 " + test::shell_quote(test::tessaly_exe().string()) + " " + words);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tessaly: error: TSL_CPU_FEATURES: unknown cpu feature \"sse9\" (known: all, none, avx2, fma)\n");
  }
  auto r = test::run_command("TSL_CPU_FEATURES=none " + test::shell_quote(test::tessaly_exe().string()) + " --version");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "0.5.0b4\n");
}

// Regression: running out of memory ended with "panicked: std::bad_alloc" and no place. The
// standard library's faults now name where they reached the entry, like every internal error.
// A 1 cm mosaic of one photo under a 300 MB address-space limit runs out of memory.
TEST(Entry, StandardLibraryFaultsReportTheirPlace) {
  test::TempDir dir;
  std::filesystem::copy_file(test::source_dir() / "samples/flight/DJI_0001.JPG", dir / "DJI_0001.JPG");
  auto r = test::run_command("ulimit -v 300000 && " + test::shell_quote(test::tessaly_exe().string()) + " " +
                             test::shell_quote(dir.path().string()) + " --gsd 1 --block-rows 8192 --disk-cache-gb 0 -o " +
                             test::shell_quote((dir / "out" / "ortho.tif").string()));
  EXPECT_EQ(r.exit_code, 101) << r.err;
  ASSERT_TRUE(r.err.ends_with("\n")) << r.err;
  const std::string last = r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1);
  EXPECT_TRUE(std::regex_search(last, std::regex("^thread '[^']+' panicked at src/[a-z_/]+\\.cpp:[0-9]+: ")))
      << r.err;
}

// The studio road: no words, "studio" or "--studio" (other words then ignored, except --help,
// which prints the studio's usage instead). Each case serves for a moment with a stand-in browser opener on PATH and a display
// set; the banner tells the port, the opener's record whether the browser was asked for.
TEST(Entry, StudioRoad) {
  TSL_REQUIRE_TOOL("timeout");
  uint16_t free_port = 0;
  {
    auto probe = platform::listen_loopback(0, 1);
    ASSERT_TRUE(probe);
    free_port = platform::local_port(*probe);
  }
  const std::string given = std::to_string(free_port);
  struct Case {
    std::string args;
    uint16_t port;  // the first port of the search
    bool browser;
  };
  const Case cases[] = {
      {"", 8765, true},
      {"studio --port " + given + " --no-browser", free_port, false},
      {"--studio --verbose", 8765, true},
      {"studio --port --no-browser", 8765, true},
      {"studio --version", 8765, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    test::TempDir dir;
    std::filesystem::create_directories(dir / "bin");
    test::write_file_text(dir / "bin" / "xdg-open", "#!/bin/sh\necho \"$1\" >> \"$(dirname \"$0\")/opened\"\n");
    std::filesystem::permissions(dir / "bin" / "xdg-open", std::filesystem::perms::owner_all);
    auto r = test::run_command("cd " + test::shell_quote(dir.path().string()) + " && PATH=" +
                               test::shell_quote((dir / "bin").string()) + ":\"$PATH\" DISPLAY=:99 timeout -s KILL 1.5 " +
                               test::shell_quote(test::tessaly_exe().string()) + " " + c.args);
    const std::string prefix = "tessaly studio 0.5.0b4 -> http://127.0.0.1:";
    ASSERT_EQ(r.out.rfind(prefix, 0), 0u) << r.out << r.err;
    const int port = std::stoi(r.out.substr(prefix.size()));
    EXPECT_GE(port, c.port);
    EXPECT_LE(port, c.port + 11);
    const std::string opened = test::read_file_text(dir / "bin" / "opened");
    if (c.browser) {
      EXPECT_EQ(opened, "http://127.0.0.1:" + std::to_string(port) + "/\n");
    } else {
      EXPECT_EQ(opened, "");
    }
  }
}

}  // namespace
}  // namespace tsl
