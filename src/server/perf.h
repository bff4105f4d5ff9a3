#pragma once
// The performance sampler: once a second, processor load per core, memory in use, the
// process's resident size, the job's stage and progress, and the GPU's figures when an NVIDIA
// GPU answers; the last 300 samples are kept for GET /api/perf.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "util/json.h"

namespace tsl {

inline constexpr size_t PERF_HISTORY = 300;
// A GPU probe that has not answered by then is killed.
inline constexpr int GPU_PROBE_TIMEOUT_MS = 3000;

struct PerfSnapshot {
  bool filled = false;  // false until the studio has written the static facts
  JsonValue static_info = JsonValue::empty_object();
  std::vector<JsonValue> samples;  // only those after the asked time
};

// Replaces the whole state: the static facts and an empty history.
void init_perf_state(JsonValue static_info);
// The static facts and the samples whose "t" is greater than `since`.
PerfSnapshot perf_snapshot(double since);

// The body of the sampler thread; never returns.
[[noreturn]] void perf_sampler();

// Whole percentages per core between two readings of (busy, total) counters.
std::vector<double> core_loads(const std::vector<std::pair<uint64_t, uint64_t>>& prev,
                               const std::vector<std::pair<uint64_t, uint64_t>>& cur);

struct GpuReading {
  std::array<std::optional<double>, 6> values;  // load, memory used, memory total, temperature, power, clock
  std::string name;
};

// The first line of the probe's output: seven comma-separated fields; nothing when there are
// fewer.
std::optional<GpuReading> parse_gpu_reading(std::string_view output);

}  // namespace tsl
