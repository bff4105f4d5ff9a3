#include "img/ops/components.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "img/ops/ops_test_util.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

TEST(LabelComponents, DiagonalNeighboursJoinOnlyWithEightConnectivity) {
  const std::vector<uint8_t> diagonal = {1, 0, 0, 1};
  EXPECT_EQ(label_components(diagonal, 2, 2, false).count, 3u);
  const Components eight = label_components(diagonal, 2, 2, true);
  EXPECT_EQ(eight.count, 2u);
  EXPECT_EQ(eight.labels, (std::vector<int32_t>{1, 0, 0, 1}));
}

TEST(LabelComponents, EmptyMaskAndRasterOrder) {
  const Components none = label_components(std::vector<uint8_t>(12, 0), 4, 3, true);
  EXPECT_EQ(none.count, 1u);
  EXPECT_EQ(none.labels, std::vector<int32_t>(12, 0));
  // The component whose first pixel comes first in raster order is 1, even though the other
  // reaches further left below it.
  const std::vector<uint8_t> m = {
      0, 0, 0, 7,  //
      1, 0, 0, 9,  //
      1, 1, 0, 0,  //
  };
  EXPECT_EQ(label_components(m, 4, 3, false).labels, (std::vector<int32_t>{0, 0, 0, 1, 2, 0, 0, 1, 2, 2, 0, 0}));
  EXPECT_THROW(label_components(m, 4, 2, false), InternalError);
}

TEST(LabelComponents, OneHugeComponentNeedsNoRecursion) {
  // A serpentine path through a 1000 x 1000 mask is one component of 500 000+ pixels; a
  // recursive fill would overflow the stack.
  const size_t n = 1000;
  std::vector<uint8_t> m(n * n, 0);
  for (size_t y = 0; y < n; y += 2) {
    for (size_t x = 0; x < n; ++x) m[y * n + x] = 1;
    if (y + 1 < n) m[(y + 1) * n + ((y / 2) % 2 == 0 ? n - 1 : 0)] = 1;
  }
  EXPECT_EQ(label_components(m, n, n, false).count, 2u);
}

TEST(LabelComponents, AgreesWithOpenCv) {
  TSL_REQUIRE_OPS_ORACLE();
  test::TempDir dir;
  const size_t w = 61, h = 47;
  std::mt19937 rng(9);
  std::uniform_int_distribution<int> dist(0, 99);
  std::vector<uint8_t> m(w * h);
  for (uint8_t& v : m) v = dist(rng) < 45 ? 1 : 0;
  test::save_raw<uint8_t>(dir / "m.u8", m);
  const std::string code = R"(
m = np.fromfile('m.u8', np.uint8).reshape(47, 61)
for c in (4, 8):
    n, labels = cv2.connectedComponents(m, connectivity=c, ltype=cv2.CV_32S)
    labels.astype(np.int32).tofile(f'labels{c}.i32')
)";
  ASSERT_TRUE(test::run_python_oracle(dir.path(), code));
  for (int connectivity : {4, 8}) {
    SCOPED_TRACE(format("connectivity {}", connectivity));
    const std::vector<int32_t> want = test::load_raw<int32_t>(dir / format("labels{}.i32", connectivity));
    const Components got = label_components(m, w, h, connectivity == 8);
    ASSERT_EQ(want.size(), got.labels.size());
    // The partitions must be equal: a one-to-one map between the two label sets.
    std::map<int32_t, int32_t> ours_to_theirs, theirs_to_ours;
    for (size_t i = 0; i < want.size(); ++i) {
      ASSERT_EQ(want[i] == 0, got.labels[i] == 0) << "pixel " << i;
      auto [a, fresh_a] = ours_to_theirs.emplace(got.labels[i], want[i]);
      auto [b, fresh_b] = theirs_to_ours.emplace(want[i], got.labels[i]);
      ASSERT_EQ(a->second, want[i]) << "pixel " << i;
      ASSERT_EQ(b->second, got.labels[i]) << "pixel " << i;
    }
    EXPECT_EQ(got.count, ours_to_theirs.size());
  }
}

}  // namespace
}  // namespace tsl
