// JPEG decode and encode speed against libjpeg-turbo's djpeg and cjpeg, side by side on one
// 20-megapixel photograph: a drone photo from ../shared/data upscaled to 5472 x 3648 by PIL and
// written by cjpeg at quality 92 with 4:2:0 chroma. The tools run as processes writing to
// /dev/null, so their figures include process start and file reading (a few milliseconds).
//
// Run: cmake --build build --target bench && ./build/jpeg_bench
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "img/jpeg/decode.h"
#include "img/jpeg/encode.h"
#include "img/jpeg/simd.h"
#include "platform/cpu.h"
#include "util/par.h"

namespace {

namespace fs = std::filesystem;

const fs::path WORK = fs::temp_directory_path() / "tsl_jpeg_bench";
const fs::path PHOTO_PPM = WORK / "photo20mp.ppm";
const fs::path PHOTO_JPG = WORK / "photo20mp_q92_420.jpg";

std::vector<uint8_t> read_bytes(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

bool run(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

// Makes the test photograph once; false when the data or the tools are missing.
bool ensure_photo() {
  if (fs::exists(PHOTO_JPG) && fs::exists(PHOTO_PPM)) return true;
  fs::create_directories(WORK);
  const fs::path src = fs::path(TSL_SOURCE_DIR) / ".." / "shared" / "data" / "dji-phantom3-brighton-beach" / "DJI_0018.JPG";
  if (!fs::exists(src)) return false;
  const std::string py =
      "/usr/bin/python3 -c \"import sys; from PIL import Image; "
      "Image.open(sys.argv[1]).convert('RGB').resize((5472, 3648), Image.LANCZOS).save(sys.argv[2])\" '" +
      src.string() + "' '" + PHOTO_PPM.string() + "'";
  if (!run(py)) return false;
  return run("cjpeg -quality 92 -sample 2x2 -outfile '" + PHOTO_JPG.string() + "' '" + PHOTO_PPM.string() + "'");
}

tsl::ImageU8 read_ppm(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::string magic;
  size_t w = 0, h = 0, maxval = 0;
  f >> magic >> w >> h >> maxval;
  f.get();
  tsl::ImageU8 img(w, h, 3);
  f.read(reinterpret_cast<char*>(img.data.data()), static_cast<std::streamsize>(img.data.size()));
  return img;
}

// Runs `body` on a loop worker, where every parallel loop inside runs inline: one thread.
template <typename F>
void single_threaded(F&& body) {
  tsl::par_map(2, 2, [&](size_t i) {
    if (i == 0) body();
    return 0;
  });
}

void BM_decode(benchmark::State& state) {
  if (!ensure_photo()) return state.SkipWithError("no photo (needs ../shared/data, PIL and cjpeg)");
  const auto bytes = read_bytes(PHOTO_JPG);
  const auto denominator = static_cast<unsigned>(state.range(0));
  const bool one_thread = state.range(1) != 0;
  const tsl::platform::CpuFeatures saved = tsl::platform::cpu_features();
  if (state.range(2) == 0) tsl::platform::allow_cpu_features({});
  const bool vector = tsl::jpeg_vector_path();
  for (auto _ : state) {
    if (one_thread) {
      single_threaded([&] { benchmark::DoNotOptimize(tsl::decode_jpeg(bytes, denominator)); });
    } else {
      benchmark::DoNotOptimize(tsl::decode_jpeg(bytes, denominator));
    }
  }
  tsl::platform::allow_cpu_features(saved);
  state.SetLabel(std::string(one_thread ? "ours, 1 thread" : "ours, all threads") + (vector ? ", vector" : ", plain"));
}
BENCHMARK(BM_decode)->ArgNames({"denominator", "one_thread", "vector"})->Args({1, 0, 1})->Args({1, 1, 1})->Args({1, 1, 0})
    ->Args({8, 0, 1})->Args({8, 1, 1})->Args({8, 1, 0})
    ->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_djpeg(benchmark::State& state) {
  if (!ensure_photo()) return state.SkipWithError("no photo (needs ../shared/data, PIL and cjpeg)");
  const std::string args = state.range(0) == 1 ? "-dct float" : "-scale 1/" + std::to_string(state.range(0));
  const std::string cmd = "djpeg " + args + " '" + PHOTO_JPG.string() + "' > /dev/null";
  for (auto _ : state)
    if (!run(cmd)) return state.SkipWithError("djpeg failed");
  state.SetLabel("djpeg " + args);
}
BENCHMARK(BM_djpeg)->ArgName("denominator")->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_encode(benchmark::State& state) {
  if (!ensure_photo()) return state.SkipWithError("no photo (needs ../shared/data, PIL and cjpeg)");
  const tsl::ImageU8 img = read_ppm(PHOTO_PPM);
  const auto quality = static_cast<uint32_t>(state.range(0));
  const bool one_thread = state.range(1) != 0;
  const tsl::platform::CpuFeatures saved = tsl::platform::cpu_features();
  if (state.range(2) == 0) tsl::platform::allow_cpu_features({});
  const bool vector = tsl::jpeg_vector_path();
  size_t bytes = 0;
  for (auto _ : state) {
    auto run_once = [&] {
      auto out = tsl::encode_jpeg(img, quality);
      bytes = out->size();
      benchmark::DoNotOptimize(out);
    };
    if (one_thread) {
      single_threaded(run_once);
    } else {
      run_once();
    }
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  tsl::platform::allow_cpu_features(saved);
  state.SetLabel(std::string(one_thread ? "ours, 1 thread, " : "ours, all threads, ") + (quality < 90 ? "4:2:0" : "4:4:4") +
                 (vector ? ", vector" : ", plain"));
}
BENCHMARK(BM_encode)->ArgNames({"quality", "one_thread", "vector"})->Args({92, 0, 1})->Args({92, 1, 1})->Args({92, 1, 0})
    ->Args({82, 0, 1})->Args({82, 1, 1})->Args({82, 1, 0})
    ->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_cjpeg(benchmark::State& state) {
  if (!ensure_photo()) return state.SkipWithError("no photo (needs ../shared/data, PIL and cjpeg)");
  const auto quality = state.range(0);
  // Our encoder keeps full chroma from quality 90 on; cjpeg is asked for the same.
  const std::string sample = quality >= 90 ? "1x1" : "2x2";
  const std::string cmd = "cjpeg -quality " + std::to_string(quality) + " -sample " + sample + " '" +
                          PHOTO_PPM.string() + "' > /dev/null";
  for (auto _ : state)
    if (!run(cmd)) return state.SkipWithError("cjpeg failed");
  state.SetLabel("cjpeg -sample " + sample);
}
BENCHMARK(BM_cjpeg)->ArgName("quality")->Arg(92)->Arg(82)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
