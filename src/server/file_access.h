#pragma once
// The files GET /api/file may serve: those of builds this studio ran or loaded (the report,
// the previews and the world file), nothing else on the disk.
#include <string>
#include <string_view>

#include "util/json.h"

namespace tsl {

// Allows the report file of a build's report (derived from its "output") and the files it
// names that the page shows.
void allow_report_files(const JsonValue& report);
// Allows a report file that was loaded by path, and the files its report names.
void allow_loaded_report(std::string_view report_path, const JsonValue& report);

bool file_allowed(std::string_view path);

}  // namespace tsl
