#include "platform/proc.h"

#include <fstream>
#include <set>
#include <string>
#include <utility>

namespace tsl::platform {
namespace {

std::optional<long> field_value(const std::string& line, std::string_view key) {
  if (line.compare(0, key.size(), key) != 0) return std::nullopt;
  auto colon = line.find(':', key.size());
  if (colon == std::string::npos) return std::nullopt;
  try {
    return std::stol(line.substr(colon + 1));
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<unsigned> physical_cores() {
  std::ifstream in("/proc/cpuinfo");
  if (!in) return std::nullopt;
  std::set<std::pair<long, long>> cores;
  long package = 0;
  std::string line;
  while (std::getline(in, line)) {
    if (auto v = field_value(line, "physical id")) package = *v;
    if (auto v = field_value(line, "core id")) cores.emplace(package, *v);
    if (line.empty()) package = 0;
  }
  if (cores.empty()) return std::nullopt;
  return static_cast<unsigned>(cores.size());
}

}  // namespace tsl::platform
