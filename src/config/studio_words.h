#pragma once
// The words after "studio" on the command line. Unknown words are ignored and a bad port
// silently gives the default: the studio should start whatever was typed.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tsl {

inline constexpr uint16_t DEFAULT_STUDIO_PORT = 8765;

struct StudioWords {
  uint16_t port = DEFAULT_STUDIO_PORT;
  bool open_browser = true;
};

// "--port" consumes the next word as the port (the default when it is missing or not a port; a later
// "--port" wins); "--no-browser" keeps the browser closed.
StudioWords parse_studio_words(std::span<const std::string> words);

// Decimal digits with one optional leading "+", at most 65535; nothing otherwise.
std::optional<uint16_t> parse_port(std::string_view text);

}  // namespace tsl
