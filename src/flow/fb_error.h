#pragma once
// Forward-backward consistency of a pair of flows.
#include <cstddef>
#include <vector>

#include "img/flow_field.h"

namespace tsl {

// For every pixel (x, y) of a (W x H, row-major): the length of the forward flow plus the
// backward flow read bilinearly at (x + u, y + v), in pixels. Backward taps outside the plane
// read as 0, so a pixel whose flow leaves b scores its own flow's length. Both flows hold
// W * H values in u and v (a caller's bug otherwise: internal error).
std::vector<float> flow_fb_error(const FlowField& forward, const FlowField& backward, size_t W, size_t H);

}  // namespace tsl
