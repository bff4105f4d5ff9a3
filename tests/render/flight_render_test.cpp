// Renders of a generated flight (true poses and camera) judged against the flight's truth:
// the true orthophoto, the true footprints, and a byte-for-byte repeat on other thread counts.
#include <gtest/gtest.h>

#include <memory>

#include "drivers/stage_options.h"
#include "render/band_sink.h"
#include "render/render.h"
#include "seams/compute_seams.h"
#include "support/flight_fixture.h"
#include "support/test_util.h"
#include "util/json.h"
#include "util/text.h"

namespace tsl {
namespace {

constexpr const char* PYTHON_MODULES = "numpy scipy PIL osgeo.gdal shapely";

class FlightRender : public ::testing::Test {
 protected:
  // Six 320 x 240 photos on two legs over flat ground without relief (so that a plane is the
  // true surface), exposures 0.4 EV apart, no vignetting.
  static void SetUpTestSuite() {
    if (!test::have_python_modules(PYTHON_MODULES)) return;
    dir_ = std::make_unique<test::TempDir>();
    auto f = test::shared_truth_flight(test::source_dir(),
                                          "--photos 6 --legs 2 --width 320 --height 240 --terrain flat --buildings 0 "
                                          "--trees 0 --gps none --exposure-ev 0.4 --vignetting 0 --jobs 2");
    if (!f)
      error_ = f.error();
    else
      flight_ = std::move(*f);
  }
  static void TearDownTestSuite() { dir_.reset(); }

  void SetUp() override {
    TSL_REQUIRE_PYTHON(PYTHON_MODULES);
    ASSERT_TRUE(flight_.has_value()) << error_;
  }

  const test::TruthFlight& flight() const { return *flight_; }

  struct Rendered {
    OutputGrid grid;
    std::optional<SeamMap> seams;
  };

  // Plans the grid at the native gsd and renders the flight into a GeoTIFF at `path`.
  Rendered render(const std::filesystem::path& path, const Config& cfg, bool seams, bool undo_exposure) {
    const test::TruthFlight& f = flight();
    const Surface plane = Surface::plane(0.0);
    Rendered out;
    const PlacedPhotos photos{f.images, f.rotations, f.positions};
    auto grid = plan_output_grid(photos, plane, std::nullopt, 2000, std::nullopt, false);
    EXPECT_TRUE(grid.has_value());
    out.grid = *grid;
    std::vector<Gain> gains(f.images.size(), Gain{1, 1, 1});
    if (undo_exposure) gains = f.exposure_gains;
    ImageCache cache(1e9);
    if (seams) {
      auto map = compute_seams(photos, plane, gains, out.grid, seam_options(cfg), cache);
      EXPECT_TRUE(map.has_value()) << map.error();
      out.seams = *map;
    }
    auto writer = GeoTiffWriter::create(
        path, out.grid.width, out.grid.height, 8,
        GeoTiffRef{out.grid.gsd, f.origin_e + out.grid.left_e, f.origin_n + out.grid.top_n, f.epsg});
    EXPECT_TRUE(writer.has_value());
    OutputSink sink;
    sink.width = out.grid.width;
    sink.workers = cfg.workers;
    sink.writer = &*writer;
    RenderOptions options = render_options(cfg);
    options.quiet = true;
    const RenderJob job =
        make_render_job(photos, plane, gains, out.grid, options, cache, out.seams ? &*out.seams : nullptr);
    auto r = render_mosaic(job, [&](uint64_t y0, const ImageF32& band, std::span<const uint8_t> mask) {
      return geotiff_band_sink(sink, y0, band, mask);
    });
    EXPECT_TRUE(r.has_value()) << r.error();
    EXPECT_TRUE(writer->finish().has_value());
    return out;
  }

  static test::CommandResult python(const std::string& script, const std::string& args) {
    return test::run_command(test::python3() + " " + test::shell_quote((test::source_dir() / script).string()) + " " +
                             args);
  }

