#include "seams/compute_seams.h"

#include <gtest/gtest.h>

#include <cmath>

#include "drivers/stage_options.h"
#include "logx.h"
#include "render/render.h"
#include "support/render_fixtures.h"

namespace tsl {
namespace {

// Grey ground with texture, so that photos agree on it in colour and structure.
std::array<float, 3> grey_ground(double e, double n) {
  const float v = static_cast<float>(0.4 + 0.15 * std::sin(e / 2.0) * std::cos(n / 3.0));
  return {v, v, v};
}

// A red car that only photo A caught, at east 85..95, north 40..47: right across the nadir
// boundary of the two photos (east 90).
constexpr double CAR_E0 = 85, CAR_E1 = 95, CAR_N0 = 40, CAR_N1 = 47;
bool on_car(double e, double n) { return e >= CAR_E0 && e < CAR_E1 && n >= CAR_N0 && n < CAR_N1; }

std::array<float, 3> ground_with_car(double e, double n) {
  return on_car(e, n) ? std::array<float, 3>{0.95f, 0.1f, 0.1f} : grey_ground(e, n);
}

// Photos A (east 0..130) and B (east 50..180) over north 0..100 at 1 m per pixel, on a 1 m
// output grid.
struct CarScene {
  test::SyntheticScene scene;
  Surface plane = Surface::plane(0.0);
  OutputGrid grid;
  Config cfg;

  CarScene() {
    scene.texture = grey_ground;
    scene.add(0, 130, 0, 100, 131, 101);
    scene.add(50, 180, 0, 100, 131, 101);
    scene.textures["photo0.jpg"] = ground_with_car;
    grid = *plan_output_grid({scene.images, scene.rotations, scene.positions}, plane, 1.0, 2000, std::nullopt, false);
    cfg.workers = 2;
    cfg.blend_bands = 4;
  }

  std::pair<SeamMap, std::vector<std::string>> seams(bool cut) {
    cfg.seams_cut = cut;
    ImageCache cache(1e9, scene.loader());
    auto capture = std::make_shared<CaptureList>();
    const LogContext before = log_context();
    set_log_capture(capture);
    auto map = compute_seams({scene.images, scene.rotations, scene.positions}, plane, scene.gains, grid,
                             seam_options(cfg), cache);
    set_log_context(before);
    EXPECT_TRUE(map.has_value()) << map.error();
    return {*map, capture->lines};
  }

  // Labels of the cells whose centres lie on the car.
  static std::vector<int32_t> car_labels(const SeamMap& m) {
    std::vector<int32_t> out;
    for (uint64_t y = 0; y < m.ny; ++y)
      for (uint64_t x = 0; x < m.nx; ++x)
        if (on_car(m.left_e + (x + 0.5) * m.cell, m.top_n - (y + 0.5) * m.cell)) out.push_back(m.labels[y * m.nx + x]);
    return out;
  }

