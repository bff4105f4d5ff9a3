#include "render/render.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "logx.h"
#include "support/render_fixtures.h"

namespace tsl {
namespace {

// What a sink received: one entry per call.
struct Received {
  std::vector<uint64_t> y0;
  std::vector<ImageF32> bands;
  std::vector<std::vector<uint8_t>> masks;
};

// A render of a synthetic scene on a 1 m grid over [0, width) x [0, height) (north edge at
// `height`), with log lines captured.
struct Render {
  test::SyntheticScene scene;
  OutputGrid grid;
  RenderOptions cfg;
  Surface plane = Surface::plane(0.0);
  Received got;
  std::vector<std::string> lines;
  std::optional<uint64_t> fail_sink_at;  // the sink fails on this call

  Render(uint64_t width, uint64_t height) {
    grid.width = width;
    grid.height = height;
    grid.gsd = 1.0;
    grid.top_n = static_cast<double>(height);
    cfg.workers = 4;
    cfg.block_rows = 512;
  }
  // A photo seeing [e0, e1] x [n0, n1] at 1 m per pixel, with its window over the grid.
  void add(double e0, double e1, double n0, double n1) {
    scene.add(e0, e1, n0, n1, static_cast<uint64_t>(std::lround(e1 - e0)) + 1,
              static_cast<uint64_t>(std::lround(n1 - n0)) + 1);
    const auto clampx = [&](double v) { return static_cast<uint64_t>(std::clamp(v, 0.0, double(grid.width))); };
    const auto clampy = [&](double v) { return static_cast<uint64_t>(std::clamp(v, 0.0, double(grid.height))); };
    grid.windows.push_back({clampx(std::floor(e0) - 2), clampx(std::ceil(e1) + 3),
                            clampy(std::floor(grid.top_n - n1) - 2), clampy(std::ceil(grid.top_n - n0) + 3)});
  }
  std::expected<void, std::string> run() {
    ImageCache cache(1e9, scene.loader());
    const RenderJob job = make_render_job({scene.images, scene.rotations, scene.positions}, plane, scene.gains, grid, cfg,
                                          cache, nullptr);
    auto capture = std::make_shared<CaptureList>();
    const LogContext before = log_context();
    set_log_capture(capture);
    auto r = render_mosaic(
        job, [&](uint64_t y0, const ImageF32& band, std::span<const uint8_t> mask) -> std::expected<void, std::string> {
          if (fail_sink_at && got.y0.size() == *fail_sink_at) return std::unexpected(std::string("disk full"));
          got.y0.push_back(y0);
          got.bands.push_back(band);
          got.masks.emplace_back(mask.begin(), mask.end());
          return {};
        });
    set_log_context(before);
    lines = capture->lines;
    return r;
  }
};

TEST(RenderMosaic, BlocksOfBlockRowsInOrderWithProgressLines) {
  // 2500 rows in blocks of 1024: 1024, 1024 and 452 rows.
  Render r(8, 2500);
  r.cfg.block_rows = 1024;
  r.add(0, 8, 0, 2500);
  ASSERT_TRUE(r.run().has_value());
  EXPECT_EQ(r.got.y0, (std::vector<uint64_t>{0, 1024, 2048}));
  EXPECT_EQ(r.got.bands[2].height, 452u);
  ASSERT_EQ(r.lines.size(), 4u);
  EXPECT_EQ(r.lines[0], "render: CPU");
  EXPECT_EQ(r.lines[1].rfind("  block row 1/3  (1 images)  ", 0), 0u) << r.lines[1];
  EXPECT_EQ(r.lines[3].rfind("  block row 3/3  (1 images)  ", 0), 0u) << r.lines[3];
  EXPECT_NE(r.lines[3].find("s elapsed, ~0s left"), std::string::npos) << r.lines[3];
}

TEST(RenderMosaic, BlockNoPhotoReachesIsSentEmpty) {
  Render r(40, 1536);
  r.add(0, 40, 1136, 1536);  // rows 0..400
  r.add(0, 40, 0, 400);      // rows 1136..1536
  ASSERT_TRUE(r.run().has_value());
  ASSERT_EQ(r.got.y0.size(), 3u);
  for (uint8_t m : r.got.masks[1]) ASSERT_EQ(m, 0);
  for (float v : r.got.bands[1].data) ASSERT_EQ(v, 0.0f);
  EXPECT_EQ(r.lines[2].rfind("  block row 2/3  (0 images)", 0), 0u) << r.lines[2];
}

TEST(RenderMosaic, PixelSeenByOnePhotoShowsItsGainedColourExactly) {
  // Two flat photos side by side overlapping in the middle; the gain scales each channel.
  for (bool cubic : {true, false}) {
    SCOPED_TRACE(cubic);
    Render r(120, 40);
    r.cfg.interp_cubic = cubic;
    r.add(0, 70, 0, 40);
    r.add(50, 120, 0, 40);
    r.scene.flat["photo0.jpg"] = {0.2f, 0.4f, 0.6f};
    r.scene.flat["photo1.jpg"] = {0.6f, 0.6f, 0.6f};
    r.scene.gains[0] = {1.5, 1.0, 0.5};
    ASSERT_TRUE(r.run().has_value());
    const ImageF32& b = r.got.bands[0];
    const std::vector<uint8_t>& m = r.got.masks[0];
    const std::array<float, 3> want0 = {0.3f, 0.4f, 0.3f}, want1 = {0.6f, 0.6f, 0.6f};
    for (uint64_t y = 0; y < 40; ++y) {
      // Column 0 lies on photo 0's frame border (weight 1e-20), 119 on photo 1's.
      for (uint64_t x : {0u, 10u, 49u}) {
        ASSERT_EQ(m[y * 120 + x], 1);
        for (int c = 0; c < 3; ++c) ASSERT_NEAR(b.data[(y * 120 + x) * 3 + c], want0[c], 2e-5) << x << "," << y;
      }
      for (uint64_t x : {71u, 119u}) {
        ASSERT_EQ(m[y * 120 + x], 1);
        for (int c = 0; c < 3; ++c) ASSERT_NEAR(b.data[(y * 120 + x) * 3 + c], want1[c], 2e-5) << x << "," << y;
      }
      // In the overlap the result lies between the two.
      const float mid = b.data[(y * 120 + 60) * 3 + 1];
      EXPECT_GT(mid, 0.4f);
      EXPECT_LT(mid, 0.6f);
    }
  }
}

TEST(RenderMosaic, FeatherZeroIsThePlainMean) {
  Render r(120, 40);
  r.cfg.feather = 0.0;
  r.add(0, 70, 0, 40);
  r.add(50, 120, 0, 40);
  r.scene.flat["photo0.jpg"] = {0.2f, 0.2f, 0.2f};
  r.scene.flat["photo1.jpg"] = {0.6f, 0.6f, 0.6f};
  ASSERT_TRUE(r.run().has_value());
  for (uint64_t x = 52; x < 68; ++x) EXPECT_NEAR(r.got.bands[0].data[(20 * 120 + x) * 3], 0.4f, 1e-5) << x;
}

TEST(RenderMosaic, OutputDoesNotDependOnTheThreadCount) {
  std::vector<Received> runs;
  for (uint64_t workers : {1u, 3u, 8u}) {
    Render r(300, 700);
    r.cfg.workers = workers;
    r.cfg.grid_step = 8;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 4; ++j) r.add(i * 90.0 - 20, i * 90.0 + 110, j * 170.0 - 30, j * 170.0 + 180);
    ASSERT_TRUE(r.run().has_value());
    runs.push_back(std::move(r.got));
  }
  for (size_t k = 1; k < runs.size(); ++k) {
    ASSERT_EQ(runs[k].bands.size(), runs[0].bands.size());
    for (size_t b = 0; b < runs[0].bands.size(); ++b) {
      const auto& d0 = runs[0].bands[b].data;
      const auto& dk = runs[k].bands[b].data;
      ASSERT_EQ(d0.size(), dk.size());
      EXPECT_EQ(std::memcmp(d0.data(), dk.data(), d0.size() * sizeof(float)), 0) << "band " << b;
      EXPECT_EQ(runs[0].masks[b], runs[k].masks[b]);
    }
  }
}

TEST(RenderMosaic, ContributionThresholdDropsNegligiblePhotos) {
  // Nine photos on a 3 x 3 raster with wide overlaps: near a photo's centre its neighbours'
  // feather weights fall far below 0.001 of it.
  struct Case {
    double thr;
    const char* count;
  };
  const Case cases[] = {{0.0, "(9 images)"}, {-1.0, "(9 images)"}, {0.001, "(9 images)"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.thr);
    Render r(300, 300);
    r.cfg.contrib_thr = c.thr;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) r.add(i * 90.0 - 30, i * 90.0 + 150, j * 90.0 - 30, j * 90.0 + 150);
    ASSERT_TRUE(r.run().has_value());
    EXPECT_NE(r.lines[1].find(c.count), std::string::npos) << r.lines[1];
  }
  // With threshold 1 only photos that are best at some lattice node stay, and the mosaic
  // still covers everything.
  Render r(300, 300);
  r.cfg.contrib_thr = 1.0;
  r.cfg.block_rows = 512;
  r.add(0, 300, 0, 300);      // sees everything, best nearly everywhere
  r.add(140, 160, 140, 160);  // small, weak everywhere... except at its own centre
  r.add(-400, 10, -400, 10);  // a corner that the big photo always outweighs
  ASSERT_TRUE(r.run().has_value());
  EXPECT_EQ(r.lines[1].rfind("  block row 1/1  (2 images)", 0), 0u) << r.lines[1];
  for (uint8_t m : r.got.masks[0]) ASSERT_EQ(m, 1);
}

