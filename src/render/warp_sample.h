#pragma once
// The renderers' per-pixel read of a decoded photo: sample_u16 with clamped borders, with the
// taps of positions well inside the image summed directly. The general sampler resolves the
// border rule tap by tap through a call that the compiler does not inline, which is most of
// a render's time; inside the image the rule changes nothing, and the taps are summed in the
// same order with the same weights, so the result is the same to the bit.
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "img/image.h"
#include "img/ops/sample.h"

namespace tsl {

// sample_u16 (image, x, y, cubic, BorderMode::Clamp, out) for a 3-channel image.
inline void warp_sample(const ImageU16& image, float x, float y, bool cubic, std::array<float, 4>& out) {
  const float xf = std::floor(x), yf = std::floor(y);
  // Inside: the 4 x 4 (or 2 x 2) taps from (x0 - 1, y0 - 1) to (x0 + 2, y0 + 2) all exist.
  if (!(xf >= 1.0f && yf >= 1.0f && xf + 2.0f < static_cast<float>(image.width) &&
        yf + 2.0f < static_cast<float>(image.height)) ||
      image.channels != 3) {
    sample_u16(image, x, y, cubic, BorderMode::Clamp, out);
    return;
  }
  const float fx = x - xf, fy = y - yf;
  const size_t x0 = static_cast<size_t>(xf), y0 = static_cast<size_t>(yf), stride = image.width * 3;
  const uint16_t* base = image.data.data();
  float r = 0.0f, g = 0.0f, b = 0.0f;
  const auto add = [&](size_t col, size_t row, float w) {
    const uint16_t* s = base + row * stride + col * 3;
    r += static_cast<float>(s[0]) * w;
    g += static_cast<float>(s[1]) * w;
    b += static_cast<float>(s[2]) * w;
  };
  if (!cubic) {
    add(x0, y0, (1.0f - fx) * (1.0f - fy));
    add(x0 + 1, y0, fx * (1.0f - fy));
    add(x0, y0 + 1, (1.0f - fx) * fy);
    add(x0 + 1, y0 + 1, fx * fy);
  } else {
    const std::array<float, 4> wx = sample_detail::cubic_weights(fx);
    const std::array<float, 4> wy = sample_detail::cubic_weights(fy);
    for (size_t j = 0; j < 4; ++j)
      for (size_t i = 0; i < 4; ++i) add(x0 - 1 + i, y0 - 1 + j, wx[i] * wy[j]);
  }
  out[0] = r;
  out[1] = g;
  out[2] = b;
}

}  // namespace tsl
