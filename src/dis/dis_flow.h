#pragma once
// Dense inverse search optical flow: coarse to fine over a quantised pyramid, a displacement
// per overlapping 12 x 12 patch, blended into a per-pixel flow and refined variationally.
#include "img/flow_field.h"
#include "img/image.h"

namespace tsl {

// The flow from a to b, two single-channel images of equal size with samples on the 0..255
// scale (values outside are clamped and NaN read as 0 when the pyramid is quantised). The
// finest level estimated is half resolution when the image allows a pyramid. An input with a
// side below 12, or a longer side of 16 or less, gives zero flow; a zero side gives no
// entries. Deterministic: the same flow whatever the number of threads. Called from a
// parallel worker it runs on that thread alone; otherwise the resampling, the patch bands,
// the densification and the refinement spread over worker threads.
FlowField dis_flow(const ImageF32& a, const ImageF32& b);

}  // namespace tsl
