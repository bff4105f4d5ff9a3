// SIFT extraction against OpenCV's in one run, on the same 8-bit gray image: the equalised
// feature image of a Brighton frame at match_px 2000 (4000 x 2250 -> 2000 x 1125), 4000
// keypoints, one thread and all threads each. The cv2 side runs in a Python child process on
// the same bytes and reports manual time, so each pair runs back to back under the same load.
// Last, the whole feature stage over the 18 Brighton photos without the disk cache.
//
//   cmake --build build --target bench && ./build/sift_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cache/disk_cache.h"
#include "imageio/load_image.h"
#include "img/ops/feature_image.h"
#include "logx.h"
#include "meta/meta_reader.h"
#include "drivers/feature_stage.h"
#include "sift/sift.h"
#include "util/par.h"

namespace {

using namespace tsl;
namespace fs = std::filesystem;

const fs::path BRIGHTON = fs::path(TSL_SOURCE_DIR) / "../shared/data/dji-phantom3-brighton-beach";

const ImageU8& gray() {
  static const ImageU8 img = [] {
    auto meta = read_image_meta(BRIGHTON / "DJI_0018.JPG", std::nullopt, ProcessedMode::Auto);
    if (!meta) return ImageU8{};
    auto decoded = load_image(*meta, 0.5);
    if (!decoded) return ImageU8{};
    return prepare_feature_image(decoded->image);
  }();
  return img;
}

void BM_sift_all_threads(benchmark::State& state) {
  if (gray().empty()) return state.SkipWithError("../shared/data is absent");
  for (auto _ : state) benchmark::DoNotOptimize(sift_extract(gray(), SiftOptions{.features = 4000}).keypoints.data());
}

// Inside a parallel worker every loop of the detector runs inline: one thread.
void BM_sift_one_thread(benchmark::State& state) {
  if (gray().empty()) return state.SkipWithError("../shared/data is absent");
  for (auto _ : state)
    par_map(2, 2, [](size_t i) {
      if (i == 0) benchmark::DoNotOptimize(sift_extract(gray(), SiftOptions{.features = 4000}).keypoints.data());
      return 0;
    });
}

const char* CV2_SCRIPT = R"(
import sys, time
import numpy as np, cv2
path, w, h, threads, reps = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
img = np.fromfile(path, dtype=np.uint8).reshape(h, w)
if threads > 0:
    cv2.setNumThreads(threads)
sift = cv2.SIFT_create(nfeatures=4000, nOctaveLayers=3, contrastThreshold=0.02, edgeThreshold=10, sigma=1.6)
sift.detectAndCompute(img, None)
for _ in range(reps):
    t = time.perf_counter(); sift.detectAndCompute(img, None); print(time.perf_counter() - t)
)";

void BM_cv2_sift(benchmark::State& state, int threads) {
  if (gray().empty()) return state.SkipWithError("../shared/data is absent");
  const int reps = 5;
  const fs::path dir = fs::temp_directory_path();
  const fs::path script = dir / "tsl_sift_bench_cv2.py", raw = dir / "tsl_sift_bench_gray.u8";
  std::ofstream(script) << CV2_SCRIPT;
  std::ofstream(raw, std::ios::binary)
      .write(reinterpret_cast<const char*>(gray().data.data()), static_cast<std::streamsize>(gray().data.size()));
  const std::string cmd = "/usr/bin/python3 " + script.string() + " " + raw.string() + " " +
                          std::to_string(gray().width) + " " + std::to_string(gray().height) + " " +
                          std::to_string(threads) + " " + std::to_string(reps);
  std::vector<double> times;
  if (FILE* pipe = popen(cmd.c_str(), "r")) {
    double t;
    while (fscanf(pipe, "%lf", &t) == 1) times.push_back(t);
    pclose(pipe);
  }
  fs::remove(script);
  fs::remove(raw);
  if (times.empty()) return state.SkipWithError("python3-opencv is not available");
  size_t i = 0;
  for (auto _ : state) state.SetIterationTime(times[i++ % times.size()]);
}

// The feature stage of a build over the 18 photos, every photo a miss, default workers.
void BM_feature_stage_brighton(benchmark::State& state) {
  std::vector<ImageMeta> photos;
  for (const auto& e : fs::directory_iterator(BRIGHTON))
    if (e.path().extension() == ".JPG")
      if (auto m = read_image_meta(e.path(), std::nullopt, ProcessedMode::Auto)) photos.push_back(std::move(*m));
  if (photos.size() != 18) return state.SkipWithError("../shared/data is absent");
  std::sort(photos.begin(), photos.end(), [](const ImageMeta& a, const ImageMeta& b) { return a.path < b.path; });
  configure_disk_cache(std::nullopt, 0.0);
  SiftOptions options;
  options.workers = std::max<size_t>(cpu_budget(), 2) - 1;
  const bool mute = set_log_mute(true);
  for (auto _ : state) benchmark::DoNotOptimize(extract_all_features(photos, options)->data());
  set_log_mute(mute);
}

}  // namespace

#define TSL_OURS(fn) \
  BENCHMARK(fn)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)->Repetitions(3)->ReportAggregatesOnly(true)
#define TSL_CV2(name, threads)                                                                                   \
  BENCHMARK_CAPTURE(BM_cv2_sift, name, threads)                                                                  \
      ->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5)->Repetitions(3)->ReportAggregatesOnly(true)

TSL_OURS(BM_sift_one_thread);
TSL_CV2(one_thread, 1);
TSL_OURS(BM_sift_all_threads);
TSL_CV2(all_threads, 0);
BENCHMARK(BM_feature_stage_brighton)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

BENCHMARK_MAIN();
