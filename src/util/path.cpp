#include "util/path.h"

#include <optional>

#include "util/text.h"

namespace tsl {

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Length of a leading drive ("C:") or share ("\\server\share") prefix, which never counts as
// a file name.
size_t prefix_length(std::string_view path) {
  if (path.size() >= 2 && path[1] == ':' && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')))
    return 2;
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    size_t p = 2;
    for (int part = 0; part < 2; ++part) {
      while (p < path.size() && is_separator(path[p])) ++p;
      while (p < path.size() && !is_separator(path[p])) ++p;
    }
    return p;
  }
  return 0;
}

// The raw bytes of the last normal component, or nothing.
std::optional<std::string_view> last_component(std::string_view path) {
  path.remove_prefix(prefix_length(path));
  size_t end = path.size();
  while (end > 0) {
    while (end > 0 && is_separator(path[end - 1])) --end;
    size_t begin = end;
    while (begin > 0 && !is_separator(path[begin - 1])) --begin;
    std::string_view part = path.substr(begin, end - begin);
    if (part == "..") return std::nullopt;
    if (!part.empty() && part != ".") return part;
    end = begin;
  }
  return std::nullopt;
}

// A folder path ("out/") has no file name to take a stem from, so its siblings go inside it.
std::string stem_or_empty(const std::filesystem::path& path) {
  return path.has_filename() ? file_stem_string(path.native()) : std::string();
}

}  // namespace

std::string file_name_string(std::string_view path) {
  auto name = last_component(path);
  return name ? sanitize_utf8(*name) : std::string();
}

std::string file_stem_string(std::string_view path) {
  auto name = last_component(path);
  if (!name) return {};
  size_t dot = name->rfind('.');
  std::string_view stem = (dot == std::string_view::npos || dot == 0) ? *name : name->substr(0, dot);
  return sanitize_utf8(stem);
}

std::filesystem::path sibling_path(const std::filesystem::path& path, const std::string& suffix) {
  std::filesystem::path out = path;
  out.replace_filename(stem_or_empty(path) + suffix);
  return out;
}

std::filesystem::path partial_path(const std::filesystem::path& path) {
  std::filesystem::path out = path;
  out.replace_filename(stem_or_empty(path) + ".partial" + path.extension().string());
  return out;
}

}  // namespace tsl
