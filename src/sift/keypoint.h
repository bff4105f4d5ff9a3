#pragma once
// One oriented SIFT keypoint as the detector fills it.
#include <cstdint>

namespace tsl {

struct Keypoint {
  uint64_t layer = 0;     // scale layer within its octave after refinement, 1..3
  float x = 0.0f;         // input-image pixels, origin top-left, pixel centres at integers
  float y = 0.0f;
  float size = 0.0f;      // diameter in input pixels: 2 x 1.6 x 2^(scale / 3) x octave factor
  float angle = 0.0f;     // degrees in [0, 360)
  float response = 0.0f;  // |refined contrast|, with an image value of 255 as 1
  int32_t octave = 0;     // octave index - 1: -1 is the octave on the 2x upsampled image
};

}  // namespace tsl
