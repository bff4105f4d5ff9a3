// Optical flow against OpenCV in one run: our DIS on all threads and on one, cv2's
// DISOpticalFlow (medium preset with 12 descent iterations, patch 12, stride 8, finest scale
// 1) on all threads and on one, timed by a Python child on the same pair, and our
// Lucas-Kanade. Times are per call; the s_per_MP counter divides by the megapixels.
//
//   cmake --build build --target bench && ./build/flow_bench
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "dis/dis_flow.h"
#include "flow/lk_flow.h"
#include "peer_child.h"
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

// The true flow from a to b at each pixel: a(x, y) shows the texture at (x + u, y + v), which
// b shows at that place. Mean endpoint error of a flow against it, 8 px from the border.
double endpoint_error(const FlowField& f) {
  double sum = 0;
  size_t n = 0;
  for (size_t y = 8; y + 8 < H; ++y)
    for (size_t x = 8; x + 8 < W; ++x) {
      const double u = 3 + 3 * std::sin(x / 200.0) * std::cos(y / 170.0), v = -2 + 2 * std::cos(x / 260.0);
      sum += std::hypot(f.u[y * W + x] - u, f.v[y * W + x] - v);
      ++n;
    }
  return sum / static_cast<double>(n);
}

const char* CV2_PEER = R"(
import numpy as np, cv2, time
state = {}
def handle(w):
    if w[0] == 'load':
        a = np.load(w[1]).astype(np.uint8); b = np.load(w[2]).astype(np.uint8)
        d = cv2.DISOpticalFlow_create(cv2.DISOPTICAL_FLOW_PRESET_MEDIUM)
        d.setGradientDescentIterations(12); d.setPatchSize(12); d.setPatchStride(8); d.setFinestScale(1)
        state.update(a=a, b=b, d=d); return 0
    if w[0] == 'epe':
        f = state['flow']; h, wd = f.shape[:2]
        y, x = np.mgrid[0:h, 0:wd].astype(np.float64)
        u = 3 + 3 * np.sin(x / 200.0) * np.cos(y / 170.0); v = -2 + 2 * np.cos(x / 260.0)
        e = np.hypot(f[..., 0] - u, f[..., 1] - v)[8:h - 8, 8:wd - 8]
        return float(e.mean())
    cv2.setNumThreads(int(w[1]))
    t = time.perf_counter(); state['flow'] = state['d'].calc(state['a'], state['b'], None)
    return time.perf_counter() - t
)";

// Our DIS against cv2's on one thread (a call inside a parallel worker runs inline, as the
// dense stage's pairs do), run by run alternated with a Python child on the same cores. Time
// reported: ours; counters: both medians, their ratio (below 1: ours is faster) and both
// mean endpoint errors against the true warp.
void BM_dis_vs_cv2_one_thread(benchmark::State& state) {
  const Pair& p = pair();
  tsl_bench::PeerChild cv2(CV2_PEER);
  const auto dir = std::filesystem::temp_directory_path();
  const auto pa = dir / "tsl_flow_bench_peer_a.npy", pb = dir / "tsl_flow_bench_peer_b.npy";
  for (const auto& [path, img] : {std::pair{pa, &p.a}, std::pair{pb, &p.b}}) {
    const std::vector<uint8_t> bytes = npy_write(NpyArray{img->data, {H, W}});
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  const bool have_cv2 = cv2.request("load " + pa.string() + " " + pb.string()).has_value();
  for (const auto& f : {pa, pb}) std::filesystem::remove(f);
  std::vector<double> ours, theirs;
  double our_epe = 0;
  par_map(2, 2, [&](size_t i) {
    if (i != 0) return 0;
    our_epe = endpoint_error(dis_flow(p.a, p.b));
    if (have_cv2) cv2.request("run 1");
    for (auto _ : state) {
      const auto t0 = std::chrono::steady_clock::now();
      benchmark::DoNotOptimize(dis_flow(p.a, p.b).u.data());
      ours.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
      state.SetIterationTime(ours.back());
      if (have_cv2)
        if (auto t = cv2.request("run 1")) theirs.push_back(*t);
    }
    return 0;
  });
  state.counters["ours_ms"] = tsl_bench::median(ours) * 1e3;
  state.counters["ours_epe_px"] = our_epe;
  if (theirs.empty()) return state.SkipWithError("python3-opencv is not available");
  state.counters["cv2_ms"] = tsl_bench::median(theirs) * 1e3;
  state.counters["ratio"] = tsl_bench::median(ours) / tsl_bench::median(theirs);
  if (auto e = cv2.request("epe")) state.counters["cv2_epe_px"] = *e;
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

BENCHMARK(BM_dis_vs_cv2_one_thread)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(9);
TSL_OURS(BM_dis_one_thread);
TSL_CV2(one_thread, 1);
TSL_OURS(BM_dis_all_threads);
TSL_CV2(all_threads, -1);
TSL_OURS(BM_lk_one_thread);
TSL_OURS(BM_lk_all_threads);

BENCHMARK_MAIN();
