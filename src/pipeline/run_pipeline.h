#pragma once
// One complete build on the calling thread, from the configuration to the finished report:
// the metadata stage, then one of three roads (reuse of an earlier report; metadata placement
// without refinement; the full road), the radiometry, the render with its output files, the
// report and the last run. Logs the stage lines the timings and the studio's progress come
// from. Returns the report, or the first stage's error message unchanged.
//
// The full road's features, matching and bundle adjustment, and the diagnostics bundle, are
// not part of this version: a build that needs them stops with an error naming them, before
// anything is written.
#include <expected>
#include <string>

#include "config/config.h"
#include "util/json.h"

namespace tsl {

std::expected<JsonValue, std::string> run_pipeline(const Config& config);

}  // namespace tsl
