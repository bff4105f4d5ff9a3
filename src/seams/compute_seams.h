#pragma once
// Seam lines for the multi-band renderer: the seam grid, the nadir partition and, with cut
// seams and at least two photos, the least-cost cut of every boundary.
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "gains/gains.h"
#include "grid/output_grid.h"
#include "grid/seam_map.h"
#include "imageio/image_cache.h"
#include "meta/placed_photos.h"
#include "surface/surface.h"

namespace tsl {

// The options of the seam lines.
struct SeamOptions {
  uint64_t match_px = 2000;  // the seam cell starts from the ground size of a pixel at this long side
  double seam_mpix = 16;     // cells of the seam grid at most, millions (at least MIN_SEAM_MPIX)
  bool cut = true;           // least-cost cuts of the boundaries; the nadir partition alone when false
  double seam_band = 0.12;   // a cut's band half-width, as a fraction of a frame's shorter ground side
  uint64_t workers = 1;      // threads at most
};

// The seam map of a build; the cut pass decodes photos through `cache`. Logs one summary
// line. Errors: a seam grid that does not fit the output grid (no cells, or more than the
// output has pixels), and a photo-loading error of the cut pass. Photos without a camera
// model, or fewer rotations, positions, gains or windows than photos, are a caller's bug.
std::expected<SeamMap, std::string> compute_seams(const PlacedPhotos& photos, const Surface& surface,
                                                  std::span<const Gain> gains, const OutputGrid& grid,
                                                  const SeamOptions& options, ImageCache& cache);

}  // namespace tsl
