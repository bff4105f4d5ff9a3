#include "matching/tie_summary.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "util/text.h"

namespace tsl {
namespace {

std::vector<ImageMeta> photos(size_t n) {
  std::vector<ImageMeta> images(n);
  for (size_t k = 0; k < n; ++k) images[k].path = format("/f/P{}.JPG", k);
  return images;
}

PairMatch pair(uint64_t i, uint64_t j, uint64_t n) {
  PairMatch p;
  p.i = i;
  p.j = j;
  p.n = n;
  return p;
}

TEST(TieSummary, CountsPerPhotoAndUnconnected) {
  const std::vector<PairMatch> ties = {pair(0, 1, 30), pair(1, 3, 12)};
  JsonValue adjustment = *json_parse(R"({"rms": 0.2})");
  test::LogCapture log;
  add_tie_summary(adjustment, ties, 5, photos(4));
  EXPECT_EQ(json_to_string(adjustment),
            R"({"rms": 0.2, "ties_per_image": [30, 42, 0, 12], "pairs_matched": [2, 5], "unconnected": ["P2.JPG"]})");
  // The warning waits for the final solution.
  EXPECT_TRUE(log.lines().empty());
  settle_unconnected(adjustment, ties, photos(4));
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"  warning: 1 image(s) had no tie points (metadata pose used): P2.JPG"});
  EXPECT_EQ(json_to_string(tie_pair_list(ties)), "[[0, 1, 30], [1, 3, 12]]");
}

// A photo that only dense ties hold was placed by the final adjustment: it is not unconnected,
// and the list keeps its place among the report's keys.
TEST(TieSummary, DenseTiesConnectAPhoto) {
  const std::vector<PairMatch> sparse = {pair(0, 1, 30)};
  std::vector<PairMatch> solved = sparse;
  solved.push_back(pair(1, 2, 200));
  solved.back().dense = true;
  JsonValue adjustment = JsonValue::empty_object();
  test::LogCapture log;
  add_tie_summary(adjustment, sparse, 3, photos(4));
  adjustment.set_f64("dense_pairs", 1);
  settle_unconnected(adjustment, solved, photos(4));
  EXPECT_EQ(json_to_string(adjustment), R"({"ties_per_image": [30, 30, 0, 0], "pairs_matched": [1, 3], )"
                                        R"("unconnected": ["P3.JPG"], "dense_pairs": 1})");
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"  warning: 1 image(s) had no tie points (metadata pose used): P3.JPG"});
}

// Ten photos without ties: the warning counts ten and names eight, the report lists all ten.
TEST(TieSummary, WarningNamesTheFirstEight) {
  JsonValue adjustment = JsonValue::empty_object();
  test::LogCapture log;
  add_tie_summary(adjustment, {}, 0, photos(10));
  settle_unconnected(adjustment, {}, photos(10));
  EXPECT_EQ(adjustment["unconnected"].size(), 10u);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"  warning: 10 image(s) had no tie points (metadata pose used): "
                                                  "P0.JPG, P1.JPG, P2.JPG, P3.JPG, P4.JPG, P5.JPG, P6.JPG, P7.JPG"});
}

}  // namespace
}  // namespace tsl
