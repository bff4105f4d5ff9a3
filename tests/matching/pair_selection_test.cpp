#include "matching/pair_selection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/camera_fixtures.h"
#include "util/error.h"

namespace tsl {
namespace {

// A counter-clockwise axis-aligned rectangle, the shape a nadir photo leaves on flat ground.
Polygon rect(double e0, double n0, double e1, double n1) { return {{e0, n0}, {e1, n0}, {e1, n1}, {e0, n1}}; }

struct HullCase {
  std::string name;
  std::vector<Polygon> hulls;
  size_t neighbors = 10;
  std::vector<PhotoPair> want;
};

TEST(SelectPairs, RatioDistanceAndNeighbourRules) {
  const HullCase cases[] = {
      {"identical footprints overlap fully", {rect(0, 0, 100, 100), rect(0, 0, 100, 100)}, 10, {{0, 1}}},
      {"a small footprint inside a large one scores 1",
       {rect(0, 0, 100, 100), rect(40, 40, 45, 45)},
       1,
       {{0, 1}}},
      // 8 m of 100 m: the overlap is exactly the threshold, which passes.
      {"ratio exactly 0.08 passes", {rect(0, 0, 100, 100), rect(92, 0, 192, 100)}, 10, {{0, 1}}},
      {"ratio 0.0799 fails", {rect(0, 0, 100, 100), rect(92.01, 0, 192.01, 100)}, 10, {}},
      // Thin strips 100 x 1 m: square-root areas 10 m, so the centre test allows below 30 m,
      // however much the strips overlap.
      {"centres exactly 1.5 (s_i + s_j) apart are never paired",
       {rect(0, 0, 100, 1), rect(30, 0, 130, 1)},
       10,
       {}},
      {"centres just inside the distance test are paired", {rect(0, 0, 100, 1), rect(29.9, 0, 129.9, 1)}, 10, {{0, 1}}},
      // Photo 1 overlaps photo 0 by 0.5 and photo 2 by 0.6; photos 0 and 2 do not touch.
      {"each photo keeps its best neighbour",
       {rect(0, 0, 100, 100), rect(50, 0, 150, 100), rect(120, 0, 170, 100)},
       1,
       {{0, 1}, {1, 2}}},
      // Photo 0 overlaps 3 and 5 by 0.5 (and 4 and 6 by 0.4); 3 prefers 4 and 5 prefers 6,
      // so (0, 3) appears only if photo 0 itself chooses 3 on the tie: it must choose 5.
      {"equal ratios go to the larger photo index",
       {rect(0, 0, 100, 100), rect(1000, 0, 1100, 100), rect(5000, 0, 5100, 100), rect(50, 0, 150, 100),
        rect(60, 0, 160, 100), rect(-50, 0, 50, 100), rect(-60, 0, 40, 100)},
       1,
       {{0, 5}, {3, 4}, {5, 6}}},
      {"a hull of two points has no area and pairs with nothing",
       {rect(0, 0, 100, 100), Polygon{{10, 10}, {90, 90}}},
       10,
       {}},
      {"no overlap gives an empty list", {rect(0, 0, 10, 10), rect(20, 0, 30, 10), rect(40, 0, 50, 10)}, 10, {}},
      {"no photos", {}, 10, {}},
  };
  for (const HullCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(select_pairs_from_hulls(c.hulls, c.neighbors), c.want);
  }
}

// Five nadir photos along a line 40 m apart, 100 m up with a 4000 x 3000 px, f = 3000 px
// camera: footprints 133.3 m wide, so neighbours overlap by 0.7, 0.4, 0.1 and 0.
TEST(SelectPairs, StripOfNadirPhotosFromTheirPoses) {
  std::vector<ImageMeta> images(5);
  std::vector<Mat3> rotations(5, Mat3{1, 0, 0, 0, -1, 0, 0, 0, -1});
  std::vector<Vec3> positions;
  for (size_t k = 0; k < 5; ++k) {
    images[k].lens = test::pinhole_4000x3000();
    positions.push_back({40.0 * static_cast<double>(k), 0.0, 100.0});
  }
  // With 2 neighbours the end photos reach two along (0.7, 0.4) while the inner ones keep
  // their two 0.7 neighbours, so (1, 3) at 0.4 is nobody's choice.
  const std::vector<PhotoPair> two = {{0, 1}, {0, 2}, {1, 2}, {2, 3}, {2, 4}, {3, 4}};
  EXPECT_EQ(select_pairs({images, rotations, positions}, 2), two);
  // With room for every neighbour, all pairs that overlap by 8 % come in: 120 m apart still
  // does (0.1), 160 m apart does not.
  const std::vector<PhotoPair> all = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {1, 4}, {2, 3}, {2, 4}, {3, 4}};
  EXPECT_EQ(select_pairs({images, rotations, positions}, 10), all);
}

TEST(SelectPairs, PhotoWithoutCameraModelIsAnInternalError) {
  std::vector<ImageMeta> images(2);
  images[0].lens = test::pinhole_4000x3000();
  images[1].path = "DJI_0002.JPG";
  const std::vector<Mat3> rotations(2, Mat3{1, 0, 0, 0, -1, 0, 0, 0, -1});
  const std::vector<Vec3> positions = {{0.0, 0.0, 100.0}, {40.0, 0.0, 100.0}};
  EXPECT_THROW(select_pairs({images, rotations, positions}, 2), InternalError);
}

}  // namespace
}  // namespace tsl
