#pragma once
// Reuse of an earlier build's solution: the poses, gains, lens self-calibration, ground height
// and terrain model that its report holds, laid over the current image set photo by photo
// (matched by file name), so that the mosaic renders again without solving again.
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

#include "gains/gains.h"
#include "geo/vec.h"
#include "pipeline/collect_images.h"
#include "surface/surface.h"
#include "util/json.h"

namespace tsl {

struct ReusedSolution {
  std::vector<Mat3> rotations;  // world-to-camera, one per photo of the current set
  std::vector<Vec3> positions;  // relative to the current set's UTM origin
  std::vector<Gain> gains;
  Surface surface;              // the report's terrain model, or a plane at ground_z
  JsonValue adjustment;         // the report's "adjustment" as it was, Null when absent
  JsonValue tie_pairs;          // the report's "tie_pairs" as it was, Null when absent
  double ground_z = 0.0;
};

// Reads the report at `path` and returns the solution for `images`. A photo takes the pose and
// gains of the first shot of its file name that has a rotation; a shot whose rotation is not a
// finite rotation matrix or whose position is not finite is not used (its photo keeps the
// metadata pose and gain 1, with a warning line), and a gain triple is used only when all
// three are finite and positive. Self-calibration terms replace those of every photo of the
// named camera when they are 0, 2 or 6 finite numbers. The terrain model is loaded only when
// `dsm_wanted` and the file exists. Logs
// "[2-5/6] reusing solved poses + gains from {} ({}/{} images)" and "  reusing DSM {}".
// Numbers no flight can have end the reuse: a shot more than 100 km from the current origin or
// more than MAX_REL_ALT_M high, a ground_z beyond MAX_REL_ALT_M, a terrain grid far away or
// with a height beyond MAX_REL_ALT_M.
// Errors: "cannot read {path}: {reason}" (also for a report larger than DOCUMENT_FILE_LIMIT or
// not a regular file), "bad report {path}: {reason}", "--reuse report is from a different UTM
// zone", "cannot read terrain {path}: {reason}" with the terrain reader's message.
std::expected<ReusedSolution, std::string> load_reuse_report(const std::filesystem::path& path, bool dsm_wanted,
                                                             ImageSet& images);

}  // namespace tsl
