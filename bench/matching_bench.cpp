// Pair matching costs: the brute-force ratio-test matching of one pair with 4000 features on
// each side (ours against OpenCV's BFMatcher knnMatch + ratio test, on one thread and on
// four, alternated run by run with a child process on the same kind of data), and the robust fundamental-matrix and homography
// searches on 500 correspondences with 40 % outliers, and the whole matching stage of the 18
// Brighton photos on all threads (features extracted once into a temporary cache first), with
// the heading check disabled and on, and with the second try for untied photos.
//
//   cmake --build build --target bench && ./build/matching_bench
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/parse_args.h"
#include "drivers/feature_stage.h"
#include "drivers/matching_stage.h"
#include "drivers/stage_options.h"
#include "logx.h"
#include "matching/ratio_match.h"
#include "matching/two_view.h"
#include "peer_child.h"
#include "pipeline/collect_images.h"
#include "util/par.h"

#include <filesystem>

namespace {

constexpr size_t FEATURES = 4000;

// RootSIFT-like descriptors: non-negative, unit length; every third query a perturbed copy
// of a candidate so that the ratio test has matches to accept.
void random_descriptors(std::vector<float>& di, std::vector<float>& dj, uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<float> u(0.0f, 1.0f), small(-0.02f, 0.02f);
  di.assign(FEATURES * 128, 0.0f);
  dj.assign(FEATURES * 128, 0.0f);
  for (float& v : dj) v = u(rng) * u(rng);
  for (size_t p = 0; p < FEATURES; ++p)
    for (size_t d = 0; d < 128; ++d) di[p * 128 + d] = p % 3 ? u(rng) * u(rng) : std::max(dj[p * 128 + d] + small(rng), 0.0f);
  for (std::vector<float>* set : {&di, &dj})
    for (size_t p = 0; p < FEATURES; ++p) {
      float n = 0.0f;
      for (size_t d = 0; d < 128; ++d) n += (*set)[p * 128 + d] * (*set)[p * 128 + d];
      for (size_t d = 0; d < 128; ++d) (*set)[p * 128 + d] /= std::sqrt(n);
    }
}

void BM_tessaly_ratio_match(benchmark::State& state) {
  std::vector<float> di, dj;
  random_descriptors(di, dj, 5);
  std::vector<uint32_t> idx(FEATURES);
  for (uint32_t k = 0; k < FEATURES; ++k) idx[k] = k;
  size_t matches = 0;
  for (auto _ : state) matches = tsl::ratio_match(di, idx, dj, idx).size();
  state.counters["matches"] = static_cast<double>(matches);
  state.counters["GMAC/s"] = benchmark::Counter(double(FEATURES) * FEATURES * 128, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_tessaly_ratio_match)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_tessaly_ratio_match_plain(benchmark::State& state) {
  std::vector<float> di, dj;
  random_descriptors(di, dj, 5);
  std::vector<uint32_t> idx(FEATURES);
  for (uint32_t k = 0; k < FEATURES; ++k) idx[k] = k;
  for (auto _ : state) benchmark::DoNotOptimize(tsl::ratio_match_plain(di, idx, dj, idx));
}
BENCHMARK(BM_tessaly_ratio_match_plain)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

// OpenCV's per-run seconds for knnMatch(k = 2) + ratio 0.8 on one thread, or empty.
std::vector<double> opencv_times(int runs) {
  const std::string script =
      "import sys, time, numpy as np, cv2\n"
      "cv2.setNumThreads(1)\n"
      "rng = np.random.default_rng(5); n = 4000\n"
      "dj = (rng.random((n, 128)) * rng.random((n, 128))).astype(np.float32)\n"
      "di = (rng.random((n, 128)) * rng.random((n, 128))).astype(np.float32)\n"
      "di[::3] = np.maximum(dj[::3] + rng.uniform(-0.02, 0.02, dj[::3].shape), 0).astype(np.float32)\n"
      "di /= np.linalg.norm(di, axis=1, keepdims=True); dj /= np.linalg.norm(dj, axis=1, keepdims=True)\n"
      "bf = cv2.BFMatcher(cv2.NORM_L2)\n"
      "for _ in range(int(sys.argv[1])):\n"
      "    t = time.perf_counter()\n"
      "    good = [m for m, s in bf.knnMatch(di, dj, k=2) if m.distance < 0.8 * s.distance]\n"
      "    print(time.perf_counter() - t)\n";
  const std::string cmd = "/usr/bin/python3 -c '" + script + "' " + std::to_string(runs) + " 2>/dev/null";
  std::vector<double> times;
  FILE* pipe = popen(cmd.c_str(), "r");
  if (!pipe) return times;
  double t = 0.0;
  while (std::fscanf(pipe, "%lf", &t) == 1) times.push_back(t);
  pclose(pipe);
  return times;
}

void BM_opencv_bfmatcher_knn_ratio(benchmark::State& state) {
  const std::vector<double> times = opencv_times(5);
  if (times.empty()) {
    state.SkipWithError("python3 with OpenCV not available");
    return;
  }
  size_t k = 0;
  for (auto _ : state) state.SetIterationTime(times[k++ % times.size()]);
}
BENCHMARK(BM_opencv_bfmatcher_knn_ratio)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

const char* BF_SCRIPT = R"(
import numpy as np, cv2, time
rng = np.random.default_rng(5); n = 4000
dj = (rng.random((n, 128)) * rng.random((n, 128))).astype(np.float32)
di = (rng.random((n, 128)) * rng.random((n, 128))).astype(np.float32)
di[::3] = np.maximum(dj[::3] + rng.uniform(-0.02, 0.02, dj[::3].shape), 0).astype(np.float32)
di /= np.linalg.norm(di, axis=1, keepdims=True); dj /= np.linalg.norm(dj, axis=1, keepdims=True)
bf = cv2.BFMatcher(cv2.NORM_L2)
def handle(w):
    cv2.setNumThreads(int(w[0]))
    t = time.perf_counter()
    good = [m for m, s in bf.knnMatch(di, dj, k=2) if m.distance < 0.8 * s.distance]
    return time.perf_counter() - t
)";

// One pair on `threads` threads against BFMatcher knnMatch + ratio test on as many, run by run
// alternated with a Python child on the same cores. Time reported: ours; counters: both
// medians and their ratio (below 1: ours is faster).
void BM_ratio_match_vs_bfmatcher(benchmark::State& state) {
  const size_t threads = static_cast<size_t>(state.range(0));
  std::vector<float> di, dj;
  random_descriptors(di, dj, 5);
  std::vector<uint32_t> idx(FEATURES);
  for (uint32_t k = 0; k < FEATURES; ++k) idx[k] = k;
  tsl_bench::PeerChild cv2(BF_SCRIPT);
  const std::string run = std::to_string(threads);
  tsl::ratio_match(di, idx, dj, idx, threads);
  const bool have_cv2 = cv2.request(run).has_value();
  std::vector<double> ours, theirs;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(tsl::ratio_match(di, idx, dj, idx, threads).data());
    ours.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    state.SetIterationTime(ours.back());
    if (have_cv2)
      if (auto t = cv2.request(run)) theirs.push_back(*t);
  }
  state.counters["ours_ms"] = tsl_bench::median(ours) * 1e3;
  if (theirs.empty()) return state.SkipWithError("python3 with OpenCV not available");
  state.counters["cv2_ms"] = tsl_bench::median(theirs) * 1e3;
  state.counters["ratio"] = tsl_bench::median(ours) / tsl_bench::median(theirs);
}
BENCHMARK(BM_ratio_match_vs_bfmatcher)->Arg(1)->Arg(4)->ArgNames({"threads"})->Iterations(7)->UseManualTime()->Unit(benchmark::kMillisecond);

