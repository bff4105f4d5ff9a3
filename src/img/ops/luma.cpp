#include "img/ops/luma.h"

#include "util/error.h"
#include "util/text.h"

namespace tsl {

void rgb_to_luma_into(size_t w, size_t h, std::span<const float> rgb, ImageF32& out) {
  if (rgb.size() / 3 < w * h) internal_error(format("luma of {}x{} from {} values", w, h, rgb.size()));
  out.width = w, out.height = h, out.channels = 1;
  out.data.resize(w * h);
  for (size_t i = 0; i < w * h; ++i) out.data[i] = luma(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
}

ImageF32 rgb_to_luma(size_t w, size_t h, std::span<const float> rgb) {
  ImageF32 out;
  rgb_to_luma_into(w, h, rgb, out);
  return out;
}

}  // namespace tsl
