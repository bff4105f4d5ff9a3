#include "util/par.h"

#include <gtest/gtest.h>

namespace tsl {
namespace {

TEST(ParSmoke, MapsChunksAndProgress) {
  auto r = par_map(100, 8, [](size_t i) { return i * i; });
  ASSERT_EQ(r.size(), 100u);
  for (size_t i = 0; i < 100; ++i) EXPECT_EQ(r[i], i * i);
  std::vector<size_t> seen;
  auto r2 = par_map_progress(25, 4, 10, [](size_t i) { return i; }, [&](size_t d, size_t n) { seen.push_back(d); });
  EXPECT_EQ(seen, (std::vector<size_t>{10, 20, 25}));
  std::vector<int> buf(1000, 1);
  par_chunks(std::span<int>(buf), 7, 4, [](size_t k, std::span<int> c) { for (int& v : c) v += static_cast<int>(k); });
  EXPECT_EQ(buf[999], 1 + 999 / 7);
}

}  // namespace
}  // namespace tsl
