#pragma once
// Whole-file reading and writing, and the system's error text. A file is written under a
// temporary sibling name and renamed into place only when complete, so a failure never leaves
// a half-written file under its final name and the previous file stays until its successor is
// whole.
#include <cstdint>
#include <cstdio>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/system.h"

namespace tsl {

// Closes a stdio file held by a unique_ptr.
struct FileCloser {
  void operator()(std::FILE* f) const;
};

// The system's text for an error code: "Permission denied (os error 13)".
std::string os_error_text(const std::error_code& code);
// The same for an errno value.
std::string os_error_text(int errno_value);

// Read limits by purpose, so that a hostile or mistaken input (a huge file, /dev/zero) ends in
// a message instead of exhausting memory.
// Photos read whole: a 100 MP 16-bit RGB TIFF is 600 MB.
inline constexpr uint64_t PHOTO_FILE_LIMIT = 1'000'000'000;
// Reports and tie files: a report of 10,000 photos is a few MB; tie dumps of large flights
// reach tens of MB.
inline constexpr uint64_t DOCUMENT_FILE_LIMIT = 250'000'000;

// The first `limit` bytes of the file (all of it when shorter). Only a regular file is read:
// the path is opened without blocking and its kind checked first, so a FIFO, a device or a
// folder is refused ("Is a directory (os error 21)", "not a regular file (FIFO)"). Errors otherwise: the
// system's text ("No such file or directory (os error 2)"), "not enough memory to read the
// file".
std::expected<std::vector<uint8_t>, std::string> read_file_head(const std::filesystem::path& path, uint64_t limit);
// The whole file; errors as read_file_head, and "too large ({size}, limit {max_bytes})" for a
// file holding more than `max_bytes`.
std::expected<std::vector<uint8_t>, std::string> read_whole_file(const std::filesystem::path& path,
                                                                 uint64_t max_bytes = UINT64_MAX);

// The whole file as UTF-8 text. Errors as read_whole_file, or "stream did not contain valid
// UTF-8".
std::expected<std::string, std::string> read_text_file(const std::filesystem::path& path,
                                                       uint64_t max_bytes = UINT64_MAX);

// A byte count for messages: "512 bytes", "3.2 MB", "250 MB", "1.6 GB" (decimal units).
std::string byte_size_text(uint64_t bytes);

// A file being written under its partial name. The partial file is created by reserve_partial
// and removed when the record is dropped before commit, so an error or a cancellation leaves
// nothing behind but the previous complete file. The record holds the partial file locked
// until then: a partial file nobody holds is a leftover of a process that died while writing
// it, and the next reserve_partial takes it over. Nothing else at the partial name (a folder,
// a link) is ever removed.
struct PendingFile {
  std::filesystem::path partial;
  std::filesystem::path final_path;
  platform::HeldFile hold;  // the partial file is ours while held
  bool committed = false;

  explicit PendingFile(std::filesystem::path final);
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile();
};

// Creates the empty partial file and holds it, or takes over (empties) a leftover partial file
// that no live process holds. Errors: "cannot create {partial}: held by another running build"
// when a live process holds it, "cannot create {partial}: {system's text}" otherwise (a folder
// or link at the name gives "File exists (os error 17)").
std::expected<void, std::string> reserve_partial(PendingFile& file);

// Removes the partial file of `final_path` when it is a leftover no live process holds.
void remove_leftover_partial(const std::filesystem::path& final_path);

// Renames the partial file into place, replacing an earlier file of that name. Error: the
// system's text (the partial file is then removed when the record goes).
std::expected<void, std::string> commit(PendingFile& file);

// Writes `bytes` as the whole content of `path`, creating or truncating it. Error: the
// system's text.
std::expected<void, std::string> write_whole_file(const std::filesystem::path& path, std::span<const uint8_t> bytes);

// Writes `bytes` whole under the partial name and renames it into place. Errors: those of
// reserve_partial, then "cannot write {path}: {system's text}".
std::expected<void, std::string> write_file_atomic(const std::filesystem::path& path, std::span<const uint8_t> bytes);
std::expected<void, std::string> write_file_atomic(const std::filesystem::path& path, std::string_view text);

}  // namespace tsl
