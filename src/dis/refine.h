#pragma once
// Variational refinement of a level's dense flow: brightness, gradient and smoothness terms
// under square-root penalties, linearised around the given flow and solved for an increment
// by lagged weights and red-black over-relaxation.
#include <cstddef>
#include <vector>

#include "dis/dis_pyramid.h"

namespace tsl {

// (v(x-2) - 8 v(x-1) + 8 v(x+1) - v(x+2)) / 12 along rows (horizontal) or columns, the
// neighbour indices clamped to the image. Returns w * h values; `img` holds at least w * h.
std::vector<float> dis_gradient(const std::vector<float>& img, size_t w, size_t h, bool horizontal);

// Bilinear value of a w x h image at (x, y): the corner floor(x), floor(y) and its right and
// lower neighbours clamped to the image, the fractions taken from the unclamped floors.
float dis_sample_bilinear(const std::vector<float>& img, size_t w, size_t h, float x, float y);

// Replaces the level's dense flow u, v (w * h values each) by the refined flow. The result
// does not depend on the thread count.
void dis_refine(const DisLevel& level, std::vector<float>& u, std::vector<float>& v);

}  // namespace tsl
