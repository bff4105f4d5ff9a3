#pragma once
// One complete build on the calling thread, from the configuration to the finished report:
// the metadata stage, then one of three roads (reuse of an earlier report; metadata placement
// without refinement; the full road), the radiometry, the render with its output files, the
// report and the last run. Logs the stage lines the timings and the studio's progress come
// from. Returns the report, or the first stage's error message unchanged.
//
// The output is checked before the metadata stage (not a folder, device or FIFO; its folder
// takes a new file). The build's files are written under partial names and renamed into place
// together once the report is written, so a build that fails or is cancelled (the studio's
// cancel, or Ctrl-C and SIGTERM on the command line) leaves the previous build's files as they
// were and none of its own.
#include <expected>
#include <string>

#include "config/config.h"
#include "util/json.h"

namespace tsl {

std::expected<JsonValue, std::string> run_pipeline(const Config& config);

}  // namespace tsl
