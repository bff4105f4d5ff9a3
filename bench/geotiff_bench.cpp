// Writing a 100-megapixel RGBA orthomosaic from memory: our tiled GeoTIFF writer against
// gdal_translate with the same layout (512 x 512 tiles, DEFLATE level 6, predictor 2, all
// processors) on the same pixels. The pixels are drone photographs from ../shared/data laid
// side by side, with a coverage alpha that leaves the corners empty as a real mosaic does.
// gdal_translate reads them from a raw file that sits in the page cache.
//
// Counters: file_MB is the output size; MPx_per_s the throughput.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "img/jpeg/decode.h"
#include "img/tiff/geotiff_writer.h"

namespace {

namespace fs = std::filesystem;

constexpr uint64_t SIDE = 10000;  // 100 megapixels
const tsl::GeoTiffRef REF{0.05, 500000.0, 5400000.0, 32633};

fs::path work_dir() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / "tsl_geotiff_bench";
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

std::vector<uint8_t> read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The mosaic's RGBA samples as the band sink hands them over: u16 holding 0..255.
const std::vector<uint16_t>& mosaic() {
  static const std::vector<uint16_t> pixels = [] {
    std::vector<tsl::ImageU8> photos;
    const fs::path dir = fs::path(TSL_SOURCE_DIR) / ".." / "shared" / "data" / "dji-phantom3-brighton-beach";
    for (const char* name : {"DJI_0018.JPG", "DJI_0021.JPG", "DJI_0024.JPG", "DJI_0027.JPG", "DJI_0030.JPG",
                             "DJI_0033.JPG"}) {
      auto img = tsl::decode_jpeg(read_all(dir / name));
      if (img) photos.push_back(std::move(*img));
    }
    std::vector<uint16_t> out(SIDE * SIDE * 4, 0);
    for (uint64_t y = 0; y < SIDE; ++y) {
      for (uint64_t x = 0; x < SIDE; ++x) {
        // Coverage: a diamond-cut square, as a rotated flight block leaves it.
        if (x + y < SIDE / 5 || (SIDE - x) + (SIDE - y) < SIDE / 5 || x + (SIDE - y) < SIDE / 8) continue;
        uint16_t* p = &out[(y * SIDE + x) * 4];
        if (photos.empty()) {
          p[0] = static_cast<uint16_t>((x * 7 + y) & 255);
          p[1] = static_cast<uint16_t>((x ^ y) & 255);
          p[2] = static_cast<uint16_t>((y * 3) & 255);
        } else {
          const tsl::ImageU8& ph = photos[(x / 3500 + 3 * (y / 2800)) % photos.size()];
          const uint8_t* s = ph.row((y % 2800) % ph.height) + ((x % 3500) % ph.width) * 3;
          p[0] = s[0];
          p[1] = s[1];
          p[2] = s[2];
        }
        p[3] = 255;
      }
    }
    return out;
  }();
  return pixels;
}

void BM_OurGeoTiffWriter(benchmark::State& state) {
  const auto& px = mosaic();
  const uint64_t band = static_cast<uint64_t>(state.range(0));
  const fs::path out = work_dir() / "ours.tif";
  for (auto _ : state) {
    auto w = tsl::GeoTiffWriter::create(out, SIDE, SIDE, 8, REF);
    if (!w) state.SkipWithError(w.error().c_str());
    for (uint64_t y = 0; w && y < SIDE; y += band) {
      const uint64_t rows = std::min(band, SIDE - y);
      if (!w->write_band(y, rows, std::span(px).subspan(y * SIDE * 4, rows * SIDE * 4))) state.SkipWithError("write");
    }
    if (w && !w->finish()) state.SkipWithError("finish");
  }
  state.counters["file_MB"] = static_cast<double>(fs::file_size(out)) / 1e6;
  state.counters["MPx_per_s"] = benchmark::Counter(100.0, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_OurGeoTiffWriter)->Arg(512)->Arg(1024)->Arg(2048)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);

void BM_GdalTranslate(benchmark::State& state) {
  if (std::system("gdal_translate --version >/dev/null 2>&1") != 0) {
    state.SkipWithError("gdal_translate not installed");
    return;
  }
  const auto& px = mosaic();
  const fs::path raw = work_dir() / "mosaic.raw", hdr = work_dir() / "mosaic.hdr", out = work_dir() / "gdal.tif";
  {
    std::vector<uint8_t> bytes(px.begin(), px.end());
    std::ofstream(raw, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::ofstream(hdr) << "ENVI\nsamples = " << SIDE << "\nlines = " << SIDE
                       << "\nbands = 4\nheader offset = 0\nfile type = ENVI Standard\ndata type = 1\n"
                          "interleave = bip\nbyte order = 0\n";
  }
  const std::string cmd = "gdal_translate -q -of GTiff -co TILED=YES -co BLOCKXSIZE=512 -co BLOCKYSIZE=512 "
                          "-co COMPRESS=DEFLATE -co PREDICTOR=2 -co ZLEVEL=6 -co NUM_THREADS=ALL_CPUS "
                          "-co PHOTOMETRIC=RGB -co ALPHA=YES " +
                          raw.string() + " " + out.string();
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("gdal_translate failed");
  }
  state.counters["file_MB"] = static_cast<double>(fs::file_size(out)) / 1e6;
  state.counters["MPx_per_s"] = benchmark::Counter(100.0, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_GdalTranslate)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
