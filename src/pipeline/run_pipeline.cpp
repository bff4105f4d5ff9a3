#include "pipeline/run_pipeline.h"

#include "logx.h"
#include "pipeline/collect_images.h"

namespace tsl {

std::expected<JsonValue, std::string> run_pipeline(const Config& config) {
  reset_log();
  auto images = collect_images(config);
  if (!images) return std::unexpected(images.error());
  // Until the later stages exist a build ends here, after the metadata stage has shown what
  // it would work with.
  return std::unexpected(format("{} usable image(s) read; the build stages after metadata are not available in "
                                "this version",
                                images->images.size()));
}

}  // namespace tsl
