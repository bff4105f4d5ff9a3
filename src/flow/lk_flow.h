#pragma once
// Dense pyramidal Lucas-Kanade flow: 2 x 2 normal equations over 9 x 9 windows, four
// iterations on each of three pyramid levels, the flow smoothed after every iteration.
#include "img/flow_field.h"
#include "img/image.h"

namespace tsl {

// The flow from a to b, single-channel images of equal size on the 0..1 scale. A step moves
// a pixel by at most 2 pixels of its level, so the reach is about 2 * (1 + 2 + 4) * 4 pixels
// in the best case and a few pixels in practice. Non-finite samples are read as 0. No error
// result; an empty image gives an empty flow.
FlowField lk_flow(const ImageF32& a, const ImageF32& b);

// Gaussian 5-tap (1, 4, 6, 4, 1) / 16 reduction with reflect-101 borders: a single-channel
// w x h image becomes ceil(w / 2) x ceil(h / 2).
ImageF32 pyr_down(const ImageF32& src);

// 9 x 9 box mean of a single-channel image, edges clamped, by running sums.
ImageF32 box_filter9(const ImageF32& src);

}  // namespace tsl
