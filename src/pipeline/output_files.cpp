#include "pipeline/output_files.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <system_error>

#include "logx.h"
#include "util/files.h"
#include "util/text.h"

namespace tsl {

namespace fs = std::filesystem;

std::expected<fs::path, std::string> settle_output_path(const fs::path& configured) {
  fs::path out = configured;
  fs::path cur = configured.parent_path();
  std::error_code ec;
  fs::file_status st = fs::status(cur, ec);
  while (!cur.empty() && !fs::exists(st)) {
    fs::path parent = cur.parent_path();
    if (parent.empty() || parent == cur) break;
    cur = std::move(parent);
    st = fs::status(cur, ec);
  }
  if (!cur.empty() && fs::exists(st) && !fs::is_directory(st)) {
    const fs::path folder = cur.parent_path();
    std::string name = file_name_string(folder.native());
    if (name.empty()) name = "ortho";
    out = folder / "tessaly" / (name + "_ortho.tif");
    logf("  output folder pointed inside the file {} -> writing to {}", file_name_string(cur.native()), out.string());
  }
  if (const fs::path parent = out.parent_path(); !parent.empty()) {
    fs::create_directories(parent, ec);
    if (ec) return std::unexpected(os_error_text(ec));
  }
  return out;
}

}  // namespace tsl
