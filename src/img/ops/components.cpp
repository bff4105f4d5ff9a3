#include "img/ops/components.h"

#include <limits>

#include "util/error.h"
#include "util/text.h"

namespace tsl {

Components label_components(std::span<const uint8_t> mask, size_t width, size_t height, bool eight_connected) {
  if (mask.size() != width * height)
    internal_error(format("mask of {} bytes is not {}x{}", mask.size(), width, height));
  Components result;
  result.labels.assign(mask.size(), 0);
  int32_t next = 1;
  std::vector<size_t> stack;
  for (size_t seed = 0; seed < mask.size(); ++seed) {
    if (mask[seed] == 0 || result.labels[seed] != 0) continue;
    if (next == std::numeric_limits<int32_t>::max()) internal_error("too many components for 32-bit labels");
    result.labels[seed] = next;
    stack.push_back(seed);
    while (!stack.empty()) {
      const size_t p = stack.back();
      stack.pop_back();
      const size_t px = p % width, py = p / width;
      for (int dy = -1; dy <= 1; ++dy) {
        if ((dy < 0 && py == 0) || (dy > 0 && py + 1 == height)) continue;
        for (int dx = -1; dx <= 1; ++dx) {
          if (dx == 0 && dy == 0) continue;
          if (dx != 0 && dy != 0 && !eight_connected) continue;
          if ((dx < 0 && px == 0) || (dx > 0 && px + 1 == width)) continue;
          const size_t q = (py + static_cast<size_t>(dy + 1) - 1) * width + px + static_cast<size_t>(dx + 1) - 1;
          if (mask[q] != 0 && result.labels[q] == 0) {
            result.labels[q] = next;
            stack.push_back(q);
          }
        }
      }
    }
    ++next;
  }
  result.count = static_cast<uint64_t>(next);
  return result;
}

}  // namespace tsl
