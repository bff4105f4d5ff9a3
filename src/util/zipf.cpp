#include "util/zipf.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/system.h"
#include "util/deflate.h"
#include "util/error.h"
#include "util/files.h"
#include "util/text.h"

namespace tsl {

namespace {

constexpr uint32_t SIG_LOCAL = 0x04034B50;
constexpr uint32_t SIG_CENTRAL = 0x02014B50;
constexpr uint32_t SIG_END = 0x06054B50;
constexpr uint32_t SIG_END64 = 0x06064B50;
constexpr uint32_t SIG_LOCATOR64 = 0x07064B50;
constexpr uint64_t MARK32 = 0xFFFFFFFFu;  // "the value is in the zip64 extra field"
constexpr uint16_t MARK16 = 0xFFFF;
constexpr uint16_t FLAG_UTF8 = 0x0800;
constexpr uint16_t DOS_DATE_1980_01_01 = 33;  // (year - 1980) << 9 | month << 5 | day
constexpr size_t LOCAL_HEADER = 30;
constexpr size_t CENTRAL_HEADER = 46;
constexpr size_t END_RECORD = 22;
constexpr size_t MAX_COMMENT = 65535;
constexpr size_t FILE_BUFFER = 8192;

void put16(std::vector<uint8_t>& b, uint64_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& b, uint64_t v) {
  for (int k = 0; k < 4; ++k) b.push_back(static_cast<uint8_t>(v >> (8 * k)));
}
void put64(std::vector<uint8_t>& b, uint64_t v) {
  for (int k = 0; k < 8; ++k) b.push_back(static_cast<uint8_t>(v >> (8 * k)));
}

uint16_t get16(std::span<const uint8_t> b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
uint32_t get32(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 | static_cast<uint32_t>(b[at + 2]) << 16 |
         static_cast<uint32_t>(b[at + 3]) << 24;
}
uint64_t get64(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint64_t>(get32(b, at)) | static_cast<uint64_t>(get32(b, at + 4)) << 32;
}

// True when [at, at + len) lies inside a buffer of `size` bytes, without overflow.
bool fits(uint64_t at, uint64_t len, uint64_t size) { return at <= size && len <= size - at; }

std::expected<void, std::string> write_all(ZipWriter& w, std::span<const uint8_t> bytes) {
  if (!w.file) internal_error("zip writer used after finish");
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), w.file.get()) != bytes.size())
    return std::unexpected(os_error_text(errno));
  w.position += bytes.size();
  return {};
}

}  // namespace

std::expected<ZipWriter, std::string> ZipWriter::create(const std::filesystem::path& path) {
  std::FILE* f = platform::open_file(path, "wb");
  if (!f) return std::unexpected(os_error_text(errno));
  ZipWriter w;
  w.file.reset(f);
  std::setvbuf(f, nullptr, _IOFBF, FILE_BUFFER);
  return w;
}

std::expected<void, std::string> ZipWriter::add(std::string_view name, std::span<const uint8_t> data, bool deflate) {
  if (name.size() > MARK16) internal_error(format("zip member name of {} bytes", name.size()));
  ZipEntry e;
  e.name = std::string(name);
  e.size = data.size();
  e.crc32 = crc32_bytes(data);
  std::vector<uint8_t> packed;
  if (deflate && !data.empty()) {
    packed = tsl::deflate(data, 6);
    if (packed.size() < data.size()) e.method = 8;
    else packed.clear();
  }
  std::span<const uint8_t> body = e.method == 8 ? std::span<const uint8_t>(packed) : data;
  e.compressed_size = body.size();
  e.offset = position;

  const bool zip64 = e.size >= MARK32 || e.offset >= MARK32;
  std::vector<uint8_t> h;
  h.reserve(LOCAL_HEADER + name.size() + 20);
  put32(h, SIG_LOCAL);
  put16(h, zip64 ? 45 : 20);
  put16(h, FLAG_UTF8);
  put16(h, e.method);
  put16(h, 0);
  put16(h, DOS_DATE_1980_01_01);
  put32(h, e.crc32);
  put32(h, zip64 ? MARK32 : e.compressed_size);
  put32(h, zip64 ? MARK32 : e.size);
  put16(h, name.size());
  put16(h, zip64 ? 20 : 0);
  h.insert(h.end(), name.begin(), name.end());
  if (zip64) {
    put16(h, 1);
    put16(h, 16);
    put64(h, e.size);
    put64(h, e.compressed_size);
  }
  if (auto r = write_all(*this, h); !r) return r;
  if (auto r = write_all(*this, body); !r) return r;
  entries.push_back(std::move(e));
  return {};
}

