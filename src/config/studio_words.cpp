#include "config/studio_words.h"

namespace tsl {

std::optional<uint16_t> parse_port(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(c - '0');
    if (value > 65535) return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

StudioWords parse_studio_words(std::span<const std::string> words) {
  StudioWords out;
  for (size_t i = 0; i < words.size(); ++i) {
    if (words[i] == "--port") {
      out.port = DEFAULT_STUDIO_PORT;
      if (i + 1 < words.size()) {
        ++i;  // the value word is consumed whatever it holds
        if (auto port = parse_port(words[i])) out.port = *port;
      }
    } else if (words[i] == "--no-browser") {
      out.open_browser = false;
    }
  }
  return out;
}

}  // namespace tsl
