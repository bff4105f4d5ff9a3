// The studio scan's flight figures (footprints, hulls, forward and side overlaps, covered
// area) on generated lawnmower flights; the metadata stage before it is metadata_bench's.
//
//   cmake --build build --target scan_bench && ./build/scan_bench
#include <benchmark/benchmark.h>

#include <string>

#include "../tests/support/render_fixtures.h"
#include "server/scan.h"

namespace {

// Legs of 20 photos, 20 m apart along a leg and 40 m between legs, flown back and forth.
tsl::ImageSet lawnmower(size_t photos) {
  tsl::ImageSet set;
  for (size_t k = 0; k < photos; ++k) {
    const size_t leg = k / 20, along = leg % 2 == 0 ? k % 20 : 19 - k % 20;
    tsl::ImageMeta m = tsl::test::nadir_photo("P" + std::to_string(k) + ".jpg", 4000, 3000, 70.0, 100.0, 75.0);
    m.time = "2024:05:14 10:00:" + std::to_string(1000 + k);
    set.images.push_back(m);
    set.rotations.push_back(tsl::test::nadir_rotation());
    set.positions.push_back({20.0 * static_cast<double>(along), 40.0 * static_cast<double>(leg), 70.0});
  }
  return set;
}

void BM_ScanGeometry(benchmark::State& state) {
  const tsl::ImageSet set = lawnmower(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(tsl::scan_geometry(set));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ScanGeometry)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