std::expected<void, std::string> ZipWriter::finish() {
  const uint64_t dir_offset = position;
  std::vector<uint8_t> d;
  for (const ZipEntry& e : entries) {
    const bool zip64 = e.compressed_size >= MARK32 || e.size >= MARK32 || e.offset >= MARK32;
    put32(d, SIG_CENTRAL);
    put16(d, zip64 ? 45 : 20);
    put16(d, zip64 ? 45 : 20);
    put16(d, FLAG_UTF8);
    put16(d, e.method);
    put16(d, 0);
    put16(d, DOS_DATE_1980_01_01);
    put32(d, e.crc32);
    put32(d, zip64 ? MARK32 : e.compressed_size);
    put32(d, zip64 ? MARK32 : e.size);
    put16(d, e.name.size());
    put16(d, zip64 ? 28 : 0);
    put16(d, 0);  // comment length
    put16(d, 0);  // disk number
    put16(d, 0);  // internal attributes
    put32(d, 0);  // external attributes
    put32(d, zip64 ? MARK32 : e.offset);
    d.insert(d.end(), e.name.begin(), e.name.end());
    if (zip64) {
      put16(d, 1);
      put16(d, 24);
      put64(d, e.size);
      put64(d, e.compressed_size);
      put64(d, e.offset);
    }
  }
  const uint64_t dir_size = d.size();
  // A directory of 4 GiB or more (only very long names make one) also gets the zip64 records,
  // so that readers can find its true size.
  const bool zip64_end = entries.size() >= MARK16 || dir_offset >= MARK32 || dir_size >= MARK32;
  if (zip64_end) {
    const uint64_t end64_offset = dir_offset + dir_size;
    put32(d, SIG_END64);
    put64(d, 44);
    put16(d, 45);
    put16(d, 45);
    put32(d, 0);
    put32(d, 0);
    put64(d, entries.size());
    put64(d, entries.size());
    put64(d, dir_size);
    put64(d, dir_offset);
    put32(d, SIG_LOCATOR64);
    put32(d, 0);
    put64(d, end64_offset);
    put32(d, 1);
  }
  put32(d, SIG_END);
  put16(d, 0);
  put16(d, 0);
  put16(d, zip64_end ? MARK16 : entries.size());
  put16(d, zip64_end ? MARK16 : entries.size());
  put32(d, dir_size >= MARK32 ? MARK32 : dir_size);
  put32(d, zip64_end ? MARK32 : dir_offset);
  put16(d, 0);
  if (auto r = write_all(*this, d); !r) return r;
  if (std::fflush(file.get()) != 0) return std::unexpected(os_error_text(errno));
  std::FILE* f = file.release();
  if (std::fclose(f) != 0) return std::unexpected(os_error_text(errno));
  return {};
}

