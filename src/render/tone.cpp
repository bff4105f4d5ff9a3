#include "render/tone.h"

#include <algorithm>
#include <cmath>

#include "imageio/srgb.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

float apply_contrast(float v, float c) {
  if (c > 0.0f) return v + c * (v * v * (3.0f - 2.0f * v) - v);
  if (c < 0.0f) return (v - 0.5f) * (1.0f + 0.6f * c) + 0.5f;
  return v;
}

}  // namespace

ToneSettings neutral_tone(const ToneSettings& tone) {
  ToneSettings n;
  n.ev = tone.ev;
  return n;
}

std::array<float, 3> tone_map_pixel(float r, float g, float b, const ToneSettings& tone) {
  const float k = std::exp2(static_cast<float>(tone.ev));
  r = static_cast<float>(tone.wb[0]) * (k * r);
  g = static_cast<float>(tone.wb[1]) * (k * g);
  b = static_cast<float>(tone.wb[2]) * (k * b);
  if (tone.saturation != 1.0) {
    const float s = static_cast<float>(tone.saturation);
    const float y = 0.0722f * b + (0.7152f * g + 0.2126f * r);
    r = (r - y) * s + y;
    g = (g - y) * s + y;
    b = (b - y) * s + y;
  }
  const float c = static_cast<float>(tone.contrast);
  std::array<float, 3> out = {srgb_encode(r), srgb_encode(g), srgb_encode(b)};
  for (float& v : out) v = std::clamp(apply_contrast(v, c), 0.0f, 1.0f);
  return out;
}

std::vector<uint8_t> tone_map_image(const ImageF32& image, const ToneSettings& tone) {
  if (image.channels != 3 || image.data.size() != image.width * image.height * 3)
    internal_error(format("tone mapping of a {}-channel image", image.channels));
  std::vector<uint8_t> out(image.data.size());
  for (size_t p = 0; p < image.width * image.height; ++p) {
    const float* s = image.data.data() + 3 * p;
    const std::array<float, 3> v = tone_map_pixel(s[0], s[1], s[2], tone);
    for (size_t c = 0; c < 3; ++c)
      out[3 * p + c] = static_cast<uint8_t>(std::clamp(std::round(v[c] * 255.0f), 0.0f, 255.0f));
  }
  return out;
}

}  // namespace tsl
