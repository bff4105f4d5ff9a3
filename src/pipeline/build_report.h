#pragma once
// The build report: one JSON document recording what a build made (output, frame, raster),
// how it placed the photos (camera, self-calibration, adjustment, tie pairs, one pose and gain
// per photo), its finish, surface and side files, its configuration and its timings. It is
// the value a successful build returns and is written beside the output; a later build reads
// it back to reuse the solution.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config/config.h"
#include "gains/gains.h"
#include "geo/vec.h"
#include "logx.h"
#include "pipeline/collect_images.h"
#include "surface/surface.h"
#include "util/json.h"

namespace tsl {

inline constexpr const char* REPORT_SUFFIX = "_report.json";

// Everything the report records, borrowed from the build for the call.
struct ReportInputs {
  const ImageSet* images = nullptr;  // photos, skipped files, UTM frame
  std::span<const Mat3> rotations;   // final poses, one per photo
  std::span<const Vec3> positions;
  std::span<const Gain> gains;
  std::span<const double> pos_corr;  // m per photo; empty when no adjustment ran (all 0)
  std::span<const double> rot_corr;  // degrees per photo; likewise
  const Config* config = nullptr;
  std::filesystem::path output;      // the final output path
  double gsd_m = 0.0;                // output raster: pixel size, size, outer top-left corner
  uint64_t width = 0;
  uint64_t height = 0;
  double left_e = 0.0;               // local metres
  double top_n = 0.0;
  double ground_z = 0.0;
  const JsonValue* adjustment = nullptr;  // statistics object; anything else reports {}
  const JsonValue* tie_pairs = nullptr;   // [[i, j, n], ...] or an earlier report's member
  const Surface* surface = nullptr;
  std::optional<std::filesystem::path> surface_file;  // the terrain archive, when written
  std::optional<std::filesystem::path> seam_file;     // the seam archive, when written
  std::optional<std::filesystem::path> preview;       // absent with --no-preview
  double seconds = 0.0;                               // since the build started
  std::vector<StageTime> timings;                     // every closed stage, in order
};

// round(v x 10^decimals) / 10^decimals with halves away from zero.
double round_to(double value, int decimals);

// Rounds a solution to what the report records of it: rotations to 9 decimals, gains to 4, and
// positions to the local values that the report's absolute east and north give back when the
// origin is subtracted again. A build renders from the rounded solution, so that a later
// build reusing its report renders the very same mosaic, byte for byte.
void round_as_reported(std::span<Mat3> rotations, std::span<Vec3> positions, std::span<Gain> gains, double origin_e,
                       double origin_n);

// The report document: 25 members in a fixed order, from "version" to "workers". A photo
// without a camera model, or fewer poses, gains or corrections than photos, is a caller's bug
// (internal error).
JsonValue make_report(const ReportInputs& in);

}  // namespace tsl
