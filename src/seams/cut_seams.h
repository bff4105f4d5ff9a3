#pragma once
// The second seam pass: each boundary between two photos of the nadir partition is moved,
// within a band around it, onto a least-cost path through cells where the two photos agree in
// colour and local structure, so that seams run around cars, people and roof edges instead of
// through them. Cells between the old and the new boundary go to the photo on their side.
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "gains/gains.h"
#include "grid/seam_map.h"
#include "imageio/image_cache.h"
#include "img/image.h"
#include "seams/nadir.h"

namespace tsl {

// One unordered pair of photos that share cell edges in the nadir partition.
struct SeamBoundary {
  int32_t a = 0, b = 0;  // photo indices, a < b
  // Inclusive cell bounds of the first cells of the shared edges (the left cell of a
  // horizontal pair, the upper cell of a vertical one).
  uint64_t min_x = 0, max_x = 0, min_y = 0, max_y = 0;
  uint64_t count = 0;  // shared cell edges
};

// The boundaries of a label grid, most shared edges first (equal counts in (a, b) order).
std::vector<SeamBoundary> seam_boundaries(const SeamMap& map);

// Half-width of the band a boundary may move in, in cells: seam_band x the median ground
// length of the photos' shorter sides over the cell, rounded half away from zero, at least 3.
uint64_t seam_band_cells(std::span<const ImageMeta> images, std::span<const double> natives, double cell,
                         double seam_band);

// One photo rendered on a window of seam cells.
struct SeamPatch {
  ImageF32 rgb;                // window size, 3 channels, display-encoded (gamma 1/2.2) in 0..1
  std::vector<uint8_t> valid;  // 1 where the cell lies well inside the photo's frame
};

// What the cut pass reads besides the seam map.
struct CutInputs {
  SeamInputs scene;
  std::span<const Gain> gains;
  double seam_band = 0.12;  // a cut's band half-width, as a fraction of a frame's shorter ground side
  uint64_t workers = 1;
  ImageCache* cache = nullptr;
  std::span<const double> scales;   // seam decode scale per photo
  std::span<const double> natives;  // native gsd per photo
};

// The photo's colours at the cells [x0, x1) x [y0, y1) of the map, decoded at its seam scale
// through the cache (key "seam|{path}|{scale:.3}"). With a non-empty `needed` (one byte per
// window cell), cells where it is 0 are skipped and left black and not valid; the others get
// the same values as without it. Error: the loader's message unchanged.
std::expected<SeamPatch, std::string> render_seam_window(const CutInputs& in, const SeamMap& map, size_t photo,
                                                         uint64_t x0, uint64_t x1, uint64_t y0, uint64_t y1,
                                                         std::span<const uint8_t> needed = {});

// Runs the cut pass over map.labels and logs its summary line. Error: a photo's loading error.
std::expected<void, std::string> cut_seams(const CutInputs& in, SeamMap& map);

}  // namespace tsl
