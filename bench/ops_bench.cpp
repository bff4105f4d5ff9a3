// Image operations against OpenCV in one run. Each tessaly benchmark is followed by the same
// operation in cv2 (Debian's python3-opencv on all of its threads), timed by a Python child
// process on equal data and reported as manual time, so the pairs run back to back under
// the same machine load.
//
//   cmake --build build --target bench && ./build/ops_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "img/ops/feature_image.h"
#include "img/ops/filter.h"
#include "img/ops/resample.h"

namespace {

using namespace tsl;

// A 20-megapixel 3-channel photo (5472 x 3648, the usual 1-inch drone sensor) with 16-bit
// values held as floats, as the loaders hand photos to the operations.
constexpr size_t PHOTO_W = 5472, PHOTO_H = 3648;
constexpr size_t CLAHE_W = 2000, CLAHE_H = 1500;

const ImageF32& photo() {
  static const ImageF32 img = [] {
    ImageF32 p(PHOTO_W, PHOTO_H, 3);
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> dist(0, 65535);
    for (float& v : p.data) v = static_cast<float>(dist(rng));
    return p;
  }();
  return img;
}

const ImageU8& grey() {
  static const ImageU8 img = [] {
    ImageU8 g(CLAHE_W, CLAHE_H, 1);
    std::mt19937 rng(2);
    std::normal_distribution<float> noise(0.0f, 12.0f);
    for (size_t y = 0; y < CLAHE_H; ++y)
      for (size_t x = 0; x < CLAHE_W; ++x)
        g.data[y * CLAHE_W + x] =
            static_cast<uint8_t>(std::clamp(60.0f + 120.0f * x / CLAHE_W + 40.0f * y / CLAHE_H + noise(rng), 0.0f, 255.0f));
    return g;
  }();
  return img;
}

void BM_resize_area_quarter(benchmark::State& state) {
  const ImageF32& src = photo();
  for (auto _ : state) benchmark::DoNotOptimize(resize(src, PHOTO_W / 4, PHOTO_H / 4).data.data());
}

void BM_resize_area_fraction(benchmark::State& state) {
  const ImageF32& src = photo();
  for (auto _ : state) benchmark::DoNotOptimize(resize(src, 2000, 1333).data.data());
}

void BM_gaussian_blur_sigma2(benchmark::State& state) {
  const ImageF32& src = photo();
  for (auto _ : state) benchmark::DoNotOptimize(gaussian_blur(src, 2.0).data.data());
}

void BM_clahe(benchmark::State& state) {
  const ImageU8& g = grey();
  for (auto _ : state) benchmark::DoNotOptimize(equalize_clahe(g).data.data());
}

// The cv2 side: the child builds the same kind of data, warms up, and prints one time in
// seconds per repetition.
const char* CV2_SCRIPT = R"(
import sys, time
import numpy as np, cv2
op, reps = sys.argv[1], int(sys.argv[2])
rng = np.random.default_rng(1)
if op == 'clahe':
    x = np.linspace(60, 180, 2000, dtype=np.float32)[None, :] + np.linspace(0, 40, 1500, dtype=np.float32)[:, None]
    src = np.clip(x + rng.normal(0, 12, (1500, 2000)), 0, 255).astype(np.uint8)
    clahe = cv2.createCLAHE(2.0, (8, 8))
    f = lambda: clahe.apply(src)
else:
    src = rng.integers(0, 65536, (3648, 5472, 3), dtype=np.uint16).astype(np.float32)
    if op == 'resize_area_quarter':
        f = lambda: cv2.resize(src, (5472 // 4, 3648 // 4), interpolation=cv2.INTER_AREA)
    elif op == 'resize_area_fraction':
        f = lambda: cv2.resize(src, (2000, 1333), interpolation=cv2.INTER_AREA)
    else:
        f = lambda: cv2.GaussianBlur(src, (17, 17), 2.0, borderType=cv2.BORDER_REPLICATE)
f()
for _ in range(reps):
    t = time.perf_counter(); f(); print(time.perf_counter() - t)
)";

void BM_cv2(benchmark::State& state, const std::string& op) {
  const int reps = 5;
  const std::filesystem::path script = std::filesystem::temp_directory_path() / "tsl_ops_bench_cv2.py";
  std::ofstream(script) << CV2_SCRIPT;
  const std::string cmd = "/usr/bin/python3 " + script.string() + " " + op + " " + std::to_string(reps);
  std::vector<double> times;
  if (FILE* pipe = popen(cmd.c_str(), "r")) {
    double t;
    while (fscanf(pipe, "%lf", &t) == 1) times.push_back(t);
    pclose(pipe);
  }
  std::filesystem::remove(script);
  if (times.empty()) {
    state.SkipWithError("python3-opencv is not available");
    return;
  }
  size_t i = 0;
  for (auto _ : state) state.SetIterationTime(times[i++ % times.size()]);
}

}  // namespace

// Each pair runs back to back; the median of three runs of five iterations damps the noise
// of a shared machine.
#define TSL_OURS(fn) BENCHMARK(fn)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5)->Repetitions(3)->ReportAggregatesOnly(true)
#define TSL_CV2(name, op)                                                                                 \
  BENCHMARK_CAPTURE(BM_cv2, name, std::string(op))                                                       \
      ->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5)->Repetitions(3)->ReportAggregatesOnly(true)

TSL_OURS(BM_resize_area_quarter);
TSL_CV2(resize_area_quarter, "resize_area_quarter");
TSL_OURS(BM_resize_area_fraction);
TSL_CV2(resize_area_fraction, "resize_area_fraction");
TSL_OURS(BM_gaussian_blur_sigma2);
TSL_CV2(gaussian_blur_sigma2, "gaussian");
TSL_OURS(BM_clahe);
TSL_CV2(clahe, "clahe");

BENCHMARK_MAIN();
