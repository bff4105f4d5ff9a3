#include "util/files.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

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

std::expected<std::vector<uint8_t>, std::string> read_file_head(const fs::path& path, uint64_t limit) try {
  std::unique_ptr<std::FILE, FileCloser> f(platform::open_file(path, "rb"));
  if (!f) return std::unexpected(os_error_text(errno));
  std::vector<uint8_t> bytes;
  // The buffer is reserved at once for what the system says the file holds (up to the limit),
  // so a small file costs its size, not the limit; reads past that go in small steps.
  uint64_t expected = limit;
  if (std::error_code ec; fs::is_regular_file(path, ec)) {
    const uintmax_t size = fs::file_size(path, ec);
    if (!ec) expected = std::min<uint64_t>(limit, size);
  }
  if (expected != UINT64_MAX) bytes.reserve(expected);
  constexpr size_t CHUNK = 1 << 20;
  constexpr size_t STEP = 1 << 16;
  while (bytes.size() < limit) {
    const uint64_t room = bytes.size() < expected ? expected - bytes.size() : STEP;
    const size_t want = static_cast<size_t>(std::min<uint64_t>({CHUNK, limit - bytes.size(), std::max<uint64_t>(room, 1)}));
    const size_t at = bytes.size();
    bytes.resize(at + want);
    const size_t got = std::fread(bytes.data() + at, 1, want, f.get());
    bytes.resize(at + got);
    if (got < want) {
      if (std::ferror(f.get())) return std::unexpected(os_error_text(errno));
      break;
    }
  }
  return bytes;
} catch (const std::bad_alloc&) {
  return std::unexpected("not enough memory to read the file");
}

std::expected<std::vector<uint8_t>, std::string> read_whole_file(const fs::path& path) {
  return read_file_head(path, UINT64_MAX);
}

std::expected<std::string, std::string> read_text_file(const fs::path& path) {
  auto bytes = read_file_head(path, UINT64_MAX);
  if (!bytes) return std::unexpected(bytes.error());
  std::string text(bytes->begin(), bytes->end());
  if (utf8_error(text)) return std::unexpected("stream did not contain valid UTF-8");
  return text;
}

PendingFile::PendingFile(fs::path final) : partial(partial_path(final)), final_path(std::move(final)) {}

PendingFile::~PendingFile() {
  if (!created || committed) return;
  std::error_code ec;
  fs::remove(partial, ec);
}

std::expected<void, std::string> reserve_partial(PendingFile& file) {
  errno = 0;
  // "x": exclusive creation, which also refuses a link of that name instead of following it.
  std::unique_ptr<std::FILE, FileCloser> f(platform::open_file(file.partial, "wbx"));
  if (!f) return std::unexpected(format("cannot create {}: {}", file.partial.string(), os_error_text(last_error(EIO))));
  file.created = true;
  return {};
}

std::expected<void, std::string> commit(PendingFile& file) {
  std::error_code ec;
  fs::rename(file.partial, file.final_path, ec);
  if (ec) return std::unexpected(os_error_text(ec));
  file.committed = true;
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
