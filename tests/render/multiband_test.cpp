#include "render/multiband.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <tuple>

#include "img/ops/filter.h"
#include "img/ops/resample.h"
#include "logx.h"
#include "render/render.h"
#include "seams/nadir.h"
#include "support/render_fixtures.h"
#include "util/count.h"
#include "util/text.h"

namespace tsl {
namespace {

TEST(MultibandPlan, SigmasApronAndSeamFeather) {
  struct Case {
    const char* name;
    uint64_t bands;
    double cell, gsd;
    std::vector<double> sigmas;
    uint64_t apron;
    double feather;
  };
  const Case cases[] = {
      // base 4 px: sigmas 4, 16, 64; apron ceil(160) + 2; seam feather 0.35 x 4.
      {"four bands", 4, 0.2, 0.05, {4, 16, 64}, 162, 1.4},
      // one or no band: two levels, one sigma
      {"one band", 1, 0.2, 0.05, {4}, 12, 1.4},
      {"no band", 0, 0.2, 0.05, {4}, 12, 1.4},
      // a cell equal to the gsd: base raised to 1.5 px, seam feather to 0.7 px
      {"cell = gsd", 3, 0.05, 0.05, {1.5, 6}, 17, 0.7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const MultibandPlan p = multiband_plan(c.bands, c.cell, c.gsd);
    EXPECT_EQ(p.levels, c.sigmas.size() + 1);
    ASSERT_EQ(p.sigmas.size(), c.sigmas.size());
    for (size_t k = 0; k < c.sigmas.size(); ++k) EXPECT_NEAR(p.sigmas[k], c.sigmas[k], 1e-9);
    EXPECT_EQ(p.apron, c.apron);
    EXPECT_NEAR(p.seam_feather, c.feather, 1e-12);
  }
}

TEST(MultibandLevels, CappedAndLoweredToFitInMemory) {
  // cell 0.2 m, gsd 0.05 m, a 40000 x 30000 output in blocks of 1024 rows.
  const auto levels = [](uint64_t requested, uint64_t free) {
    return multiband_levels(requested, 0.2, 0.05, 40000, 30000, 1024, free);
  };
  EXPECT_EQ(levels(4, 0), 4u);                // free memory unknown: as asked
  EXPECT_EQ(levels(1, 0), 2u);                // at least two levels
  EXPECT_EQ(levels(50, 0), MAX_BLEND_BANDS);  // a request without bound is capped
  EXPECT_EQ(levels(4, 64ull << 30), 4u);      // plenty of memory
  // 4 levels: apron 162 px, a window of 4420 x 1348 px needs 4420 x 1348 x (65 + 160) bytes,
  // 1.34 GB, so 2 GB free (1 GB usable) lowers it; 3 levels (apron 42) fit.
  EXPECT_EQ(levels(4, 2ull << 30), 3u);
  EXPECT_EQ(levels(6, 1ull << 20), 2u);  // never below two
}

TEST(MultibandThreads, WithinHalfTheFreeMemory) {
  const uint64_t px = 1'000'000;  // 4 levels: sums 65 MB, 160 MB a photo
  EXPECT_EQ(multiband_threads(8, px, 4, 0), 8u);
  EXPECT_EQ(multiband_threads(8, px, 4, 100ull << 30), 8u);
  EXPECT_EQ(multiband_threads(8, px, 4, 2 * (65'000'000 + 3 * 160'000'000)), 3u);
  EXPECT_EQ(multiband_threads(8, px, 4, 1000), 1u);
  EXPECT_EQ(multiband_threads(0, px, 4, 0), 1u);
}

ImageF32 smooth_image(size_t w, size_t h, size_t channels) {
  ImageF32 img(w, h, channels);
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x)
      for (size_t c = 0; c < channels; ++c)
        img.data[(y * w + x) * channels + c] =
            static_cast<float>(std::sin(x / 9.0 + c) * std::cos(y / 13.0) + ((x / 40 + y / 40) % 2));
  return img;
}

TEST(GaussianBlurScaled, CopyDirectOrShrunkAndCloseToTheTrueBlur) {
  const ImageF32 small = smooth_image(300, 200, 4);
  EXPECT_EQ(gaussian_blur_scaled(small, 0.2).data, small.data);
  EXPECT_EQ(gaussian_blur_scaled(small, 4.0).data, gaussian_blur(small, 4.0).data);
  // sigma 64: shrunk by 25, blurred with 2.56, enlarged bilinearly; the direct blur (513
  // taps) is the oracle. Within two sigmas of the border the two clamp different samples
  // (an edge pixel against an edge block's mean), so only the inside is compared; there the
  // shrinking and enlarging cost about 1 % of the signal's range of 2.
  const ImageF32 img = smooth_image(700, 500, 4);
  const ImageF32 fast = gaussian_blur_scaled(img, 64.0);
  const ImageF32 exact = gaussian_blur(img, 64.0);
  ASSERT_EQ(fast.width, 700u);
  ASSERT_EQ(fast.height, 500u);
  double worst = 0;
  for (size_t y = 128; y < 372; ++y)
    for (size_t x = 128; x < 572; ++x)
      for (size_t c = 0; c < 4; ++c) {
        const size_t i = (y * 700 + x) * 4 + c;
        worst = std::max(worst, double(std::fabs(fast.data[i] - exact.data[i])));
      }
  EXPECT_LT(worst, 0.02);
}

// A multi-band render of a synthetic scene on a 1 m grid with a nadir seam map of 1 m cells.
struct MbRender {
  test::SyntheticScene scene;
  Surface plane = Surface::plane(0.0);
  OutputGrid grid;
  RenderOptions cfg;
  SeamMap map;
  std::vector<std::string> lines;
  std::vector<ImageF32> bands;
  std::vector<std::vector<uint8_t>> masks;

