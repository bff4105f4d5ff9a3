// Deflate and inflate against zlib and libdeflate (where found) in one process, on what the
// GeoTIFF writer compresses: 512 x 512 RGBA tiles of a drone photograph, 8 bits per sample,
// each sample minus the same channel of the pixel to its left. The photo is decoded once by
// Debian's python3 + PIL from the shared data, before any case is timed; without them a
// photo-like synthetic texture stands in (the run says which).
//
//   cmake --build build --target bench
//   taskset -c 5 ./build/deflate_bench --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
//
// Throughput counters are in input (deflate) or output (inflate) bytes; "ratio_pct" is the
// compressed size in percent of the raw tiles.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "util/deflate.h"

#if TSL_HAVE_ZLIB
#include <zlib.h>
#endif
#if TSL_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace {

using namespace tsl;
using Bytes = std::vector<uint8_t>;

constexpr size_t TILE = 512;
constexpr size_t TILES = 16;

struct Photo {
  size_t width = 0, height = 0;
  Bytes rgb;
  std::string source;
};

Photo decode_photo() {
  Photo p;
  const std::filesystem::path jpg =
      std::filesystem::path(TSL_SOURCE_DIR) / ".." / "shared" / "data" / "dji-phantom3-brighton-beach" / "DJI_0018.JPG";
  const std::filesystem::path raw = std::filesystem::temp_directory_path() / "tsl_deflate_bench_photo.rgb";
  if (std::filesystem::exists(jpg)) {
    const std::string cmd = "/usr/bin/python3 -c \"import sys, PIL.Image; im = PIL.Image.open(sys.argv[1]).convert('RGB'); "
                            "open(sys.argv[2], 'wb').write(im.tobytes()); print(im.size[0], im.size[1])\" '" +
                            jpg.string() + "' '" + raw.string() + "'";
    if (FILE* f = popen(cmd.c_str(), "r")) {
      unsigned long w = 0, h = 0;
      if (std::fscanf(f, "%lu %lu", &w, &h) == 2 && w >= TILE * 4 && h >= TILE * 4) {
        std::ifstream in(raw, std::ios::binary);
        p.rgb.assign(std::istreambuf_iterator<char>(in), {});
        if (p.rgb.size() == w * h * 3) {
          p.width = w, p.height = h;
          p.source = jpg.filename().string();
        }
      }
      pclose(f);
    }
    std::filesystem::remove(raw);
  }
  if (p.source.empty()) {
    // Smooth shading, edges and sensor noise, roughly what a photograph of the ground holds.
    p.width = 4000, p.height = 2250;
    p.rgb.resize(p.width * p.height * 3);
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0.0, 4.0);
    for (size_t y = 0; y < p.height; ++y)
      for (size_t x = 0; x < p.width; ++x)
        for (size_t c = 0; c < 3; ++c) {
          double v = 110 + 50 * std::sin(x * 0.013 + c) * std::cos(y * 0.011) + ((x / 97 + y / 61) % 3) * 25 + noise(rng);
          p.rgb[(y * p.width + x) * 3 + c] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
        }
    p.source = "synthetic texture";
  }
  return p;
}

// Tiles from a 4 x 4 grid in the middle of the photo, alpha 255, differenced per channel.
const std::vector<Bytes>& tiles() {
  static const std::vector<Bytes> t = [] {
    const Photo p = decode_photo();
    std::fprintf(stderr, "deflate_bench: tiles from %s (%zu x %zu)\n", p.source.c_str(), p.width, p.height);
    std::vector<Bytes> out;
    const size_t x0 = (p.width - 4 * TILE) / 2, y0 = (p.height - 4 * TILE) / 2;
    for (size_t k = 0; k < TILES; ++k) {
      Bytes tile(TILE * TILE * 4);
      for (size_t y = 0; y < TILE; ++y) {
        const uint8_t* src = p.rgb.data() + ((y0 + (k / 4) * TILE + y) * p.width + x0 + (k % 4) * TILE) * 3;
        uint8_t prev[4] = {0, 0, 0, 0};
        for (size_t x = 0; x < TILE; ++x) {
          const uint8_t px[4] = {src[x * 3], src[x * 3 + 1], src[x * 3 + 2], 255};
          for (size_t c = 0; c < 4; ++c) {
            tile[(y * TILE + x) * 4 + c] = static_cast<uint8_t>(px[c] - prev[c]);
            prev[c] = px[c];
          }
        }
      }
      out.push_back(std::move(tile));
    }
    return out;
  }();
  return t;
}

size_t raw_bytes() { return TILES * TILE * TILE * 4; }

void report(benchmark::State& state, size_t packed, size_t bytes_per_iteration) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes_per_iteration));
  state.counters["ratio_pct"] = 100.0 * static_cast<double>(packed) / static_cast<double>(raw_bytes());
}

