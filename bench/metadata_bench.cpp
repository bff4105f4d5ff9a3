// The "[1/6] metadata" stage over 1000 JPEG photos with a warm file cache, on every logical
// processor, and exiftool -j -n over the same files for scale, side by side in one run.
//
// The photos are hard links (copies where linking fails) to the 18 real drone photos of
// ../shared/data/dji-phantom3-brighton-beach under 1000 distinct names, so every file is a
// full-size 4000 x 2250 drone JPEG with its EXIF, XMP and MPF preview, while the page cache
// holds only 62 MiB.
//
//   cmake --build build --target bench && ./build/metadata_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "logx.h"
#include "pipeline/collect_images.h"
#include "platform/system.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t PHOTOS = 1000;

// The folder of 1000 photos, made once; empty when the real flight is absent.
const fs::path& photo_folder() {
  static const fs::path folder = [] {
    const fs::path source = fs::path(TSL_SOURCE_DIR) / ".." / "shared" / "data" / "dji-phantom3-brighton-beach";
    std::vector<fs::path> originals;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(source, ec))
      if (e.path().extension() == ".JPG") originals.push_back(e.path());
    if (originals.empty()) return fs::path();
    std::sort(originals.begin(), originals.end());
    const fs::path dir = fs::temp_directory_path() / "tsl_metadata_bench";
    fs::remove_all(dir, ec);
    fs::create_directories(dir);
    for (size_t i = 0; i < PHOTOS; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "DJI_%04zu.JPG", i + 1);
      fs::create_hard_link(originals[i % originals.size()], dir / name, ec);
      if (ec) fs::copy_file(originals[i % originals.size()], dir / name, ec);
    }
    return dir;
  }();
  return folder;
}

// workers 0: one per logical processor.
tsl::Config stage_config(size_t workers) {
  tsl::Config c;
  c.input = {photo_folder().string()};
  c.workers = workers != 0 ? workers : std::max(1u, tsl::platform::logical_processors());
  return c;
}

void BM_metadata_stage(benchmark::State& state) {
  if (photo_folder().empty()) {
    state.SkipWithError("../shared/data/dji-phantom3-brighton-beach is absent");
    return;
  }
  const tsl::Config config = stage_config(static_cast<size_t>(state.range(0)));
  const bool was_muted = tsl::set_log_mute(true);
  (void)tsl::collect_images(config);  // warms the file cache
  for (auto _ : state) {
    auto set = tsl::collect_images(config);
    if (!set || set->images.size() != PHOTOS) state.SkipWithError("stage failed");
    benchmark::DoNotOptimize(set);
  }
  tsl::set_log_mute(was_muted);
  state.counters["threads"] = static_cast<double>(config.workers);
  state.counters["photos/s"] =
      benchmark::Counter(static_cast<double>(PHOTOS), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_metadata_stage)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

// exiftool -j -n over the same folder, timed around the child process.
void BM_exiftool_json(benchmark::State& state) {
  if (photo_folder().empty() || std::system("command -v exiftool >/dev/null 2>&1") != 0) {
    state.SkipWithError("needs exiftool and the real flight");
    return;
  }
  const std::string cmd = "exiftool -q -j -n '" + photo_folder().string() + "' >/dev/null 2>&1";
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("exiftool failed");
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.counters["photos/s"] =
      benchmark::Counter(static_cast<double>(PHOTOS), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_exiftool_json)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
