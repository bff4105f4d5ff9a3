#pragma once
// Seam lines for the multi-band renderer: the seam grid, the nadir partition and, with cut
// seams and at least two photos, the least-cost cut of every boundary.
#include <expected>
#include <span>
#include <string>

#include "config/config.h"
#include "gains/gains.h"
#include "geo/vec.h"
#include "grid/output_grid.h"
#include "grid/seam_map.h"
#include "imageio/image_cache.h"
#include "meta/image_meta.h"
#include "surface/surface.h"

namespace tsl {

// The seam map of a build. Reads match_px, seam_mpix (clamped to at least MIN_SEAM_MPIX),
// workers, seams and seam_band of `config`; the cut pass decodes photos through `cache`.
// Logs one summary line. Errors: a seam grid that does not fit the output grid (no cells, or
// more than the output has pixels), and a photo-loading error of the cut pass. Photos without a
// camera model, or fewer rotations, positions, gains or windows than photos, are a caller's bug.
std::expected<SeamMap, std::string> compute_seams(std::span<const ImageMeta> images, std::span<const Mat3> rotations,
                                                  std::span<const Vec3> positions, const Surface& surface,
                                                  std::span<const Gain> gains, const OutputGrid& grid,
                                                  const Config& config, ImageCache& cache);

}  // namespace tsl
