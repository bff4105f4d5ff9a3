#include "cache/disk_cache.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <mutex>
#include <vector>

#include "cache/eviction.h"
#include "config/environment.h"
#include "platform/system.h"
#include "util/error.h"
#include "util/files.h"
#include "util/text.h"

namespace tsl {

namespace fs = std::filesystem;

namespace {

struct CacheState {
  std::optional<fs::path> dir;
  double limit_gb = 20.0;
  bool enabled = true;
  double last_eviction = 0.0;  // Unix seconds at which the last pass began
};

constexpr double EVICTION_INTERVAL_S = 30.0;
constexpr size_t KEY_DIGITS = 24;

std::mutex g_mutex;
CacheState g_state;
std::atomic<uint64_t> g_hits{0};
std::atomic<uint64_t> g_misses{0};

double unix_seconds() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const double s = std::chrono::duration<double>(since).count();
  return s > 0.0 ? s : 0.0;
}

// A positive number per thread, unique among the threads of the process.
uint64_t thread_number() {
  static std::atomic<uint64_t> next{1};
  thread_local const uint64_t number = next.fetch_add(1);
  return number;
}

void check_entry_name(std::string_view kind, std::string_view key) {
  const bool kind_ok = kind == "features" || kind == "decoded";
  const bool key_ok = key.size() == KEY_DIGITS && std::all_of(key.begin(), key.end(), [](char c) {
                        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                      });
  if (!kind_ok || !key_ok) internal_error(format("bad disk cache entry {}/{}", kind, key));
}

bool write_file(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

// Claims the eviction pass when the last one began at least 30 seconds ago; returns the
// limit to apply.
std::optional<double> claim_eviction_pass() {
  std::lock_guard lock(g_mutex);
  if (unix_seconds() - g_state.last_eviction < EVICTION_INTERVAL_S) return std::nullopt;
  g_state.last_eviction = unix_seconds();
  return g_state.limit_gb;
}

}  // namespace

void configure_disk_cache(const std::optional<std::string>& cache_dir, double disk_cache_gb) {
  std::lock_guard lock(g_mutex);
  g_state.dir = cache_dir && !cache_dir->empty() ? fs::path(*cache_dir) : default_cache_dir();
  g_state.limit_gb = disk_cache_gb;
  g_state.enabled = disk_cache_gb > 0.0;
  g_hits = 0;
  g_misses = 0;
}

fs::path current_cache_dir() {
  std::lock_guard lock(g_mutex);
  return g_state.dir ? *g_state.dir : default_cache_dir();
}

bool cache_enabled() {
  std::lock_guard lock(g_mutex);
  return g_state.enabled;
}

fs::path cache_entry_path(std::string_view kind, std::string_view key) {
  check_entry_name(kind, key);
  return current_cache_dir() / kind / key.substr(0, 2) / (std::string(key) + ".tslc");
}

std::optional<CacheRecord> cache_load(std::string_view kind, std::string_view key, uint64_t max_bytes) {
  if (!cache_enabled()) return std::nullopt;
  const fs::path path = cache_entry_path(kind, key);
  const auto bytes = read_whole_file(path, max_bytes);
  std::optional<CacheRecord> record;
  if (bytes) record = parse_cache_record(*bytes);
  if (!record) {
    ++g_misses;
    return std::nullopt;
  }
  std::error_code ec;
  fs::last_write_time(path, fs::file_time_type::clock::now(), ec);
  ++g_hits;
  return record;
}

void cache_hit_unusable() {
  --g_hits;
  ++g_misses;
}

void cache_store(std::string_view kind, std::string_view key, const CacheRecord& record) {
  if (!cache_enabled()) return;
  const fs::path target = cache_entry_path(kind, key);
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  fs::path temporary = target;
  temporary.replace_extension(format("{}.ThreadId{}.tmp", platform::process_id(), thread_number()));
  if (write_file(temporary, encode_cache_record(record))) {
    fs::rename(temporary, target, ec);
    if (ec) fs::remove(temporary, ec);
  } else {
    // A partial temporary file would never be evicted: remove it.
    fs::remove(temporary, ec);
  }
  if (const std::optional<double> limit = claim_eviction_pass()) evict_cache_files(current_cache_dir(), *limit);
}

CacheStats cache_stats() {
  std::lock_guard lock(g_mutex);
  return {g_hits.load(), g_misses.load(), g_state.enabled, g_state.limit_gb};
}

CacheDirInfo cache_dir_info() {
  const fs::path dir = current_cache_dir();
  std::vector<FileEntry> files;
  walk_files(dir, files);
  uint64_t total = 0;
  for (const FileEntry& f : files) total += f.size;
  return {dir.string(), static_cast<uint64_t>(files.size()), std::round(static_cast<double>(total) / 1e9 * 100.0) / 100.0};
}

}  // namespace tsl