TEST(RenderMosaic, CoverageIsExactlyTheUnionOfTheFrames) {
  // Two 400 x 300 m photos as on neighbouring legs: the second one 160 m east, its frame
  // ending 8 m north of the first one's. Near the first photo's south-east corner the second
  // outweighs it at every lattice node, yet south of the second frame's edge only the first
  // one sees the ground: those pixels must not be left empty. Frame edges lie a quarter pixel
  // off the output's pixel centres.
  for (double thr : {0.001, 0.0}) {
    SCOPED_TRACE(thr);
    Render r(561, 309);
    r.cfg.contrib_thr = thr;
    r.cfg.block_rows = 1024;
    r.add(0.25, 400.25, 0.25, 300.25);
    r.add(160.25, 560.25, 8.25, 308.25);
    ASSERT_TRUE(r.run().has_value());
    size_t holes = 0, extra = 0;
    for (uint64_t y = 0; y < 309; ++y)
      for (uint64_t x = 0; x < 561; ++x) {
        const double e = x + 0.5, n = 309 - (y + 0.5);
        const bool seen =
            (e <= 400.25 && n >= 0.25 && n <= 300.25) || (e >= 160.25 && e <= 560.25 && n >= 8.25 && n <= 308.25);
        const bool covered = r.got.masks[0][y * 561 + x] != 0;
        holes += seen && !covered;
        extra += covered && !seen;
      }
    EXPECT_EQ(holes, 0u);
    EXPECT_EQ(extra, 0u);
  }
}

