#pragma once
// Where a build's files go and how they get there. Every file of a build but the world file is
// named by the output's stem plus a fixed suffix, so that one build's files sit side by side.
// Each file is written under a temporary sibling name and renamed into place only when it is
// complete: a failed or cancelled build never leaves a half-written file under a final name,
// and the previous build's file stays until its successor is whole.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>

namespace tsl {

// The last component of a path as text ("" when it has none) and its stem (the name without
// its last extension).
std::string file_name_string(const std::filesystem::path& path);
std::string file_stem_string(const std::filesystem::path& path);

// `path` with its file name replaced by its stem followed by `suffix`: ortho.tif with
// "_report.json" gives ortho_report.json; a path without a file name gets the suffix appended.
std::filesystem::path sibling_path(const std::filesystem::path& path, const std::string& suffix);

// The name a file is written under until it is complete: "ortho.tif" becomes
// "ortho.partial.tif" in the same folder, so the rename never crosses a file system.
std::filesystem::path partial_path(const std::filesystem::path& path);

// The system's text for an error code, as the build reports it: "Permission denied (os error 13)".
std::string os_error_text(const std::error_code& code);

// Settles the output path before anything is written. When the configured path lies inside an
// existing file (a photo picked by mistake as the output folder), the output moves to a folder
// "tessaly" beside that file, named "{folder}_ortho.tif" after the folder holding it ("ortho"
// when there is none), and the move is logged. The final path's folder is then created with
// its missing parents. Error: the system's text.
std::expected<std::filesystem::path, std::string> settle_output_path(const std::filesystem::path& configured);

// A file being written under its partial name; removed when dropped before commit, so an
// error or a cancellation leaves nothing behind but the previous complete file.
struct PendingFile {
  std::filesystem::path partial;
  std::filesystem::path final_path;
  bool committed = false;

  explicit PendingFile(std::filesystem::path final);
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile();
};

// Renames the partial file into place, replacing an earlier file of that name. Error: the
// system's text (the partial file is then removed when the record goes).
std::expected<void, std::string> commit(PendingFile& file);

// Writes `bytes` whole under the partial name and renames it into place. Error: the system's text.
std::expected<void, std::string> write_file_atomic(const std::filesystem::path& path, std::span<const uint8_t> bytes);
std::expected<void, std::string> write_file_atomic(const std::filesystem::path& path, std::string_view text);

// The whole file as UTF-8 text. Errors: the system's text, or "stream did not contain valid
// UTF-8".
std::expected<std::string, std::string> read_text_file(const std::filesystem::path& path);

}  // namespace tsl
