// Cholesky factor + solve against numpy.linalg.cholesky + scipy cho_solve on the same kind of
// matrix, side by side in one run. numpy runs in a child process (Debian's python3, with
// whatever BLAS the system provides) and reports its own per-run times, which become the
// manual times of the "numpy" rows.
//
//   cmake --build build --target bench && ./build/cholesky_bench
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "linalg/cholesky.h"

namespace {

// A random symmetric matrix made positive definite by a dominant diagonal: cheap to build at
// n = 3000, where forming M M^T would cost more than the factorisation.
std::vector<double> random_spd(size_t n, uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> a(n * n);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j <= i; ++j) a[i * n + j] = a[j * n + i] = u(rng);
  for (size_t i = 0; i < n; ++i) a[i * n + i] += static_cast<double>(n);
  return a;
}

void BM_tessaly_factor_solve(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const std::vector<double> a0 = random_spd(n, 7);
  std::vector<double> b(n, 1.0);
  std::vector<double> a;
  for (auto _ : state) {
    state.PauseTiming();
    a = a0;
    state.ResumeTiming();
    if (!tsl::cholesky_factor(a, n)) state.SkipWithError("not positive definite");
    benchmark::DoNotOptimize(tsl::cholesky_solve(a, n, b));
  }
  state.counters["GFLOP/s"] = benchmark::Counter(static_cast<double>(n) * n * n / 3.0,
                                                 benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_tessaly_factor_solve)->Arg(500)->Arg(1000)->Arg(3000)->Unit(benchmark::kMillisecond)->UseRealTime();

// Runs numpy once for size n and returns its per-run seconds (empty when python3 or numpy
// is missing).
std::vector<double> numpy_times(size_t n, int runs) {
  const std::string script =
      "import sys, time, numpy as np, scipy.linalg as sl\n"
      "n, runs = int(sys.argv[1]), int(sys.argv[2])\n"
      "rng = np.random.default_rng(7)\n"
      "a = rng.uniform(-1, 1, (n, n)); a = np.tril(a) + np.tril(a, -1).T + n * np.eye(n)\n"
      "b = np.ones(n)\n"
      "for _ in range(runs):\n"
      "    t = time.perf_counter(); l = np.linalg.cholesky(a); x = sl.cho_solve((l, True), b)\n"
      "    print(time.perf_counter() - t)\n";
  const std::string cmd = "/usr/bin/python3 -c '" + script + "' " + std::to_string(n) + " " + std::to_string(runs);
  std::vector<double> times;
  FILE* pipe = popen(cmd.c_str(), "r");
  if (!pipe) return times;
  double t = 0.0;
  while (std::fscanf(pipe, "%lf", &t) == 1) times.push_back(t);
  pclose(pipe);
  return times;
}

void BM_numpy_factor_solve(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const std::vector<double> times = numpy_times(n, 5);
  if (times.empty()) {
    state.SkipWithError("python3 with numpy and scipy not available");
    return;
  }
  size_t k = 0;
  for (auto _ : state) state.SetIterationTime(times[k++ % times.size()]);
  state.counters["GFLOP/s"] = benchmark::Counter(static_cast<double>(n) * n * n / 3.0,
                                                 benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_numpy_factor_solve)->Arg(500)->Arg(1000)->Arg(3000)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
