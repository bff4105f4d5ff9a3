#pragma once
// Seam grid sampling: one photo projected through its stored pose, lens and the ground onto
// the analysis grid as grey values, so that two photos can be compared cell by cell.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "geo/vec.h"
#include "meta/image_meta.h"
#include "surface/surface.h"

namespace tsl {

// The analysis grid in local metres, rows from the north. Cell (col, row) spans east
// left_e + col cell .. + cell and north top_n - (row + 1) cell .. top_n - row cell.
struct AnalysisGrid {
  double left_e = 0.0;
  double top_n = 0.0;
  double cell = 0.05;
  uint64_t nx = 0;
  uint64_t ny = 0;
};

// A photo's pose as the report stores it.
struct ShotPose {
  bool present = false;
  Mat3 rotation{};  // world-to-camera
  double e = 0.0;   // local metres
  double n = 0.0;
  double h = 0.0;   // m above take-off
};

// One photo's samples on its grid window; arrays row-major over the window.
struct SeamSample {
  uint64_t x0 = 0;
  uint64_t y0 = 0;
  uint64_t width = 0;
  uint64_t height = 0;
  std::vector<float> grey;     // 0..255 whole numbers where valid, 0 elsewhere
  std::vector<uint8_t> valid;  // 1 where the cell's ground point is seen inside the photo
  std::vector<float> radial;   // 0 at the photo centre, 1 on its frame; 9 where not valid
};

struct SamplingContext {
  std::span<const ShotPose> poses;
  std::span<const ImageMeta> photos;  // each with a camera model
  const Surface* surface = nullptr;
  AnalysisGrid grid;
};

// The photo's samples, or nothing for a photo without a pose, without a finite footprint, with
// a window under 9 x 9 cells after clipping, or that cannot be loaded. Logs nothing.
std::optional<SeamSample> diag_sample_image(const SamplingContext& context, size_t index);

}  // namespace tsl
