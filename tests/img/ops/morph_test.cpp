#include "img/ops/morph.h"

#include <gtest/gtest.h>

#include <random>

#include "img/ops/ops_test_util.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

std::vector<uint8_t> random_mask(size_t n, uint32_t seed, int percent_set) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(0, 99);
  std::vector<uint8_t> m(n);
  for (uint8_t& v : m) v = dist(rng) < percent_set ? static_cast<uint8_t>(1 + dist(rng)) : 0;  // any non-zero
  return m;
}

TEST(MorphMask, BordersNeitherErodeNorGrow) {
  const std::vector<uint8_t> full(6 * 4, 255), clear(6 * 4, 0);
  EXPECT_EQ(morph_mask(full, 6, 4, 5, false), std::vector<uint8_t>(24, 1));
  EXPECT_EQ(morph_mask(clear, 6, 4, 5, true), std::vector<uint8_t>(24, 0));
}

TEST(MorphMask, WindowIsForcedOddAndSmallWindowsOnlyNormalise) {
  const std::vector<uint8_t> m = random_mask(17 * 11, 1, 40);
  for (bool dilate : {false, true}) {
    SCOPED_TRACE(dilate);
    EXPECT_EQ(morph_mask(m, 17, 11, 4, dilate), morph_mask(m, 17, 11, 5, dilate));
    std::vector<uint8_t> normalised(m.size());
    for (size_t i = 0; i < m.size(); ++i) normalised[i] = m[i] != 0;
    EXPECT_EQ(morph_mask(m, 17, 11, 0, dilate), normalised);
    EXPECT_EQ(morph_mask(m, 17, 11, 1, dilate), normalised);
  }
  EXPECT_THROW(morph_mask(m, 17, 10, 3, true), InternalError);
  // A window far larger than the mask covers all of it.
  EXPECT_EQ(morph_mask(m, 17, 11, ~uint64_t{0}, true), std::vector<uint8_t>(m.size(), 1));
}

TEST(MorphMask, AgreesWithOpenCv) {
  TSL_REQUIRE_OPS_ORACLE();
  test::TempDir dir;
  const size_t w = 53, h = 41;
  const std::vector<uint8_t> sparse = random_mask(w * h, 2, 3), dense = random_mask(w * h, 3, 85);
  test::save_raw<uint8_t>(dir / "sparse.u8", sparse);
  test::save_raw<uint8_t>(dir / "dense.u8", dense);
  const uint64_t windows[] = {3, 4, 7, 15, 60};
  const std::string code = R"(
k = 0
for name in ('sparse', 'dense'):
    m = (np.fromfile(name + '.u8', np.uint8).reshape(41, 53) != 0).astype(np.uint8)
    for window in (3, 4, 7, 15, 60):
        se = np.ones((window | 1, window | 1), np.uint8)
        cv2.dilate(m, se).tofile(f'out{k}.u8'); k += 1
        cv2.erode(m, se).tofile(f'out{k}.u8'); k += 1
)";
  ASSERT_TRUE(test::run_python_oracle(dir.path(), code));
  size_t k = 0;
  for (const std::vector<uint8_t>* m : {&sparse, &dense}) {
    for (uint64_t window : windows) {
      for (bool dilate : {true, false}) {
        SCOPED_TRACE(format("{} window {} dilate {}", m == &sparse ? "sparse" : "dense", window, dilate));
        EXPECT_EQ(morph_mask(*m, w, h, window, dilate), test::load_raw<uint8_t>(dir / format("out{}.u8", k++)));
      }
    }
  }
}

}  // namespace
}  // namespace tsl