void BM_tsl_zlib_compress(benchmark::State& state) {
  const unsigned level = static_cast<unsigned>(state.range(0));
  size_t packed = 0;
  for (auto _ : state) {
    packed = 0;
    for (const Bytes& t : tiles()) packed += zlib_compress(t, level).size();
  }
  report(state, packed, raw_bytes());
}
BENCHMARK(BM_tsl_zlib_compress)->Arg(6)->Arg(1)->Unit(benchmark::kMillisecond);

std::vector<Bytes> tsl_streams(unsigned level) {
  std::vector<Bytes> s;
  for (const Bytes& t : tiles()) s.push_back(zlib_compress(t, level));
  return s;
}

void BM_tsl_inflate(benchmark::State& state) {
  const auto streams = tsl_streams(6);
  for (auto _ : state)
    for (const Bytes& z : streams) {
      auto out = inflate(std::span(z).subspan(2), TILE * TILE * 4);
      if (!out) state.SkipWithError(out.error().c_str());
      benchmark::DoNotOptimize(out->data());
    }
  report(state, 0, raw_bytes());
}
BENCHMARK(BM_tsl_inflate)->Unit(benchmark::kMillisecond);

#if TSL_HAVE_ZLIB
void BM_zlib_compress2(benchmark::State& state) {
  const int level = static_cast<int>(state.range(0));
  size_t packed = 0;
  Bytes out(compressBound(TILE * TILE * 4));
  for (auto _ : state) {
    packed = 0;
    for (const Bytes& t : tiles()) {
      uLongf len = out.size();
      if (compress2(out.data(), &len, t.data(), t.size(), level) != Z_OK) state.SkipWithError("compress2 failed");
      packed += len;
    }
  }
  report(state, packed, raw_bytes());
}
BENCHMARK(BM_zlib_compress2)->Arg(6)->Arg(1)->Unit(benchmark::kMillisecond);

// zlib's inflate on the same streams as BM_tsl_inflate.
void BM_zlib_uncompress(benchmark::State& state) {
  const auto streams = tsl_streams(6);
  Bytes out(TILE * TILE * 4);
  for (auto _ : state)
    for (const Bytes& z : streams) {
      uLongf len = out.size();
      if (uncompress(out.data(), &len, z.data(), z.size()) != Z_OK) state.SkipWithError("uncompress failed");
      benchmark::DoNotOptimize(out.data());
    }
  report(state, 0, raw_bytes());
}
BENCHMARK(BM_zlib_uncompress)->Unit(benchmark::kMillisecond);
#endif

#if TSL_HAVE_LIBDEFLATE
void BM_libdeflate_zlib_compress(benchmark::State& state) {
  libdeflate_compressor* c = libdeflate_alloc_compressor(static_cast<int>(state.range(0)));
  size_t packed = 0;
  Bytes out(libdeflate_zlib_compress_bound(c, TILE * TILE * 4));
  for (auto _ : state) {
    packed = 0;
    for (const Bytes& t : tiles()) {
      const size_t len = libdeflate_zlib_compress(c, t.data(), t.size(), out.data(), out.size());
      if (len == 0) state.SkipWithError("libdeflate_zlib_compress failed");
      packed += len;
    }
  }
  libdeflate_free_compressor(c);
  report(state, packed, raw_bytes());
}
BENCHMARK(BM_libdeflate_zlib_compress)->Arg(6)->Arg(1)->Unit(benchmark::kMillisecond);

// libdeflate's inflate on the same streams as BM_tsl_inflate.
void BM_libdeflate_zlib_decompress(benchmark::State& state) {
  const auto streams = tsl_streams(6);
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  Bytes out(TILE * TILE * 4);
  for (auto _ : state)
    for (const Bytes& z : streams) {
      if (libdeflate_zlib_decompress(d, z.data(), z.size(), out.data(), out.size(), nullptr) != LIBDEFLATE_SUCCESS)
        state.SkipWithError("libdeflate_zlib_decompress failed");
      benchmark::DoNotOptimize(out.data());
    }
  libdeflate_free_decompressor(d);
  report(state, 0, raw_bytes());
}
BENCHMARK(BM_libdeflate_zlib_decompress)->Unit(benchmark::kMillisecond);
#endif

void BM_crc32(benchmark::State& state) {
  for (auto _ : state)
    for (const Bytes& t : tiles()) benchmark::DoNotOptimize(crc32_bytes(t));
  report(state, 0, raw_bytes());
}
BENCHMARK(BM_crc32);

void BM_adler32(benchmark::State& state) {
  for (auto _ : state)
    for (const Bytes& t : tiles()) benchmark::DoNotOptimize(adler32(t));
  report(state, 0, raw_bytes());
}
BENCHMARK(BM_adler32);

}  // namespace

// The tiles are made before any case runs, so no case's first iteration times the photo decode.
int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  tiles();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