TEST(RenderMosaic, LoadingErrorEndsTheRenderAfterTheBlocksAlreadySent) {
  Render r(40, 1024);
  r.add(0, 40, 524, 1024);  // rows 0..500: block 1
  r.add(0, 40, 0, 500);     // rows 524..1024: block 2
  r.scene.broken.insert("photo1.jpg");
  auto res = r.run();
  ASSERT_FALSE(res.has_value());
  EXPECT_EQ(res.error(), "cannot read photo1.jpg: No such file or directory");
  EXPECT_EQ(r.got.y0, (std::vector<uint64_t>{0}));
}

TEST(RenderMosaic, SinkErrorEndsTheRenderAfterItsProgressLine) {
  Render r(40, 1024);
  r.add(0, 40, 0, 1024);
  r.fail_sink_at = 1;
  auto res = r.run();
  ASSERT_FALSE(res.has_value());
  EXPECT_EQ(res.error(), "disk full");
  ASSERT_EQ(r.lines.size(), 3u);
  EXPECT_EQ(r.lines[2].rfind("  block row 2/2", 0), 0u);
}

TEST(RenderMosaic, QuietRenderLogsNothing) {
  Render r(40, 40);
  r.add(0, 40, 0, 40);
  ImageCache cache(1e9, r.scene.loader());
  r.cfg.quiet = true;
  const RenderJob job = make_render_job({r.scene.images, r.scene.rotations, r.scene.positions}, r.plane, r.scene.gains,
                                        r.grid, r.cfg, cache, nullptr);
  auto capture = std::make_shared<CaptureList>();
  const LogContext before = log_context();
  set_log_capture(capture);
  std::optional<PreviewBand> slot;
  PreviewContext pc{ToneSettings{}, &slot};
  auto res = render_mosaic(
      job, [&](uint64_t y0, const ImageF32& b, std::span<const uint8_t> m) { return preview_band_sink(pc, y0, b, m); });
  set_log_context(before);
  ASSERT_TRUE(res.has_value());
  EXPECT_TRUE(capture->lines.empty());
  ASSERT_TRUE(slot.has_value());
  EXPECT_EQ(slot->alpha.size(), 1600u);
}

}  // namespace
}  // namespace tsl