// 500 correspondences, 40 % outliers, 0.5 px noise.
void correspondences(bool homography, std::vector<tsl::Vec2>& a, std::vector<tsl::Vec2>& b) {
  std::mt19937_64 rng(9);
  std::uniform_real_distribution<double> ux(0, 2000), uy(0, 1125), u(0, 1), z(0.85, 1.15);
  std::normal_distribution<double> noise(0.0, 0.5);
  a.clear();
  b.clear();
  for (size_t k = 0; k < 500; ++k) {
    const double x = ux(rng), y = uy(rng);
    double bx, by;
    if (u(rng) < 0.4) {
      bx = ux(rng);
      by = uy(rng);
    } else if (homography) {
      const double w = 1e-5 * x + 1.0;
      bx = (1.01 * x + 0.02 * y + 150) / w;
      by = (-0.02 * x + 0.99 * y + 40) / w;
    } else {
      // Sideways motion over relief: the shift scales with inverse depth.
      const double d = z(rng);
      bx = 1000 + (x - 1000) / d * 1.0 - 400 / d;
      by = 562 + (y - 562) / d;
      bx = 1000 + (bx - 1000) * d;
      by = 562 + (by - 562) * d;
    }
    a.push_back({x + noise(rng), y + noise(rng)});
    b.push_back({bx + noise(rng), by + noise(rng)});
  }
}

