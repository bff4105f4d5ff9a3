#pragma once
// The image pyramid of the dense inverse search flow: level count, quantised level images,
// the border-replicated copy of the searched image and the Sobel responses of the reference.
#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "img/image.h"

namespace tsl {

// One processed level k: w = W >> k, h = H >> k, both at least 12. Every image is row-major
// without padding; samples of I0 and I1 are whole numbers 0..255 held as floats.
struct DisLevel {
  std::vector<float> I0;     // reference image a at this level, w x h
  std::vector<float> I1;     // searched image b at this level, w x h
  std::vector<float> I1pad;  // I1 with 16 replicated pixels on every side, (w + 32) x (h + 32)
  std::vector<float> Ix;     // horizontal Sobel of I0 (unnormalised, about 8 x d/dx)
  std::vector<float> Iy;     // vertical Sobel of I0
  size_t w = 0;
  size_t h = 0;
};

// Pixels of replicated border around I1pad.
constexpr size_t DIS_PAD = 16;
// Side of a search patch in pixels, and the spacing of neighbouring patches.
constexpr size_t DIS_PATCH = 12;
constexpr size_t DIS_STRIDE = 8;

// Threads for the steps of a level of `pixels` pixels: 1 inside a parallel worker and for
// levels too small to repay starting threads and waiting for them, else the logical
// processors.
size_t dis_level_threads(size_t pixels);

// The coarsest level L for a width x height input: min(trunc(log2(max / 48) + 0.5),
// trunc(log2(min / 12))). Negative when the longer side is 16 or less; an input with a side
// below 12 returns -1, since it gets no pyramid at all.
int dis_level_count(size_t width, size_t height);

// Levels 0..L of a and b (both width x height, 0..255 scale, equal sizes): entries below the
// finest processed level (1 when L >= 1, else 0) are empty. L must be dis_level_count's
// non-negative result.
std::vector<std::optional<DisLevel>> build_dis_pyramid(const ImageF32& a, const ImageF32& b, int levels);

// build_dis_pyramid into `out`, whose levels from an earlier call lend their buffers, so that
// flows of like sizes on one thread map no fresh memory for each. beside(0) .. beside(n - 1),
// n = beside_items, run alongside the two images' chains, each on a thread of its own when
// the chains have threads.
void build_dis_pyramid(const ImageF32& a, const ImageF32& b, int levels, std::vector<std::optional<DisLevel>>& out,
                       size_t beside_items = 0, const std::function<void(size_t)>& beside = {});

// Unnormalised 3 x 3 Sobel responses of a w x h image with reflect-101 borders; w, h >= 2.
void dis_sobel(const std::vector<float>& img, size_t w, size_t h, std::vector<float>& gx, std::vector<float>& gy);

}  // namespace tsl
