#include "seams/cut_seams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "support/render_fixtures.h"
#include "util/error.h"

namespace tsl {
namespace {

TEST(SeamBandCells, FractionOfTheShorterSideInCells) {
  // A 100 m shorter side (4000 px at 2.5 cm), cell 0.094 m, seam_band 0.12: round(127.66).
  const ImageMeta photo = test::sized_photo(6000, 4000);
  const ImageMeta photos[] = {photo, photo, photo};
  const double natives[] = {0.025, 0.025, 0.025};
  EXPECT_EQ(seam_band_cells(photos, natives, 0.094, 0.12), 128u);
  // A tiny footprint still gets 3 cells.
  const double tiny[] = {1e-5, 1e-5, 1e-5};
  EXPECT_EQ(seam_band_cells(photos, tiny, 0.094, 0.12), 3u);
}

TEST(SeamBoundaries, CountsSharedEdgesLargestFirst) {
  SeamMap m;
  m.nx = 4;
  m.ny = 3;
  m.labels = {0,  0, 1, 1,  //
              0,  2, 2, 1,  //
              -1, 2, 2, 1};
  // Edges (first cell): (0, 1) at (1, 0); (0, 2) at (1, 0) and (0, 1); (1, 2) at (2, 0),
  // (2, 1) and (2, 2). The -1 cell borders nothing.
  const std::vector<SeamBoundary> b = seam_boundaries(m);
  ASSERT_EQ(b.size(), 3u);
  const auto is = [](const SeamBoundary& x, int32_t a, int32_t bb, uint64_t count, uint64_t x0, uint64_t x1,
                     uint64_t y0, uint64_t y1) {
    return x.a == a && x.b == bb && x.count == count && x.min_x == x0 && x.max_x == x1 && x.min_y == y0 &&
           x.max_y == y1;
  };
  EXPECT_TRUE(is(b[0], 1, 2, 3, 2, 2, 0, 2));
  EXPECT_TRUE(is(b[1], 0, 2, 2, 0, 1, 0, 1));
  EXPECT_TRUE(is(b[2], 0, 1, 1, 1, 1, 0, 0));

  // Equal counts keep (a, b) order.
  SeamMap tie;
  tie.nx = 3;
  tie.ny = 1;
  tie.labels = {2, 0, 1};
  const std::vector<SeamBoundary> t = seam_boundaries(tie);
  ASSERT_EQ(t.size(), 2u);
  EXPECT_TRUE(is(t[0], 0, 1, 1, 1, 1, 0, 0));
  EXPECT_TRUE(is(t[1], 0, 2, 1, 0, 0, 0, 0));
}

TEST(RenderSeamWindow, SkippedCellsAreBlankAndTheOthersUnchanged) {
  // One photo of 101 x 81 px over east 0..100, north 0..80; the window of 1.5 m cells reaches
  // past its frame, so it holds valid and invalid cells.
  test::SyntheticScene scene;
  scene.add(0, 100, 0, 80);
  const Surface plane = Surface::plane(0.0);
  ImageCache cache(1e9, scene.loader());
  const double scales[] = {1.0}, natives[] = {1.0};
  const CutInputs in{{{scene.images, scene.rotations, scene.positions}, &plane}, scene.gains, 0.12, 1, &cache,
                     scales, natives};
  SeamMap map;
  map.nx = 80;
  map.ny = 70;
  map.cell = 1.5;
  map.left_e = -10.0;
  map.top_n = 90.0;
  const uint64_t x0 = 3, x1 = 77, y0 = 2, y1 = 66;
  const size_t n = (x1 - x0) * (y1 - y0);
  const auto full = render_seam_window(in, map, 0, x0, x1, y0, y1);
  ASSERT_TRUE(full.has_value()) << full.error();
  const size_t n_valid = static_cast<size_t>(std::count(full->valid.begin(), full->valid.end(), 1));
  ASSERT_GT(n_valid, 0u);
  ASSERT_LT(n_valid, n);
  std::vector<uint8_t> needed(n);
  for (size_t i = 0; i < n; ++i) needed[i] = (i * 7) % 3 != 0;
  const auto part = render_seam_window(in, map, 0, x0, x1, y0, y1, needed);
  ASSERT_TRUE(part.has_value()) << part.error();
  for (size_t i = 0; i < n; ++i) {
    SCOPED_TRACE(i);
    if (needed[i]) {
      ASSERT_EQ(std::memcmp(&part->rgb.data[3 * i], &full->rgb.data[3 * i], 3 * sizeof(float)), 0);
      ASSERT_EQ(part->valid[i], full->valid[i]);
    } else {
      ASSERT_EQ(part->valid[i], 0);
      ASSERT_EQ(part->rgb.data[3 * i] + part->rgb.data[3 * i + 1] + part->rgb.data[3 * i + 2], 0.0f);
    }
  }
  // A mask that is not one byte per cell is a caller's bug.
  EXPECT_THROW((void)render_seam_window(in, map, 0, x0, x1, y0, y1, std::span(needed).first(n - 1)), InternalError);
}

}  // namespace
}  // namespace tsl