  MbRender() {
    cfg.workers = 4;
    cfg.block_rows = 512;
    cfg.blend = BlendMode::Multiband;
  }
  void add(double e0, double e1, double n0, double n1) {
    scene.add(e0, e1, n0, n1, static_cast<uint64_t>(std::lround(e1 - e0)) + 1,
              static_cast<uint64_t>(std::lround(n1 - n0)) + 1);
  }
  // Plans the grid and the nadir seams.
  void plan(double cell = 1.0) {
    grid = *plan_output_grid({scene.images, scene.rotations, scene.positions}, plane, 1.0, 2000, std::nullopt, false);
    const SeamGridSize size{cell, to_count(std::ceil(grid.width / cell)), to_count(std::ceil(grid.height / cell))};
    map.nx = size.nx, map.ny = size.ny, map.cell = cell, map.left_e = grid.left_e, map.top_n = grid.top_n;
    map.names.assign(scene.images.size(), "x");
    nadir_partition({{scene.images, scene.rotations, scene.positions}, &plane}, map, cell_windows(grid, size), 2);
  }
  std::expected<void, std::string> run(bool multiband = true) {
    ImageCache cache(1e9, scene.loader());
    cfg.blend = multiband ? BlendMode::Multiband : BlendMode::Feather;
    const RenderJob job =
        make_render_job({scene.images, scene.rotations, scene.positions}, plane, scene.gains, grid, cfg, cache, &map);
    auto capture = std::make_shared<CaptureList>();
    const LogContext before = log_context();
    set_log_capture(capture);
    bands.clear(), masks.clear();
    auto r = render_mosaic(job, [&](uint64_t, const ImageF32& b, std::span<const uint8_t> m) {
      bands.push_back(b);
      masks.emplace_back(m.begin(), m.end());
      return std::expected<void, std::string>{};
    });
    set_log_context(before);
    lines = capture->lines;
    return r;
  }
  const float* px(uint64_t x, uint64_t y) const {
    return bands[y / cfg.block_rows].data.data() + ((y % cfg.block_rows) * grid.width + x) * 3;
  }
};

// The kept-buffer overload against the definition written with the allocating operations:
// copy below 0.3, direct blur up to 4, otherwise shrink by floor(sigma / 2.5), blur and
// enlarge bilinearly (a factor of 1 included, where the shrunk image is the image itself).
// One output and scratch serve every call, across sizes and channel counts, pre-filled with
// NaN so that a value left over fails the comparison.
TEST(GaussianBlurScaled, IntoKeptImagesMatchesItsDefinition) {
  ImageF32 out(90, 90, 4);
  BlurScratch scratch;
  scratch.small = ImageF32(60, 60, 4);
  scratch.small_blurred = ImageF32(60, 60, 4);
  for (ImageF32* img : {&out, &scratch.small, &scratch.small_blurred})
    std::fill(img->data.begin(), img->data.end(), std::nanf(""));
  const std::tuple<size_t, size_t, size_t, double> calls[] = {
      {40, 30, 4, 0.2}, {40, 30, 1, 3.0}, {80, 61, 4, 4.5}, {80, 61, 1, 6.0}, {30, 70, 4, 24.0}, {17, 5, 1, 64.0}};
  for (auto [w, h, c, sigma] : calls) {
    SCOPED_TRACE(format("{}x{}x{} sigma {}", w, h, c, sigma));
    const ImageF32 img = smooth_image(w, h, c);
    ImageF32 expected;
    if (sigma < 0.3) {
      expected = img;
    } else if (sigma <= 4.0) {
      expected = gaussian_blur(img, sigma);
    } else {
      const double f = std::max(std::floor(sigma / 2.5), 1.0);
      const size_t sw = std::max<size_t>(static_cast<size_t>(std::ceil(static_cast<double>(w) / f)), 1);
      const size_t sh = std::max<size_t>(static_cast<size_t>(std::ceil(static_cast<double>(h) / f)), 1);
      expected = resize_bilinear(gaussian_blur(resize(img, sw, sh), sigma / f), w, h);
    }
    gaussian_blur_scaled(img, sigma, out, scratch);
    EXPECT_EQ(out.width, w);
    EXPECT_EQ(out.height, h);
    EXPECT_EQ(out.channels, c);
    EXPECT_EQ(out.data, expected.data);
    EXPECT_EQ(gaussian_blur_scaled(img, sigma).data, expected.data);
  }
}

TEST(RenderMultiband, LogLinesNameBandsSigmasGridAndThreads) {
  // gsd 0.05 m with a 0.2 m seam cell; 12 workers are held to 8 threads.
  MbRender r;
  r.cfg.workers = 12;
  r.add(0, 2, 0, 2);
  r.grid =
      *plan_output_grid({r.scene.images, r.scene.rotations, r.scene.positions}, r.plane, 0.05, 2000, std::nullopt, false);
  r.map.nx = r.map.ny = 10;
  r.map.cell = 0.2;
  r.map.left_e = r.grid.left_e, r.map.top_n = r.grid.top_n;
  r.map.labels.assign(100, 0);
  ASSERT_TRUE(r.run().has_value());
  ASSERT_GE(r.lines.size(), 4u);
  EXPECT_EQ(r.lines[0], "render: CPU");
  EXPECT_EQ(r.lines[1], "  multi-band blend: 4 bands, sigmas 20, 80, 320 cm, seams from a 20.0 cm grid");
  EXPECT_EQ(r.lines[2], "  multi-band math on 8 CPU threads");
  EXPECT_EQ(r.lines[3].rfind("  block row 1/1  (1 image windows)  ", 0), 0u) << r.lines[3];
}

TEST(RenderMultiband, AreaSeenByOnePhotoIsThatPhotosGainedWarp) {
  // Photo 1 has its own ground and gains; where photo 0 does not reach, the blend must give
  // exactly photo 1's warp, which a feather render of photo 1 alone gives too.
  MbRender r;
  r.add(0, 120, 0, 90);
  r.add(70, 200, 0, 90);
  r.scene.textures["photo1.jpg"] = [](double e, double n) {
    return std::array<float, 3>{static_cast<float>(0.5 + 0.4 * std::sin(e / 2.0)), 0.3f,
                                static_cast<float>(0.5 + 0.4 * std::cos(n / 3.0))};
  };
  r.scene.gains[1] = {1.3, 0.8, 1.1};
  r.plan();
  ASSERT_TRUE(r.run().has_value());
  const std::vector<ImageF32> blended = r.bands;

  MbRender alone;
  alone.scene = r.scene;
  alone.scene.images.erase(alone.scene.images.begin());
  alone.scene.rotations.erase(alone.scene.rotations.begin());
  alone.scene.positions.erase(alone.scene.positions.begin());
  alone.scene.gains.erase(alone.scene.gains.begin());
  alone.grid = r.grid;
  alone.grid.windows.erase(alone.grid.windows.begin());
  ASSERT_TRUE(alone.run(false).has_value());
  const float* got = blended[0].data.data();
  const float* want = alone.bands[0].data.data();
  for (uint64_t y = 0; y < r.grid.height; ++y)
    for (uint64_t x = 125; x < r.grid.width; ++x)
      for (int c = 0; c < 3; ++c) {
        const size_t i = (y * r.grid.width + x) * 3 + c;
        ASSERT_NEAR(got[i], want[i], 1e-5 + 1e-5 * want[i]) << x << "," << y << " channel " << c;
      }
}

// The steepest change of the blend's tone across the columns: the ratio mosaic / ground
// averaged over rows 10..80 and over 9 columns, so that texture detail (which multi-band
// blending switches sharply at the seam, as it should) does not count, only the exposure.
double tone_step(const MbRender& r) {
  std::vector<double> tone(r.grid.width, 0.0);
  for (uint64_t x = 0; x < r.grid.width; ++x)
    for (uint64_t y = 10; y < 80; ++y) {
      const double e = r.grid.left_e + x + 0.5, n = r.grid.top_n - y - 0.5;
      tone[x] += r.px(x, y)[1] / test::wavy_ground(e, n)[1] / 70.0;
    }
  double worst = 0, prev = 0;
  for (uint64_t x = 10; x + 10 < r.grid.width; ++x) {
    double t = 0;
    for (uint64_t k = x - 4; k <= x + 4; ++k) t += tone[k] / 9.0;
    if (x > 10) worst = std::max(worst, std::fabs(t - prev));
    prev = t;
  }
  return worst;
}

TEST(RenderMultiband, ExposureStepIsSmallerThanWithFeathering) {
  // The same ground, the second photo 30 % brighter: feathering switches tone where the
  // feather weights cross, the pyramid spreads it over its widest blur.
  MbRender r;
  r.add(0, 120, 0, 90);
  r.add(60, 180, 0, 90);
  r.scene.gains[1] = {1.3, 1.3, 1.3};
  r.plan();
  ASSERT_TRUE(r.run(false).has_value());
  const double feather = tone_step(r);
  ASSERT_TRUE(r.run(true).has_value());
  const double multiband = tone_step(r);
  EXPECT_LT(multiband, 0.5 * feather) << "feather " << feather << ", multi-band " << multiband;
}

TEST(RenderMultiband, BlockWithoutSeamLabelsIsSentEmpty) {
  MbRender r;
  r.add(0, 60, 0, 1100);
  r.plan();
  r.cfg.blend_bands = 2;  // an apron of 6 px: the middle block and its apron see no label
  for (uint64_t y = 500; y < 1040; ++y)
    for (uint64_t x = 0; x < r.map.nx; ++x) r.map.labels[y * r.map.nx + x] = -1;
  ASSERT_TRUE(r.run().has_value());
  ASSERT_EQ(r.bands.size(), 3u);
  for (uint8_t m : r.masks[1]) ASSERT_EQ(m, 0);
  for (float v : r.bands[1].data) ASSERT_EQ(v, 0.0f);
  EXPECT_EQ(r.lines[4].rfind("  block row 2/3  (0 image windows)", 0), 0u) << r.lines[4];
}

TEST(RenderMultiband, ColumnWindowsJoinSeamlessly) {
  // 5000 columns: windows 0..4095 and 4096..4999. A flat photo gives its colour everywhere.
  MbRender r;
  r.add(0, 5000, 0, 6);
  r.scene.flat["photo0.jpg"] = {0.25f, 0.5f, 0.75f};
  r.plan();
  ASSERT_TRUE(r.run().has_value());
  ASSERT_EQ(r.grid.width, 5000u);
  for (uint64_t y = 0; y < r.grid.height; ++y)
    for (uint64_t x = 0; x < r.grid.width; ++x) {
      ASSERT_EQ(r.masks[0][y * 5000 + x], r.map.labels[y * r.map.nx + x] >= 0 ? 1 : r.masks[0][y * 5000 + x]);
      if (!r.masks[0][y * 5000 + x]) continue;
      ASSERT_NEAR(r.px(x, y)[1], 0.5f, 1e-5) << x << "," << y;
    }
  EXPECT_EQ(r.masks[0][3 * 5000 + 4095], 1);
  EXPECT_EQ(r.masks[0][3 * 5000 + 4096], 1);
}

TEST(RenderMultiband, LoadingErrorInTheSecondWindowSendsNothing) {
  MbRender r;
  r.add(0, 4000, 0, 6);
  r.add(4200, 5000, 0, 6);
  r.scene.broken.insert("photo1.jpg");
  r.plan();
  auto res = r.run();
  ASSERT_FALSE(res.has_value());
  EXPECT_EQ(res.error(), "cannot read photo1.jpg: No such file or directory");
  EXPECT_TRUE(r.bands.empty());
}

TEST(RenderMultiband, OutputDoesNotDependOnTheThreadCount) {
  std::vector<std::vector<ImageF32>> runs;
  for (uint64_t workers : {1u, 6u}) {
    MbRender r;
    r.cfg.workers = workers;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 2; ++j) r.add(i * 70.0, i * 70.0 + 100, j * 60.0, j * 60.0 + 80);
    for (size_t k = 0; k < r.scene.gains.size(); ++k) r.scene.gains[k] = {1.0 + 0.05 * k, 1.0, 1.0 - 0.03 * k};
    r.plan();
    ASSERT_TRUE(r.run().has_value());
    runs.push_back(r.bands);
  }
  ASSERT_EQ(runs[0].size(), runs[1].size());
  for (size_t b = 0; b < runs[0].size(); ++b)
    EXPECT_EQ(std::memcmp(runs[0][b].data.data(), runs[1][b].data.data(), runs[0][b].data.size() * 4), 0);
}

}  // namespace
}  // namespace tsl
