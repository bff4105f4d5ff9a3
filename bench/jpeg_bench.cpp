// JPEG decode and encode speed against libjpeg-turbo (TurboJPEG API) in the same process, on
// the same bytes and the same pixels, one thread each. Inputs: a Brighton drone frame as the
// camera wrote it (4000 x 3000, from ../shared/data) and a generated 4000 x 3000 frame
// (texture, edges and noise) encoded once by libjpeg-turbo at quality 90, 4:2:0; without
// libjpeg-turbo by our encoder at quality 82. Our encoder and libjpeg-turbo's are given the
// same quality and chroma sampling (4:4:4 from quality 90, 4:2:0 below, as ours chooses).
// "minflt" is the minor page faults per iteration.
//
// Our "1 thread" cases run inside a loop worker, where every parallel loop of the decoder runs
// inline. "Time" is wall time, "CPU" the process's CPU time (on a busy machine the steadier of
// the two). For figures to compare, pin to one core and interleave the cases, and take the
// ratios of the medians:
//
//   cmake --build build --target bench
//   taskset -c 5 ./build/jpeg_bench --benchmark_repetitions=7 --benchmark_enable_random_interleaving=true
//       --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "img/jpeg/decode.h"
#include "img/jpeg/encode.h"
#include "img/jpeg/simd.h"
#include "platform/cpu.h"
#include "util/par.h"

#if TSL_HAVE_TURBOJPEG
#include <turbojpeg.h>
#endif

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes read_bytes(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

// Smooth shading, edges and sensor noise, roughly what a photograph of the ground holds.
tsl::ImageU8 generated_pixels() {
  tsl::ImageU8 img(4000, 3000, 3);
  std::mt19937 rng(1);
  std::normal_distribution<double> noise(0.0, 4.0);
  for (size_t y = 0; y < img.height; ++y)
    for (size_t x = 0; x < img.width; ++x)
      for (size_t c = 0; c < 3; ++c) {
        const double v = 110 + 50 * std::sin(static_cast<double>(x) * 0.013 + static_cast<double>(c)) *
                                   std::cos(static_cast<double>(y) * 0.011) +
                         static_cast<double>((x / 97 + y / 61) % 3) * 25 + noise(rng);
        img.row(y)[x * 3 + c] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
      }
  return img;
}

struct Input {
  std::string name;
  Bytes jpeg;
  tsl::ImageU8 pixels;  // what the encoders are given
};

// 0: the Brighton frame (empty when the data is absent), 1: the generated frame.
const Input& input(int which) {
  static const std::vector<Input> inputs = [] {
    std::vector<Input> v(2);
    v[0].name = "brighton";
    const fs::path photo =
        fs::path(TSL_SOURCE_DIR) / ".." / "shared" / "data" / "dji-phantom3-brighton-beach" / "DJI_0018.JPG";
    if (fs::exists(photo)) {
      v[0].jpeg = read_bytes(photo);
      if (auto img = tsl::decode_jpeg(v[0].jpeg)) v[0].pixels = std::move(*img);
    }
    v[1].name = "generated";
    v[1].pixels = generated_pixels();
#if TSL_HAVE_TURBOJPEG
    tjhandle h = tjInitCompress();
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    if (tjCompress2(h, v[1].pixels.data.data(), static_cast<int>(v[1].pixels.width), 0,
                    static_cast<int>(v[1].pixels.height), TJPF_RGB, &buf, &size, TJSAMP_420, 90, 0) == 0)
      v[1].jpeg.assign(buf, buf + size);
    tjFree(buf);
    tjDestroy(h);
#else
    v[1].jpeg = *tsl::encode_jpeg(v[1].pixels, 82);
#endif
    return v;
  }();
  return inputs[static_cast<size_t>(which)];
}

// Runs `body` on a loop worker, where every parallel loop inside runs inline: one thread.
template <typename F>
void single_threaded(F&& body) {
  tsl::par_map(2, 2, [&](size_t i) {
    if (i == 0) body();
    return 0;
  });
}

long minor_faults() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_minflt;
}

// Labels the case and counts page faults from `faults0` on.
void finish(benchmark::State& state, const std::string& label, long faults0) {
  state.counters["minflt"] = benchmark::Counter(static_cast<double>(minor_faults() - faults0),
                                                benchmark::Counter::kAvgIterations);
  state.SetLabel(label);
}

void BM_decode(benchmark::State& state) {
  const Input& in = input(static_cast<int>(state.range(0)));
  if (in.jpeg.empty()) return state.SkipWithError("no Brighton frame (needs ../shared/data)");
  const auto denominator = static_cast<unsigned>(state.range(1));
  const bool one_thread = state.range(2) != 0;
  const tsl::platform::CpuFeatures saved = tsl::platform::cpu_features();
  if (state.range(3) == 0) tsl::platform::allow_cpu_features({});
  const bool vector = tsl::jpeg_vector_path();
  // Like libjpeg-turbo's case, a reused output image unless `fresh` asks for a new one each time.
  const bool fresh = state.range(4) != 0;
  tsl::ImageU8 out;
  const long f0 = minor_faults();
  for (auto _ : state) {
    auto once = [&] {
      if (fresh) {
        benchmark::DoNotOptimize(tsl::decode_jpeg(in.jpeg, denominator));
      } else if (!tsl::decode_jpeg_into(in.jpeg, denominator, out)) {
        state.SkipWithError("decode failed");
      }
      benchmark::DoNotOptimize(out.data.data());
    };
    if (one_thread) {
      single_threaded(once);
    } else {
      once();
    }
  }
  tsl::platform::allow_cpu_features(saved);
  finish(state, in.name + ", ours, " + (one_thread ? "1 thread" : "all threads") + (vector ? ", vector" : ", plain") +
                    (fresh ? ", new image" : ""), f0);
}
BENCHMARK(BM_decode)->ArgNames({"input", "denominator", "one_thread", "vector", "fresh"})
    ->ArgsProduct({{0, 1}, {1, 8}, {1}, {1}, {0}})->Args({0, 1, 1, 0, 0})->Args({0, 1, 0, 1, 0})->Args({0, 1, 1, 1, 1})
    ->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->MinTime(1.0);

