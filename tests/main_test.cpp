// The entry, run as the built executable: dispatch, output streams and exit codes.
#include <gtest/gtest.h>

#include <algorithm>

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

// The studio road: no words, "studio" or "--studio" (other words then ignored, --help among
// them). The stand-in server reports the port and browser choice it was given and returns, so
// the entry exits 1.
TEST(Entry, StudioRoad) {
  struct Case {
    std::string args;
    std::string said;
  };
  const Case cases[] = {
      {"", "port 8765, browser on"},
      {"studio --port 9000 --no-browser", "port 9000, browser off"},
      {"--studio --help", "port 8765, browser on"},
      {"studio --port --no-browser", "port 8765, browser on"},
      {"studio --version", "port 8765, browser on"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    auto r = run_tessaly(c.args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
}  // namespace tsl
