#include "server/perf.h"

#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

#include "platform/cpu_counts.h"
#include "platform/process.h"
#include "platform/system.h"
#include "server/job.h"
#include "sysmon.h"
#include "util/text.h"

namespace tsl {
namespace {

struct PerfState {
  bool filled = false;
  JsonValue static_info = JsonValue::empty_object();
  std::vector<JsonValue> samples;
};

std::mutex& perf_mutex() {
  static std::mutex m;
  return m;
}

PerfState& perf_state() {
  static PerfState s;
  return s;
}

// A sample's "t" as a number: Numbers as they are, Bools 1 or 0, Strings read as decimals.
double sample_time(const JsonValue& sample) {
  const JsonValue& t = sample["t"];
  if (t.is_number()) return t.as_f64();
  if (t.is_bool()) return t.as_bool() ? 1.0 : 0.0;
  if (t.is_string()) return parse_decimal(trim_unicode(t.as_string())).value_or(0.0);
  return 0.0;
}

std::optional<GpuReading> gpu_query() {
  const std::vector<std::string> argv = {
      "nvidia-smi", "--query-gpu=utilization.gpu,memory.used,memory.total,temperature.gpu,power.draw,clocks.sm,name",
      "--format=csv,noheader,nounits"};
  auto run = platform::run_captured(argv, GPU_PROBE_TIMEOUT_MS);
  if (!run || run->exit_code != 0) return std::nullopt;
  return parse_gpu_reading(sanitize_utf8(run->out));
}

std::vector<std::pair<uint64_t, uint64_t>> read_cpu_times() { return cpu_times().value_or(std::vector<std::pair<uint64_t, uint64_t>>{}); }

}  // namespace

void init_perf_state(JsonValue static_info) {
  std::lock_guard lock(perf_mutex());
  PerfState& s = perf_state();
  s.filled = true;
  s.static_info = std::move(static_info);
  s.samples.clear();
}

PerfSnapshot perf_snapshot(double since) {
  PerfSnapshot snap;
  std::lock_guard lock(perf_mutex());
  const PerfState& s = perf_state();
  if (!s.filled) return snap;
  snap.filled = true;
  snap.static_info = s.static_info.clone();
  for (const JsonValue& sample : s.samples)
    if (sample_time(sample) > since) snap.samples.push_back(sample.clone());
  return snap;
}

std::vector<double> core_loads(const std::vector<std::pair<uint64_t, uint64_t>>& prev,
                               const std::vector<std::pair<uint64_t, uint64_t>>& cur) {
  std::vector<double> loads;
  const size_t n = std::min(prev.size(), cur.size());
  loads.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    double value = 0.0;
    if (cur[i].second > prev[i].second) {
      double d = cur[i].first >= prev[i].first ? static_cast<double>(cur[i].first - prev[i].first) : 0.0;
      value = std::round(std::min(100.0, d * 100.0 / static_cast<double>(cur[i].second - prev[i].second)));
    }
    loads.push_back(value);
  }
  return loads;
}

std::optional<GpuReading> parse_gpu_reading(std::string_view output) {
  std::string_view line = output.substr(0, output.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) return std::nullopt;
  std::vector<std::string_view> fields;
  while (true) {
    size_t comma = line.find(',');
    fields.push_back(trim_unicode(line.substr(0, comma)));
    if (comma == std::string_view::npos) break;
    line.remove_prefix(comma + 1);
  }
  if (fields.size() < 7) return std::nullopt;
  GpuReading r;
  for (size_t i = 0; i < 6; ++i) r.values[i] = parse_decimal(fields[i]);
  r.name = std::string(fields[6]);
  return r;
}

void perf_sampler() {
  auto prev = read_cpu_times();
  uint64_t tick = 0;
  bool polling = true;
  std::optional<GpuReading> reading;
  static constexpr const char* GPU_KEYS[6] = {"gpu", "vram", "vram_total", "gpu_temp", "gpu_power", "gpu_clock"};
  for (;;) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    auto cur = read_cpu_times();
    std::vector<double> cores = core_loads(prev, cur);
    prev = std::move(cur);
    if (polling && tick % 2 == 0) {
      reading = gpu_query();
      if (!reading && tick == 0) polling = false;
    }
    uint32_t stage = 0;
    std::string state;
    double progress = 0.0;
    {
      std::lock_guard lock(job_mutex());
      const JobState& job = job_state();
      stage = job.stage;
      state = job.state;
      progress = job.progress;
    }
    JsonValue sample = JsonValue::empty_object();
    sample.set_f64("t", std::round(unix_now() * 10.0) / 10.0);
    sample.set_u64("stage", stage);
    sample.set_string("state", std::move(state));
    sample.set_f64("progress", std::round(progress * 1000.0) / 1000.0);
    if (cores.empty()) {
      sample.set("cpu", JsonValue());
    } else {
      double sum = 0.0;
      for (double c : cores) sum += c;
      sample.set_f64("cpu", std::round(sum / static_cast<double>(cores.size()) * 10.0) / 10.0);
    }
    sample.set_f64s("cores", std::move(cores));
    uint64_t total = platform::total_memory_bytes();
    uint64_t available = platform::available_memory_bytes();
    sample.set("ram", total > 0 && available > 0 && total >= available ? JsonValue(total - available) : JsonValue());
    uint64_t rss = platform::process_resident_bytes();
    sample.set("rss", rss > 0 ? JsonValue(rss) : JsonValue());
    const auto threads = platform::process_threads();
    sample.set("threads", threads ? JsonValue(static_cast<uint64_t>(*threads)) : JsonValue());
    JsonValue gpu_cache = JsonValue::empty_object();
    gpu_cache.set("selftest", JsonValue());
    gpu_cache.set_u64("resident_images", 0);
    gpu_cache.set_u64("resident_mb", 0);
    gpu_cache.set_u64("uploads", 0);
    sample.set("gpu_cache", std::move(gpu_cache));
    if (reading) {
      for (size_t i = 0; i < 6; ++i) sample.set(GPU_KEYS[i], reading->values[i] ? JsonValue(*reading->values[i]) : JsonValue());
    }
    {
      std::lock_guard lock(perf_mutex());
      PerfState& s = perf_state();
      if (reading) s.static_info.set_string("gpu_name", reading->name);
      s.samples.push_back(std::move(sample));
      if (s.samples.size() > PERF_HISTORY) s.samples.erase(s.samples.begin(), s.samples.end() - PERF_HISTORY);
    }
    ++tick;
  }
}

}  // namespace tsl
