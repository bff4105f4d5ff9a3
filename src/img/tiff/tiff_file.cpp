#include "img/tiff/tiff_file.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

// An entry longer than this is dropped: no TIFF value of any use is that large, and it keeps
// count x size far from overflow in every caller.
constexpr uint64_t MAX_VALUE_BYTES = 2147483647;

// Pointer loops let a small file name the same directory many times over: three SubIFDs
// entries of n offsets each reach n^3 directories, and a 64-long chain copies its values 64
// times. A parse therefore spends from a budget in proportion to the file: at most 4096
// directories and at most 256 plus one per 6 bytes (a directory's count and link take 6), and
// stored entries (value bytes plus a fixed overhead each) of at most 8 times the file plus
// 64 KiB. A file without loops stores at most about 3 times its size and never comes near
// either limit; every reader of the directories then works in proportion to the file too.
constexpr uint64_t MAX_DIRECTORIES = 4096;
constexpr uint64_t DIRECTORY_BYTES = 6;
constexpr uint64_t BASE_DIRECTORIES = 256;
constexpr uint64_t ENTRY_OVERHEAD = 32;
constexpr uint64_t STORE_SLACK = uint64_t{64} << 10;

constexpr uint16_t TAG_SUB_IFDS = 330;
constexpr uint16_t TAG_EXIF_IFD = 34665;
constexpr uint16_t TAG_GPS_IFD = 34853;

struct Budget {
  uint64_t directories = MAX_DIRECTORIES;
  uint64_t store_bytes = 0;
};

struct Reader {
  std::span<const uint8_t> data;
  bool little_endian = true;
  bool bigtiff = false;
};

uint64_t load_uint(const uint8_t* p, size_t n, bool little_endian) {
  uint64_t v = 0;
  if (little_endian) {
    for (size_t i = n; i-- > 0;) v = (v << 8) | p[i];
  } else {
    for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  }
  return v;
}

// True when [pos, pos + len) lies inside a buffer of `size` bytes, without overflow.
bool fits(uint64_t pos, uint64_t len, uint64_t size) { return pos <= size && len <= size - pos; }

uint64_t saturate_u64(double v) {
  if (!(v > 0.0)) return 0;  // NaN and negatives
  if (v >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(v);
}

double element_f64(const TiffEntry& e, size_t i, bool le) {
  const uint8_t* p = e.value.data() + i * tiff_type_size(e.field_type);
  switch (e.field_type) {
    case 3: return static_cast<double>(load_uint(p, 2, le));
    case 4:
    case 13: return static_cast<double>(load_uint(p, 4, le));
    case 5: {
      double num = static_cast<double>(load_uint(p, 4, le));
      double den = static_cast<double>(load_uint(p + 4, 4, le));
      return den == 0.0 ? std::nan("") : num / den;
    }
    case 8: return static_cast<int16_t>(load_uint(p, 2, le));
    case 9: return static_cast<int32_t>(load_uint(p, 4, le));
    case 10: {
      double num = static_cast<int32_t>(load_uint(p, 4, le));
      double den = static_cast<int32_t>(load_uint(p + 4, 4, le));
      return den == 0.0 ? std::nan("") : num / den;
    }
    case 11: return std::bit_cast<float>(static_cast<uint32_t>(load_uint(p, 4, le)));
    case 12: return std::bit_cast<double>(load_uint(p, 8, le));
    case 16:
    case 18: return static_cast<double>(load_uint(p, 8, le));
    case 17: return static_cast<double>(static_cast<int64_t>(load_uint(p, 8, le)));
    default: return p[0];  // BYTE, ASCII, SBYTE, UNDEFINED and unknown types
  }
}

uint64_t element_u64(const TiffEntry& e, size_t i, bool le) {
  const uint8_t* p = e.value.data() + i * tiff_type_size(e.field_type);
  switch (e.field_type) {
    case 1:
    case 2:
    case 7: return p[0];
    case 6: return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(p[0])));
    case 3:
    case 8: return load_uint(p, 2, le);
    case 4:
    case 9:
    case 13: return load_uint(p, 4, le);
    case 16:
    case 17:
    case 18: return load_uint(p, 8, le);
    default: return saturate_u64(element_f64(e, i, le));
  }
}

