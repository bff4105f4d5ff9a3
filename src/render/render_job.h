#pragma once
// The inputs of one render, borrowed from the caller for the render's length, and the two
// operations that choose and fetch each photo's decoded image.
#include <array>
#include <cstddef>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "config/config.h"
#include "gains/gains.h"
#include "geo/vec.h"
#include "grid/output_grid.h"
#include "grid/seam_map.h"
#include "imageio/image_cache.h"
#include "meta/image_meta.h"
#include "surface/surface.h"

namespace tsl {

struct RenderJob {
  std::span<const ImageMeta> images;  // each with its camera model and full size
  std::span<const Mat3> rotations;    // world-to-camera, one per photo
  std::span<const Vec3> positions;    // local east, north, height, one per photo
  const Surface* surface = nullptr;
  std::span<const Gain> gains;  // one per photo
  const OutputGrid* grid = nullptr;
  const Config* config = nullptr;  // block_rows, grid_step, feather, contrib_thr, workers, interp, blend
  ImageCache* cache = nullptr;
  const SeamMap* seam_map = nullptr;  // set when the caller computed seams
  bool quiet = false;                 // no log lines
};

// Internal error unless the job is complete: surface, grid, config and cache present, every
// photo with a camera model, at least one rotation, position, gain and window per photo, and
// block_rows and grid_step above 0.
void check_render_job(const RenderJob& job);

// One decode scale per photo (for the first min(photos, positions)): about 1.25 source pixels
// per output pixel, min(1, 1.25 native / gsd), snapped to 1 above 0.8 and never below 0.02, so
// a photo is decoded at full size unless the output is clearly coarser than the photo.
std::vector<double> source_load_scales(const RenderJob& job);

// The photo's decoded image at `scale` (rounded to hundredths) through the job's cache under
// the key "{path}|{scale:.2}". Error: the loader's message unchanged.
std::expected<std::shared_ptr<const DecodedImage>, std::string> fetch_source_image(const RenderJob& job, size_t photo,
                                                                                   double scale);

}  // namespace tsl
