#include "img/ops/morph.h"

#include <algorithm>

#include "util/error.h"
#include "util/text.h"

namespace tsl {

namespace {

// The window of position i on an axis of length n, clipped to the axis. L = 2 floor(window
// / 2) + 1 for odd and even windows alike, so the window is [i - half, i + half].
struct Window {
  size_t lo = 0;
  size_t hi = 0;
};

Window window_at(size_t i, size_t n, size_t half) {
  return {i >= half ? i - half : 0, std::min(n - 1, i + std::min(half, n))};
}

// With a running count of set pixels in the window, the result needs no scan of the window:
// dilation asks whether the count is positive, erosion whether it is the window's size.
uint8_t decide(size_t count, size_t inside, bool dilate) {
  return dilate ? (count > 0 ? 1 : 0) : (count == inside ? 1 : 0);
}

}  // namespace

std::vector<uint8_t> morph_mask(std::span<const uint8_t> mask, size_t width, size_t height, uint64_t window,
                                bool dilate) {
  if (mask.size() != width * height)
    internal_error(format("mask of {} bytes is not {}x{}", mask.size(), width, height));
  std::vector<uint8_t> out(mask.size());
  if (out.empty()) return out;
  const size_t half = static_cast<size_t>(window / 2);

  // Horizontal pass.
  std::vector<uint8_t> horizontal(mask.size());
  std::vector<size_t> prefix(width + 1);
  for (size_t y = 0; y < height; ++y) {
    const uint8_t* row = mask.data() + y * width;
    for (size_t x = 0; x < width; ++x) prefix[x + 1] = prefix[x] + (row[x] != 0 ? 1 : 0);
    uint8_t* dst = horizontal.data() + y * width;
    for (size_t x = 0; x < width; ++x) {
      const Window w = window_at(x, width, half);
      dst[x] = decide(prefix[w.hi + 1] - prefix[w.lo], w.hi - w.lo + 1, dilate);
    }
  }

  // Vertical pass: per-column counts of the current row window, slid down one row at a time.
  std::vector<size_t> counts(width, 0);
  size_t lo = 0, hi = 0;  // rows [lo, hi) are in `counts`
  for (size_t y = 0; y < height; ++y) {
    const Window w = window_at(y, height, half);
    while (hi <= w.hi) {
      const uint8_t* row = horizontal.data() + hi * width;
      for (size_t x = 0; x < width; ++x) counts[x] += row[x];
      ++hi;
    }
    while (lo < w.lo) {
      const uint8_t* row = horizontal.data() + lo * width;
      for (size_t x = 0; x < width; ++x) counts[x] -= row[x];
      ++lo;
    }
    const size_t inside = w.hi - w.lo + 1;
    uint8_t* dst = out.data() + y * width;
    for (size_t x = 0; x < width; ++x) dst[x] = decide(counts[x], inside, dilate);
  }
  return out;
}

}  // namespace tsl
