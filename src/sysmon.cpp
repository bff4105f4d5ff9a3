#include "sysmon.h"

#include <algorithm>
#include <cmath>

#include "logx.h"
#include "platform/system.h"
#include "util/text.h"

namespace tsl {

size_t jobs_within_ram_for(size_t n, double bytes_per_job, std::string_view label, uint64_t available_bytes) {
  if (available_bytes == 0) return std::max<size_t>(n, 1);
  const double a = static_cast<double>(available_bytes);
  const double k_real = 0.5 * a / std::max(bytes_per_job, 1.0);
  uint64_t k;
  if (!(k_real > 0.0)) {
    k = 0;  // also NaN
  } else if (k_real >= 18446744073709551616.0) {
    k = UINT64_MAX;
  } else {
    k = static_cast<uint64_t>(k_real);
  }
  const size_t r = std::max<size_t>(static_cast<size_t>(std::min<uint64_t>(n, k)), 1);
  if (r < n) {
    constexpr double GIB = 1073741824.0;  // printed as "GB"
    logf("  {}: {} parallel jobs (of {} threads) to stay within RAM ({:.1} GB per job, {:.0} GB free)", label, r, n,
         bytes_per_job / GIB, a / GIB);
  }
  return r;
}

size_t jobs_within_ram(size_t n, double bytes_per_job, std::string_view label) {
  return jobs_within_ram_for(n, bytes_per_job, label, platform::available_memory_bytes());
}

std::optional<std::vector<std::pair<uint64_t, uint64_t>>> cpu_times() {
  auto times = platform::processor_times();
  if (!times) return std::nullopt;
  std::vector<std::pair<uint64_t, uint64_t>> out;
  out.reserve(times->size());
  for (const platform::CpuTime& t : *times) {
    const uint64_t total = t.kernel + t.user;
    out.emplace_back(t.idle > total ? 0 : total - t.idle, total);
  }
  return out;
}

}  // namespace tsl
