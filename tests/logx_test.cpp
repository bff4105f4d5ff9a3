#include "logx.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "platform/thread.h"
#include "util/error.h"

namespace tsl {
namespace {

// Clears the process-wide flag and this thread's context whatever a test leaves behind.
struct LogFixture : ::testing::Test {
  void SetUp() override {
    reset_log();
    set_log_context({});
  }
  void TearDown() override {
    cancel_requested.store(false);
    set_log_context({});
    set_log_sink(std::nullopt);
    reset_log();
  }
};

using LogLines = LogFixture;
using StageTimes = LogFixture;
using Cancellation = LogFixture;

TEST(StageName, OfLines) {
  struct Case {
    std::string line;
    std::optional<std::string> name;
  };
  const Case cases[] = {
      {"[1/6] metadata: 18 files", "metadata"},
      {"[2/6] pairs + features", "pairs + features"},
      {"[2-4/6] refinement skipped (metadata placement only)", "refinement skipped (metadata placement only)"},
      {"[3/6]x", "x"},
      {"[3/6] a: b", "a"},
      {"[3/6] : b", "[3/6]"},
      {"[5/6]", "[5/6]"},
      {"[5/6]\xE3\x80\x80 tone \xC2\xA0", "tone"},  // Unicode spaces are trimmed
      {"[2-5/6] reusing solved poses + gains from C:\\runs\\r_report.json (3/4 images)", "reusing solved poses + gains from C"},
      {"[x/6] a", std::nullopt},
      {"3/6] a", std::nullopt},
      {"[1/7] a", std::nullopt},
      {"[1/6", std::nullopt},
      {"  features 10/20", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(stage_name(c.line), c.name);
  }
}

TEST_F(LogLines, GoToHistoryAndStdout) {
  testing::internal::CaptureStdout();
  log("first");
  log_str("two\nlines");
  logf("  {} of {:.1}", 3, 2.25);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "first\ntwo\nlines\n  3 of 2.2\n");
  EXPECT_EQ(log_history(), (std::vector<std::string>{"first", "two\nlines", "  3 of 2.2"}));
}

TEST_F(LogLines, SinkReplacesStdout) {
  std::vector<std::string> seen;
  set_log_sink([&](std::string_view line) { seen.emplace_back(line); });
  testing::internal::CaptureStdout();
  log("to the sink");
  std::string out = testing::internal::GetCapturedStdout();
  set_log_sink(std::nullopt);
  EXPECT_EQ(out, "");
  EXPECT_EQ(seen, std::vector<std::string>{"to the sink"});
  EXPECT_EQ(log_history(), std::vector<std::string>{"to the sink"});

  // An empty callable removes the sink rather than failing on the next line.
  set_log_sink(nullptr);
  testing::internal::CaptureStdout();
  EXPECT_NO_THROW(log("back on stdout"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "back on stdout\n");
}

TEST_F(LogLines, CaptureAndMute) {
  auto list = std::make_shared<CaptureList>();
  set_log_capture(list);
  testing::internal::CaptureStdout();
  log("[1/6] captured");
  EXPECT_FALSE(set_log_mute(true));
  log("muted and captured");
  EXPECT_TRUE(set_log_mute(false));
  set_log_capture(nullptr);
  set_log_mute(true);
  log("muted");
  set_log_mute(false);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(list->lines, std::vector<std::string>{"[1/6] captured"});
  EXPECT_TRUE(log_history().empty());
  EXPECT_TRUE(close_stage_times().empty());  // a captured stage line opens no stage
}

TEST_F(LogLines, WorkerThreadsTakeTheStartersContext) {
  auto list = std::make_shared<CaptureList>();
  set_log_capture(list);
  LogContext ctx = log_context();
  std::thread t([ctx] {
    set_log_context(ctx);
    log("from a worker");
  });
  t.join();
  set_log_capture(nullptr);
  EXPECT_EQ(list->lines, std::vector<std::string>{"from a worker"});
}

TEST_F(StageTimes, StageLinesCloseThePreviousStage) {
  testing::internal::CaptureStdout();
  log("[1/6] metadata: 3 files");
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  log("  detail");
  log("[2/6] pairs + features");
  auto closed_so_far = close_stage_times();
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(closed_so_far.size(), 2u);
  EXPECT_EQ(closed_so_far[0].name, "metadata");
  // Only a lower bound: the sleep may take longer on a loaded machine.
  EXPECT_GE(closed_so_far[0].seconds, 0.03);
  EXPECT_EQ(closed_so_far[0].seconds, std::round(closed_so_far[0].seconds * 100) / 100);
  EXPECT_EQ(closed_so_far[1].name, "pairs + features");
  // After close_stage_times no stage is open; the list stays until the next reset.
  EXPECT_EQ(close_stage_times().size(), 2u);
}

TEST_F(StageTimes, ResetDropsTheOpenStage) {
  testing::internal::CaptureStdout();
  log("[1/6] metadata");
  reset_log();
  log("[3/6] matching");
  testing::internal::GetCapturedStdout();
  auto times = close_stage_times();
  ASSERT_EQ(times.size(), 1u);
  EXPECT_EQ(times[0].name, "matching");
  EXPECT_EQ(log_history(), std::vector<std::string>{"[3/6] matching"});
}

TEST_F(Cancellation, LogRaisesOnCancellableThreadsAfterWriting) {
  testing::internal::CaptureStdout();
  cancel_requested.store(true);
  log("not cancellable");  // no raise
  set_log_cancellable(true);
  EXPECT_THROW(log("last line"), Cancelled);
  EXPECT_THROW(check_cancel(), Cancelled);
  set_log_mute(true);
  EXPECT_NO_THROW(log("muted lines are no cancellation point"));
  set_log_mute(false);
  auto list = std::make_shared<CaptureList>();
  set_log_capture(list);
  EXPECT_NO_THROW(log("captured lines neither"));
  set_log_capture(nullptr);
  cancel_requested.store(false);
  EXPECT_NO_THROW(log("flag cleared"));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(log_history(), (std::vector<std::string>{"not cancellable", "last line", "flag cleared"}));
}

TEST_F(Cancellation, FaultReportsAreSilentForCancelledAndWhileRequested) {
  auto reported = [](std::exception_ptr fault) {
    testing::internal::CaptureStderr();
    report_fault(fault, "job");
    return testing::internal::GetCapturedStderr();
  };
  std::exception_ptr internal;
  try {
    internal_error("broken invariant");
  } catch (...) {
    internal = std::current_exception();
  }
  const int line = __LINE__ - 4;
  EXPECT_EQ(reported(internal), format("thread 'job' panicked at tests/logx_test.cpp:{}: broken invariant\n", line));
  EXPECT_EQ(reported(std::make_exception_ptr(std::runtime_error("other"))), "thread 'job' panicked: other\n");
  EXPECT_EQ(reported(std::make_exception_ptr(Cancelled{})), "");
  cancel_requested.store(true);
  EXPECT_EQ(reported(internal), "");
}

// A fault that escapes any thread ends the process with 101 after its report, never silently.
TEST(FaultHandler, EscapedFaultOnAThreadExits101) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        install_quiet_fault_handler();
        platform::Thread t(0, [] {
          set_thread_name("job");
          internal_error("lost invariant");
        });
        t.join();
      },
      testing::ExitedWithCode(101), "thread 'job' panicked at tests/logx_test.cpp:[0-9]+: lost invariant");
  EXPECT_EXIT(
      {
        install_quiet_fault_handler();
        std::thread t([] { throw std::runtime_error("from a plain thread"); });
        t.join();
      },
      testing::ExitedWithCode(101), "thread '<unnamed>' panicked: from a plain thread");
  // A cancelled thread that unwinds out of everything still ends the process, but quietly.
  EXPECT_EXIT(
      {
        install_quiet_fault_handler();
        std::thread t([] { raise_cancelled(); });
        t.join();
      },
      testing::ExitedWithCode(101), "^$");
}

}  // namespace
}  // namespace tsl
