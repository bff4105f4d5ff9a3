#pragma once
// The DNG lens corrections applied to a developed image in sensor orientation: the radial
// vignetting gain ("vign") and the gain map stretched over the whole image ("gain"). Both
// multiply samples and round halves away from zero, clamped to 0..65535.
#include <optional>
#include <string>

#include "img/image.h"
#include "meta/image_meta.h"

namespace tsl {

// Why an item cannot be applied, or nothing: non-finite coefficients or centre.
std::optional<std::string> vignette_problem(const VignOp& op);

// Why a gain map cannot be applied, or nothing: no points, planes or values to match them,
// a spacing that is not a positive finite number, a non-finite origin or gain.
std::optional<std::string> gain_map_problem(const GainOp& op);

// Multiplies every sample of a 3-channel image by 1 + k0 r^2 + k1 r^4 + ... + k4 r^10, r the
// distance from the optical centre relative to the farthest corner; the polynomial is
// evaluated on a 16-pixel node grid and interpolated bilinearly. The item must have passed
// vignette_problem.
void apply_vignette(ImageU16& image, const VignOp& op);

// Multiplies channels plane .. plane + planes - 1 (those below 3) by the map, interpolated
// bilinearly between its nodes, node positions relative to the image's extent. Row-parallel.
// The item must have passed gain_map_problem.
void apply_gain_map(ImageU16& image, const GainOp& op);

}  // namespace tsl
