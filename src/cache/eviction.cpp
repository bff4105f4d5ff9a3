#include "cache/eviction.h"

#include <algorithm>
#include <string>

namespace tsl {

namespace fs = std::filesystem;

namespace {

constexpr size_t KEY_DIGITS = 24;
constexpr const char* KINDS[] = {"features", "decoded"};

bool is_key(const std::string& s) {
  return s.size() == KEY_DIGITS &&
         std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

void walk_files(const fs::path& folder, std::vector<FileEntry>& list) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return;
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) return;
    const fs::directory_entry& entry = *it;
    const fs::file_status status = entry.symlink_status(ec);
    if (ec || fs::is_symlink(status)) continue;
    if (fs::is_directory(status)) {
      walk_files(entry.path(), list);
      continue;
    }
    FileEntry file;
    file.path = entry.path();
    if (fs::is_regular_file(status)) {
      const uintmax_t size = entry.file_size(ec);
      file.size = ec ? 0 : static_cast<uint64_t>(size);
    }
    const fs::file_time_type modified = entry.last_write_time(ec);
    file.modified = ec ? 0 : static_cast<int64_t>(modified.time_since_epoch().count());
    list.push_back(std::move(file));
  }
}

bool is_cache_file(const fs::path& path) {
  const std::string name = path.filename().string();
  if (path.extension() != ".tslc") return false;
  const std::string key = name.substr(0, name.size() - 5);
  if (!is_key(key)) return false;
  const fs::path folder = path.parent_path();
  if (folder.filename() != key.substr(0, 2)) return false;
  const fs::path kind = folder.parent_path().filename();
  return std::any_of(std::begin(KINDS), std::end(KINDS), [&](const char* k) { return kind == k; });
}

void evict_cache_files(const fs::path& cache_dir, double limit_gb) {
  std::vector<FileEntry> files;
  for (const char* kind : KINDS) walk_files(cache_dir / kind, files);
  std::erase_if(files, [](const FileEntry& f) { return !is_cache_file(f.path); });
  uint64_t total = 0;
  for (const FileEntry& f : files) total += f.size;
  std::stable_sort(files.begin(), files.end(),
                   [](const FileEntry& a, const FileEntry& b) { return a.modified < b.modified; });
  const double limit = limit_gb * 1e9;
  for (const FileEntry& f : files) {
    if (static_cast<double>(total) <= limit) break;
    std::error_code ec;
    if (fs::remove(f.path, ec) && !ec) total -= f.size;
  }
}

}  // namespace tsl
