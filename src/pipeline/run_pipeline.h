#pragma once
// One complete build on the calling thread: the stages in order, their log lines and the
// output files. Returns the build report or the first stage's error message.
#include <expected>
#include <string>

#include "config/config.h"
#include "util/json.h"

namespace tsl {

std::expected<JsonValue, std::string> run_pipeline(const Config& config);

}  // namespace tsl
