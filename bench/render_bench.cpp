// Rendering a generated 16-photo flight (1600 x 1200 photos, true poses, a plane) on all
// threads: the feather and multi-band renderers at the native ground sampling distance
// (argument 1) and at half of it (argument 2, four times the pixels), and the seam lines of
// a 16-megacell seam grid. Each iteration starts with an empty decoded-image cache, as a
// build does, so photo decoding is part of the time; the rendered bands go to a sink that
// drops them. The flight is generated once into the temp folder (about half a minute).
//
// Counters: MP is the output size in megapixels, MP_per_s the throughput in output
// megapixels per second; cells the seam grid's size. Peak memory: run one benchmark per
// process under /usr/bin/time -v, e.g. --benchmark_filter='BM_FeatherRender/2$'.
#include <benchmark/benchmark.h>

#include <stdexcept>

#include "drivers/stage_options.h"
#include "render/render.h"
#include "seams/compute_seams.h"
#include "support/flight_fixture.h"
#include "util/par.h"

namespace {

const tsl::test::TruthFlight& flight() {
  static const tsl::test::TruthFlight f = [] {
    auto loaded = tsl::test::shared_truth_flight(TSL_SOURCE_DIR, "--photos 16 --legs 2 --jobs 3");
    if (!loaded) throw std::runtime_error(loaded.error());
    return *loaded;
  }();
  return f;
}

const tsl::Surface& plane() {
  static const tsl::Surface p = tsl::Surface::plane(0.0);
  return p;
}

// The output grid at the native gsd divided by `finer`.
tsl::OutputGrid grid(int finer) {
  const auto& f = flight();
  const std::vector<double> natives = tsl::native_gsds(f.images, f.positions, 0.0);
  std::vector<double> sorted = natives;
  std::sort(sorted.begin(), sorted.end());
  const double native = sorted[sorted.size() / 2];
  return *tsl::plan_output_grid({f.images, f.rotations, f.positions}, plane(), native / finer, 2000, std::nullopt, false);
}

tsl::Config config(bool multiband) {
  tsl::Config cfg;
  cfg.workers = tsl::cpu_budget();
  cfg.blend = multiband ? tsl::BlendMode::Multiband : tsl::BlendMode::Feather;
  return cfg;
}

tsl::PlacedPhotos photos_of(const tsl::test::TruthFlight& f) { return {f.images, f.rotations, f.positions}; }

void run_render(benchmark::State& state, bool multiband) {
  const auto& f = flight();
  const tsl::OutputGrid g = grid(static_cast<int>(state.range(0)));
  const tsl::Config cfg = config(multiband);
  std::optional<tsl::SeamMap> seams;
  if (multiband) {
    tsl::ImageCache cache(cfg.cache_gb * 1e9);
    seams = *tsl::compute_seams(photos_of(f), plane(), f.exposure_gains, g, tsl::seam_options(cfg), cache);
  }
  tsl::RenderOptions options = tsl::render_options(cfg);
  options.quiet = true;
  for (auto _ : state) {
    tsl::ImageCache cache(cfg.cache_gb * 1e9);
    const tsl::RenderJob job = tsl::make_render_job(photos_of(f), plane(), f.exposure_gains, g, options, cache,
                                                    seams ? &*seams : nullptr);
    auto r = tsl::render_mosaic(job, [](uint64_t, const tsl::ImageF32& band, std::span<const uint8_t>) {
      benchmark::DoNotOptimize(band.data.data());
      return std::expected<void, std::string>{};
    });
    if (!r) state.SkipWithError(r.error().c_str());
  }
  const double mp = static_cast<double>(g.width) * static_cast<double>(g.height) / 1e6;
  state.counters["MP"] = mp;
  state.counters["MP_per_s"] = benchmark::Counter(mp, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_FeatherRender(benchmark::State& state) { run_render(state, false); }
void BM_MultibandRender(benchmark::State& state) { run_render(state, true); }

// Cut seams on a grid held to 16 megacells: the output at a quarter of the native gsd with
// seam cells as fine as the output, so the cell budget decides the grid.
void BM_Seams16M(benchmark::State& state) {
  const auto& f = flight();
  const tsl::OutputGrid g = grid(4);
  tsl::Config cfg = config(true);
  cfg.match_px = 100000;
  for (auto _ : state) {
    tsl::ImageCache cache(cfg.cache_gb * 1e9);
    auto seams = tsl::compute_seams(photos_of(f), plane(), f.exposure_gains, g, tsl::seam_options(cfg), cache);
    if (!seams)
      state.SkipWithError(seams.error().c_str());
    else
      state.counters["cells"] = static_cast<double>(seams->nx * seams->ny);
  }
}

BENCHMARK(BM_FeatherRender)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MultibandRender)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Seams16M)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
