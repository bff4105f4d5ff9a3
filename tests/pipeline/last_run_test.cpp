#include "pipeline/last_run.h"

#include <gtest/gtest.h>

#include <memory>

namespace tsl {
namespace {

std::shared_ptr<const LastRun> run_named(const std::string& report) {
  auto run = std::make_shared<LastRun>();
  run->report_path = report;
  return run;
}

TEST(LastRun, PublishReplacesAndReadersKeepTheirRecord) {
  clear_last_run();
  EXPECT_EQ(take_last_run(), nullptr);
  clear_last_run();  // a reset of an empty slot leaves it empty
  EXPECT_EQ(take_last_run(), nullptr);

  publish_last_run(run_named("a_report.json"));
  std::shared_ptr<const LastRun> first = take_last_run();
  ASSERT_NE(first, nullptr);
  publish_last_run(run_named("b_report.json"));
  // The reader of the first build keeps it whole while the slot moved on.
  EXPECT_EQ(first->report_path, "a_report.json");
  EXPECT_EQ(take_last_run()->report_path, "b_report.json");
  clear_last_run();
  EXPECT_EQ(take_last_run(), nullptr);
  EXPECT_EQ(first->report_path, "a_report.json");
}

}  // namespace
}  // namespace tsl
