#include "seams/compute_seams.h"

#include <cmath>

#include "logx.h"
#include "seams/cut_seams.h"
#include "seams/nadir.h"
#include "util/path.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {

std::expected<SeamMap, std::string> compute_seams(const PlacedPhotos& photos, const Surface& surface,
                                                  std::span<const Gain> gains, const OutputGrid& grid,
                                                  const SeamOptions& options, ImageCache& cache) {
  const auto& [images, rotations, positions] = photos;
  const size_t n = images.size();
  if (rotations.size() < n || positions.size() < n || gains.size() < n || grid.windows.size() < n)
    internal_error(format("seams for {} photos with {} rotations, {} positions, {} gains, {} windows", n,
                          rotations.size(), positions.size(), gains.size(), grid.windows.size()));
  const std::vector<double> natives = native_gsds(images, positions, surface_reference_height(surface));
  const SeamGridSize size = seam_grid_size(images, natives, grid, options.match_px, options.seam_mpix);
  // Checked before the label grid is allocated: a grid of no cells, or more cells than the
  // output has pixels, means the output plan itself is unusable.
  const double cells = static_cast<double>(size.nx) * static_cast<double>(size.ny);
  if (!std::isfinite(size.cell) || size.nx == 0 || size.ny == 0 ||
      cells > static_cast<double>(grid.width) * static_cast<double>(grid.height) * 4.0 + 4.0)
    return std::unexpected(format("seam grid of {} x {} cells of {} m does not fit the {} x {} px mosaic", size.nx,
                                  size.ny, size_text(size.cell), grid.width, grid.height));
  const std::vector<double> scales = seam_decode_scales(natives, size.cell);

  SeamMap map;
  map.nx = size.nx;
  map.ny = size.ny;
  map.left_e = grid.left_e;
  map.top_n = grid.top_n;
  map.cell = size.cell;
  map.names.reserve(n);
  for (const ImageMeta& m : images) map.names.push_back(file_name_string(m.path.string()));

  const SeamInputs inputs{photos, &surface};
  const std::vector<CellWindow> windows = cell_windows(grid, size);
  nadir_partition(inputs, map, windows, options.workers);
  if (n < 2 || !options.cut) {
    logf("  seams: nadir partition on {}x{} grid @ {:.1} cm", map.nx, map.ny, map.cell * 100.0);
    return map;
  }
  const CutInputs cut{inputs, gains, options.seam_band, options.workers, &cache, scales, natives};
  if (auto r = cut_seams(cut, map); !r) return std::unexpected(std::move(r.error()));
  return map;
}

}  // namespace tsl
