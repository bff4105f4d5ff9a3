#pragma once
// The processors this process may use, counted once for every place that shows or budgets
// them: a container or `taskset` can allow fewer than the machine has, and the page, the
// worker default and the build must all tell the same count.
#include <optional>

namespace tsl::platform {

struct CpuCounts {
  unsigned threads = 0;           // logical processors in the affinity mask; 0 when unknown
  std::optional<unsigned> cores;  // distinct physical cores among them; none when unknown
};

// Read from the affinity mask and each allowed processor's topology in /sys.
CpuCounts allowed_cpus();

// Threads of this process now; none when unknown.
std::optional<unsigned> process_threads();

}  // namespace tsl::platform
