#pragma once
// Zip archives: a streaming writer (zip64 fields only where sizes or offsets need them, no
// data descriptors, one fixed date for every member) and a reader for whole archives in
// memory (stored and deflated members, archive comments, zip64 end records and extra fields).
#include <cstdint>
#include <cstdio>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/files.h"

namespace tsl {

// The central-directory facts of one written member.
struct ZipEntry {
  std::string name;              // UTF-8 path inside the archive
  uint64_t compressed_size = 0;  // bytes stored in the archive
  uint64_t size = 0;             // bytes of the content
  uint64_t offset = 0;           // file position of the member's local header
  uint32_t crc32 = 0;            // CRC-32 of the content
  uint16_t method = 0;           // 0 stored, 8 deflated
};

// Writes one archive into a file it creates. Errors are the operating system's text; after
// an error the archive is incomplete and the caller abandons it. One thread per writer.
struct ZipWriter {
  // Creates (or truncates) the archive file.
  static std::expected<ZipWriter, std::string> create(const std::filesystem::path& path);

  // Appends a member. With `deflate` the data is compressed at level 6 and kept so only when
  // that makes it strictly smaller; otherwise it is stored. A failed add records no entry.
  // A name longer than 65535 bytes is a caller's bug (internal error).
  std::expected<void, std::string> add(std::string_view name, std::span<const uint8_t> data, bool deflate);

  // Writes the central directory and the end records (zip64 ones when there are 65535 members
  // or more, or the directory starts or spans past 4 GiB) and closes the file.
  std::expected<void, std::string> finish();

  std::vector<ZipEntry> entries;
  std::unique_ptr<std::FILE, FileCloser> file;
  uint64_t position = 0;  // bytes written so far: the file was created empty
};

struct ZipMember {
  std::string name;  // invalid UTF-8 replaced by U+FFFD
  std::vector<uint8_t> data;
};

// The members of an archive held whole in memory, in central-directory order. Every offset
// and size is checked against the buffer, and each member's size and CRC-32 against its
// directory entry. Errors: "not a zip file", "bad central directory", "bad zip64 end record",
// "zip method {} not supported", "truncated zip member {}", "size mismatch in zip member {}",
// "crc mismatch in zip member {}", "zip content larger than {max_content_bytes} bytes" (the
// members' sizes together, checked before any is inflated), and inflate's messages.
std::expected<std::vector<ZipMember>, std::string> read_zip_members(std::span<const uint8_t> archive,
                                                                  uint64_t max_content_bytes = UINT64_MAX);

}  // namespace tsl
