#pragma once
// The engine of the "[4/6] bundle adjustment" stage: six corrections per photo, one ground
// height, optional per-camera lens self-calibration and, in the relief stage, one height per
// tie, solved from the tie points under the metadata priors.
#include <optional>
#include <span>
#include <vector>

#include "config/config.h"
#include "geo/vec.h"
#include "matching/pair_match.h"
#include "meta/image_meta.h"
#include "util/json.h"

namespace tsl {

struct AdjustResult {
  std::vector<Mat3> rotations;  // corrected world-to-camera rotations
  std::vector<Vec3> positions;  // corrected positions, local metres
  std::vector<double> pos_corr;  // |position correction| per photo, m, rounded to 0.001
  std::vector<double> rot_corr;  // |rotation vector| per photo, degrees, rounded to 0.001
  // The vector after the planar stage (P0 values), the warm start of a second adjustment;
  // absent only when there were no tie pairs.
  std::optional<std::vector<double>> planar_params;
  // (east, north, height) per active tie after the relief stage; absent when it did not run.
  std::optional<std::vector<Vec3>> relief_points;
  JsonValue stats = JsonValue::empty_object();  // "tie_points", "tie_rms_m", "tie_median_m", "ground_z"
  double ground = 0.0;  // metres relative to the take-off point
};

// Refines the metadata poses (rotations0, positions0) from `ties`. With `selfcal_on` the lens
// terms of every camera group are solved and written into the photos' CameraModel (and reset
// to zeros when they would fold the frame). `warm_start` (P0 values) starts the planar stage
// and limits it to two rounds; the relief stage runs when `relief_allowed` and the surface is
// a terrain model. Never fails. A photo without a CameraModel, a tie pair whose count exceeds
// its lists or names a photo out of range is a caller's bug (InternalError).
AdjustResult bundle_adjust(std::span<ImageMeta> images, std::span<const Mat3> rotations0,
                           std::span<const Vec3> positions0, std::span<const PairMatch> ties, const Config& config,
                           bool selfcal_on, const std::optional<std::vector<double>>& warm_start,
                           bool relief_allowed);

}  // namespace tsl
