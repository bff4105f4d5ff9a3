#pragma once
// Point samplers: read an image at a fractional position, sample (i, j) standing at the
// integer position (i, j). The renderers call them once per output pixel, so they live here
// inline, allocate nothing and write into the caller's array.
//
// Both write the first min(channels, 4) entries of `out` and leave the rest; an image with 0
// channels leaves `out` untouched. A non-finite position reads nothing (zeros). More than 4
// channels, or data shorter than width x height x channels, is an internal error.
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "img/image.h"
#include "img/ops/border.h"
#include "util/error.h"

namespace tsl {

namespace sample_detail {

template <typename T>
inline void check_sampler_image(const Image<T>& image) {
  if (image.channels > 4) internal_error("sampler image has more than 4 channels");
  if (image.data.size() < image.width * image.height * image.channels)
    internal_error("sampler image data is shorter than its size");
}

// floor(v) as an index; far-off positions saturate, which keeps them outside the image on
// the same side (2^40 exceeds any image axis).
inline int64_t floor_index(float v) {
  constexpr float LIMIT = 1099511627776.0f;  // 2^40
  return static_cast<int64_t>(std::fmax(std::fmin(v, LIMIT), -LIMIT));
}

// Keys' cubic convolution weights (a = -0.75) for a fraction f in [0, 1); they add up to 1.
inline std::array<float, 4> cubic_weights(float f) {
  const float t = f + 1.0f;
  const float g = 1.0f - f;
  std::array<float, 4> w;
  w[0] = ((3.75f - 0.75f * t) * t - 6.0f) * t + 3.0f;
  w[1] = (1.25f * f - 2.25f) * f * f + 1.0f;
  w[2] = (1.25f * g - 2.25f) * g * g + 1.0f;
  w[3] = 1.0f - w[0] - w[1] - w[2];
  return w;
}

}  // namespace sample_detail

// Bilinear read of a float image; taps outside the image add nothing, so at (-0.5, 0) on a
// constant image of 1 the result is 0.5.
inline void sample_bilinear(const ImageF32& image, float x, float y, std::array<float, 4>& out) {
  sample_detail::check_sampler_image(image);
  const size_t ch = image.channels;
  if (ch == 0) return;
  for (size_t c = 0; c < ch; ++c) out[c] = 0.0f;
  if (!std::isfinite(x) || !std::isfinite(y)) return;
  const float xf = std::floor(x), yf = std::floor(y);
  const float fx = x - xf, fy = y - yf;
  const int64_t x0 = sample_detail::floor_index(xf), y0 = sample_detail::floor_index(yf);
  const int64_t w = static_cast<int64_t>(image.width), h = static_cast<int64_t>(image.height);
  const int64_t xs[4] = {x0, x0 + 1, x0, x0 + 1};
  const int64_t ys[4] = {y0, y0, y0 + 1, y0 + 1};
  const float ws[4] = {(1.0f - fx) * (1.0f - fy), fx * (1.0f - fy), (1.0f - fx) * fy, fx * fy};
  for (int t = 0; t < 4; ++t) {
    if (xs[t] < 0 || xs[t] >= w || ys[t] < 0 || ys[t] >= h) continue;
    const float* s = image.data.data() + (static_cast<size_t>(ys[t]) * image.width + static_cast<size_t>(xs[t])) * ch;
    for (size_t c = 0; c < ch; ++c) out[c] += s[c] * ws[t];
  }
}

// Bilinear (2 x 2 taps) or Keys cubic (4 x 4 taps, rows outer) read of a 16-bit image,
// samples taken unscaled (0..65535); every tap goes through `border` on each axis. The
// cubic is not clamped and may overshoot. At an integer position the cubic returns that
// sample exactly.
inline void sample_u16(const ImageU16& image, float x, float y, bool cubic, BorderMode border,
                       std::array<float, 4>& out) {
  sample_detail::check_sampler_image(image);
  const size_t ch = image.channels;
  if (ch == 0) return;
  for (size_t c = 0; c < ch; ++c) out[c] = 0.0f;
  if (!std::isfinite(x) || !std::isfinite(y) || image.width == 0 || image.height == 0) return;
  const float xf = std::floor(x), yf = std::floor(y);
  const float fx = x - xf, fy = y - yf;
  const int64_t x0 = sample_detail::floor_index(xf), y0 = sample_detail::floor_index(yf);
  const int64_t w = static_cast<int64_t>(image.width), h = static_cast<int64_t>(image.height);
  auto add = [&](int64_t col, int64_t row, float weight) {
    const int64_t bx = border_index(col, w, border), by = border_index(row, h, border);
    if (bx < 0 || by < 0) return;
    const uint16_t* s = image.data.data() + (static_cast<size_t>(by) * image.width + static_cast<size_t>(bx)) * ch;
    for (size_t c = 0; c < ch; ++c) out[c] += static_cast<float>(s[c]) * weight;
  };
  if (!cubic) {
    add(x0, y0, (1.0f - fx) * (1.0f - fy));
    add(x0 + 1, y0, fx * (1.0f - fy));
    add(x0, y0 + 1, (1.0f - fx) * fy);
    add(x0 + 1, y0 + 1, fx * fy);
    return;
  }
  const std::array<float, 4> wx = sample_detail::cubic_weights(fx);
  const std::array<float, 4> wy = sample_detail::cubic_weights(fy);
  for (int j = 0; j < 4; ++j)
    for (int i = 0; i < 4; ++i) add(x0 - 1 + i, y0 - 1 + j, wx[i] * wy[j]);
}

}  // namespace tsl
