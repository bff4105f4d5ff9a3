#include "imageio/srgb.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace tsl {
namespace {

TEST(SrgbTables, PublishedValues) {
  const auto& t8 = srgb_to_linear_8();
  const std::pair<int, int> eight[] = {{0, 0}, {1, 20}, {10, 199}, {11, 219}, {128, 14146}, {255, 65535}};
  for (auto [v, linear] : eight) EXPECT_EQ(t8[v], linear) << v;
  const auto t16 = srgb_to_linear_16();
  ASSERT_EQ(t16.size(), 65536u);
  const std::pair<int, int> sixteen[] = {{0, 0}, {1, 0}, {2650, 205}, {32768, 14028}, {65535, 65535}};
  for (auto [v, linear] : sixteen) EXPECT_EQ(t16[v], linear) << v;
  // The two tables agree where their codes meet (v8 x 257 is the same fraction).
  for (int v = 0; v < 256; ++v) EXPECT_EQ(t8[v], t16[v * 257]) << v;
  for (size_t v = 1; v < t16.size(); ++v) ASSERT_LE(t16[v - 1], t16[v]) << v;
}

TEST(SrgbTables, BuiltOnceForEveryThread) {
  std::vector<const uint16_t*> seen(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&, i] { seen[i] = srgb_to_linear_16().data(); });
  for (auto& t : threads) t.join();
  for (const uint16_t* p : seen) EXPECT_EQ(p, seen[0]);
}

}  // namespace
}  // namespace tsl
