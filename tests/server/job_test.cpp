#include "server/job.h"

#include <gtest/gtest.h>

#include <cmath>

#include "logx.h"

namespace tsl {
namespace {

struct JobFixture : ::testing::Test {
  void SetUp() override { reset_job_state(); }
  void TearDown() override { reset_job_state(); }
  static JobState snapshot() {
    std::lock_guard lock(job_mutex());
    return job_state();
  }
};

TEST(CounterFraction, Cases) {
  struct Case {
    std::string line, keyword;
    std::optional<double> f;
  };
  const Case cases[] = {
      {"  pairs 0/0", "pairs ", 0.0},      {"  pairs 5/3", "pairs ", 5.0 / 3.0},
      {"  pairs 5/", "pairs ", {}},        {"  pairs /3", "pairs ", {}},
      {"  pairs 5 of 3", "pairs ", {}},    {"  features 1/4 pairs 1/2", "features ", 0.25},
      {"  pairs x pairs 1/2", "pairs ", {}},  // only the first occurrence is tried
      {"  block row 512/2048  (3 images)", "block row ", 0.25},
  };
  for (const Case& c : cases) {
    auto f = parse_counter_fraction(c.line, c.keyword);
    ASSERT_EQ(f.has_value(), c.f.has_value()) << c.line;
    if (f) {
      EXPECT_DOUBLE_EQ(*f, *c.f) << c.line;
    }
  }
}

TEST(EchoCommandLine, QuotesWordsWithBlanks) {
  EXPECT_EQ(echo_command_line({"D:\\my flight", "-o", "out.tif"}), "$ tessaly \"D:\\my flight\" -o out.tif");
  EXPECT_EQ(echo_command_line({"a\tb"}), "$ tessaly a\tb");
}

TEST_F(JobFixture, StagesAndProgressFromLines) {
  struct Step {
    std::string text;
    uint32_t stage;
    double progress;
  };
  const Step steps[] = {
      {"  pairs 1/2", 0, 0.0},  // before any stage line nothing moves
      {"[2/6] pairs + features", 2, 0.05},
      {"[2-4/6] refinement skipped (metadata placement only)", 4, 0.50},
      {"  BA 1 round 2: tie RMS 1.000 m -> 0.500 m (median 0.400 m, 10 pts, 5 evals)", 4, 0.596},
      {"  BA 1 round 7: tie RMS", 4, 0.62},
      {"[0/6] nothing", 4, 0.62},
      {"[7/6] nothing", 4, 0.62},
      {"[x/6] nothing", 4, 0.62},
      // Progress never goes back, not even when a stage line of an earlier stage comes.
      {"[3/6] matching", 3, 0.62},
      {"  pairs 5/3", 3, 0.62},
      {"  pairs 6/3", 3, 0.35 + 6.0 / 3.0 * 0.15},
      {"[6/6] render", 6, 0.65},
      {"  block row 512/2048  (4 images)  1s elapsed, ~3s left", 6, 0.73},
  };
  for (const Step& s : steps) {
    ingest_job_log(s.text);
    JobState job = snapshot();
    EXPECT_EQ(job.stage, s.stage) << s.text;
    EXPECT_NEAR(job.progress, s.progress, 1e-12) << s.text;
  }
  JobState job = snapshot();
  ASSERT_EQ(job.stage_marks.size(), 4u);  // the stage lines with a stage of 1 to 6
  EXPECT_EQ(job.stage_marks[0].name, "pairs + features");
  EXPECT_EQ(job.stage_marks[1].name, "refinement skipped (metadata");
  EXPECT_EQ(job.lines.size(), std::size(steps));
}

TEST_F(JobFixture, LineSplitting) {
  ingest_job_log("a\r\nb\n");
  ingest_job_log("");
  ingest_job_log("\n");
  ingest_job_log("tail");
  ingest_job_log("[5/6]");
  ingest_job_log("[5/6] : x");
  JobState job = snapshot();
  EXPECT_EQ(job.lines, (std::vector<std::string>{"a", "b", "", "tail", "[5/6]", "[5/6] : x"}));
  ASSERT_EQ(job.stage_marks.size(), 2u);  // an empty name, or one cut at ":", is "stage 5"
  EXPECT_EQ(job.stage_marks[0].name, "stage 5");
  EXPECT_EQ(job.stage_marks[1].name, "stage 5");
}

TEST_F(JobFixture, ApiJobReply) {
  ingest_job_log("one\ntwo\nthree\n");
  JsonValue all = api_job(0);
  EXPECT_EQ(all["state"].as_string(), "idle");
  EXPECT_EQ(all["lines"].size(), 3u);
  EXPECT_EQ(all["next"].as_f64(), 3.0);
  EXPECT_EQ(all["elapsed"].as_f64(), 0.0);
  EXPECT_TRUE(all["error"].is_null());
  EXPECT_TRUE(all["report"].is_null());
  EXPECT_EQ(api_job(3)["lines"].size(), 0u);
  EXPECT_EQ(api_job(99)["lines"].size(), 0u);
  EXPECT_EQ(api_job(99)["next"].as_f64(), 3.0);
}

TEST_F(JobFixture, ElapsedStopsAtTheEnd) {
  {
    std::lock_guard lock(job_mutex());
    job_state().state = "done";
    job_state().started = unix_now() - 10.0;
    job_state().finished = job_state().started + 2.0;
  }
  EXPECT_DOUBLE_EQ(api_job(0)["elapsed"].as_f64(), 2.0);
}

TEST_F(JobFixture, CancelOnlyWhileRunning) {
  cancel_job();
  EXPECT_FALSE(cancel_requested.load());
  {
    std::lock_guard lock(job_mutex());
    job_state().state = "running";
  }
  cancel_job();
  EXPECT_TRUE(cancel_requested.load());
  cancel_requested.store(false);
}

// The moment a build's state leaves "running" a new build may start; by then the old one must
// have removed its log sink and cleared the cancellation flag, or it would take them from the
// new build.
TEST_F(JobFixture, FinalStateComesAfterCleanUp) {
  for (int round = 0; round < 200; ++round) {
    ASSERT_TRUE(start_job({"/nonexistent/tessaly/input"}));
    cancel_job();
    for (;;) {
      bool running = false;
      size_t lines = 0;
      bool flag = false;
      {
        std::lock_guard lock(job_mutex());
        running = job_state().state == "running";
        lines = job_state().lines.size();
        flag = cancel_requested.load();
      }
      if (running) continue;
      ASSERT_FALSE(flag) << "round " << round;
      // A line logged now goes to stdout, not into the finished job.
      log_str("probe line outside any build");
      std::lock_guard lock(job_mutex());
      ASSERT_EQ(job_state().lines.size(), lines) << "round " << round;
      break;
    }
  }
}

}  // namespace
}  // namespace tsl
