// The adjustment at scale on generated flights (poses and ties only, no images): the time of
// one Levenberg-Marquardt iteration (Jacobian, normal equations, one factorisation and one
// residual evaluation) and of a whole planar round, with the peak resident memory of each
// run (the peak is reset before every run where the system allows it).
//
//   cmake --build build --target adjust_bench && ./build/adjust_bench
//   ./build/adjust_bench --benchmark_filter=/2000   (the large case)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "../tests/adjust/synthetic_flight.h"
#include "adjust/solver.h"

namespace {

// Peak resident set of this process so far, bytes (0 where /proc is missing).
double peak_rss_bytes() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmHWM:") {
      double kb = 0;
      status >> kb;
      return kb * 1024.0;
    }
    std::getline(status, key);
  }
  return 0.0;
}

// A square-ish lawnmower block of `photos` photos, about 12 tie pairs per photo with 25 ties
// each (what --max-ties and --neighbors give after thinning), full self-calibration.
tsl::AdjustProblem block(size_t photos) {
  tsl::test::FlightSpec spec;
  spec.legs = static_cast<size_t>(std::sqrt(static_cast<double>(photos)) * 0.9);
  spec.photos_per_leg = (photos + spec.legs - 1) / spec.legs;
  spec.ties_per_pair = 25;
  spec.true_selfcal = {-0.03, 0.01};
  return tsl::test::flight_problem(tsl::test::make_flight(spec), true, 6);
}

// Starts a new peak for VmHWM (Linux 4.0 and later; elsewhere the peak stays process-wide).
void reset_peak_rss() { std::ofstream("/proc/self/clear_refs") << "5"; }

// `relief`: one height per tie after the base parameters, as in the relief stage.
void run(benchmark::State& state, size_t max_evals, bool relief = false) {
  reset_peak_rss();
  tsl::AdjustProblem p = block(static_cast<size_t>(state.range(0)));
  // The driver holds the tie-height prior at the flying height.
  if (relief) p.relief_ref_height = tsl::test::FlightSpec{}.altitude_m;
  const std::vector<uint8_t> mask(p.tie_photo_a.size(), 1);
  const size_t params = p.first_height + (relief ? p.tie_photo_a.size() : 0);
  size_t evals = 0;
  double seconds = 0.0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    auto lm = tsl::levenberg_marquardt(p, std::vector<double>(params, 0.0), mask, max_evals);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    evals = lm.evals;
    benchmark::DoNotOptimize(lm.params.data());
  }
  // Each evaluation after the first is one trial step: with the factorisation, the bulk of
  // an iteration.
  state.counters["s_per_trial"] = seconds / static_cast<double>(std::max<size_t>(evals, 2) - 1);
  state.counters["photos"] = static_cast<double>(p.photo_count);
  state.counters["ties"] = static_cast<double>(p.tie_photo_a.size());
  state.counters["P0"] = static_cast<double>(p.first_height);
  state.counters["evals"] = static_cast<double>(evals);
  state.counters["peak_GB"] = peak_rss_bytes() / 1e9;
}

// One outer iteration: the initial evaluation plus one trial.
void BM_lm_iteration(benchmark::State& state) { run(state, 2); }
// A planar round with the default budget of 60 evaluations.
void BM_lm_round(benchmark::State& state) { run(state, 60); }
// A relief round: the tie heights are eliminated into the photo system.
void BM_lm_relief_round(benchmark::State& state) { run(state, 60, true); }

BENCHMARK(BM_lm_iteration)->Arg(18)->Arg(500)->Arg(2000)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_lm_round)->Arg(18)->Arg(500)->Arg(2000)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_lm_relief_round)->Arg(500)->Arg(2000)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
