#pragma once
// The "[6/6] render" stage: plans the output raster, settles where the output goes, writes the
// terrain and seam files, renders the mosaic block row by block row into the tiled GeoTIFF and
// writes the world file and the previews. Every file is written under a partial name; the
// stage hands them on uncommitted, so that the build renames them into place together with its
// report, and a failed or cancelled build leaves the previous build's files as they were.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "config/config.h"
#include "gains/gains.h"
#include "geo/vec.h"
#include "grid/output_grid.h"
#include "grid/seam_map.h"
#include "meta/placed_photos.h"
#include "imageio/image_cache.h"
#include "pipeline/collect_images.h"
#include "pipeline/output_files.h"
#include "render/render_job.h"
#include "seams/compute_seams.h"
#include "surface/surface.h"

namespace tsl {

// What the stage works from, borrowed for the call.
struct RenderStageInputs {
  const Config* config = nullptr;    // the output, its raster, finish and previews
  const ImageSet* images = nullptr;  // UTM frame, DNG count
  PlacedPhotos photos;               // the set's photos at their final poses
  std::span<const Gain> gains;
  const Surface* surface = nullptr;
  ImageCache* cache = nullptr;
  int32_t epsg = 0;
  SeamOptions seams;
  RenderOptions render;
};

// What the report and the last run need of the stage.
struct RenderStageResult {
  std::filesystem::path output;  // the final output path (after a redirect)
  OutputGrid grid;
  std::optional<std::filesystem::path> surface_file;  // terrain archive, when written
  std::optional<std::filesystem::path> seam_file;     // seam archive, when written
  std::optional<std::filesystem::path> preview;       // absent with --no-preview
  std::optional<SeamMap> seam_map;
  BuildOutputs files;  // written, not yet committed
};

// The preview's size for a width x height output: scale min(preview_px / long side, 1) and
// width max(round(width x scale), 1).
struct PreviewSize {
  double scale = 1.0;
  uint64_t width = 1;
};
PreviewSize preview_size(uint64_t width, uint64_t height, uint64_t preview_px);

// Output bits per sample: `--bits` when given (8 or 16), else 16 when every photo is a DNG
// and 8 otherwise. Error for any other `--bits` value.
std::expected<unsigned, std::string> output_bits(const Config& config, uint64_t photos, uint64_t dng_photos);

// `--bounds` (two UTM corners in any order) as a clipping box in local metres; a NaN corner
// value leaves its side open.
std::optional<GroundBounds> local_bounds(const Config& config, double origin_e, double origin_n);

// Runs the stage with its log lines. Errors: the planner's, the seam cut's and the render's
// messages unchanged, and "cannot write {file}: {system's text}" for a file.
std::expected<RenderStageResult, std::string> run_render_stage(const RenderStageInputs& in);

}  // namespace tsl
