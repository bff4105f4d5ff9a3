#pragma once
// The diagnostics zip: what is needed to judge a finished build, packed beside its report.
// It works from the report alone (the photo set is rebuilt from the stored configuration), so
// it serves right after a build and on an older result alike.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "flow/optical_flow.h"
#include "meta/image_meta.h"
#include "util/json.h"

namespace tsl {

struct DiagnosticsResult {
  std::filesystem::path zip_path;
  JsonValue summary;  // the seam analysis's "summary"
};

// The heat map is scaled down to fit this on each side: a JPEG holds at most 65535.
inline constexpr uint64_t DIAG_HEAT_MAX_PX = 16384;

// Writes the archive for the report at `report_path`: report, configuration, log (`log`, or
// the report's own "log" when none), seam analysis and heat map, terrain and previews when
// present, and with `images` one frame per photo; the seam analysis measures with the `flow`
// back end. The archive is written under a temporary name and renamed into place only when
// complete. Errors are the failing step's own text.
std::expected<DiagnosticsResult, std::string> write_diagnostics(const std::filesystem::path& report_path,
                                                                const std::optional<std::vector<std::string>>& log,
                                                                uint64_t max_px, bool images, bool quiet,
                                                                const FlowOptions& flow);

// The archive path and the stem the optional files are looked up by. A report named
// "..._report.json" gives "..._diagnostics.zip"; any other name gets "_diagnostics.zip"
// appended to its stem, so the archive never replaces the report.
std::filesystem::path diagnostics_zip_path(const std::filesystem::path& report_path);
std::string diagnostics_stem(const std::filesystem::path& report_path);

// The text elements of the report's "log" array.
std::vector<std::string> report_log_lines(const JsonValue& report);

// A member as number text with one decimal, "nan" when it is not a number.
std::string json_number_text(const JsonValue& object, std::string_view key);

void log_unless_quiet(bool quiet, std::string line);

// Capture time text, then file name, each compared byte by byte.
bool capture_order_cmp(const ImageMeta& a, const ImageMeta& b);

}  // namespace tsl
