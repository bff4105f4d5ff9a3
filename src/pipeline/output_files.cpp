#include "pipeline/output_files.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <system_error>

#include "logx.h"
#include "meta/meta_reader.h"
#include "util/text.h"

namespace tsl {

namespace fs = std::filesystem;

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

std::error_code last_error(int fallback) { return {errno != 0 ? errno : fallback, std::generic_category()}; }

std::expected<void, std::string> write_whole(const fs::path& path, std::span<const uint8_t> bytes) {
  errno = 0;
  std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "wb"));
  if (!f) return std::unexpected(os_error_text(last_error(EIO)));
  errno = 0;
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size())
    return std::unexpected(os_error_text(last_error(EIO)));
  errno = 0;
  // fclose flushes the stdio buffer: a full disk may only show here.
  if (std::fclose(f.release()) != 0) return std::unexpected(os_error_text(last_error(EIO)));
  return {};
}

}  // namespace

std::string file_name_string(const fs::path& path) { return path.filename().string(); }

std::string file_stem_string(const fs::path& path) { return path.stem().string(); }

fs::path sibling_path(const fs::path& path, const std::string& suffix) {
  fs::path out = path;
  out.replace_filename(file_stem_string(path) + suffix);
  return out;
}

fs::path partial_path(const fs::path& path) {
  fs::path out = path;
  out.replace_filename(file_stem_string(path) + ".partial" + path.extension().string());
  return out;
}

std::string os_error_text(const std::error_code& code) {
  return format("{} (os error {})", code.message(), code.value());
}

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
    std::string name = file_name_string(folder);
    if (name.empty()) name = "ortho";
    out = folder / "tessaly" / (name + "_ortho.tif");
    logf("  output folder pointed inside the file {} -> writing to {}", file_name_string(cur), out.string());
  }
  if (const fs::path parent = out.parent_path(); !parent.empty()) {
    fs::create_directories(parent, ec);
    if (ec) return std::unexpected(os_error_text(ec));
  }
  return out;
}

PendingFile::PendingFile(fs::path final) : partial(partial_path(final)), final_path(std::move(final)) {}

PendingFile::~PendingFile() {
  if (committed) return;
  std::error_code ec;
  fs::remove(partial, ec);
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
  if (auto w = write_whole(file.partial, bytes); !w) return w;
  return commit(file);
}

std::expected<void, std::string> write_file_atomic(const fs::path& path, std::string_view text) {
  return write_file_atomic(path, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

std::expected<std::string, std::string> read_text_file(const fs::path& path) {
  auto bytes = read_file_head(path, UINT64_MAX);
  if (!bytes) return std::unexpected(bytes.error());
  std::string text(bytes->begin(), bytes->end());
  if (utf8_error(text)) return std::unexpected("stream did not contain valid UTF-8");
  return text;
}

}  // namespace tsl
