#include "sysmon.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "logx.h"

namespace tsl {
namespace {

constexpr uint64_t GIB = uint64_t{1} << 30;

// Runs `body` with this thread's log lines captured and returns them.
template <typename F>
std::vector<std::string> captured(F&& body) {
  auto list = std::make_shared<CaptureList>();
  set_log_capture(list);
  body();
  set_log_capture(nullptr);
  return list->lines;
}

TEST(JobsWithinRam, CapsByHalfTheFreeMemory) {
  struct Case {
    size_t n;
    double bytes_per_job;
    uint64_t available;
    size_t want;
    std::string line;  // "" when nothing is logged
  };
  const Case cases[] = {
      {8, 2.0 * GIB, 16 * GIB, 4,
       "  features: 4 parallel jobs (of 8 threads) to stay within RAM (2.0 GB per job, 16 GB free)"},
      {8, 2.0 * GIB, 64 * GIB, 8, ""},
      {0, 2.0 * GIB, 16 * GIB, 1, ""},
      {4, 0.0, 2, 1, "  features: 1 parallel jobs (of 4 threads) to stay within RAM (0.0 GB per job, 0 GB free)"},
      {4, 0.0, 8, 4, ""},                  // 0 bytes per job divides by 1 byte: 4 jobs fit
      {4, 64.0 * GIB, 0, 4, ""},           // free memory unknown: the request stands
      {0, 64.0 * GIB, 0, 1, ""},
      {4, std::nan(""), 16 * GIB, 1,
       "  features: 1 parallel jobs (of 4 threads) to stay within RAM (NaN GB per job, 16 GB free)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    size_t got = 0;
    auto lines = captured([&] { got = jobs_within_ram_for(c.n, c.bytes_per_job, "features", c.available); });
    EXPECT_EQ(got, c.want);
    if (c.line.empty()) {
      EXPECT_TRUE(lines.empty());
    } else {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0], c.line);
    }
  }
}

TEST(JobsWithinRam, AsksTheSystem) {
  // With a tiny job the machine's free memory never lowers the request.
  EXPECT_EQ(jobs_within_ram(3, 1.0, "x"), 3u);
}

TEST(CpuTimes, OnePairPerProcessorWithBusyWithinTotal) {
  auto t = cpu_times();
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(t->size(), std::thread::hardware_concurrency());
  for (auto [busy, total] : *t) EXPECT_LE(busy, total);
}

}  // namespace
}  // namespace tsl
