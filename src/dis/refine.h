#pragma once
// Variational refinement of a level's dense flow: brightness, gradient and smoothness terms
// under square-root penalties, linearised around the given flow and solved for an increment
// by lagged weights and red-black over-relaxation.
#include <cstddef>
#include <memory>
#include <vector>

#include "dis/dis_pyramid.h"

namespace tsl {

// (v(x-2) - 8 v(x-1) + 8 v(x+1) - v(x+2)) / 12 along rows (horizontal) or columns, the
// neighbour indices clamped to the image. Returns w * h values; `img` holds at least w * h.
std::vector<float> dis_gradient(const std::vector<float>& img, size_t w, size_t h, bool horizontal);

// Bilinear value of a w x h image at (x, y): the corner floor(x), floor(y) and its right and
// lower neighbours clamped to the image, the fractions taken from the unclamped floors.
float dis_sample_bilinear(const std::vector<float>& img, size_t w, size_t h, float x, float y);

// The refinement's 20 per-pixel planes in one block, kept by the caller across levels so that
// each page is mapped once per flow rather than once per level and plane: fresh memory costs
// more in page faults than the arithmetic that fills it. The block is not zero-filled, as
// every plane is written before it is read; contents between calls are meaningless.
struct DisRefineScratch {
  std::unique_ptr<float[]> storage;
  size_t plane_len = 0;  // floats per plane
};

// Scratch for levels of up to `pixels` pixels, mapped in large pages where the system allows.
DisRefineScratch make_dis_refine_scratch(size_t pixels);

// Replaces the level's dense flow u, v (w * h values each) by the refined flow.
void dis_refine(const DisLevel& level, std::vector<float>& u, std::vector<float>& v);

// dis_refine with the caller's scratch; a scratch smaller than the level is enlarged. Outside
// a parallel worker the rows are split into strips, one per logical processor, relaxed on
// threads of their own; the result is the same for any number of strips.
void dis_refine(const DisLevel& level, std::vector<float>& u, std::vector<float>& v, DisRefineScratch& scratch);

// dis_refine with the level's rows in `strip_count` strips (at least 1, at most the row count;
// always 1 inside a parallel worker), each on a thread of its own.
void dis_refine_in_strips(const DisLevel& level, std::vector<float>& u, std::vector<float>& v,
                          DisRefineScratch& scratch, size_t strip_count);

}  // namespace tsl