void BM_tessaly_ransac(benchmark::State& state) {
  const bool homography = state.range(0) == 1;
  std::vector<tsl::Vec2> a, b;
  correspondences(homography, a, b);
  const auto kind = homography ? tsl::TwoViewKind::Homography : tsl::TwoViewKind::Fundamental;
  for (auto _ : state)
    benchmark::DoNotOptimize(tsl::ransac(kind, a, b, homography ? 3.0 : 0.6, homography ? 5000 : 10000, 17));
}
BENCHMARK(BM_tessaly_ransac)->Arg(0)->Arg(1)->ArgNames({"homography"})->Unit(benchmark::kMillisecond);

// The matching stage as a build runs it on the Brighton flight (93 candidate pairs).
void BM_tessaly_matching_stage_brighton(benchmark::State& state) {
  namespace fs = std::filesystem;
  const fs::path data = fs::path(TSL_SOURCE_DIR) / "../shared/data/dji-phantom3-brighton-beach";
  if (!fs::is_directory(data)) {
    state.SkipWithError("../shared/data is absent");
    return;
  }
  const fs::path cache = fs::temp_directory_path() / "tessaly_matching_bench_cache";
  const std::vector<std::string> words = {data.string(), "--cache-dir", cache.string(), "--workers",
                                          std::to_string(tsl::cpu_budget())};
  const tsl::Config config = tsl::Config::from_options(*tsl::parse_args(words));
  auto set = tsl::collect_images(config);
  if (!set) {
    state.SkipWithError("cannot read the flight");
    return;
  }
  const tsl::StageOptions options = tsl::stage_options(config, tsl::Environment{}, set->images.size());
  const tsl::PlacedPhotos photos{set->images, set->rotations, set->positions};
  const auto pairs = tsl::select_pairs(photos, options.match.neighbors);
  auto features = tsl::extract_all_features(set->images, options.sift);
  if (!features) {
    state.SkipWithError("feature extraction failed");
    return;
  }
  size_t tie_pairs = 0;
  // Processor seconds of all threads: on a busy machine the wall time says little, while the
  // processor time divided by the threads bounds what an idle machine would take.
  const std::clock_t cpu0 = std::clock();
  // heading 0: the heading check disabled; retry 0: no second try for untied photos.
  tsl::MatchOptions match = options.match;
  if (state.range(1) == 0) match.retry_features.reset();
  std::vector<size_t> turned;
  for (auto _ : state) {
    auto ties = tsl::run_matching_stage(pairs, *features, photos, match, state.range(0) ? &turned : nullptr);
    tie_pairs = ties ? ties->size() : 0;
  }
  state.counters["cpu_s_per_run"] =
      static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC / static_cast<double>(state.iterations());
  state.counters["threads"] = static_cast<double>(config.workers);
  state.counters["pairs"] = static_cast<double>(pairs.size());
  state.counters["tie_pairs"] = static_cast<double>(tie_pairs);
}
BENCHMARK(BM_tessaly_matching_stage_brighton)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({1, 1})
    ->ArgNames({"heading", "retry"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
