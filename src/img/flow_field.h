#pragma once
// A dense optical flow from image a to image b.
#include <vector>

namespace tsl {

// Per-pixel displacements over the grid of a, row-major (index y * width + x): the pixel
// centre (x, y) of a lands on (x + u, y + v) of b, in pixels, v positive downwards. The
// caller knows a's size; a flow that could not be estimated is zero.
struct FlowField {
  std::vector<float> u;
  std::vector<float> v;
};

}  // namespace tsl
