#include "drivers/render_stage.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "img/image.h"
#include "img/jpeg/encode.h"
#include "img/png.h"
#include "img/tiff/dsm_tiff.h"
#include "img/tiff/geotiff_writer.h"
#include "logx.h"
#include "pipeline/output_files.h"
#include "platform/system.h"
#include "render/band_sink.h"
#include "render/render.h"
#include "render/render_job.h"
#include "render/terrain_files.h"
#include "render/tone.h"
#include "seams/compute_seams.h"
#include "util/error.h"

namespace tsl {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t PREVIEW_QUALITY = 90;
constexpr uint32_t NEUTRAL_QUALITY = 93;
constexpr unsigned MASK_DEFLATE_LEVEL = 6;

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

ToneSettings tone_of(const Config& config) {
  ToneSettings t;
  t.ev = config.ev;
  t.wb = config.wb;
  t.saturation = config.saturation;
  t.contrast = config.contrast;
  return t;
}

// "cannot write {path}: {error}".
std::unexpected<std::string> cannot_write(const fs::path& path, const std::string& error) {
  return std::unexpected(format("cannot write {}: {}", path.string(), error));
}

std::expected<void, std::string> write_terrain(BuildOutputs& files, const fs::path& archive, const fs::path& raster,
                                               const Surface& surface, const ImageSet& set, int32_t epsg) {
  auto a = add_output(files, archive);
  if (!a) return std::unexpected(a.error());
  auto r = add_output(files, raster);
  if (!r) return std::unexpected(r.error());
  const double east = set.origin_e + surface.e0, north = set.origin_n + surface.n0;
  if (auto w = write_terrain_archive(*a, surface, set.origin_e, set.origin_n); !w) return cannot_write(archive, w.error());
  if (auto w = write_dsm_tiff(*r, surface.nx, surface.ny, *surface.z, dsm_georef(east, north, surface.cell, epsg)); !w)
    return cannot_write(raster, w.error());
  return {};
}

std::expected<void, std::string> write_seams(BuildOutputs& files, const fs::path& path, const SeamMap& map,
                                             const ImageSet& set) {
  auto partial = add_output(files, path);
  if (!partial) return std::unexpected(partial.error());
  if (auto w = write_seam_file(*partial, map, set.origin_e, set.origin_n); !w) return cannot_write(path, w.error());
  return {};
}

// Encoded bytes written whole under the file's partial name.
std::expected<void, std::string> write_output(BuildOutputs& files, const fs::path& path,
                                              std::expected<std::vector<uint8_t>, std::string> bytes) {
  if (!bytes) return std::unexpected(bytes.error());
  auto partial = add_output(files, path);
  if (!partial) return std::unexpected(partial.error());
  if (auto w = write_whole_file(*partial, *bytes); !w) return cannot_write(path, w.error());
  return {};
}

std::expected<std::vector<uint8_t>, std::string> jpeg_of(std::vector<uint8_t> rgb, uint64_t width, uint64_t rows,
                                                         uint32_t quality) {
  ImageU8 image;
  image.data = std::move(rgb);
  image.width = width;
  image.height = rows;
  image.channels = 3;
  return encode_jpeg(image, quality);
}

// The toned preview, the neutral one and the coverage mask, each written whole.
std::expected<void, std::string> write_previews(BuildOutputs& files, const fs::path& preview, OutputSink& sink) {
  const uint64_t w = sink.preview_width, rows = sink.preview_rows;
  if (sink.preview_rgb.size() != w * rows * 3 || sink.preview_neutral.size() != w * rows * 3 ||
      sink.preview_mask.size() != w * rows)
    internal_error(format("preview of {} x {} with {} / {} / {} bytes", w, rows, sink.preview_rgb.size(),
                          sink.preview_neutral.size(), sink.preview_mask.size()));
  if (auto r = write_output(files, preview, jpeg_of(std::move(sink.preview_rgb), w, rows, PREVIEW_QUALITY)); !r)
    return r;
  fs::path base = preview;
  base.replace_extension();
  const fs::path neutral = base.string() + "_neutral.jpg", mask = base.string() + "_mask.png";
  if (auto r = write_output(files, neutral, jpeg_of(std::move(sink.preview_neutral), w, rows, NEUTRAL_QUALITY)); !r)
    return r;
  return write_output(files, mask, encode_png(sink.preview_mask, w, rows, 1, MASK_DEFLATE_LEVEL));
}

// Memory the render needs whatever the photos, growing with the output alone: the GeoTIFF's
// tile table (an offset and a length of 8 bytes each per 512 x 512 tile) and one block of
// rows (an RGBA float accumulator, an RGB float band and a coverage byte: 29 bytes a pixel).
// In floating point, since the sizes it guards may not fit 64 bits.
double output_working_bytes(const OutputGrid& grid, uint64_t block_rows) {
  const double w = static_cast<double>(grid.width), h = static_cast<double>(grid.height);
  const double tiles = std::ceil(w / GEOTIFF_TILE_SIZE) * std::ceil(h / GEOTIFF_TILE_SIZE);
  return tiles * 16.0 + w * std::min(h, static_cast<double>(block_rows)) * 29.0;
}

}  // namespace

PreviewSize preview_size(uint64_t width, uint64_t height, uint64_t preview_px) {
  PreviewSize p;
  p.scale = std::min(static_cast<double>(preview_px) / static_cast<double>(std::max(width, height)), 1.0);
  p.width = std::max<uint64_t>(static_cast<uint64_t>(std::round(static_cast<double>(width) * p.scale)), 1);
  return p;
}

