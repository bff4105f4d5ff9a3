#include "img/tiff/buffered_file.h"

#include <cerrno>
#include <system_error>

#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

// The system's text for the last failed call; streams set errno but promise nothing, so a
// failure without one still gets a message.
std::string os_error(const char* fallback) {
  const int e = errno;
  return e != 0 ? std::generic_category().message(e) : std::string(fallback);
}

std::expected<void, std::string> put(std::ofstream& stream, std::span<const uint8_t> bytes) {
  if (bytes.empty()) return {};
  errno = 0;
  stream.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!stream) return std::unexpected(os_error("write failed"));
  return {};
}

}  // namespace

BufferedFile::~BufferedFile() {
  if (stream.is_open() && !buffer.empty()) (void)put(stream, buffer);
}

std::expected<BufferedFile, std::string> create_buffered_file(const std::filesystem::path& path, size_t capacity) {
  BufferedFile file;
  // Our own buffer batches the writes; the stream's would only copy them once more.
  file.stream.rdbuf()->pubsetbuf(nullptr, 0);
  errno = 0;
  file.stream.open(path, std::ios::binary | std::ios::out | std::ios::trunc);
  if (!file.stream.is_open()) return std::unexpected(os_error("cannot create file"));
  file.capacity = capacity;
  file.buffer.reserve(capacity);
  return file;
}

std::expected<void, std::string> write_bytes(BufferedFile& file, std::span<const uint8_t> bytes) {
  if (file.buffer.size() + bytes.size() > file.capacity) {
    if (auto r = flush(file); !r) return r;
    // Larger than the whole buffer: no point copying it through.
    if (bytes.size() >= file.capacity) {
      if (auto r = put(file.stream, bytes); !r) return r;
      file.size += bytes.size();
      return {};
    }
  }
  file.buffer.insert(file.buffer.end(), bytes.begin(), bytes.end());
  file.size += bytes.size();
  return {};
}

std::expected<void, std::string> flush(BufferedFile& file) {
  auto r = put(file.stream, file.buffer);
  file.buffer.clear();
  return r;
}

std::expected<void, std::string> write_at(BufferedFile& file, uint64_t offset, std::span<const uint8_t> bytes) {
  if (offset > file.size || bytes.size() > file.size - offset)
    internal_error(format("write_at {} + {} past the end {}", offset, bytes.size(), file.size));
  if (auto r = flush(file); !r) return r;
  errno = 0;
  if (!file.stream.seekp(static_cast<std::streamoff>(offset))) return std::unexpected(os_error("seek failed"));
  if (auto r = put(file.stream, bytes); !r) return r;
  errno = 0;
  if (!file.stream.seekp(0, std::ios::end)) return std::unexpected(os_error("seek failed"));
  return {};
}

std::expected<void, std::string> close(BufferedFile& file) {
  auto r = flush(file);
  errno = 0;
  file.stream.close();
  if (r && file.stream.fail()) return std::unexpected(os_error("close failed"));
  return r;
}

}  // namespace tsl