  // The evaluator's figures for a mosaic.
  JsonValue evaluate(const std::filesystem::path& mosaic) {
    const auto out = dir_->path() / (mosaic.stem().string() + ".json");
    const auto r = python("tools/flightsim/evaluate.py", test::shell_quote(mosaic.string()) + " " +
                                                             test::shell_quote(flight().dir.string()) + " --json " +
                                                             test::shell_quote(out.string()));
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    auto figures = json_parse(test::read_file_text(out));
    EXPECT_TRUE(figures.has_value());
    return figures ? *figures : JsonValue();
  }

  static inline std::unique_ptr<test::TempDir> dir_;
  static inline std::optional<test::TruthFlight> flight_;
  static inline std::string error_;
};

TEST_F(FlightRender, FeatherMosaicLiesOnTheTruthAndCoversTheFootprints) {
  Config cfg;
  cfg.workers = 1;
  cfg.blend = BlendMode::Feather;
  const auto one = dir_->path() / "feather1.tif";
  const Rendered r = render(one, cfg, false, true);
  EXPECT_GT(r.grid.width, 300u);

  // Planimetric error within one output pixel (the evaluator's correlation windows).
  const JsonValue fig = evaluate(one);
  const JsonValue& shift = fig["shift"];
  ASSERT_TRUE(shift.is_object()) << json_to_string(fig);
  EXPECT_GT(fig["windows"]["measured"].as_f64(), 10.0) << json_to_string(fig["windows"]);
  EXPECT_LT(shift["median_px"].as_f64(), 0.5) << json_to_string(shift);
  EXPECT_LT(shift["p95_px"].as_f64(), 1.0) << json_to_string(shift);
  EXPECT_GT(fig["coverage"].as_f64(), 0.99);

  const auto cov = python("tests/render/check_flight_render.py", "coverage " + test::shell_quote(one.string()) + " " +
                                                                     test::shell_quote(flight().dir.string()));
  EXPECT_EQ(cov.exit_code, 0) << cov.out << cov.err;

  // Pixels are summed in photo order on one thread, whatever the number of workers.
  cfg.workers = 4;
  const auto four = dir_->path() / "feather4.tif";
  render(four, cfg, false, true);
  EXPECT_TRUE(test::read_file_bytes(one) == test::read_file_bytes(four)) << "the mosaic depends on the thread count";
}

TEST_F(FlightRender, MultibandMosaicLiesOnTheTruthWithASmallerToneStep) {
  // Gains of 1 leave the photos' exposure differences in: the blend has to hide them.
  Config cfg;
  cfg.workers = 3;
  cfg.blend = BlendMode::Feather;
  const auto feather = dir_->path() / "feather_raw.tif";
  render(feather, cfg, false, false);
  cfg.blend = BlendMode::Multiband;
  const auto multiband = dir_->path() / "multiband_raw.tif";
  const Rendered r = render(multiband, cfg, true, false);
  ASSERT_TRUE(r.seams.has_value());

  const JsonValue fig = evaluate(multiband);
  ASSERT_TRUE(fig["shift"].is_object()) << json_to_string(fig);
  EXPECT_LT(fig["shift"]["p95_px"].as_f64(), 1.0) << json_to_string(fig["shift"]);

  const auto tone = python("tests/render/check_flight_render.py", "tone " + test::shell_quote(feather.string()) + " " +
                                                                      test::shell_quote(multiband.string()) + " " +
                                                                      test::shell_quote(flight().dir.string()));
  EXPECT_EQ(tone.exit_code, 0) << tone.out << tone.err;

  cfg.workers = 1;
  const auto single = dir_->path() / "multiband_1.tif";
  render(single, cfg, true, false);
  EXPECT_TRUE(test::read_file_bytes(single) == test::read_file_bytes(multiband));
}

}  // namespace
}  // namespace tsl
