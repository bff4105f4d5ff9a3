#include "img/dng/orientation.h"

#include <algorithm>

#include "util/par.h"

namespace tsl {

bool orientation_swaps_axes(uint64_t orientation) { return orientation >= 5 && orientation <= 8; }

ImageU16 orient_image(ImageU16 src, uint64_t orientation) {
  if (orientation != 3 && orientation != 5 && orientation != 6 && orientation != 7 && orientation != 8) return src;
  const size_t w = src.width, h = src.height, ch = src.channels;
  const bool swap = orientation_swaps_axes(orientation);
  ImageU16 dst(swap ? h : w, swap ? w : h, ch);
  // Each destination row is gathered from the source: destination pixel (u, v) reads the
  // source pixel that the mapping sends there.
  par_rows(dst.height, 16, cpu_budget(), [&](size_t first, size_t last) {
    for (size_t v = first; v < last; ++v) {
      uint16_t* out = dst.row(v);
      for (size_t u = 0; u < dst.width; ++u) {
        size_t x = 0, y = 0;
        switch (orientation) {
          case 3: x = w - 1 - u, y = h - 1 - v; break;
          case 5: x = v, y = u; break;
          case 6: x = v, y = h - 1 - u; break;
          case 7: x = w - 1 - v, y = h - 1 - u; break;
          default: x = w - 1 - v, y = u; break;  // 8
        }
        std::copy_n(src.data.data() + (y * w + x) * ch, ch, out + u * ch);
      }
    }
  });
  return dst;
}

}  // namespace tsl
