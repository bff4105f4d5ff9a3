#include "pipeline/input_scan.h"

#include <algorithm>
#include <system_error>

#include "meta/file_kind.h"

namespace tsl {

namespace fs = std::filesystem;

std::vector<fs::path> list_image_files(const fs::path& folder) {
  std::vector<fs::path> files;
  std::error_code ec;
  fs::directory_iterator it(folder, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    std::error_code kind_ec;
    if (it->is_regular_file(kind_ec) && is_image_file(it->path())) files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<fs::path> scan_inputs(std::span<const fs::path> inputs) {
  std::vector<fs::path> files;
  for (const fs::path& p : inputs) {
    std::error_code ec;
    if (fs::is_directory(p, ec)) {
      auto listed = list_image_files(p);
      files.insert(files.end(), std::make_move_iterator(listed.begin()), std::make_move_iterator(listed.end()));
    } else if (is_image_file(p)) {
      files.push_back(p);
    }
  }
  return files;
}

std::vector<fs::path> odd_photo_entries(std::span<const fs::path> inputs) {
  std::vector<fs::path> odd;
  for (const fs::path& p : inputs) {
    std::error_code ec;
    if (!fs::is_directory(p, ec)) continue;
    std::vector<fs::path> found;
    fs::directory_iterator it(p, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      std::error_code kind_ec;
      if (!it->is_regular_file(kind_ec) && is_image_file(it->path())) found.push_back(it->path());
    }
    std::sort(found.begin(), found.end());
    odd.insert(odd.end(), found.begin(), found.end());
  }
  return odd;
}

bool same_path(const fs::path& a, const fs::path& b) { return a.compare(b) == 0; }

std::string path_identity(const fs::path& path) {
  std::string id;
  for (const fs::path& part : path) {
    id += part.native();
    id += '\0';
  }
  return id;
}

}  // namespace tsl
