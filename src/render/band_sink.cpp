#include "render/band_sink.h"

#include <algorithm>
#include <cmath>

#include "img/ops/resample.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {
namespace {

void check_band(const ImageF32& band, std::span<const uint8_t> mask) {
  if (band.channels != 3 || band.data.size() != band.width * band.height * 3 || mask.size() != band.width * band.height)
    internal_error(format("band of {}x{}x{} with {} mask bytes", band.width, band.height, band.channels, mask.size()));
}

void append_preview(OutputSink& sink, const ImageF32& band, std::span<const uint8_t> mask) {
  const uint64_t rows_p =
      std::max<uint64_t>(static_cast<uint64_t>(std::round(static_cast<double>(band.height) * sink.preview_scale)), 1);
  const ImageF32 small = resize(band, sink.preview_width, rows_p);
  const std::vector<uint8_t> rgb = tone_map_image(small, sink.tone);
  const std::vector<uint8_t> neutral = tone_map_image(small, sink.neutral);
  sink.preview_rgb.insert(sink.preview_rgb.end(), rgb.begin(), rgb.end());
  sink.preview_neutral.insert(sink.preview_neutral.end(), neutral.begin(), neutral.end());
  ImageF32& cover = sink.cover;
  cover.width = band.width, cover.height = band.height, cover.channels = 1;
  cover.data.resize(mask.size());
  for (size_t i = 0; i < mask.size(); ++i) cover.data[i] = mask[i] != 0 ? 1.0f : 0.0f;
  const ImageF32 cover_small = resize(cover, sink.preview_width, rows_p);
  for (float v : cover_small.data)
    sink.preview_mask.push_back(static_cast<uint8_t>(v > 0.0f ? std::min(v * 255.0f, 255.0f) : 0.0f));
  sink.preview_rows += rows_p;
}

}  // namespace

void write_output_row(const ImageF32& band, std::span<const uint8_t> mask, const ToneSettings& tone,
                      double sample_scale, uint64_t r, std::span<uint16_t> out) {
  const size_t width = band.width;
  const float* src = band.row(r);
  const uint8_t* m = mask.data() + r * width;
  const auto sample = [&](float v) {
    return static_cast<uint16_t>(std::clamp(std::round(static_cast<double>(v) * sample_scale), 0.0, 65535.0));
  };
  const uint16_t alpha = static_cast<uint16_t>(std::clamp(sample_scale, 0.0, 65535.0));
  for (size_t x = 0; x < width; ++x) {
    uint16_t* px = out.data() + 4 * x;
    if (m[x] == 0) {
      px[0] = px[1] = px[2] = px[3] = 0;
      continue;
    }
    const std::array<float, 3> v = tone_map_pixel(src[3 * x], src[3 * x + 1], src[3 * x + 2], tone);
    px[0] = sample(v[0]);
    px[1] = sample(v[1]);
    px[2] = sample(v[2]);
    px[3] = alpha;
  }
}

std::expected<void, std::string> geotiff_band_sink(OutputSink& sink, uint64_t y0, const ImageF32& band,
                                                   std::span<const uint8_t> mask) {
  check_band(band, mask);
  if (!sink.writer || band.width != sink.width) internal_error("GeoTIFF sink without a writer of the band's width");
  const uint64_t rows = band.height, width = band.width;
  // Every sample is written below.
  std::vector<uint16_t>& samples = sink.samples;
  samples.resize(rows * width * 4);
  const uint64_t threads = std::max<uint64_t>(std::min<uint64_t>(rows, sink.workers), 1);
  const uint64_t rows_per_item = std::max<uint64_t>((rows + threads * 4 - 1) / (threads * 4), 1);
  par_rows(rows, rows_per_item, threads, [&](size_t first, size_t last) {
    for (size_t r = first; r < last; ++r)
      write_output_row(band, mask, sink.tone, sink.sample_scale, r,
                       std::span<uint16_t>(samples).subspan(r * width * 4, width * 4));
  });
  if (rows > 0)
    if (auto w = sink.writer->write_band(y0, rows, std::span<const uint16_t>(samples).first(rows * width * 4)); !w) return w;
  if (sink.preview_path && rows > 0) append_preview(sink, band, mask);
  return {};
}

std::expected<void, std::string> preview_band_sink(PreviewContext& context, uint64_t, const ImageF32& band,
                                                   std::span<const uint8_t> mask) {
  check_band(band, mask);
  if (!context.slot) internal_error("preview sink without a slot");
  PreviewBand out;
  out.rgb = tone_map_image(band, context.tone);
  out.alpha.resize(mask.size());
  for (size_t i = 0; i < mask.size(); ++i) out.alpha[i] = mask[i] != 0 ? 255 : 0;
  *context.slot = std::move(out);
  return {};
}

}  // namespace tsl
