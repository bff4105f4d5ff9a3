#include "server/file_access.h"

#include <cctype>
#include <filesystem>
#include <mutex>
#include <set>

namespace tsl {
namespace fs = std::filesystem;
namespace {

std::mutex& allowed_mutex() {
  static std::mutex m;
  return m;
}

std::set<std::string>& allowed_set() {
  static std::set<std::string> s;
  return s;
}

// The path as compared: absolute and normalised, links resolved where they exist.
std::string key_of(std::string_view path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::path(std::string(path)), ec);
  if (ec) p = fs::absolute(fs::path(std::string(path)), ec).lexically_normal();
  return p.string();
}

// "x.tif" -> "x" + suffix; a path without ".tif" gets the suffix appended.
std::string replace_tif(std::string_view output, std::string_view suffix) {
  std::string s(output);
  if (s.size() >= 4) {
    std::string tail = s.substr(s.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (tail == ".tif") s.resize(s.size() - 4);
  }
  return s + std::string(suffix);
}

void allow_named_files(const JsonValue& report, std::set<std::string>& out) {
  if (!report.is_object()) return;
  if (report["output"].is_string() && !report["output"].as_string().empty()) {
    const std::string& output = report["output"].as_string();
    out.insert(key_of(replace_tif(output, "_report.json")));
    out.insert(key_of(fs::path(output).replace_extension(".tfw").string()));
  }
  if (report["preview"].is_string() && !report["preview"].as_string().empty()) {
    std::string preview = report["preview"].as_string();
    out.insert(key_of(preview));
    std::string base = preview;
    if (base.size() >= 4) {
      std::string tail = base.substr(base.size() - 4);
      for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (tail == ".jpg") base.resize(base.size() - 4);
    }
    out.insert(key_of(base + "_neutral.jpg"));
    out.insert(key_of(base + "_mask.png"));
  }
}

}  // namespace

void allow_report_files(const JsonValue& report) {
  std::set<std::string> keys;
  allow_named_files(report, keys);
  std::lock_guard lock(allowed_mutex());
  allowed_set().merge(keys);
}

void allow_loaded_report(std::string_view report_path, const JsonValue& report) {
  std::set<std::string> keys;
  keys.insert(key_of(report_path));
  allow_named_files(report, keys);
  std::lock_guard lock(allowed_mutex());
  allowed_set().merge(keys);
}

bool file_allowed(std::string_view path) {
  if (path.empty()) return false;
  std::string key = key_of(path);
  std::lock_guard lock(allowed_mutex());
  return allowed_set().contains(key);
}

}  // namespace tsl
