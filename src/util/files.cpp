#include "util/files.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <utility>

#include "platform/system.h"
#include "util/path.h"
#include "util/text.h"

namespace tsl {

namespace fs = std::filesystem;

namespace {

std::error_code last_error(int fallback) { return {errno != 0 ? errno : fallback, std::generic_category()}; }

}  // namespace

std::expected<void, std::string> write_whole_file(const fs::path& path, std::span<const uint8_t> bytes) {
  errno = 0;
  std::unique_ptr<std::FILE, FileCloser> f(platform::open_file(path, "wb"));
  if (!f) return std::unexpected(os_error_text(last_error(EIO)));
  errno = 0;
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size())
    return std::unexpected(os_error_text(last_error(EIO)));
  errno = 0;
  // fclose flushes the stdio buffer: a full disk may only show here.
  if (std::fclose(f.release()) != 0) return std::unexpected(os_error_text(last_error(EIO)));
  return {};
}

void FileCloser::operator()(std::FILE* f) const {
  if (f) std::fclose(f);
}

std::string os_error_text(const std::error_code& code) {
  return format("{} (os error {})", code.message(), code.value());
}

std::string os_error_text(int errno_value) {
  return os_error_text(std::error_code(errno_value, std::generic_category()));
}

std::string byte_size_text(uint64_t bytes) {
  if (bytes < 1000) return format("{} bytes", bytes);
  const double b = static_cast<double>(bytes);
  const auto [unit, name] = b < 1e6 ? std::pair{1e3, "kB"} : b < 1e9 ? std::pair{1e6, "MB"} : std::pair{1e9, "GB"};
  std::string number = format("{:.1}", b / unit);
  if (number.ends_with(".0")) number.resize(number.size() - 2);
  return number + " " + name;
}

namespace {

std::string node_kind_text(platform::NodeKind kind) {
  switch (kind) {
    case platform::NodeKind::Directory: return os_error_text(EISDIR);
    case platform::NodeKind::Fifo: return "not a regular file (FIFO)";
    case platform::NodeKind::CharDevice: return "not a regular file (character device)";
    case platform::NodeKind::BlockDevice: return "not a regular file (block device)";
    case platform::NodeKind::Socket: return "not a regular file (socket)";
    default: return "not a regular file";
  }
}

// "too large (3 GB, limit 250 MB)"; exact counts where the rounded ones would look equal.
std::string too_large_text(uint64_t size, uint64_t limit) {
  std::string a = byte_size_text(size), b = byte_size_text(limit);
  if (a == b) a = format("{} bytes", size), b = format("{} bytes", limit);
  return format("too large ({}, limit {})", a, b);
}

// Up to `limit` bytes from the start of a regular file; with `whole`, a file holding more
// than `limit` bytes is an error instead of being cut.
std::expected<std::vector<uint8_t>, std::string> read_regular(const fs::path& path, uint64_t limit, bool whole) try {
  auto opened = platform::open_for_reading(path);
  if (!opened) return std::unexpected(os_error_text(opened.error()));
  if (opened->kind != platform::NodeKind::Regular) return std::unexpected(node_kind_text(opened->kind));
  std::unique_ptr<std::FILE, FileCloser> f(opened->file);
  if (whole && opened->size > limit) return std::unexpected(too_large_text(opened->size, limit));
  // The buffer is reserved at once for what the file holds (up to the limit), so a small file
  // costs its size, not the limit; a file that grows while it is read goes on in small steps.
  const uint64_t expected = std::min(limit, opened->size);
  const uint64_t cap = whole && limit != UINT64_MAX ? limit + 1 : limit;
  constexpr size_t CHUNK = 1 << 20;
  constexpr size_t STEP = 1 << 16;
  std::vector<uint8_t> bytes;
  // One step more than the file holds, so the read that finds its end does not regrow it.
  bytes.reserve(static_cast<size_t>(std::min<uint64_t>(cap, expected + STEP)));
  while (bytes.size() < cap) {
    const uint64_t room = bytes.size() < expected ? expected - bytes.size() : STEP;
    const size_t want = static_cast<size_t>(std::min<uint64_t>({CHUNK, cap - bytes.size(), std::max<uint64_t>(room, 1)}));
    const size_t at = bytes.size();
    bytes.resize(at + want);
    errno = 0;
    const size_t got = std::fread(bytes.data() + at, 1, want, f.get());
    bytes.resize(at + got);
    if (got < want) {
      if (std::ferror(f.get())) return std::unexpected(os_error_text(last_error(EIO)));
      break;
    }
  }
  if (whole && bytes.size() > limit) return std::unexpected(too_large_text(bytes.size(), limit));
  return bytes;
} catch (const std::bad_alloc&) {
  return std::unexpected("not enough memory to read the file");
}

}  // namespace

std::expected<std::vector<uint8_t>, std::string> read_file_head(const fs::path& path, uint64_t limit) {
  return read_regular(path, limit, false);
}

std::expected<std::vector<uint8_t>, std::string> read_whole_file(const fs::path& path, uint64_t max_bytes) {
  return read_regular(path, max_bytes, true);
}

std::expected<std::string, std::string> read_text_file(const fs::path& path, uint64_t max_bytes) {
  auto bytes = read_whole_file(path, max_bytes);
  if (!bytes) return std::unexpected(bytes.error());
  std::string text(bytes->begin(), bytes->end());
  if (utf8_error(text)) return std::unexpected("stream did not contain valid UTF-8");
  return text;
}

PendingFile::PendingFile(fs::path final) : partial(partial_path(final)), final_path(std::move(final)) {}

PendingFile::~PendingFile() {
  if (hold.fd < 0 || committed) return;
  // Removed while still held, so that nobody takes the name over in between.
  std::error_code ec;
  fs::remove(partial, ec);
}

std::expected<void, std::string> reserve_partial(PendingFile& file) {
  auto held = platform::hold_file(file.partial);
  if (!held) {
    const std::string why = held.error() == platform::HELD_ELSEWHERE ? "held by another running build"
                                                                       : os_error_text(held.error());
    return std::unexpected(format("cannot create {}: {}", file.partial.string(), why));
  }
  file.hold = std::move(*held);
  return {};
}

void remove_leftover_partial(const fs::path& final_path) { platform::remove_unless_held(partial_path(final_path)); }

std::expected<void, std::string> commit(PendingFile& file) {
  std::error_code ec;
  fs::rename(file.partial, file.final_path, ec);
  if (ec) return std::unexpected(os_error_text(ec));
  file.committed = true;
  platform::release(file.hold);
  return {};
}

std::expected<void, std::string> write_file_atomic(const fs::path& path, std::span<const uint8_t> bytes) {
  PendingFile file(path);
  if (auto r = reserve_partial(file); !r) return r;
  auto named = [&](const std::string& error) { return std::unexpected(format("cannot write {}: {}", path.string(), error)); };
  if (auto w = write_whole_file(file.partial, bytes); !w) return named(w.error());
  if (auto c = commit(file); !c) return named(c.error());
  return {};
}

std::expected<void, std::string> write_file_atomic(const fs::path& path, std::string_view text) {
  return write_file_atomic(path, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

}  // namespace tsl
