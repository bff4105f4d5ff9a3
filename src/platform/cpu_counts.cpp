#include "platform/cpu_counts.h"

#include <sched.h>

#include <fstream>
#include <set>
#include <string>
#include <utility>

#include "platform/system.h"

namespace tsl::platform {
namespace {

std::optional<long> read_number(const std::string& path) {
  std::ifstream in(path);
  long v = 0;
  if (!(in >> v)) return std::nullopt;
  return v;
}

}  // namespace

CpuCounts allowed_cpus() {
  CpuCounts counts;
  counts.threads = logical_processors();
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return counts;
  std::set<std::pair<long, long>> cores;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &set)) continue;
    const std::string dir = "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
    auto package = read_number(dir + "physical_package_id");
    auto core = read_number(dir + "core_id");
    if (!package || !core) return counts;  // no topology: the core count stays unknown
    cores.emplace(*package, *core);
  }
  if (!cores.empty()) counts.cores = static_cast<unsigned>(cores.size());
  return counts;
}

std::optional<unsigned> process_threads() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (!line.starts_with("Threads:")) continue;
    try {
      const long n = std::stol(line.substr(8));
      if (n > 0) return static_cast<unsigned>(n);
    } catch (...) {
    }
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace tsl::platform
