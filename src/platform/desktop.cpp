#include "platform/desktop.h"

#include <vector>

#include "platform/process.h"

namespace tsl::platform {

std::expected<void, std::string> open_with_desktop(const std::string& target) {
  const std::vector<std::string> argv = {"xdg-open", target};
  if (!start_detached(argv)) return std::unexpected(std::string("xdg-open is not installed"));
  return {};
}

}  // namespace tsl::platform
