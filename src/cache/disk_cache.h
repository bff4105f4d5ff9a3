#pragma once
// The persistent disk cache: developed raw images ("decoded") and feature records
// ("features") kept between runs and shared by all projects and processes on the machine.
// Each entry is one file <cache folder>/<kind>/<key[0:2]>/<key>.tslc holding a CacheRecord.
//
// The cache can only make a run faster, never make it fail: no operation reports an error
// or logs, and every file error counts as a miss or is skipped. Stores write a temporary
// file and rename it, so concurrent writers (threads or processes) never leave a torn entry.
// Loads refresh the entry's modification time; stores run, at most every 30 seconds per
// process, an eviction pass that deletes the least recently used entries above the limit.
//
// Process-wide settings under one mutex (never held while a file is touched); all functions
// are callable from any thread.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "cache/record.h"

namespace tsl {

struct CacheStats {
  uint64_t hits = 0;    // loads that returned a record
  uint64_t misses = 0;  // loads that found no usable file while enabled
  bool enabled = true;
  double limit_gb = 20.0;
};

struct CacheDirInfo {
  std::string dir;     // the cache folder
  uint64_t files = 0;  // every file in its tree, of any name
  double gb = 0.0;     // their total size in 1e9 bytes, rounded to two decimals
};

// Sets the folder (`cache_dir` when present and not empty, else default_cache_dir), the limit
// in units of 1e9 bytes and whether the cache is on (limit > 0; 0, negative and NaN turn it
// off), and zeroes the counters. Called at the start of every build.
void configure_disk_cache(const std::optional<std::string>& cache_dir, double disk_cache_gb);

// The configured folder, or default_cache_dir before the first configuration.
std::filesystem::path current_cache_dir();

bool cache_enabled();

// Where the entry of `key` (from cache_key) of `kind` ("features" or "decoded") lives. Any
// other kind or key form is an internal error: eviction would never count such files.
std::filesystem::path cache_entry_path(std::string_view kind, std::string_view key);

// The stored record, or nothing: disabled (no counting), no readable file or an invalid one
// (a miss). The entry is read like an input: only a regular file, opened without waiting, of
// at most `max_bytes` (the largest record its caller can have written) known before a byte is
// read; a folder, FIFO, device or larger file at the entry's name is a miss. A hit refreshes
// the file's modification time.
std::optional<CacheRecord> cache_load(std::string_view kind, std::string_view key, uint64_t max_bytes);

// Turns the last hit into a miss: its caller found the record unusable and makes it anew.
void cache_hit_unusable();

// Writes the record under a temporary name unique to the process and thread and renames it
// over the entry; then, at most every 30 seconds per process, runs the eviction pass on the
// calling thread. Does nothing when disabled.
void cache_store(std::string_view kind, std::string_view key, const CacheRecord& record);

CacheStats cache_stats();

// The folder's file count and size over all files in it, links not followed.
CacheDirInfo cache_dir_info();

}  // namespace tsl
