#pragma once
// Radiometric gains: one multiplier per photo and colour channel, so that matched ground has
// the same colour in overlapping photos while each photo is pulled gently towards the common
// exposure of the flight. The renderers and the seam cut multiply linear-light samples by them.
#include <array>
#include <span>
#include <vector>

#include "matching/pair_match.h"
#include "meta/image_meta.h"

namespace tsl {

using Gain = std::array<double, 3>;  // red, green, blue multipliers; 1 leaves a channel unchanged

// Weight of the pull towards the flight's median exposure, per photo.
inline constexpr double GAIN_PRIOR_WEIGHT = 0.25;
// A pair weighs 0.0625 per tie, up to this many ties.
inline constexpr double GAIN_TIE_CAP = 200.0;

// Solves the log gains x in the least-squares sense from x_i - x_j = d (each colour pair's log
// ratio d, weighted by its tie count) and x_i = ln(m / e_i) (the photo's EXIF exposure e_i
// against the median m of the valid ones, weight GAIN_PRIOR_WEIGHT), and returns exp(x) per
// photo in photo order. Pairs without colour ratios, or with a ratio that is not finite, add
// nothing; a photo without a finite positive exposure is pulled towards 1; a system that
// cannot be factorised, or a gain that comes out non-finite, gives 1. Logs
// "  gains: min {:.3} max {:.3} (EXIF exposure spread {:.2}x)". A pair naming a photo index
// out of range is a caller's bug (internal error).
std::vector<Gain> solve_gains(std::span<const ImageMeta> images, std::span<const PairMatch> pairs);

}  // namespace tsl
