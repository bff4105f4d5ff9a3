#include "server/perf.h"

#include <gtest/gtest.h>

namespace tsl {
namespace {

TEST(CoreLoads, FromCounterDifferences) {
  std::vector<std::pair<uint64_t, uint64_t>> prev = {{100, 1000}, {500, 1000}, {10, 10}, {900, 1000}};
  std::vector<std::pair<uint64_t, uint64_t>> cur = {{200, 1200}, {500, 1100}, {20, 10}, {800, 1100}};
  // 50 %, 0 %, no time passed, busy counter went back.
  EXPECT_EQ(core_loads(prev, cur), (std::vector<double>{50, 0, 0, 0}));
  // Full load on both cores; a shorter reading limits the list; an empty one empties it.
  EXPECT_EQ(core_loads({{0, 0}, {0, 0}}, {{100, 100}, {300, 200}}), (std::vector<double>{100, 100}));
  EXPECT_EQ(core_loads({{0, 0}, {0, 0}}, {{1, 3}}), (std::vector<double>{33}));
  EXPECT_TRUE(core_loads({}, {{1, 3}}).empty());
}

TEST(GpuReading, Fields) {
  auto r = parse_gpu_reading("37, 1024, 8192, 55, [N/A], 1500, Some GPU 3000\r\nsecond gpu line\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->values[0], 37.0);
  EXPECT_EQ(r->values[2], 8192.0);
  EXPECT_FALSE(r->values[4]);  // not a number: null
  EXPECT_EQ(r->values[5], 1500.0);
  EXPECT_EQ(r->name, "Some GPU 3000");
  EXPECT_FALSE(parse_gpu_reading(""));
  EXPECT_FALSE(parse_gpu_reading("1, 2, 3, 4, 5, 6"));
  EXPECT_FALSE(parse_gpu_reading("\n1, 2, 3, 4, 5, 6, x"));
}

TEST(PerfState, SinceIsStrict) {
  init_perf_state(JsonValue::empty_object());
  EXPECT_TRUE(perf_snapshot(0).filled);
  EXPECT_TRUE(perf_snapshot(0).samples.empty());
}

}  // namespace
}  // namespace tsl