  // Share of the car's output pixels where the mosaic shows it (red well above green). Pixels
  // within a metre of the car's outline are left out: resampling blends them with the ground
  // whatever the seams.
  double car_shown(const SeamMap& map) {
    cfg.blend = BlendMode::Multiband;
    ImageCache cache(1e9, scene.loader());
    RenderOptions options = render_options(cfg);
    options.quiet = true;
    const RenderJob job =
        make_render_job({scene.images, scene.rotations, scene.positions}, plane, scene.gains, grid, options, cache, &map);
    size_t shown = 0, total = 0;
    auto r = render_mosaic(job, [&](uint64_t y0, const ImageF32& b, std::span<const uint8_t>) {
      for (uint64_t y = 0; y < b.height; ++y)
        for (uint64_t x = 0; x < b.width; ++x) {
          const double e = grid.left_e + (x + 0.5) * grid.gsd, n = grid.top_n - (y0 + y + 0.5) * grid.gsd;
          if (!on_car(e - 1, n - 1) || !on_car(e + 1, n + 1)) continue;
          const float* p = b.data.data() + (y * b.width + x) * 3;
          ++total;
          shown += p[0] - p[1] > 0.425f;
        }
      return std::expected<void, std::string>{};
    });
    EXPECT_TRUE(r.has_value());
    return total ? static_cast<double>(shown) / static_cast<double>(total) : -1.0;
  }
};

TEST(ComputeSeams, NadirPartitionCutsThroughTheCar) {
  CarScene s;
  const auto [map, lines] = s.seams(false);
  EXPECT_EQ(map.cell, 1.0);  // the output gsd: the matching resolution is finer
  EXPECT_EQ(map.names, (std::vector<std::string>{"photo0.jpg", "photo1.jpg"}));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "  seams: nadir partition on 180x100 grid @ 100.0 cm");
  const std::vector<int32_t> car = CarScene::car_labels(map);
  EXPECT_NE(std::count(car.begin(), car.end(), 0), 0);
  EXPECT_NE(std::count(car.begin(), car.end(), 1), 0);
  // ... so the multi-band mosaic shows part of it: the fixture can tell.
  const double shown = s.car_shown(map);
  EXPECT_GT(shown, 0.1);
  EXPECT_LT(shown, 0.9);
}

TEST(ComputeSeams, CutSeamRoutesAroundTheCarAndTheMosaicShowsItWholeOrNotAtAll) {
  CarScene s;
  const auto [map, lines] = s.seams(true);
  ASSERT_EQ(lines.size(), 1u);
  // One boundary, band round(0.12 x 101 px x 1 m) = 12 cells = 12.0 m.
  EXPECT_EQ(lines[0].rfind("  seams: 1 cell boundaries optimised on 180x100 grid @ 100.0 cm, band +-12.0 m, ", 0), 0u)
      << lines[0];
  const std::vector<int32_t> car = CarScene::car_labels(map);
  ASSERT_FALSE(car.empty());
  EXPECT_TRUE(std::all_of(car.begin(), car.end(), [&](int32_t l) { return l == car[0]; }))
      << "the seam still cuts the car";

  const double shown = s.car_shown(map);
  EXPECT_TRUE(shown > 0.95 || shown < 0.05) << shown;
}

TEST(ComputeSeams, SinglePhotoIsOnlyPartitioned) {
  CarScene s;
  s.scene.images.pop_back();
  s.scene.rotations.pop_back();
  s.scene.positions.pop_back();
  s.scene.gains.pop_back();
  s.grid.windows.pop_back();
  const auto [map, lines] = s.seams(true);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("  seams: nadir partition on ", 0), 0u);
  EXPECT_EQ(std::count(map.labels.begin(), map.labels.end(), 1), 0);
}

TEST(ComputeSeams, LoadingErrorOfTheCutPassIsReturned) {
  CarScene s;
  s.scene.broken.insert("photo1.jpg");
  s.cfg.seams_cut = true;
  ImageCache cache(1e9, s.scene.loader());
  auto map = compute_seams({s.scene.images, s.scene.rotations, s.scene.positions}, s.plane, s.scene.gains, s.grid,
                           seam_options(s.cfg), cache);
  ASSERT_FALSE(map.has_value());
  EXPECT_EQ(map.error(), "cannot read photo1.jpg: No such file or directory");
}

TEST(ComputeSeams, ZeroCellBudgetIsClampedNotAnInternalError) {
  for (double budget : {0.0, -1.0}) {
    SCOPED_TRACE(budget);
    CarScene s;
    s.cfg.seam_mpix = budget;
    const auto [map, lines] = s.seams(false);
    EXPECT_TRUE(std::isfinite(map.cell));
    EXPECT_GT(map.nx * map.ny, 0u);
    // The multi-band render takes the clamped map.
    const double shown = s.car_shown(map);
    EXPECT_GE(shown, 0.0);
  }
}

}  // namespace
}  // namespace tsl
