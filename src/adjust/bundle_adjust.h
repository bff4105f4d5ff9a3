#pragma once
// The engine of the "[4/6] bundle adjustment" stage: six corrections per photo, one ground
// height, optional per-camera lens self-calibration and, in the relief stage, one height per
// tie, solved from the tie points under the metadata priors.
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "geo/vec.h"
#include "matching/pair_match.h"
#include "meta/placed_photos.h"
#include "util/json.h"

namespace tsl {

// The options of one adjustment: its priors, solver limits and stages.
struct AdjustOptions {
  uint64_t match_px = 2000;   // long side the ties were found at: a tie's sigma grows as its photo shrank
  bool selfcal = false;       // solve the lens terms of every camera group
  bool selfcal_full = true;   // six lens terms per group; the two radial ones alone when false
  double sigma_gps = 3;       // horizontal position prior, metres
  double sigma_alt = 2;       // height prior, metres
  double sigma_ang = 3;       // heading prior, degrees
  double sigma_tilt = 0.5;    // roll and pitch prior, degrees
  double sigma_ground = 30;   // ground height prior, metres
  double sigma_relief = 20;   // tie height prior at the planar flying height, metres
  uint64_t iterations = 60;   // solver iterations per round at most
  uint64_t rounds = 3;        // robust rounds of the planar stage
  bool relief = true;         // the relief stage, one height per tie, follows the planar one
  bool jacobian_check = false;  // the Jacobian check on stderr before solving (TSL_JACCHECK)
};

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
  // The solved lens terms per photo (zeros for a camera group whose terms would fold the
  // frame), for the photos' CameraModel::selfcal; empty when the lens was not solved.
  std::vector<std::vector<double>> selfcal;
  // What made the solution absurd (the ground at the cameras, a block scaled far from the
  // GNSS one, most photos moved many sigmas off their priors); the result then holds the
  // metadata poses, zero corrections and nothing else. Empty when the solution stands.
  std::string collapse;
};

// Refines the metadata poses of `photos` from `ties`. With `options.selfcal` the lens terms
// of every camera group are solved into the result. `warm_start` (P0 values) starts the
// planar stage and limits it to two rounds. Never fails: a solution that collapsed is
// replaced by the metadata poses and named in `collapse`. A photo without a CameraModel, a
// tie pair whose count exceeds its lists or names a photo out of range is a caller's bug
// (InternalError).
AdjustResult bundle_adjust(const PlacedPhotos& photos, std::span<const PairMatch> ties, const AdjustOptions& options,
                           const std::optional<std::vector<double>>& warm_start = std::nullopt);

// Writes the result's lens terms into the photos' camera models; nothing when it has none.
void apply_selfcal(std::span<ImageMeta> images, const AdjustResult& result);

}  // namespace tsl
