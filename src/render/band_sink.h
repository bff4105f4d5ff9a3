#pragma once
// Band sinks: where the renderers hand each finished block row ("band") of the mosaic, north
// to south. The GeoTIFF sink tone-maps a band into RGBA samples, appends its 512 x 512 tiles
// to the output file and gathers downscaled preview rows; the preview sink only tone-maps the
// band into a slot for the studio.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "img/image.h"
#include "img/tiff/geotiff_writer.h"
#include "render/tone.h"

namespace tsl {

// Receives one band: y0 is the output row of its first row; `band` is width x rows x 3 linear
// RGB (1 = a full-scale sample at gain 1), not tone-mapped; `mask` is rows x width bytes, 1
// where a photo covers the pixel. Called on the renderer's thread, one band at a time, in
// increasing y0. An error ends the render with that message.
using BandSink =
    std::function<std::expected<void, std::string>(uint64_t y0, const ImageF32& band, std::span<const uint8_t> mask)>;

// The GeoTIFF sink's context, made by the render stage, which owns it and the writer for the
// whole render and reads the preview lists afterwards.
struct OutputSink {
  uint64_t width = 0;                                 // output width, pixels
  uint64_t workers = 1;                               // thread budget of the row conversion
  ToneSettings tone;                                  // the build's finish
  double sample_scale = 255.0;                        // 255 for 8-bit output, 65535 for 16-bit
  GeoTiffWriter* writer = nullptr;                    // the output file in progress
  std::optional<std::filesystem::path> preview_path;  // previews are gathered only when set
  double preview_scale = 1.0;                         // min(preview_px / max(width, height), 1)
  uint64_t preview_width = 1;                         // max(round(width x preview_scale), 1)
  std::vector<uint8_t> preview_rgb;                   // preview rows, 3 bytes per pixel, toned with `tone`
  std::vector<uint8_t> preview_neutral;               // the same rows toned with `neutral`
  ToneSettings neutral;                               // the build's ev, everything else neutral
  std::vector<uint8_t> preview_mask;                  // coverage, 1 byte per pixel, 0..255
  uint64_t preview_rows = 0;                          // preview rows gathered so far
  // Working buffers kept from band to band, so that each band does not map, fault in and
  // clear tens of megabytes on the renderer's thread while the workers wait.
  std::vector<uint16_t> samples;
  ImageF32 cover;
};

// Converts, encodes and appends one band's tiles; with a preview path also appends its
// preview rows. Error: the writer's message (the system's text for a failed write).
std::expected<void, std::string> geotiff_band_sink(OutputSink& sink, uint64_t y0, const ImageF32& band,
                                                   std::span<const uint8_t> mask);

// Row r of a band as RGBA samples into `out` (width x 4 values): covered pixels get the toned
// colour times sample_scale (rounded half away from zero, clamped to [0, 65535]) and alpha =
// sample_scale; uncovered pixels are all 0.
void write_output_row(const ImageF32& band, std::span<const uint8_t> mask, const ToneSettings& tone,
                      double sample_scale, uint64_t r, std::span<uint16_t> out);

// A whole tone-mapped view for the studio.
struct PreviewBand {
  std::vector<uint8_t> rgb;    // width x rows x 3
  std::vector<uint8_t> alpha;  // width x rows: 255 where covered, else 0
};

// The preview sink's context: the finish to apply and the slot it fills.
struct PreviewContext {
  ToneSettings tone;
  std::optional<PreviewBand>* slot = nullptr;
};

// Replaces the slot's content with the band's PreviewBand (y0 is not used). Never fails.
std::expected<void, std::string> preview_band_sink(PreviewContext& context, uint64_t y0, const ImageF32& band,
                                                   std::span<const uint8_t> mask);

}  // namespace tsl
