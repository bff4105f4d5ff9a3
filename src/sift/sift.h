#pragma once
// SIFT keypoints with RootSIFT descriptors of one 8-bit gray image: a difference-of-gaussians
// scale space of 3 layers per octave whose first octave lies on the image upsampled 2x (base
// blur 1.6), sub-pixel refinement, contrast threshold 0.02 and edge ratio 10, orientation
// peaks, then the selection of descriptor.h.
#include <cstdint>

#include "img/image.h"
#include "sift/descriptor.h"

namespace tsl {

// The options of the feature stage: the working image SIFT sees, how many keypoints it keeps
// and how the stage runs.
struct SiftOptions {
  uint64_t match_px = 2000;  // long side of the working image, pixels; photos are never enlarged
  uint64_t features = 4000;  // keypoints kept per photo, the strongest by response; 0 keeps all
  uint64_t workers = 1;      // threads at most, for the photos together or for one photo's loops
  bool profile = false;      // one timing line per extraction on stderr (TSL_PROF)
};

// Keypoints in pixels of `gray` (one channel), origin at the top-left corner, pixel centres
// at integers; with more than `options.features` distinct keypoints (when above 0) the
// strongest, by response. An image with a side below 6 pixels, or without any contrast, gives
// none. A cancellation request on a cancellable thread ends the call with Cancelled after the
// current octave. With `options.profile`, one timing line goes to stderr. Its loops use at
// most `options.workers` threads (none of their own on a parallel worker); the result is the
// same whatever their number. The call keeps its
// scale-space images on the calling thread for the thread's next call.
SiftFeatures sift_extract(const ImageU8& gray, const SiftOptions& options);

// Frees the calling thread's scale-space images (a thread's end frees them too).
void release_sift_scratch();

}  // namespace tsl
