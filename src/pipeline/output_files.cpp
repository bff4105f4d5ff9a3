#include "pipeline/output_files.h"

#include <algorithm>
#include <system_error>

#include "logx.h"
#include "util/text.h"

namespace tsl {

namespace fs = std::filesystem;

namespace {

// The side files of a build, after the output's stem. The previews' two companions are named
// after the preview's own stem.
constexpr const char* OUTPUT_SUFFIXES[] = {
    "_report.json", "_surface.npz", "_dsm.tif", "_seams.npz", "_preview.jpg", "_preview_neutral.jpg",
    "_preview_mask.png", "_diagnostics.zip",
};

// What a path that is not a regular file is, for messages; empty for a regular file or none.
std::string kind_of_non_file(const fs::file_status& st) {
  switch (st.type()) {
    case fs::file_type::regular:
    case fs::file_type::not_found:
    case fs::file_type::none:
      return {};
    case fs::file_type::directory:
      return "a folder";
    case fs::file_type::fifo:
      return "a FIFO";
    case fs::file_type::character:
    case fs::file_type::block:
      return "a device";
    case fs::file_type::socket:
      return "a socket";
    default:
      return "not a regular file";
  }
}

std::expected<void, std::string> create_folder_of(const fs::path& path) {
  const fs::path parent = path.parent_path();
  if (parent.empty()) return {};
  std::error_code ec;
  fs::create_directories(parent, ec);
  if (ec) return std::unexpected(format("cannot create folder {}: {}", parent.string(), os_error_text(ec)));
  return {};
}

}  // namespace

SettledOutput plan_output_path(const fs::path& configured) {
  SettledOutput out{configured, {}};
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
    out.path = folder / "tessaly" / (name + "_ortho.tif");
    out.inside = cur;
  }
  return out;
}

std::expected<fs::path, std::string> settle_output_path(const fs::path& configured) {
  const SettledOutput settled = plan_output_path(configured);
  if (!settled.inside.empty())
    logf("  output folder pointed inside the file {} -> writing to {}", file_name_string(settled.inside.native()),
         settled.path.string());
  if (auto r = create_folder_of(settled.path); !r) return std::unexpected(r.error());
  return settled.path;
}

std::expected<void, std::string> check_output_target(const fs::path& configured) {
  const fs::path out = plan_output_path(configured).path;
  // Without a file name the mosaic would be written as the folder itself, and its side files
  // beside it under names of a suffix alone.
  if (out.filename().empty() || file_name_string(out.native()).empty()) return std::unexpected(format("output {} names no file", out.string()));
  std::error_code ec;
  if (const std::string kind = kind_of_non_file(fs::status(out, ec)); !kind.empty())
    return std::unexpected(format("output {} is {}, not a file", out.string(), kind));
  if (auto r = create_folder_of(out); !r) return r;
  PendingFile probe(out);
  return reserve_partial(probe);
}

std::expected<fs::path, std::string> add_output(BuildOutputs& outputs, const fs::path& final_path) {
  auto file = std::make_unique<PendingFile>(final_path);
  if (auto r = reserve_partial(*file); !r) return std::unexpected(r.error());
  outputs.files.push_back(std::move(file));
  return outputs.files.back()->partial;
}

std::vector<fs::path> build_output_paths(const fs::path& output) {
  // The world file: the output's extension replaced by "tfw", as the GeoTIFF writer names it.
  fs::path world = output;
  world.replace_extension("tfw");
  std::vector<fs::path> paths = {output, world};
  for (const char* suffix : OUTPUT_SUFFIXES) paths.push_back(sibling_path(output, suffix));
  return paths;
}

std::expected<void, std::string> commit_outputs(BuildOutputs& outputs, const fs::path& output) {
  for (const auto& file : outputs.files) {
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(file->final_path, ec);
    if (fs::exists(st) && !fs::is_regular_file(st) && !fs::is_symlink(st)) {
      const std::error_code why = fs::is_directory(st) ? std::make_error_code(std::errc::is_a_directory)
                                                        : std::make_error_code(std::errc::file_exists);
      return std::unexpected(format("cannot write {}: {}", file->final_path.string(), os_error_text(why)));
    }
  }
  for (const auto& file : outputs.files)
    if (auto r = commit(*file); !r)
      return std::unexpected(format("cannot write {}: {}", file->final_path.string(), r.error()));
  for (const fs::path& path : build_output_paths(output)) {
    remove_leftover_partial(path);
    const bool written = std::any_of(outputs.files.begin(), outputs.files.end(),
                                     [&](const auto& file) { return file->final_path == path; });
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(path, ec);
    // A failure here is ignored: the new result is already in place.
    if (!written && (fs::is_regular_file(st) || fs::is_symlink(st))) fs::remove(path, ec);
  }
  return {};
}

}  // namespace tsl
