#pragma once
// The last finished build, kept in memory for the studio: its photos, poses, gains, surface,
// seam map and frame, so that previews of the result can be re-rendered with another finish
// without building again. One process-wide slot holds a shared, immutable record; a new build
// replaces it, a reset empties it, and a reader that took the record keeps it alive and
// unchanged whatever happens to the slot meanwhile.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/config.h"
#include "gains/gains.h"
#include "geo/vec.h"
#include "grid/seam_map.h"
#include "meta/image_meta.h"
#include "surface/surface.h"

namespace tsl {

struct LastRun {
  Config config;
  std::string report_path;  // the build's report, as text: previews ask for a result by it
  std::vector<ImageMeta> images;  // with their camera models, self-calibration included
  std::vector<Mat3> rotations;
  std::vector<Vec3> positions;
  std::vector<Gain> gains;
  Surface surface;
  std::optional<SeamMap> seam_map;  // absent when no seams were computed
  std::array<double, 2> origin = {0.0, 0.0};  // UTM east and north of the local frame's origin
  double native_gsd = 0.0;  // median native ground sampling distance of the photos, m
  int32_t epsg = 0;
};

// Replaces the slot's record.
void publish_last_run(std::shared_ptr<const LastRun> run);
// The slot's record, or null when nothing was published since start-up or the last reset.
std::shared_ptr<const LastRun> take_last_run();
// Empties the slot.
void clear_last_run();

}  // namespace tsl