std::optional<Ifd> parse_child(const Reader& r, const TiffEntry* e, size_t index, uint64_t depth, Budget& budget);

std::expected<ParsedIfd, std::string> parse_dir(const Reader& r, uint64_t offset, uint64_t depth, Budget& budget) {
  const uint64_t size = r.data.size();
  const uint64_t count_len = r.bigtiff ? 8 : 2;
  const uint64_t entry_len = r.bigtiff ? 20 : 12;
  const uint64_t inline_cap = r.bigtiff ? 8 : 4;
  const uint64_t next_len = r.bigtiff ? 8 : 4;
  if (!fits(offset, count_len, size)) return std::unexpected("truncated IFD");
  const uint8_t* base = r.data.data();
  const bool le = r.little_endian;
  const uint64_t declared = load_uint(base + offset, count_len, le);
  --budget.directories;

  ParsedIfd out;
  uint64_t pos = offset + count_len;
  for (uint64_t k = 0; k < declared && fits(pos, entry_len, size); ++k, pos += entry_len) {
    // With the budget spent no entry can be stored: the rest is not worth reading.
    // The directory's link is read where the loop would have ended.
    if (budget.store_bytes < ENTRY_OVERHEAD) {
      const uint64_t first = offset + count_len;
      pos = first + std::min(declared, (size - first) / entry_len) * entry_len;
      break;
    }
    const uint8_t* p = base + pos;
    TiffEntry e;
    e.tag = static_cast<uint16_t>(load_uint(p, 2, le));
    e.field_type = static_cast<uint16_t>(load_uint(p + 2, 2, le));
    e.count = load_uint(p + 4, r.bigtiff ? 8 : 4, le);
    const uint64_t unit = tiff_type_size(e.field_type);
    if (e.count > MAX_VALUE_BYTES / unit) continue;
    const uint64_t len = e.count * unit;
    const uint64_t field = pos + (r.bigtiff ? 12 : 8);
    const uint64_t start = len > inline_cap ? load_uint(base + field, r.bigtiff ? 8 : 4, le) : field;
    if (!fits(start, len, size)) continue;
    if (len + ENTRY_OVERHEAD > budget.store_bytes) continue;
    budget.store_bytes -= len + ENTRY_OVERHEAD;
    e.value.assign(base + start, base + start + len);
    out.ifd.entries.push_back(std::move(e));
  }
  out.next_offset = fits(pos, next_len, size) ? load_uint(base + pos, next_len, le) : 0;

  if (depth < TIFF_MAX_DEPTH) {
    if (const TiffEntry* subs = find_entry(out.ifd, TAG_SUB_IFDS)) {
      for (size_t i = 0; i < subs->count; ++i)
        if (auto child = parse_child(r, subs, i, depth, budget)) out.ifd.sub_ifds.push_back(std::move(*child));
    }
    if (auto child = parse_child(r, find_entry(out.ifd, TAG_EXIF_IFD), 0, depth, budget))
      out.ifd.exif = std::make_unique<Ifd>(std::move(*child));
    if (auto child = parse_child(r, find_entry(out.ifd, TAG_GPS_IFD), 0, depth, budget))
      out.ifd.gps = std::make_unique<Ifd>(std::move(*child));
  }
  return out;
}

// The directory named by value `index` of a pointer entry, one level deeper; nothing when the
// entry is absent or short, the directory does not parse, or the budget is spent.
std::optional<Ifd> parse_child(const Reader& r, const TiffEntry* e, size_t index, uint64_t depth, Budget& budget) {
  if (e == nullptr || index >= e->count || budget.directories == 0) return std::nullopt;
  auto parsed = parse_dir(r, element_u64(*e, index, r.little_endian), depth + 1, budget);
  if (!parsed) return std::nullopt;
  return std::move(parsed->ifd);
}

Budget budget_for(std::span<const uint8_t> data) {
  Budget b;
  const uint64_t limit = std::numeric_limits<uint64_t>::max() / 16;
  b.directories = std::min<uint64_t>(MAX_DIRECTORIES, BASE_DIRECTORIES + data.size() / DIRECTORY_BYTES);
  b.store_bytes = std::min<uint64_t>(data.size(), limit) * 8 + STORE_SLACK;
  return b;
}

}  // namespace

