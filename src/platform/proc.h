#pragma once
// Processor facts from /proc that the studio's performance view shows.
#include <optional>

namespace tsl::platform {

// Distinct physical cores (package and core id pairs of /proc/cpuinfo); nothing when the file
// cannot be read or names no core.
std::optional<unsigned> physical_cores();

}  // namespace tsl::platform
