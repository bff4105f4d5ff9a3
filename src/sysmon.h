#pragma once
// Memory and processor probes.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tsl {

// The thread budget of a memory-hungry loop: n lowered so that the jobs running at once fit
// into half of the free physical memory, at least 1; n (at least 1) when the free memory is
// unknown. Logs "  {label}: {r} parallel jobs (of {n} threads) to stay within RAM (...)" when
// it lowers the count.
size_t jobs_within_ram(size_t n, double bytes_per_job, std::string_view label);
// The same with the free memory given in bytes (0 = unknown).
size_t jobs_within_ram_for(size_t n, double bytes_per_job, std::string_view label, uint64_t available_bytes);

// Per logical processor, (busy, total) time in 100 ns units since the system started; nothing
// when the query fails. Two readings differenced give the load.
std::optional<std::vector<std::pair<uint64_t, uint64_t>>> cpu_times();

}  // namespace tsl
