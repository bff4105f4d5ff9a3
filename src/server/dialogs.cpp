#include "server/dialogs.h"

#include <filesystem>

#include "config/environment.h"
#include "platform/desktop.h"
#include "platform/process.h"
#include "util/text.h"

namespace tsl {
namespace fs = std::filesystem;

std::vector<std::string> pick_argv(const std::string& kind, const std::string& initial) {
  std::vector<std::string> argv = {"zenity", "--file-selection"};
  if (kind == "dir") {
    argv.insert(argv.end(), {"--directory", "--title=Select folder"});
  } else if (kind == "report") {
    argv.insert(argv.end(), {"--title=Open report", "--file-filter=tessaly report (*_report.json) | *_report.json"});
  } else if (kind == "save") {
    argv.insert(argv.end(), {"--save", "--title=Save orthomosaic as", "--file-filter=GeoTIFF (*.tif) | *.tif *.TIF"});
  } else {
    // Windows filters ignore letter case; drone files are often named in capitals.
    argv.insert(argv.end(), {"--multiple", "--separator=|", "--title=Select images",
                             "--file-filter=Images (*.jpg;*.jpeg;*.dng;*.tif) | *.jpg *.JPG *.jpeg *.JPEG *.dng "
                             "*.DNG *.tif *.TIF"});
  }
  if (!initial.empty()) {
    // A folder opens inside itself only with a trailing separator.
    std::error_code ec;
    const bool folder = fs::is_directory(fs::path(initial), ec);
    argv.push_back("--filename=" + initial + (folder && !initial.ends_with('/') ? "/" : ""));
  }
  return argv;
}

std::string pick_result(const std::string& kind, const std::string& printed) {
  std::string path(trim_unicode(sanitize_utf8(printed)));
  if (kind == "save" && !path.empty() && fs::path(path).extension().empty()) path += ".tif";
  return path;
}

std::string reveal_folder(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::absolute(fs::path(path), ec);
  if (ec) p = fs::path(path);
  p = p.lexically_normal();
  // "/a/b/" (from "/a/b/." too) names the folder b.
  if (!p.has_filename() && p != p.root_path()) p = p.parent_path();
  if (fs::is_directory(p, ec)) return p.string();
  const fs::path parent = p.parent_path();
  return parent.empty() ? p.string() : parent.string();
}

std::expected<JsonValue, std::string> api_pick(const JsonValue& body) {
  const std::string kind(body["kind"].is_string() ? body["kind"].as_string() : std::string("dir"));
  const std::string initial(body["initial"].str_or(""));
  if (!graphical_session()) return std::unexpected(std::string(NO_DESKTOP_DIALOG));
  const std::vector<std::string> argv = pick_argv(kind, initial);
  auto run = platform::run_captured(argv, PICK_TIMEOUT_MS);
  // Only a program that cannot start is an error; a cancelled dialog and one left open too
  // long answer "".
  if (!run && run.error() != "timed out") return std::unexpected(std::string(NO_DIALOG_PROGRAM));
  JsonValue out = JsonValue::empty_object();
  out.set_string("path", run ? pick_result(kind, run->out) : std::string());
  return out;
}

std::expected<JsonValue, std::string> api_reveal(const JsonValue& body) {
  const std::string path(body["path"].is_string() ? body["path"].as_string() : std::string("."));
  const std::string folder = reveal_folder(path);
  if (!graphical_session()) return std::unexpected(format("no desktop session to show files in: the folder is {}", folder));
  if (auto opened = platform::open_with_desktop(folder); !opened)
    return std::unexpected(format("{}: the folder is {}", opened.error(), folder));
  JsonValue out = JsonValue::empty_object();
  out.set_bool("ok", true);
  return out;
}

}  // namespace tsl
