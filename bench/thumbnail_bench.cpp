// Studio thumbnails of large JPEGs: a real 4000 x 2250 drone photo and the same photo
// enlarged to 20 MP (5472 x 3648, the sensor size of the larger drones) and re-encoded, at the
// page's two sizes.
//
//   cmake --build build --target bench && ./build/thumbnail_bench
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "img/jpeg/decode.h"
#include "img/jpeg/encode.h"
#include "img/ops/resample.h"
#include "server/thumbs.h"

namespace {

std::vector<uint8_t> read_photo() {
  std::filesystem::path p =
      std::filesystem::path(TSL_SOURCE_DIR) / ".." / "shared" / "data" / "dji-phantom3-brighton-beach" / "DJI_0018.JPG";
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

const std::vector<uint8_t>& photo(bool twenty_mp) {
  static const std::vector<uint8_t> real = read_photo();
  static const std::vector<uint8_t> big = [] {
    auto img = tsl::decode_jpeg(real, 1);
    if (!img) return std::vector<uint8_t>{};
    tsl::ImageF32 f(img->width, img->height, 3);
    for (size_t i = 0; i < f.data.size(); ++i) f.data[i] = img->data[i];
    tsl::ImageF32 g = tsl::resize(f, 5472, 3648);
    tsl::ImageU8 out(g.width, g.height, 3);
    for (size_t i = 0; i < g.data.size(); ++i) out.data[i] = static_cast<uint8_t>(std::clamp(g.data[i] + 0.5f, 0.0f, 255.0f));
    return *tsl::encode_jpeg(out, 92);
  }();
  return twenty_mp ? big : real;
}

void BM_thumbnail(benchmark::State& state) {
  const auto& bytes = photo(state.range(0) == 20);
  if (bytes.empty()) {
    state.SkipWithError("../shared/data photo absent");
    return;
  }
  for (auto _ : state) {
    auto t = tsl::make_thumbnail("photo.jpg", bytes, static_cast<uint64_t>(state.range(1)));
    if (!t) state.SkipWithError(t.error().c_str());
    benchmark::DoNotOptimize(t);
  }
}
BENCHMARK(BM_thumbnail)->ArgsProduct({{9, 20}, {320, 480}})->ArgNames({"mp", "size"})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
