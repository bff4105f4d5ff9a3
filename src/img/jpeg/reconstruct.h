#pragma once
// The last step of decoding: dequantisation and the inverse DCT of every block into one 8-bit
// plane per component (at full size or reduced by 2, 4 or 8 inside the transform), then
// chroma upsampling and colour conversion to RGB. Both steps run on worker threads.
#include <array>

#include "img/image.h"
#include "img/jpeg/frame.h"

namespace tsl {

// The n-point inverse DCT basis (n = 1..8): entry x * 8 + u holds C(u) cos((2x + 1) u pi / 2n)
// with C(0) = 1/sqrt(2) and C(u) = 1 otherwise; entries with x or u >= n are 0.
std::array<float, 64> idct_basis(unsigned n);

// The reduction (1, 2, 4 or 8) a requested denominator stands for: 0 and 1 full size,
// 2 half, 3 and 4 a quarter, 5 and more an eighth.
unsigned jpeg_scale_denominator(unsigned denominator);

// The 3-channel RGB image of a decoded frame at the reduction the denominator stands for.
ImageU8 jpeg_reconstruct(const JpegDecoder& dec, unsigned denominator);

}  // namespace tsl
