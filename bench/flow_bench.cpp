// Optical flow against OpenCV in one run: our DIS on all threads and on one, cv2's
// DISOpticalFlow (medium preset with 12 descent iterations, patch 12, stride 8, finest scale
// 1) on all threads and on one, timed by a Python child on the same pair, and our
// Lucas-Kanade. Times are per call; the s_per_MP counter divides by the megapixels.
//
//   cmake --build build --target bench && ./build/flow_bench
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "dis/dis_flow.h"
#include "flow/lk_flow.h"
#include "util/npy.h"
#include "util/par.h"

namespace {

using namespace tsl;

// A 1600 x 1200 pair (1.92 MP, the size of a grey ground render of an overlap) of smooth
// random texture, the second moved by a smooth warp of up to about 6 px.
constexpr size_t W = 1600, H = 1200;
constexpr double MP = static_cast<double>(W * H) / 1e6;

float texture(const std::vector<float>& lattice, size_t n, double x, double y) {
  double sum = 0;
  for (double cell : {3.0, 9.0, 27.0}) {
    const double gx = x / cell + 2, gy = y / cell + 2;
    const size_t i = static_cast<size_t>(gx), j = static_cast<size_t>(gy);
    const double fx = gx - i, fy = gy - j;
    auto v = [&](size_t a, size_t b) { return lattice[(b % n) * n + (a % n)]; };
    sum += (1 - fy) * ((1 - fx) * v(i, j) + fx * v(i + 1, j)) + fy * ((1 - fx) * v(i, j + 1) + fx * v(i + 1, j + 1));
  }
  return static_cast<float>(std::round(std::fmin(std::fmax(128 + 45 * sum, 0.0), 255.0)));
}

struct Pair {
  ImageF32 a, b;
};

const Pair& pair() {
  static const Pair p = [] {
    const size_t n = 1024;
    std::vector<float> lattice(n * n);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1, 1);
    for (float& v : lattice) v = dist(rng);
    Pair q{ImageF32(W, H, 1), ImageF32(W, H, 1)};
    for (size_t y = 0; y < H; ++y)
      for (size_t x = 0; x < W; ++x) {
        const double u = 3 + 3 * std::sin(x / 200.0) * std::cos(y / 170.0), v = -2 + 2 * std::cos(x / 260.0);
        q.a.data[y * W + x] = texture(lattice, n, x + u, y + v);
        q.b.data[y * W + x] = texture(lattice, n, x, y);
      }
    return q;
  }();
  return p;
}

// Seconds per megapixel (printed with an SI prefix: 180m is 180 ms per megapixel).
void report(benchmark::State& state) {
  state.counters["s_per_MP"] =
      benchmark::Counter(MP, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_dis_all_threads(benchmark::State& state) {
  const Pair& p = pair();
  for (auto _ : state) benchmark::DoNotOptimize(dis_flow(p.a, p.b).u.data());
  report(state);
}

// A call made from a parallel worker runs every loop inline: one thread, as in the dense
// stage where each pair is one work item. The calls share one worker, as the pairs of the
// dense stage do, so the buffers a thread keeps between flows count as they do there.
void BM_dis_one_thread(benchmark::State& state) {
  const Pair& p = pair();
  par_map(2, 2, [&](size_t i) {
    if (i == 0)
      for (auto _ : state) benchmark::DoNotOptimize(dis_flow(p.a, p.b).u.data());
    return 0;
  });
  report(state);
}

// The pair on the 0..1 scale that Lucas-Kanade takes.
const Pair& unit_pair() {
  static const Pair p = [] {
    Pair q = pair();
    for (ImageF32* img : {&q.a, &q.b})
      for (float& s : img->data) s /= 255.0f;
    return q;
  }();
  return p;
}

void BM_lk_all_threads(benchmark::State& state) {
  const Pair& p = unit_pair();
  for (auto _ : state) benchmark::DoNotOptimize(lk_flow(p.a, p.b).u.data());
  report(state);
}

void BM_lk_one_thread(benchmark::State& state) {
  const Pair& p = unit_pair();
  par_map(2, 2, [&](size_t i) {
    if (i == 0)
      for (auto _ : state) benchmark::DoNotOptimize(lk_flow(p.a, p.b).u.data());
    return 0;
  });
  report(state);
}

const char* CV2_SCRIPT = R"(
import sys, time
import numpy as np, cv2
threads, reps = int(sys.argv[1]), int(sys.argv[2])
a = np.load(sys.argv[3]).astype(np.uint8)
b = np.load(sys.argv[4]).astype(np.uint8)
cv2.setNumThreads(threads)  # -1: OpenCV's default, all processors (0 would turn threading off)
d = cv2.DISOpticalFlow_create(cv2.DISOPTICAL_FLOW_PRESET_MEDIUM)
d.setGradientDescentIterations(12); d.setPatchSize(12); d.setPatchStride(8); d.setFinestScale(1)
d.calc(a, b, None)
for _ in range(reps):
    t = time.perf_counter(); d.calc(a, b, None); print(time.perf_counter() - t)
)";

void BM_cv2_dis(benchmark::State& state, int threads) {
  const int reps = 5;
  const auto dir = std::filesystem::temp_directory_path();
  const auto script = dir / "tsl_flow_bench_cv2.py", pa = dir / "tsl_flow_bench_a.npy", pb = dir / "tsl_flow_bench_b.npy";
  std::ofstream(script) << CV2_SCRIPT;
  for (const auto& [path, img] : {std::pair{pa, &pair().a}, std::pair{pb, &pair().b}}) {
    const std::vector<uint8_t> bytes = npy_write(NpyArray{img->data, {H, W}});
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  const std::string cmd = "/usr/bin/python3 " + script.string() + " " + std::to_string(threads) + " " +
                          std::to_string(reps) + " " + pa.string() + " " + pb.string();
  std::vector<double> times;
  if (FILE* pipe = popen(cmd.c_str(), "r")) {
    double t;
    while (fscanf(pipe, "%lf", &t) == 1) times.push_back(t);
    pclose(pipe);
  }
  for (const auto& f : {script, pa, pb}) std::filesystem::remove(f);
  if (times.empty()) {
    state.SkipWithError("python3-opencv is not available");
    return;
  }
  size_t i = 0;
  for (auto _ : state) state.SetIterationTime(times[i++ % times.size()]);
  report(state);
}

}  // namespace

#define TSL_OURS(fn) BENCHMARK(fn)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5)->Repetitions(3)->ReportAggregatesOnly(true)
#define TSL_CV2(name, threads)                                                                              \
  BENCHMARK_CAPTURE(BM_cv2_dis, name, threads)                                                              \
      ->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5)->Repetitions(3)->ReportAggregatesOnly(true)

TSL_OURS(BM_dis_one_thread);
TSL_CV2(one_thread, 1);
TSL_OURS(BM_dis_all_threads);
TSL_CV2(all_threads, -1);
TSL_OURS(BM_lk_one_thread);
TSL_OURS(BM_lk_all_threads);

BENCHMARK_MAIN();
