#pragma once
// Turning a developed image upright by its TIFF Orientation value.
#include <cstdint>

#include "img/image.h"

namespace tsl {

// True for the orientations that swap width and height (5 to 8).
bool orientation_swaps_axes(uint64_t orientation);

// The upright image. For a source w wide and h high, source pixel (x, y) goes to:
// 3 (w-1-x, h-1-y); 5 (y, x); 6 (h-1-y, x); 7 (h-1-y, w-1-x); 8 (y, w-1-x). Every other
// value, the mirror-only 2 and 4 included, returns the image unchanged. Row-parallel.
ImageU16 orient_image(ImageU16 image, uint64_t orientation);

}  // namespace tsl
