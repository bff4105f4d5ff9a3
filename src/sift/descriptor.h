#pragma once
// The SIFT gradient descriptor of one oriented keypoint, and the final choice of keypoints:
// duplicates removed, the strongest kept, descriptors mapped to RootSIFT in half precision.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "img/image.h"
#include "sift/keypoint.h"

namespace tsl {

// Floats per descriptor: 4 x 4 spatial cells of 8 orientation bins.
inline constexpr size_t DESC_LEN = 128;

// The raw descriptor of the keypoint centred on integer pixel (cx, cy) of the gaussian layer
// `layer` (one channel, values 0..255) it was found on, with `scl` its blur within the octave
// (size x 0.5 / octave factor) and `angle_deg` its orientation. Writes 128 whole numbers in
// 0..255 to `out`: value (i x 4 + j) x 8 + b for cell row i, cell column j, orientation bin b.
// Samples outside the layer or on its outermost rows and columns never contribute; a patch
// without gradient gives zeros.
void sift_descriptor(const ImageF32& layer, int64_t cx, int64_t cy, float scl, float angle_deg,
                     std::span<float, DESC_LEN> out);

// Strict weak order for duplicate removal: x, then y ascending, size descending, angle ascending.
bool keypoint_order(const Keypoint& a, const Keypoint& b);

struct SiftFeatures {
  std::vector<Keypoint> keypoints;
  std::vector<float> descriptors;  // 128 per keypoint, RootSIFT, each value binary16-exact
};

// The candidate indices select_keypoints keeps, in its output order; descriptors play no part.
std::vector<size_t> select_indices(std::span<const Keypoint> candidates, uint64_t n);

// RootSIFT of one raw descriptor: sqrt(v / (sum + 1e-7)) per value, rounded to binary16.
void root_sift(std::span<const float, DESC_LEN> raw, std::span<float, DESC_LEN> out);

// atan2(y, x) in degrees within 1e-5 of the exact value, as a cheap branch-free polynomial;
// (0, 0) gives 0. The descriptor and the orientation histogram call it for every sample.
float atan2_deg(float y, float x);

// From the candidates (detection order) and their raw descriptors (128 per candidate): exact
// duplicates of x, y, size and angle dropped (the lowest candidate index stays); with n > 0 and
// more than n left, those whose response reaches the n-th largest (ties at it all kept), by
// response descending then candidate index; otherwise all left, in keypoint_order.
SiftFeatures select_keypoints(std::span<const Keypoint> candidates, std::span<const float> raw, uint64_t n);

}  // namespace tsl
