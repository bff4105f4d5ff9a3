#pragma once
// Generated gray images for the detector's tests.
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "img/image.h"

namespace tsl::test {

// Smooth random texture: blobs of several sizes and contrasts on a gradient, 8-bit.
inline ImageU8 generated_image(size_t w, size_t h, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<double> v(w * h);
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) v[y * w + x] = 60.0 + 80.0 * static_cast<double>(x + y) / static_cast<double>(w + h);
  for (int b = 0; b < 300; ++b) {
    const double cx = u(rng) * static_cast<double>(w), cy = u(rng) * static_cast<double>(h);
    const double s = 1.5 + 6.0 * u(rng), amp = (u(rng) - 0.5) * 160.0;
    const int r = static_cast<int>(3.0 * s) + 1;
    for (int dy = -r; dy <= r; ++dy)
      for (int dx = -r; dx <= r; ++dx) {
        const int x = static_cast<int>(cx) + dx, y = static_cast<int>(cy) + dy;
        if (x < 0 || y < 0 || x >= static_cast<int>(w) || y >= static_cast<int>(h)) continue;
        const double ex = x - cx, ey = y - cy;
        v[static_cast<size_t>(y) * w + static_cast<size_t>(x)] += amp * std::exp(-(ex * ex + ey * ey) / (2 * s * s));
      }
  }
  ImageU8 img(w, h, 1);
  for (size_t i = 0; i < v.size(); ++i) img.data[i] = static_cast<uint8_t>(std::clamp(std::round(v[i]), 0.0, 255.0));
  return img;
}

}  // namespace tsl::test
