#pragma once
// Luma of RGB values with the video standard's weights (0.299, 0.587, 0.114). Every caller
// sums in this one order, so results agree to the bit wherever luma is taken.
#include <cstddef>
#include <span>

#include "img/image.h"

namespace tsl {

// Luma of one RGB value, in the scale of its inputs.
inline float luma(float r, float g, float b) { return (r * 0.299f + g * 0.587f) + b * 0.114f; }

// Luma of w x h interleaved RGB values into a one-channel image, reusing its storage.
// `rgb` shorter than 3 x w x h values is an internal error.
void rgb_to_luma_into(size_t w, size_t h, std::span<const float> rgb, ImageF32& out);

// Luma of w x h interleaved RGB values as a one-channel image.
ImageF32 rgb_to_luma(size_t w, size_t h, std::span<const float> rgb);

}  // namespace tsl
