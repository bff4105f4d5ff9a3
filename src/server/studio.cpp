#include "server/studio.h"

#include <cstdio>

#include "util/text.h"

namespace tsl {

void serve_studio(uint16_t port, bool open_browser) {
  std::string text = format("the studio is not available in this version (port {}, browser {})\n", port,
                            open_browser ? "on" : "off");
  std::fwrite(text.data(), 1, text.size(), stderr);
}

}  // namespace tsl
