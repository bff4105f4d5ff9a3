#pragma once
// The user's finish, applied only where output samples are written: linear RGB (1 = full
// scale) to display values in [0, 1] through exposure, white balance, saturation, the sRGB
// curve and a contrast curve. Pure functions, safe on any thread.
#include <array>
#include <cstdint>
#include <vector>

#include "img/image.h"

namespace tsl {

struct ToneSettings {
  double ev = 0.0;                         // exposure offset, stops
  std::array<double, 3> wb = {1, 1, 1};    // linear red, green, blue multipliers
  double saturation = 1.0;                 // 1 unchanged, 0 grey
  double contrast = 0.0;                   // 0 unchanged, > 0 steeper (1 = smoothstep), < 0 flatter
};

// The same exposure with white balance, saturation and contrast left neutral.
ToneSettings neutral_tone(const ToneSettings& tone);

// Display RGB, each channel in [0, 1]; arithmetic in f32. Values outside [0, 1] after
// exposure and white balance are clipped before the sRGB curve.
std::array<float, 3> tone_map_pixel(float r, float g, float b, const ToneSettings& tone);

// Tone-mapped bytes (width x height x 3, row by row) of a 3-channel linear image; each channel
// is round(v x 255), halves away from zero. Another channel count is a caller's bug.
std::vector<uint8_t> tone_map_image(const ImageF32& image, const ToneSettings& tone);

}  // namespace tsl