uint64_t tiff_type_size(uint16_t field_type) {
  switch (field_type) {
    case 3:
    case 8: return 2;
    case 4:
    case 9:
    case 11:
    case 13: return 4;
    case 5:
    case 10:
    case 12:
    case 16:
    case 17:
    case 18: return 8;
    default: return 1;
  }
}

std::expected<TiffFile, std::string> parse_tiff(std::span<const uint8_t> data) {
  if (data.size() < 8) return std::unexpected("not a TIFF");
  TiffFile file;
  file.data = data;
  if (data[0] == 'I' && data[1] == 'I') {
    file.little_endian = true;
  } else if (data[0] == 'M' && data[1] == 'M') {
    file.little_endian = false;
  } else {
    return std::unexpected("not a TIFF");
  }
  const uint64_t version = load_uint(data.data() + 2, 2, file.little_endian);
  uint64_t offset = 0;
  if (version == 42) {
    offset = load_uint(data.data() + 4, 4, file.little_endian);
  } else if (version == 43 && data.size() >= 16) {
    file.bigtiff = true;
    offset = load_uint(data.data() + 8, 8, file.little_endian);
  } else {
    return std::unexpected("not a TIFF");
  }
  const Reader reader{data, file.little_endian, file.bigtiff};
  Budget budget = budget_for(data);
  while (offset != 0 && offset < data.size() && file.ifds.size() < TIFF_MAX_CHAIN && budget.directories > 0) {
    auto parsed = parse_dir(reader, offset, 0, budget);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    file.ifds.push_back(std::move(parsed->ifd));
    offset = parsed->next_offset;
  }
  return file;
}

std::expected<ParsedIfd, std::string> parse_ifd(const TiffFile& file, uint64_t offset, uint64_t depth) {
  Budget budget = budget_for(file.data);
  return parse_dir(Reader{file.data, file.little_endian, file.bigtiff}, offset, depth, budget);
}

uint32_t read_u32_at(const TiffFile& file, uint64_t pos) {
  if (!fits(pos, 4, file.data.size())) internal_error(format("read_u32_at {} past the end of {} bytes", pos, file.data.size()));
  return static_cast<uint32_t>(load_uint(file.data.data() + pos, 4, file.little_endian));
}

std::vector<uint64_t> tag_u64s(const TiffEntry& entry, bool little_endian) {
  std::vector<uint64_t> out(entry.count);
  for (size_t i = 0; i < out.size(); ++i) out[i] = element_u64(entry, i, little_endian);
  return out;
}

std::vector<double> tag_f64s(const TiffEntry& entry, bool little_endian) {
  std::vector<double> out(entry.count);
  for (size_t i = 0; i < out.size(); ++i) out[i] = element_f64(entry, i, little_endian);
  return out;
}

std::string tag_text(const TiffEntry& entry) {
  const auto* p = reinterpret_cast<const char*>(entry.value.data());
  std::string_view bytes(p, entry.value.size());
  bytes = bytes.substr(0, bytes.find('\0'));
  return std::string(trim_unicode(sanitize_utf8(bytes)));
}

uint64_t first_value(std::vector<uint64_t> values) {
  if (values.empty()) internal_error("first_value of an empty list");
  return values.front();
}

const TiffEntry* find_entry(const Ifd& ifd, uint16_t tag) {
  for (const TiffEntry& e : ifd.entries)
    if (e.tag == tag) return &e;
  return nullptr;
}

std::optional<uint64_t> find_u64(const Ifd& ifd, uint16_t tag, bool little_endian) {
  const TiffEntry* e = find_entry(ifd, tag);
  if (e == nullptr || e->count == 0) return std::nullopt;
  return element_u64(*e, 0, little_endian);
}

void flatten_ifds(const Ifd& ifd, std::vector<const Ifd*>& out) {
  out.push_back(&ifd);
  for (const Ifd& sub : ifd.sub_ifds) flatten_ifds(sub, out);
}

std::vector<const Ifd*> image_ifds(const TiffFile& file) {
  std::vector<const Ifd*> out;
  for (const Ifd& ifd : file.ifds) flatten_ifds(ifd, out);
  return out;
}

}  // namespace tsl
