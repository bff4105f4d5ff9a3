#pragma once
// Rendering the mosaic: block row by block row, north to south, each finished block handed to
// a band sink. A job with a seam map and multi-band blending goes to the multi-band renderer;
// every other job is feather-blended here: each output pixel is the weighted mean of the
// photos that see it, a photo's weight falling from its frame centre to its border.
#include <expected>
#include <string>

#include "render/band_sink.h"
#include "render/render_job.h"

namespace tsl {

// Renders the job into `sink`. Photos whose feather weight stays below contrib_thr times the
// best photo's at every node of a coarse lattice are left out of a block. Each pixel sums its
// photos in ascending photo order on one thread, so the output does not depend on the thread
// count. Errors: the first photo-loading error (the current block is not sent) or the first
// sink error, unchanged. Fewer poses, gains or windows than photos, a missing surface, grid
// or cache, or block_rows 0, are a caller's bug (internal error).
std::expected<void, std::string> render_mosaic(const RenderJob& job, const BandSink& sink);

}  // namespace tsl
