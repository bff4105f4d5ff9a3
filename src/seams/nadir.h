#pragma once
// The seam grid and its first pass, the nadir partition: every cell goes to the photo in
// whose frame it lies closest to the centre.
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "geo/vec.h"
#include "grid/output_grid.h"
#include "grid/seam_map.h"
#include "meta/placed_photos.h"
#include "surface/surface.h"

namespace tsl {

// Smallest cell budget in megacells: a budget at or below zero would give an infinite cell.
inline constexpr double MIN_SEAM_MPIX = 0.01;

// Seam cells are projected exactly every this many cells and interpolated in between.
inline constexpr uint64_t SEAM_GRID_STEP = 8;

// The photos and poses the seam passes read, borrowed for the call.
struct SeamInputs {
  PlacedPhotos photos;
  const Surface* surface = nullptr;
};

// Cell size and grid size of a seam grid.
struct SeamGridSize {
  double cell = 1.0;  // m
  uint64_t nx = 0;
  uint64_t ny = 0;
};

// Cells of a photo: columns x0..x1-1, rows y0..y1-1.
struct CellWindow {
  bool valid = false;
  uint64_t x0 = 0, x1 = 0, y0 = 0, y1 = 0;
};

// The cell: 1.25 x the median ground size of a matching-image pixel (long side `match_px`),
// at least the output gsd (the gsd when no photo gives a size), then enlarged once so that
// the grid holds at most seam_mpix megacells (values below MIN_SEAM_MPIX, and NaN, count as
// MIN_SEAM_MPIX). `natives` are the photos' native gsds.
SeamGridSize seam_grid_size(std::span<const ImageMeta> images, std::span<const double> natives, const OutputGrid& grid,
                            uint64_t match_px, double seam_mpix);

// The fraction of full size at which the cut pass decodes each photo: about 1.25 samples per
// cell, min(max(1.25 native / cell, 0.02), 1).
std::vector<double> seam_decode_scales(std::span<const double> natives, double cell);

// The cells each photo's output window may cover (the window widened by one cell).
std::vector<CellWindow> cell_windows(const OutputGrid& grid, const SeamGridSize& size);

// The photo's pixel column and row at every cell of the window [x0, x1) x [y0, y1) of the seam
// grid (row-major), projected exactly every `step` cells and interpolated bilinearly in
// between; invalid nodes hold NO_PROJECTION and pull the cells near them far off the photo.
std::pair<std::vector<float>, std::vector<float>> seam_proj_grid(const SeamInputs& in, double left_e, double top_n,
                                                                 double cell, uint64_t step, size_t photo, uint64_t x0,
                                                                 uint64_t x1, uint64_t y0, uint64_t y1);

// One score per cell of the photo's window (row-major): (1 - u^2)(1 - v^2) + 1e-6 with (u, v)
// the frame position in -1..1, 0 at |u| or |v| >= 0.995 or without a projection. Nothing for
// an invalid window.
std::optional<std::vector<float>> nadir_score_grid(const SeamInputs& in, const SeamMap& map,
                                                   std::span<const CellWindow> windows, size_t photo);

// Fills map.labels with the nadir partition: the highest score wins (the scores of
// nadir_score_grid), ties go to the lower photo index, cells without a positive score stay -1.
// Bands of rows are scored on up to `workers` threads without holding any photo's score grid
// in full; the result does not depend on the thread count.
void nadir_partition(const SeamInputs& in, SeamMap& map, std::span<const CellWindow> windows, uint64_t workers);

}  // namespace tsl
