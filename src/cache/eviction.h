#pragma once
// Least-recently-used eviction of disk-cache entries. The file system is the only index:
// modification times (refreshed on every hit) give the order, file sizes the total.
#include <cstdint>
#include <filesystem>
#include <vector>

namespace tsl {

struct FileEntry {
  int64_t modified = 0;  // last-write time in file-clock ticks; larger is later
  uint64_t size = 0;     // bytes
  std::filesystem::path path;
};

// Appends every file under `folder`, depth first in listing order, with the size and time
// the listing gives (0 where it cannot). Links are neither followed nor listed, so a link
// cycle or a link to a folder outside the cache is harmless. A folder that cannot be listed
// adds nothing.
void walk_files(const std::filesystem::path& folder, std::vector<FileEntry>& list);

// Whether the path is one of the cache's own entry files: a 24-digit lower-case hex key with
// the extension "tslc", in a folder named by the key's first two digits, inside a folder
// "features" or "decoded". Nothing else is ever counted or deleted, so a cache folder set to
// a folder that also holds the user's files never loses them.
bool is_cache_file(const std::filesystem::path& path);

// The eviction pass: the entry files under `cache_dir`'s "features" and "decoded" folders,
// oldest first, are deleted while together they exceed limit_gb x 1e9 bytes. A file that
// cannot be deleted stays counted and the pass moves on.
void evict_cache_files(const std::filesystem::path& cache_dir, double limit_gb);

}  // namespace tsl