void BM_encode(benchmark::State& state) {
  const Input& in = input(static_cast<int>(state.range(0)));
  if (in.pixels.empty()) return state.SkipWithError("no Brighton frame (needs ../shared/data)");
  const auto quality = static_cast<uint32_t>(state.range(1));
  const bool one_thread = state.range(2) != 0;
  const tsl::platform::CpuFeatures saved = tsl::platform::cpu_features();
  if (state.range(3) == 0) tsl::platform::allow_cpu_features({});
  const bool vector = tsl::jpeg_vector_path();
  size_t bytes = 0;
  const long f0 = minor_faults();
  for (auto _ : state) {
    auto once = [&] {
      auto out = tsl::encode_jpeg(in.pixels, quality);
      bytes = out->size();
      benchmark::DoNotOptimize(out);
    };
    if (one_thread) {
      single_threaded(once);
    } else {
      once();
    }
  }
  tsl::platform::allow_cpu_features(saved);
  state.counters["bytes"] = static_cast<double>(bytes);
  finish(state, in.name + ", ours, " + (one_thread ? "1 thread, " : "all threads, ") + (quality < 90 ? "4:2:0" : "4:4:4") +
                    (vector ? ", vector" : ", plain"), f0);
}
BENCHMARK(BM_encode)->ArgNames({"input", "quality", "one_thread", "vector"})
    ->ArgsProduct({{0, 1}, {92, 82}, {1}, {1}})->Args({0, 92, 1, 0})->Args({0, 92, 0, 1})
    ->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->MinTime(1.0);

#if TSL_HAVE_TURBOJPEG
// libjpeg-turbo's default (accurate integer) transform into an output buffer made once, as a
// program decoding photo after photo would keep it.
void BM_turbo_decode(benchmark::State& state) {
  const Input& in = input(static_cast<int>(state.range(0)));
  if (in.jpeg.empty()) return state.SkipWithError("no Brighton frame (needs ../shared/data)");
  const int denominator = static_cast<int>(state.range(1));
  tjhandle h = tjInitDecompress();
  int w = 0, ht = 0, sub = 0, cs = 0;
  tjDecompressHeader3(h, in.jpeg.data(), in.jpeg.size(), &w, &ht, &sub, &cs);
  const tjscalingfactor sf{1, denominator};
  const int ow = TJSCALED(w, sf), oh = TJSCALED(ht, sf);
  Bytes out(static_cast<size_t>(ow) * static_cast<size_t>(oh) * 3);
  const long f0 = minor_faults();
  for (auto _ : state)
    if (tjDecompress2(h, in.jpeg.data(), in.jpeg.size(), out.data(), ow, 0, oh, TJPF_RGB, 0) != 0)
      return state.SkipWithError(tjGetErrorStr2(h));
  tjDestroy(h);
  finish(state, in.name + ", libjpeg-turbo", f0);
}
BENCHMARK(BM_turbo_decode)->ArgNames({"input", "denominator"})->ArgsProduct({{0, 1}, {1, 8}})
    ->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->MinTime(1.0);

void BM_turbo_encode(benchmark::State& state) {
  const Input& in = input(static_cast<int>(state.range(0)));
  if (in.pixels.empty()) return state.SkipWithError("no Brighton frame (needs ../shared/data)");
  const int quality = static_cast<int>(state.range(1));
  const int sub = quality >= 90 ? TJSAMP_444 : TJSAMP_420;
  const int w = static_cast<int>(in.pixels.width), ht = static_cast<int>(in.pixels.height);
  tjhandle h = tjInitCompress();
  unsigned long cap = tjBufSize(w, ht, sub);
  unsigned char* buf = tjAlloc(static_cast<int>(cap));
  unsigned long size = 0;
  const long f0 = minor_faults();
  for (auto _ : state) {
    size = cap;
    if (tjCompress2(h, in.pixels.data.data(), w, 0, ht, TJPF_RGB, &buf, &size, sub, quality, TJFLAG_NOREALLOC) != 0)
      return state.SkipWithError(tjGetErrorStr2(h));
  }
  tjFree(buf);
  tjDestroy(h);
  state.counters["bytes"] = static_cast<double>(size);
  finish(state, in.name + std::string(", libjpeg-turbo, ") + (quality < 90 ? "4:2:0" : "4:4:4"), f0);
}
BENCHMARK(BM_turbo_encode)->ArgNames({"input", "quality"})->ArgsProduct({{0, 1}, {92, 82}})
    ->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->MinTime(1.0);
#endif

}  // namespace

BENCHMARK_MAIN();
