// DNG development of a 20-megapixel lossless-JPEG CFA file (5472 x 3648, 256 x 256 tiles of
// 2-component frames, as drones write them), at full and half size, against LibRaw's
// `dcraw_emu -4 -T` on the same file; the raw read and one tile's decode on their own; and the
// peak memory of one decode, alone and four at once.
//
// The file is made once by tests/img/dng/dng_fixtures.py (python3 with numpy and tifffile)
// and kept in the system's temp folder; TSL_BENCH_DNG names another file to use instead.
//   cmake --build build --target bench && ./build/dng_bench
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "img/dng/develop.h"
#include "img/dng/dng_raw.h"
#include "img/dng/ljpeg.h"
#include "img/tiff/tiff_file.h"
#include "util/par.h"

namespace {

namespace fs = std::filesystem;

fs::path bench_file() {
  if (const char* env = std::getenv("TSL_BENCH_DNG")) return env;
  const fs::path path = fs::temp_directory_path() / "tsl_bench_20mp_ljpeg.dng";
  if (!fs::exists(path)) {
    const std::string tmp = path.string() + ".part";
    const std::string cmd = "/usr/bin/python3 " + std::string(TSL_SOURCE_DIR) +
                            "/tests/img/dng/dng_fixtures.py --big 5472 3648 '" + tmp + "'";
    if (std::system(cmd.c_str()) != 0) return {};
    fs::rename(tmp, path);
  }
  return path;
}

const std::vector<uint8_t>& file_bytes() {
  static const std::vector<uint8_t> bytes = [] {
    std::ifstream in(bench_file(), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }();
  return bytes;
}

// A size line of /proc/self/status ("VmHWM:" the resident peak, "VmRSS:" the resident size),
// in bytes; clear_peak() restarts the peak from the current size.
uint64_t status_bytes(const std::string& name) {
  std::ifstream status("/proc/self/status");
  std::string key;
  uint64_t kb = 0;
  while (status >> key) {
    if (key == name) {
      status >> kb;
      return kb * 1024;
    }
    status.ignore(1 << 10, '\n');
  }
  return 0;
}
void clear_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

void develop(benchmark::State& state, bool half) {
  const auto& bytes = file_bytes();
  if (bytes.empty()) return state.SkipWithError("no benchmark DNG (python3 with numpy and tifffile needed)");
  for (auto _ : state) {
    auto image = tsl::develop_dng(bytes, half);
    if (!image) return state.SkipWithError(image.error().c_str());
    benchmark::DoNotOptimize(image->data.data());
  }
  state.counters["Mpix"] = 5472.0 * 3648.0 / 1e6;
}

void BM_DevelopFull(benchmark::State& state) { develop(state, false); }
void BM_DevelopHalf(benchmark::State& state) { develop(state, true); }

void BM_ReadRaw(benchmark::State& state) {
  const auto& bytes = file_bytes();
  if (bytes.empty()) return state.SkipWithError("no benchmark DNG");
  for (auto _ : state) {
    auto file = tsl::parse_tiff(bytes);
    auto raw = tsl::read_dng_raw(*file);
    if (!raw) return state.SkipWithError(raw.error().c_str());
    benchmark::DoNotOptimize(raw->samples.data());
  }
}

// One 256 x 256 tile on one thread: the decoder's own speed.
void BM_LjpegTile(benchmark::State& state) {
  const auto& bytes = file_bytes();
  if (bytes.empty()) return state.SkipWithError("no benchmark DNG");
  auto file = tsl::parse_tiff(bytes);
  const tsl::Ifd* raw = tsl::find_raw_ifd(*file);
  const auto offset = tsl::tag_u64s(*tsl::find_entry(*raw, 324), true)[0];
  const auto count = tsl::tag_u64s(*tsl::find_entry(*raw, 325), true)[0];
  const std::span<const uint8_t> tile(bytes.data() + offset, count);
  for (auto _ : state) {
    auto frame = tsl::decode_ljpeg(tile, 1 << 16);
    benchmark::DoNotOptimize(frame->samples.data());
  }
  state.SetItemsProcessed(state.iterations() * 65536);
}

// The yardstick: LibRaw's linear 16-bit development (AHD demosaic) of the same file, as a
// separate process writing its TIFF to /dev/null.
void BM_DcrawEmuLinear16(benchmark::State& state) {
  const fs::path path = bench_file();
  if (path.empty() || std::system("command -v dcraw_emu >/dev/null") != 0)
    return state.SkipWithError("dcraw_emu (libraw-bin) not installed");
  const std::string cmd = "dcraw_emu -4 -T -Z - '" + path.string() + "' > /dev/null";
  for (auto _ : state)
    if (std::system(cmd.c_str()) != 0) return state.SkipWithError("dcraw_emu failed");
}

// Peak memory above the resident size before the decodes, per decode; `concurrent` decodes
// run at once on a loop's workers (where each development runs on its own thread, as inside
// the feature extraction or the render).
void BM_PeakMemory(benchmark::State& state) {
  const auto& bytes = file_bytes();
  if (bytes.empty()) return state.SkipWithError("no benchmark DNG");
  const size_t concurrent = static_cast<size_t>(state.range(0));
  const bool half = state.range(1) != 0;
  double per_decode = 0.0;
  for (auto _ : state) {
    clear_peak();
    const uint64_t base = status_bytes("VmRSS:");
    tsl::par_map(concurrent, concurrent, [&](size_t) {
      auto image = tsl::develop_dng(bytes, half);
      return image ? image->data.size() : 0;
    });
    per_decode = static_cast<double>(status_bytes("VmHWM:") - base) / static_cast<double>(concurrent);
  }
  state.counters["peak_MB_per_decode"] = per_decode / 1e6;
}

BENCHMARK(BM_DevelopFull)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_DevelopHalf)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_ReadRaw)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LjpegTile)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DcrawEmuLinear16)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_PeakMemory)->Args({1, 0})->Args({1, 1})->Args({4, 0})->Args({4, 1})->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
