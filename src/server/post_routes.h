#pragma once
// The studio's endpoints for every method other than GET, as the route table (routes.h) calls
// them: starting, cancelling and resetting builds, argument-list previews, loading a stored
// report, emptying the disk cache, and the scan, preview, diagnostics and dialog endpoints
// with their refusals while a build runs and the shaping of their replies. Each takes the
// request body read as JSON (an empty object for an empty or unparsable body).
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "server/http.h"
#include "util/json.h"

namespace tsl {

// The reply, or an error message (404 when it begins "file not found", else 400).
using RouteResult = std::expected<HttpResponse, std::string>;

// Whether a JSON value is a build report: an object with the report's own "version", "output",
// "images", "shots" and "config" members.
bool is_build_report(const JsonValue& value);

RouteResult api_run(const JsonValue& body);  // 409 {"ok": false, argv, "error"} while a build runs
RouteResult api_argv(const JsonValue& body);
RouteResult api_reset(const JsonValue& body);        // 409 while a build runs
RouteResult api_cancel(const JsonValue& body);
// 404 {error, "missing": true} for no such file; 400 for a file that is not a build report.
RouteResult api_report(const JsonValue& body);
RouteResult api_cache_clear(const JsonValue& body);  // 409 while a build runs
RouteResult scan_endpoint(const JsonValue& body);    // 409 while a build runs
RouteResult preview_endpoint(const JsonValue& body); // PNG with X-Preview, or 204 when superseded
RouteResult diagnostics_endpoint(const JsonValue& body);  // 409 while a build runs
RouteResult pick_endpoint(const JsonValue& body);
RouteResult reveal_endpoint(const JsonValue& body);

struct CacheClearResult {
  uint64_t removed = 0;
  uint64_t failed = 0;
  std::string first_error;  // "cannot remove {}: {}" of the first failure
};

// Removes the disk cache's own entries and temporary files under `dir` (the "features" and
// "decoded" folders, then their emptied sub-folders), and nothing else.
CacheClearResult clear_cache_files(const std::string& dir);

}  // namespace tsl
