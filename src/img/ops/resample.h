#pragma once
// Resizing of float images by separable tap lists. Pixel centres map onto pixel centres:
// output i of n_dst stands at source position (i + 0.5) * n_src / n_dst - 0.5.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "img/image.h"

namespace tsl {

// One source sample of an output on one axis and its weight.
struct Tap {
  uint64_t index = 0;  // source column or row
  float weight = 0.0f;
};

// For every output index on one axis, the taps whose weighted sum (in list order) gives it.
using TapLists = std::vector<std::vector<Tap>>;

// Shrinking taps: each output averages the source samples its footprint overlaps, weighted
// by the overlap. Equal lengths give the identity; n_src 0 gives empty lists.
TapLists area_weights(uint64_t n_src, uint64_t n_dst);

// Interpolating taps: the two source samples around each output centre, clamped to the
// first and last sample. n_src 0 gives empty lists (an empty axis is never enlarged).
TapLists bilinear_weights(uint64_t n_src, uint64_t n_dst);

// Horizontal pass with `taps_x` (one list per output column), then vertical pass with
// `taps_y` (one list per output row); channels are kept, an empty list yields zeros.
// Row-parallel. Lists of the wrong count, taps outside the source or short image data are
// internal errors.
ImageF32 resample_separable(const ImageF32& src, size_t width, size_t height, const TapLists& taps_x,
                            const TapLists& taps_y);

// resample_separable into `out` (the same values): out takes the target shape and keeps its
// storage when that is large enough, so a caller resampling many images maps no fresh memory
// for each. `out` must not be `src`.
void resample_separable(const ImageF32& src, size_t width, size_t height, const TapLists& taps_x,
                        const TapLists& taps_y, ImageF32& out);

// `src` at width x height: area averaging on an axis that shrinks or keeps its length,
// bilinear interpolation on an axis that grows. The same size returns a copy.
ImageF32 resize(const ImageF32& src, size_t width, size_t height);

// resize into `out`, storage reused as for resample_separable; `out` must not be `src`.
void resize(const ImageF32& src, size_t width, size_t height, ImageF32& out);

// `src` at width x height with bilinear taps on both axes, also when shrinking (samples
// between two taps are skipped, not averaged).
ImageF32 resize_bilinear(const ImageF32& src, size_t width, size_t height);

// resize_bilinear into `out`, storage reused as for resample_separable; `out` must not be `src`.
void resize_bilinear(const ImageF32& src, size_t width, size_t height, ImageF32& out);

}  // namespace tsl