std::expected<std::vector<ZipMember>, std::string> read_zip_members(std::span<const uint8_t> archive,
                                                                  uint64_t max_content_bytes) {
  const uint64_t size = archive.size();
  if (size < END_RECORD) return std::unexpected("not a zip file");
  // The end record is the last of its signature within reach of a maximal comment.
  size_t end = size;
  const size_t lowest = size - END_RECORD > MAX_COMMENT ? size - END_RECORD - MAX_COMMENT : 0;
  for (size_t at = size - END_RECORD + 1; at-- > lowest;) {
    if (get32(archive, at) == SIG_END) {
      end = at;
      break;
    }
  }
  if (end == size) return std::unexpected("not a zip file");

  uint64_t count = get16(archive, end + 10);
  uint64_t dir = get32(archive, end + 16);
  if (end >= 20 && (count == MARK16 || dir == MARK32) && get32(archive, end - 20) == SIG_LOCATOR64) {
    const uint64_t end64 = get64(archive, end - 20 + 8);
    if (!fits(end64, 56, size)) return std::unexpected("bad zip64 end record");
    count = get64(archive, static_cast<size_t>(end64) + 32);
    dir = get64(archive, static_cast<size_t>(end64) + 48);
  }

  std::vector<ZipMember> members;
  members.reserve(static_cast<size_t>(std::min<uint64_t>(count, size / CENTRAL_HEADER)));
  uint64_t at = dir;
  uint64_t content_bytes = 0;
  for (uint64_t k = 0; k < count; ++k) {
    if (!fits(at, CENTRAL_HEADER, size) || get32(archive, at) != SIG_CENTRAL)
      return std::unexpected("bad central directory");
    const size_t h = static_cast<size_t>(at);
    const uint16_t method = get16(archive, h + 10);
    const uint32_t crc = get32(archive, h + 16);
    uint64_t packed_size = get32(archive, h + 20);
    uint64_t full_size = get32(archive, h + 24);
    const size_t name_len = get16(archive, h + 28), extra_len = get16(archive, h + 30),
                 comment_len = get16(archive, h + 32);
    uint64_t local = get32(archive, h + 42);
    if (!fits(at + CENTRAL_HEADER, name_len + extra_len + comment_len, size))
      return std::unexpected("bad central directory");
    const auto name_bytes = archive.subspan(h + CENTRAL_HEADER, name_len);
    std::string name = sanitize_utf8(std::string_view(reinterpret_cast<const char*>(name_bytes.data()), name_len));

    // The zip64 extra field holds, in this order, each value whose 32-bit field is marked.
    const auto extra = archive.subspan(h + CENTRAL_HEADER + name_len, extra_len);
    for (size_t x = 0; x + 4 <= extra.size();) {
      const uint16_t tag = get16(extra, x), len = get16(extra, x + 2);
      if (tag == 1) {
        size_t field = x + 4;
        const size_t field_end = std::min(extra.size(), x + 4 + len);
        for (uint64_t* v : {&full_size, &packed_size, &local}) {
          if (*v != MARK32) continue;
          if (field + 8 > field_end) return std::unexpected("bad central directory");
          *v = get64(extra, field);
          field += 8;
        }
      }
      x += 4 + len;
    }

    if (!fits(local, LOCAL_HEADER, size)) return std::unexpected(format("truncated zip member {}", name));
    const size_t lh = static_cast<size_t>(local);
    const uint64_t data_at = local + LOCAL_HEADER + get16(archive, lh + 26) + get16(archive, lh + 28);
    if (!fits(data_at, packed_size, size)) return std::unexpected(format("truncated zip member {}", name));
    const auto packed = archive.subspan(static_cast<size_t>(data_at), static_cast<size_t>(packed_size));

    // Checked before anything is inflated: a few bytes of deflate data can claim gigabytes.
    if (full_size > max_content_bytes - content_bytes)
      return std::unexpected(format("zip content larger than {} bytes", max_content_bytes));
    content_bytes += full_size;
    ZipMember m;
    m.name = std::move(name);
    if (method == 0) {
      m.data.assign(packed.begin(), packed.end());
    } else if (method == 8) {
      auto inflated = inflate(packed, full_size);
      if (!inflated) return std::unexpected(inflated.error());
      m.data = std::move(*inflated);
    } else {
      return std::unexpected(format("zip method {} not supported", method));
    }
    if (m.data.size() != full_size) return std::unexpected(format("size mismatch in zip member {}", m.name));
    if (crc32_bytes(m.data) != crc) return std::unexpected(format("crc mismatch in zip member {}", m.name));
    members.push_back(std::move(m));
    at += CENTRAL_HEADER + name_len + extra_len + comment_len;
  }
  return members;
}

}  // namespace tsl
