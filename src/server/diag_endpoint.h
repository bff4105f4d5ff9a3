#pragma once
// POST /api/diagnostics: the diagnostics archive of a finished build, written beside the
// report the page names, with the live log of this studio's last build when the report is
// that build's.
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/json.h"

namespace tsl {

// Frames are never made smaller than this on their longer side.
inline constexpr uint64_t DIAG_ENDPOINT_MIN_PX = 64;

// The request's frame size: "max_px" as a number, boolean or numeric string, saturated to a
// count, at least DIAG_ENDPOINT_MIN_PX; 2048 when missing or unreadable.
uint64_t diagnostics_max_px(const JsonValue& body);
// "images": a number (true unless 0) or a boolean; true otherwise.
bool diagnostics_images(const JsonValue& body);

// The report path a build with this "output" wrote: the final extension replaced by
// "_report.json" (a ".tif" elsewhere in the path stays as it is).
std::string report_path_of_output(std::string_view output);

// The live lines to pack for `path`: the job's lines when the job's report is the one at
// exactly this path, else nothing (the archive then takes the report's own log).
std::optional<std::vector<std::string>> live_log_for(std::string_view path);

// {path, size_mb, seams}, or write_diagnostics' message.
std::expected<JsonValue, std::string> api_diagnostics(const JsonValue& body);

}  // namespace tsl
