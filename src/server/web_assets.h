#pragma once
// The studio's page and icon, embedded into the program at build time from web/.
#include <string_view>
#include <vector>

namespace tsl {

struct WebAsset {
  std::string_view path;  // relative to web/, forward slashes
  std::string_view bytes;
  std::string_view gzip;  // the bytes as one gzip member; empty when not stored compressed
};

const std::vector<WebAsset>& web_assets();

}  // namespace tsl
