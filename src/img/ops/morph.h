#pragma once
// Binary dilation and erosion of byte masks (row-major, width values per row; any non-zero
// byte counts as set).
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tsl {

// Dilation (`dilate` true) or erosion by an L x L square, L = `window` with its lowest bit
// set, centred on the pixel (offsets -floor(window / 2) .. +L - 1 from there). Positions
// outside the mask take no part: erosion does not eat in from the border and dilation does
// not grow from outside. Returns bytes of 0 or 1. A mask not width x height long is an
// internal error. Runs on the calling thread.
std::vector<uint8_t> morph_mask(std::span<const uint8_t> mask, size_t width, size_t height, uint64_t window,
                                bool dilate);

}  // namespace tsl
