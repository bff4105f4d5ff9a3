#pragma once
// Connected-component labelling of byte masks (row-major; any non-zero byte counts as set).
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tsl {

struct Components {
  uint64_t count = 0;           // components + 1: label values 0..count-1 occur
  std::vector<int32_t> labels;  // per pixel: 0 = not set, else the component number
};

// Labels 4- or 8-connected components, numbered in raster order of their first (top-most,
// then left-most) pixel. Flood fill with a heap stack, so any component size is safe. A
// mask not width x height long is an internal error. Runs on the calling thread.
Components label_components(std::span<const uint8_t> mask, size_t width, size_t height, bool eight_connected);

}  // namespace tsl
