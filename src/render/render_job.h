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

#include "config/blend_mode.h"
#include "gains/gains.h"
#include "geo/vec.h"
#include "grid/output_grid.h"
#include "grid/seam_map.h"
#include "imageio/image_cache.h"
#include "meta/placed_photos.h"
#include "surface/surface.h"

namespace tsl {

// The options of the render.
struct RenderOptions {
  BlendMode blend = BlendMode::Multiband;  // multi-band needs a seam map; without one the job is feathered
  double feather = 20;         // exponent of the feather weight: higher keeps each pixel nearer its frame centre
  bool interp_cubic = true;    // bicubic sampling of the photos; bilinear when false
  uint64_t blend_bands = 4;    // multi-band levels (at least 2 are used)
  uint64_t block_rows = 1024;  // output rows per block, handed to the sink together; above 0
  uint64_t grid_step = 16;     // output pixels between exact projections, interpolated between; above 0
  double contrib_thr = 0.001;  // a photo below this share of the best photo's weight is left out of a block
  uint64_t workers = 1;        // threads at most
  bool quiet = false;          // no log lines (the studio's previews)
};

struct RenderJob {
  PlacedPhotos photos;  // each with its camera model and full size
  const Surface* surface = nullptr;
  std::span<const Gain> gains;  // one per photo
  const OutputGrid* grid = nullptr;
  RenderOptions options;
  ImageCache* cache = nullptr;
  const SeamMap* seam_map = nullptr;  // set when the caller computed seams
};

// The job of rendering `photos` onto `grid` through `surface`, borrowing every argument but
// the options, which it copies; checked as check_render_job checks it.
RenderJob make_render_job(const PlacedPhotos& photos, const Surface& surface, std::span<const Gain> gains,
                          const OutputGrid& grid, const RenderOptions& options, ImageCache& cache,
                          const SeamMap* seam_map);

// Internal error unless the job is complete: surface, grid and cache present, every photo
// with a camera model, at least one rotation, position, gain and window per photo, and
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
