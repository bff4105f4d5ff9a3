#pragma once
// An output file written front to back through a large buffer, with one way back: patching
// bytes already written (a TIFF header's directory pointer). Errors are the operating system's
// message, unchanged ("No space left on device"), because the build reports them as they are.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

namespace tsl {

struct BufferedFile {
  std::ofstream stream;          // unbuffered: `buffer` batches the writes
  std::vector<uint8_t> buffer;   // bytes not yet handed to the system
  size_t capacity = 0;           // flush when the buffer would pass this
  uint64_t size = 0;             // bytes appended so far, buffered ones included

  BufferedFile() = default;
  BufferedFile(BufferedFile&&) = default;
  BufferedFile& operator=(BufferedFile&&) = default;
  // A file dropped without close() (a failed render) still gets what was appended, errors
  // ignored: what reached the disk shows how far the work came.
  ~BufferedFile();
};

// Creates (or truncates) the file at `path`.
std::expected<BufferedFile, std::string> create_buffered_file(const std::filesystem::path& path, size_t capacity);

// Appends bytes at the end.
std::expected<void, std::string> write_bytes(BufferedFile& file, std::span<const uint8_t> bytes);

// Hands the buffered bytes to the system.
std::expected<void, std::string> flush(BufferedFile& file);

// Overwrites bytes at `offset` (which with the bytes must lie within `size`), then goes on
// appending at the end.
std::expected<void, std::string> write_at(BufferedFile& file, uint64_t offset, std::span<const uint8_t> bytes);

// Flushes and closes; the record is done with afterwards.
std::expected<void, std::string> close(BufferedFile& file);

}  // namespace tsl
