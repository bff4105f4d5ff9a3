#include "pipeline/run_pipeline.h"

#include "logx.h"

namespace tsl {

std::expected<JsonValue, std::string> run_pipeline(const Config& config) {
  reset_log();
  return std::unexpected(
      format("cannot build {} from {} input(s): the build stages are not available in this version", config.output,
             config.input.size()));
}

}  // namespace tsl