std::expected<unsigned, std::string> output_bits(const Config& config, uint64_t photos, uint64_t dng_photos) {
  if (!config.bits) return photos > 0 && dng_photos == photos ? 16u : 8u;
  if (*config.bits != 8 && *config.bits != 16) return std::unexpected(format("--bits {} is not 8 or 16", *config.bits));
  return static_cast<unsigned>(*config.bits);
}

std::optional<GroundBounds> local_bounds(const Config& config, double origin_e, double origin_n) {
  if (!config.bounds) return std::nullopt;
  const auto& b = *config.bounds;
  // fmin and fmax ignore one NaN operand, so a single missing coordinate does not void the box.
  return GroundBounds{std::fmin(b[0], b[2]) - origin_e, std::fmin(b[1], b[3]) - origin_n,
                      std::fmax(b[0], b[2]) - origin_e, std::fmax(b[1], b[3]) - origin_n};
}

std::expected<RenderStageResult, std::string> run_render_stage(const RenderStageInputs& in) {
  if (in.config == nullptr || in.images == nullptr || in.surface == nullptr || in.cache == nullptr)
    internal_error("render stage: config, image set, surface and cache are required");
  const Config& config = *in.config;
  const ImageSet& set = *in.images;
  const size_t n = set.images.size();
  log_str("[6/6] render");

  std::optional<double> gsd_m;
  if (config.gsd) gsd_m = *config.gsd / 100.0;
  auto grid = plan_output_grid(in.photos, *in.surface, gsd_m, config.max_mpix,
                               local_bounds(config, set.origin_e, set.origin_n), true);
  if (!grid) return std::unexpected(grid.error());
  const double w = static_cast<double>(grid->width), h = static_cast<double>(grid->height);
  logf("  mosaic {} x {} px ({:.0} MP) @ {:.2} cm/px, {:.0} x {:.0} m", grid->width, grid->height, w * h / 1e6,
       grid->gsd * 100.0, w * grid->gsd, h * grid->gsd);
  auto bits = output_bits(config, n, set.dng_count);
  if (!bits) return std::unexpected(bits.error());
  // Refused before anything is written: such a render would only end in an allocation failure.
  const double working = output_working_bytes(*grid, in.render.block_rows);
  if (const uint64_t total = platform::total_memory_bytes(); total > 0 && working > static_cast<double>(total))
    return std::unexpected(format("mosaic of {} x {} px needs {:.1} GB of working memory, more than the {:.1} GB here",
                                  grid->width, grid->height, working / 1e9, static_cast<double>(total) / 1e9));

  RenderStageResult out;
  auto output = settle_output_path(config.output);
  if (!output) return std::unexpected(output.error());
  out.output = *output;

  if (in.surface->z) {
    const fs::path archive = sibling_path(out.output, "_surface.npz");
    if (auto r = write_terrain(out.files, archive, sibling_path(out.output, "_dsm.tif"), *in.surface, set, in.epsg); !r)
      return std::unexpected(r.error());
    out.surface_file = archive;
  }
  if (n >= 2 && in.render.blend == BlendMode::Multiband) {
    const auto t0 = std::chrono::steady_clock::now();
    auto seams = compute_seams(in.photos, *in.surface, in.gains, *grid, in.seams, *in.cache);
    if (!seams) return std::unexpected(seams.error());
    logf("  seam lines {:.1}s", seconds_since(t0));
    const fs::path path = sibling_path(out.output, "_seams.npz");
    if (auto r = write_seams(out.files, path, *seams, set); !r) return std::unexpected(r.error());
    out.seam_file = path;
    out.seam_map = std::move(*seams);
  }
  if (!config.no_preview) out.preview = sibling_path(out.output, "_preview.jpg");

  const ToneSettings tone = tone_of(config);
  const PreviewSize preview = preview_size(grid->width, grid->height, config.preview_px);
  const GeoTiffRef georef{grid->gsd, set.origin_e + grid->left_e, set.origin_n + grid->top_n, in.epsg};

  auto tif = add_output(out.files, out.output);
  if (!tif) return std::unexpected(tif.error());
  auto writer = GeoTiffWriter::create(*tif, grid->width, grid->height, *bits, georef);
  if (!writer) return cannot_write(out.output, writer.error());
  OutputSink sink;
  sink.width = grid->width;
  sink.workers = config.workers;
  sink.tone = tone;
  sink.sample_scale = *bits == 16 ? 65535.0 : 255.0;
  sink.writer = &*writer;
  sink.preview_path = out.preview;
  sink.preview_scale = preview.scale;
  sink.preview_width = preview.width;
  sink.neutral = neutral_tone(tone);

  const RenderJob job = make_render_job(in.photos, *in.surface, in.gains, *grid, in.render, *in.cache,
                                        out.seam_map ? &*out.seam_map : nullptr);
  auto rendered = render_mosaic(job, [&](uint64_t y0, const ImageF32& band, std::span<const uint8_t> mask) {
    auto r = geotiff_band_sink(sink, y0, band, mask);
    if (!r) return std::expected<void, std::string>(cannot_write(out.output, r.error()));
    return r;
  });
  if (!rendered) return std::unexpected(rendered.error());
  if (auto r = writer->finish(); !r) return cannot_write(out.output, r.error());

  const fs::path world = world_file_path(out.output);
  auto world_partial = add_output(out.files, world);
  if (!world_partial) return std::unexpected(world_partial.error());
  // The partial name ends in ".tfw" as the world file's does; the writer only swaps that
  // extension, which leaves it unchanged.
  if (auto r = write_world_file(*world_partial, georef); !r) return cannot_write(world, r.error());

  if (out.preview && sink.preview_rows > 0)
    if (auto r = write_previews(out.files, *out.preview, sink); !r) return std::unexpected(r.error());
  out.grid = std::move(*grid);
  return out;
}

}  // namespace tsl
