#pragma once
// The handler of every studio request whose method is not GET: starting, cancelling and
// resetting builds, argument-list previews, loading a stored report and emptying the disk
// cache. Routed by the path alone.
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "server/http.h"
#include "util/json.h"

namespace tsl {

// Whether a path names one of the endpoints (those whose requests must carry JSON).
bool is_post_endpoint(std::string_view path);

// The reply, or an error message (404 when it begins "file not found", else 400).
std::expected<HttpResponse, std::string> route_post(std::string_view path, const JsonValue& body);

struct CacheClearResult {
  uint64_t removed = 0;
  uint64_t failed = 0;
  std::string first_error;  // "cannot remove {}: {}" of the first failure
};

// Removes the disk cache's own entries and temporary files under `dir` (the "features" and
// "decoded" folders, then their emptied sub-folders), and nothing else.
CacheClearResult clear_cache_files(const std::string& dir);

}  // namespace tsl
