#pragma once
// The raster plan of a mosaic: a north-up grid of square pixels in the build's local frame
// (east and north in metres from the UTM origin) and, per photo, the window of output pixels
// the photo can reach. Output pixel (x, y) has its centre at east left_e + (x + 0.5) gsd,
// north top_n - (y + 0.5) gsd; rows run north to south, columns west to east.
#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "geo/vec.h"
#include "meta/image_meta.h"
#include "meta/placed_photos.h"
#include "surface/surface.h"

namespace tsl {

// Columns x0..x1-1 and rows y0..y1-1 of the output; all four zero when empty.
struct PixelWindow {
  uint64_t x0 = 0;
  uint64_t x1 = 0;
  uint64_t y0 = 0;
  uint64_t y1 = 0;
};

struct OutputGrid {
  std::vector<PixelWindow> windows;  // one per photo, in photo order
  double left_e = 0.0;               // m, local east of the west edge
  double top_n = 0.0;                // m, local north of the north edge
  double gsd = 1.0;                  // m per pixel
  uint64_t width = 1;                // pixels, at least 1
  uint64_t height = 1;
};

// Longest side of an output grid: the TIFF directory stores the width and height as 32-bit
// LONG values.
inline constexpr uint64_t MAX_OUTPUT_SIDE_PX = 4'294'967'295;

// Clipping box in local metres: min_e, min_n, max_e, max_n. A NaN side does not clip.
using GroundBounds = std::array<double, 4>;

// The height a surface is referred to: a plane's z0, a height grid's median.
double surface_reference_height(const Surface& surface);

// Native ground sampling distance of each of the first min(images, positions) photos in
// metres per pixel: (height - ground) / fx. Not clamped: a photo below the ground gets a
// negative value. A photo without a camera model is a caller's bug (internal error).
std::vector<double> native_gsds(std::span<const ImageMeta> images, std::span<const Vec3> positions, double ground);

// Plans the output grid from the photos' footprints (16 samples per side on `surface`).
// gsd_m: the output ground sampling distance, or the median native one when absent; the
// grid is coarsened once so that width x height stays near max_mpix megapixels; bounds clip
// the union of the footprints. With `verbose` the clipping and capping lines are logged.
// Errors: "bounds do not overlap the mosaic", and a clear message when no footprint reaches
// the ground, when the ground sampling distance (given or native) is not a positive finite
// number (cameras at or below the ground) or is more than ten times finer than every photo's
// at its recorded height above the take-off point, when max_mpix is below one pixel, and
// when the extent is not finite or a side, after the cap, is longer than MAX_OUTPUT_SIDE_PX.
// Photos without a camera model, or fewer rotations or positions than photos, are a caller's
// bug.
std::expected<OutputGrid, std::string> plan_output_grid(const PlacedPhotos& photos, const Surface& surface,
                                                        std::optional<double> gsd_m, double max_mpix,
                                                        const std::optional<GroundBounds>& bounds, bool verbose);

// A size or scale for messages: the shortest form that reads back, with an exponent for very
// large and very small values ("5e-324", "1.6e+303", "70.7").
std::string size_text(double value);

}  // namespace tsl
