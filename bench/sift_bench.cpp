// SIFT extraction against OpenCV's detectAndCompute, alternated run by run: each iteration
// times our sift_extract, then asks a Python child (same cores: it inherits the affinity) to
// time cv2's on the same 8-bit feature image, 4000 keypoints, same parameters. Two frames: a
// Brighton photo at match_px 2000 (4000 x 3000 -> 2000 x 1500) and a generated flightsim
// photo (1600 x 1200, made once into the build folder), each on one thread and on all the
// processors the run may use. The reported time is ours; the counters give both medians and
// their ratio (below 1: ours is faster). Both sides keep their buffers from call to call.
// Last, the whole feature stage over the 18 Brighton photos without the disk cache.
//
//   cmake --build build --target bench && taskset -c 4-7 ./build/sift_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cache/disk_cache.h"
#include "drivers/feature_stage.h"
#include "imageio/load_image.h"
#include "img/ops/feature_image.h"
#include "logx.h"
#include "meta/meta_reader.h"
#include "peer_child.h"
#include "sift/sift.h"
#include "util/par.h"

namespace {

using namespace tsl;
namespace fs = std::filesystem;

const fs::path BRIGHTON = fs::path(TSL_SOURCE_DIR) / "../shared/data/dji-phantom3-brighton-beach";
const fs::path GENERATED = fs::current_path() / "bench_data" / "sift_flight";

// The feature image of a photo as the feature stage makes it at match_px 2000.
ImageU8 feature_image(const fs::path& photo) {
  auto meta = read_image_meta(photo, std::nullopt, ProcessedMode::Auto);
  if (!meta) return {};
  const double scale = std::min(1.0, 2000.0 / static_cast<double>(std::max(meta->width, meta->height)));
  auto decoded = load_image(*meta, scale);
  if (!decoded) return {};
  return prepare_feature_image(decoded->image);
}

const ImageU8& brighton() {
  static const ImageU8 img = feature_image(BRIGHTON / "DJI_0018.JPG");
  return img;
}

// A generated flight's first photo: farmland with crop rows, meadows, a bare sand field.
const ImageU8& generated() {
  static const ImageU8 img = [] {
    const fs::path photo = GENERATED / "DJI_0001.JPG";
    if (!fs::exists(photo)) {
      const std::string cmd = "/usr/bin/python3 " + (fs::path(TSL_SOURCE_DIR) / "tools/flightsim/generate.py").string() +
                              " " + GENERATED.string() + " --photos 2 --legs 1 >/dev/null 2>&1";
      if (std::system(cmd.c_str()) != 0) return ImageU8{};
    }
    return feature_image(photo);
  }();
  return img;
}

const char* CV2_SCRIPT = R"(
import numpy as np, cv2, time
images = {}
sift = cv2.SIFT_create(nfeatures=4000, nOctaveLayers=3, contrastThreshold=0.02, edgeThreshold=10, sigma=1.6)
def handle(w):
    if w[0] == 'load':
        images[w[1]] = np.fromfile(w[2], dtype=np.uint8).reshape(int(w[4]), int(w[3]))
        return 0
    cv2.setNumThreads(int(w[2]))
    t = time.perf_counter(); sift.detectAndCompute(images[w[1]], None); return time.perf_counter() - t
)";

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_sift_vs_cv2(benchmark::State& state, const ImageU8& (*frame)(), const char* name, bool all_threads) {
  const ImageU8& img = frame();
  if (img.empty()) return state.SkipWithError("frame unavailable (../shared/data or tools/flightsim)");
  const size_t threads = all_threads ? cpu_budget() : 1;
  tsl_bench::PeerChild cv2(CV2_SCRIPT);
  const fs::path raw = fs::temp_directory_path() / (std::string("tsl_sift_bench_") + name + ".u8");
  std::ofstream(raw, std::ios::binary)
      .write(reinterpret_cast<const char*>(img.data.data()), static_cast<std::streamsize>(img.data.size()));
  const bool have_cv2 = cv2.request("load " + std::string(name) + " " + raw.string() + " " +
                                    std::to_string(img.width) + " " + std::to_string(img.height))
                            .has_value();
  fs::remove(raw);
  const std::string run = std::string("run ") + name + " " + std::to_string(threads);
  const SiftOptions options{.features = 4000, .workers = threads};
  // One call each first: both sides then run with their buffers in place.
  sift_extract(img, options);
  if (have_cv2) cv2.request(run);
  std::vector<double> ours, theirs;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(sift_extract(img, options).keypoints.data());
    ours.push_back(seconds_since(t0));
    state.SetIterationTime(ours.back());
    if (have_cv2)
      if (auto t = cv2.request(run)) theirs.push_back(*t);
  }
  release_sift_scratch();
  state.counters["threads"] = static_cast<double>(threads);
  state.counters["ours_ms"] = tsl_bench::median(ours) * 1e3;
  if (theirs.empty()) return state.SkipWithError("python3-opencv is not available");
  state.counters["cv2_ms"] = tsl_bench::median(theirs) * 1e3;
  state.counters["ratio"] = tsl_bench::median(ours) / tsl_bench::median(theirs);
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
  options.workers = cpu_budget();
  const bool mute = set_log_mute(true);
  for (auto _ : state) benchmark::DoNotOptimize(extract_all_features(photos, options)->data());
  set_log_mute(mute);
}

}  // namespace

#define TSL_VS_CV2(frame, threads)                                                                       \
  BENCHMARK_CAPTURE(BM_sift_vs_cv2, frame##_##threads, frame, #frame, std::string(#threads) == "all") \
      ->Unit(benchmark::kMillisecond)                                                                    \
      ->UseManualTime()                                                                                  \
      ->Iterations(7)

TSL_VS_CV2(brighton, one);
TSL_VS_CV2(generated, one);
TSL_VS_CV2(brighton, all);
TSL_VS_CV2(generated, all);
BENCHMARK(BM_feature_stage_brighton)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

BENCHMARK_MAIN();
