#include "img/dng/ljpeg.h"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "util/text.h"

namespace tsl {
namespace {

constexpr uint8_t MARKER_SOI = 0xD8;
constexpr uint8_t MARKER_SOF3 = 0xC3;
constexpr uint8_t MARKER_DHT = 0xC4;
constexpr uint8_t MARKER_DRI = 0xDD;
constexpr uint8_t MARKER_SOS = 0xDA;

// A Huffman table as a lookup on the next 16 bits of the stream: entry = length << 8 | symbol,
// 0 where no code matches. One lookup per symbol, no loop over code lengths.
constexpr size_t HUFF_ENTRIES = size_t{1} << 16;

// The four table slots' storage, kept per thread: a DNG holds hundreds of pieces, each with
// its own tables, and 128 KiB per table is worth reusing rather than allocating each time.
struct TableStore {
  std::array<std::unique_ptr<uint16_t[]>, 4> slots;

  uint16_t* slot(unsigned i) {
    if (!slots[i]) slots[i] = std::make_unique_for_overwrite<uint16_t[]>(HUFF_ENTRIES);
    return slots[i].get();
  }
};
thread_local TableStore table_store;

struct Component {
  uint8_t id = 0;
  uint8_t slot = 0;
};

struct Frame {
  unsigned precision = 0;
  size_t height = 0;
  size_t width = 0;
  std::vector<Component> components;
};

struct Scan {
  unsigned predictor = 1;
  unsigned point_transform = 0;
  size_t data_start = 0;
};

struct Parsed {
  std::array<const uint16_t*, 4> tables{};  // nullptr: the slot is empty
  std::array<bool, 4> wide_symbols{};  // the table holds a symbol above 16
  std::optional<Frame> frame;
  Scan scan;
  size_t restart_interval = 0;
};

uint16_t be16(std::span<const uint8_t> b, size_t pos) { return static_cast<uint16_t>(b[pos] << 8 | b[pos + 1]); }

std::expected<void, std::string> read_dht(Parsed& p, std::span<const uint8_t> payload) {
  size_t pos = 0;
  while (payload.size() - pos >= 17) {
    const unsigned slot = payload[pos] & 3;
    std::array<unsigned, 17> counts{};
    size_t total = 0;
    for (unsigned l = 1; l <= 16; ++l) {
      counts[l] = payload[pos + l];
      total += counts[l];
    }
    pos += 17;
    if (total > payload.size() - pos) return std::unexpected("bad ljpeg huffman table");
    uint16_t* table = table_store.slot(slot);
    bool wide = false;
    uint32_t code = 0;
    uint32_t covered = 0;
    size_t k = pos;
    for (unsigned l = 1; l <= 16; ++l) {
      for (unsigned i = 0; i < counts[l]; ++i, ++code, ++k) {
        if (code >= (uint32_t{1} << l)) return std::unexpected("bad ljpeg huffman table");
        const uint8_t symbol = payload[k];
        wide |= symbol > 16;
        const uint32_t first = code << (16 - l);
        const uint32_t last = (code + 1) << (16 - l);
        std::fill(table + first, table + last, static_cast<uint16_t>(l << 8 | symbol));
        covered = last;
      }
      code <<= 1;
    }
    // Canonical codes cover the entries from 0 upward without gaps; the rest match nothing.
    std::fill(table + covered, table + HUFF_ENTRIES, uint16_t{0});
    pos += total;
    p.tables[slot] = table;
    p.wide_symbols[slot] = wide;
  }
  return {};
}

std::expected<void, std::string> read_sof3(Parsed& p, std::span<const uint8_t> payload) {
  if (payload.size() < 6) return std::unexpected("bad ljpeg frame header");
  Frame f;
  f.precision = payload[0];
  f.height = be16(payload, 1);
  f.width = be16(payload, 3);
  const size_t nf = payload[5];
  if (nf == 0 || payload.size() < 6 + 3 * nf) return std::unexpected("bad ljpeg frame header");
  for (size_t i = 0; i < nf; ++i) f.components.push_back({payload[6 + 3 * i], 0});
  p.frame = std::move(f);
  return {};
}

std::expected<void, std::string> read_sos(Parsed& p, std::span<const uint8_t> payload) {
  if (!p.frame) return std::unexpected("bad ljpeg scan header");
  if (payload.empty()) return std::unexpected("bad ljpeg scan header");
  const size_t ns = payload[0];
  if (payload.size() < 2 * ns + 4) return std::unexpected("bad ljpeg scan header");
  std::vector<Component>& comps = p.frame->components;
  for (size_t i = 0; i < ns; ++i) {
    const uint8_t selector = payload[1 + 2 * i];
    const uint8_t slot = (payload[2 + 2 * i] >> 4) & 3;
    auto named = std::find_if(comps.begin(), comps.end(), [&](const Component& c) { return c.id == selector; });
    if (named != comps.end())
      named->slot = slot;
    else
      comps[std::min(i, comps.size() - 1)].slot = slot;
  }
  p.scan.predictor = payload[2 * ns + 1];
  p.scan.point_transform = payload[2 * ns + 3] & 0x0F;
  return {};
}

// Walks the marker segments up to the SOS; the entropy-coded data follows it.
std::expected<Parsed, std::string> parse_headers(std::span<const uint8_t> d) {
  Parsed p;
  if (d.size() < 6) return std::unexpected("no lossless JPEG scan");
  size_t pos = 2;
  for (;;) {
    if (pos >= d.size() || d.size() - pos < 4) return std::unexpected("no lossless JPEG scan");
    if (d[pos] != 0xFF || d[pos + 1] == 0xFF) {
      ++pos;
      continue;
    }
    const uint8_t marker = d[pos + 1];
    if (marker == MARKER_SOI) {
      pos += 2;
      continue;
    }
    const size_t len = be16(d, pos + 2);
    if (len < 2) return std::unexpected("bad ljpeg segment length");
    const size_t start = pos + 4;
    const size_t end = std::min(pos + 2 + len, d.size());
    const std::span<const uint8_t> payload = d.subspan(start, end - start);
    std::expected<void, std::string> ok;
    if (marker == MARKER_SOF3) ok = read_sof3(p, payload);
    else if (marker == MARKER_DHT) ok = read_dht(p, payload);
    else if (marker == MARKER_DRI && payload.size() >= 2) p.restart_interval = be16(payload, 0);
    else if (marker == MARKER_SOS) {
      ok = read_sos(p, payload);
      if (!ok) return std::unexpected(ok.error());
      p.scan.data_start = pos + 2 + len;
      return p;
    }
    if (!ok) return std::unexpected(ok.error());
    pos += 2 + len;
  }
}

// Predictions of the lossless mode; the shifts are arithmetic, as the standard's integer
// definitions round towards minus infinity.
template <unsigned PRED>
inline int32_t predict(int32_t ra, int32_t rb, int32_t rc) {
  if constexpr (PRED == 2) return rb;
  else if constexpr (PRED == 3) return rc;
  else if constexpr (PRED == 4) return ra + rb - rc;
  else if constexpr (PRED == 5) return ra + ((rb - rc) >> 1);
  else if constexpr (PRED == 6) return rb + ((ra - rc) >> 1);
  else if constexpr (PRED == 7) return (ra + rb) >> 1;
  else return ra;
}

// One difference: a Huffman symbol giving the bit count, then that many bits. A code no
// entry covers consumes one bit and reads as category 0 (the entry holds length 0, symbol 0).
inline int32_t read_difference(LjpegBitReader& br, const uint16_t* table) {
  if (br.bits < 32) br.refill();
  const uint16_t entry = table[br.buffer >> 48];
  unsigned len = entry >> 8;
  len |= static_cast<unsigned>(len == 0);
  const unsigned s = entry & 0xFF;
  br.buffer <<= len;
  br.bits -= len;
  if (s == 0) return 0;
  if (s >= 16) return 32768;
  const uint32_t v = static_cast<uint32_t>(br.buffer >> (64 - s));
  br.buffer <<= s;
  br.bits -= s;
  return v >= (uint32_t{1} << (s - 1)) ? static_cast<int32_t>(v) : static_cast<int32_t>(v) - (1 << s) + 1;
}

// The rows after a frame's (or a restart's) first row, for one predictor: kept as its own
// instantiation so the prediction is not a branch per sample.
template <unsigned PRED>
void decode_row(LjpegBitReader& br, const uint16_t* const* tables, uint16_t* row, const uint16_t* above,
                size_t width, size_t nf) {
  for (size_t j = 0; j < nf; ++j) row[j] = static_cast<uint16_t>(above[j] + read_difference(br, tables[j]));
  for (size_t x = 1; x < width; ++x) {
    uint16_t* px = row + x * nf;
    const uint16_t* left = px - nf;
    const uint16_t* up = above + x * nf;
    const uint16_t* up_left = up - nf;
    for (size_t j = 0; j < nf; ++j) {
      const int32_t p = predict<PRED>(left[j], up[j], up_left[j]);
      px[j] = static_cast<uint16_t>(p + read_difference(br, tables[j]));
    }
  }
}

using RowFn = void (*)(LjpegBitReader&, const uint16_t* const*, uint16_t*, const uint16_t*, size_t, size_t);

RowFn row_decoder(unsigned predictor) {
  switch (predictor) {
    case 2: return decode_row<2>;
    case 3: return decode_row<3>;
    case 4: return decode_row<4>;
    case 5: return decode_row<5>;
    case 6: return decode_row<6>;
    case 7: return decode_row<7>;
    default: return decode_row<1>;
  }
}

}  // namespace

void LjpegBitReader::refill() {
  const size_t n = data.size();
  while (bits <= 56) {
    uint64_t byte = 0;
    if (pos < n) {
      const uint8_t b = data[pos];
      if (b != 0xFF) {
        byte = b;
        ++pos;
      } else if (pos + 1 < n && data[pos + 1] == 0x00) {
        byte = 0xFF;
        pos += 2;
      }
      // else a marker (or a lone FF at the end): stay, supply zeros
    }
    buffer |= byte << (56 - bits);
    bits += 8;
  }
}

void LjpegBitReader::seek_restart() {
  buffer = 0;
  bits = 0;
  const size_t n = data.size();
  for (size_t i = pos; i + 1 < n; ++i) {
    if (data[i] == 0xFF && data[i + 1] >= 0xD0 && data[i + 1] <= 0xD7) {
      pos = i + 2;
      return;
    }
  }
  pos = n == 0 ? 0 : n - 1;
}

namespace {

uint64_t frame_samples(const Frame& f) {
  // Each factor is below 2^16, so the product fits in 64 bits.
  return uint64_t{f.width} * f.components.size() * f.height;
}

// Decodes the first `rows` rows of the scan of parsed headers into `out`, which must hold them.
std::expected<LjpegShape, std::string> decode_scan(const Parsed& p, std::span<const uint8_t> bytes,
                                                   std::span<uint16_t> out, size_t rows) {
  const Frame& f = *p.frame;
  const size_t nf = f.components.size();
  const uint64_t total = uint64_t{f.width} * nf * rows;
  const LjpegShape shape{f.width, f.height, nf, f.precision};
  if (total == 0) return shape;

  for (size_t j = 0; j < nf; ++j) {
    const uint8_t slot = f.components[j].slot;
    if (!p.tables[slot]) return std::unexpected("missing ljpeg huffman table");
    // Categories above 16 do not exist in the lossless mode; such a table is not one.
    if (p.wide_symbols[slot]) return std::unexpected("bad ljpeg huffman table");
  }
  // More than four components share the four slots through the per-component pointers.
  std::vector<const uint16_t*> comp_tables(nf);
  for (size_t j = 0; j < nf; ++j) comp_tables[j] = p.tables[f.components[j].slot];

  LjpegBitReader br{bytes, std::min(p.scan.data_start, bytes.size())};
  const int shift = (static_cast<int>(f.precision) - static_cast<int>(p.scan.point_transform) - 1) & 31;
  const auto initial = static_cast<uint16_t>(uint32_t{1} << shift);
  const RowFn later_row = row_decoder(p.scan.predictor);
  const size_t row_len = f.width * nf;
  size_t since_restart = 0;
  // Every sample is written exactly once, so `out` needs no clearing first.
  for (size_t y = 0; y < rows; ++y) {
    uint16_t* row = out.data() + y * row_len;
    bool first = y == 0;
    if (p.restart_interval != 0 && y != 0 && since_restart >= p.restart_interval) {
      br.seek_restart();
      since_restart = 0;
      first = true;
    }
    if (first) {
      for (size_t j = 0; j < nf; ++j) row[j] = static_cast<uint16_t>(initial + read_difference(br, comp_tables[j]));
      for (size_t i = nf; i < row_len; i += nf)
        for (size_t j = 0; j < nf; ++j)
          row[i + j] = static_cast<uint16_t>(row[i + j - nf] + read_difference(br, comp_tables[j]));
    } else {
      later_row(br, comp_tables.data(), row, row - row_len, f.width, nf);
    }
    since_restart += f.width;
  }
  if (p.scan.point_transform != 0)
    for (uint16_t& s : out.first(total)) s = static_cast<uint16_t>(s << p.scan.point_transform);
  return shape;
}

std::optional<std::string> too_large(const Frame& f, uint64_t limit) {
  if (frame_samples(f) <= limit) return std::nullopt;
  return format("lossless JPEG frame {}x{}x{} larger than its tile", f.width, f.height, f.components.size());
}

}  // namespace

std::expected<LjpegShape, std::string> decode_ljpeg_into(std::span<const uint8_t> bytes, std::span<uint16_t> out) {
  auto parsed = parse_headers(bytes);
  if (!parsed) return std::unexpected(parsed.error());
  if (auto refused = too_large(*parsed->frame, out.size())) return std::unexpected(*refused);
  return decode_scan(*parsed, bytes, out, parsed->frame->height);
}

std::expected<LjpegShape, std::string> decode_ljpeg_head(std::span<const uint8_t> bytes, uint64_t max_samples,
                                                         uint64_t wanted, std::vector<uint16_t>& out) {
  auto parsed = parse_headers(bytes);
  if (!parsed) return std::unexpected(parsed.error());
  const Frame& f = *parsed->frame;
  if (auto refused = too_large(f, max_samples)) return std::unexpected(*refused);
  const uint64_t row_len = uint64_t{f.width} * f.components.size();
  const size_t rows = row_len == 0 ? 0 : static_cast<size_t>(std::min<uint64_t>(f.height, (wanted + row_len - 1) / row_len));
  out.resize(rows * row_len);
  return decode_scan(*parsed, bytes, out, rows);
}

std::expected<LjpegFrame, std::string> decode_ljpeg(std::span<const uint8_t> bytes, uint64_t max_samples) {
  auto parsed = parse_headers(bytes);
  if (!parsed) return std::unexpected(parsed.error());
  if (auto refused = too_large(*parsed->frame, max_samples)) return std::unexpected(*refused);
  LjpegFrame frame;
  frame.samples.resize(frame_samples(*parsed->frame));
  auto shape = decode_scan(*parsed, bytes, frame.samples, parsed->frame->height);
  if (!shape) return std::unexpected(shape.error());
  frame.width = shape->width;
  frame.height = shape->height;
  frame.components = shape->components;
  frame.precision = shape->precision;
  return frame;
}

}  // namespace tsl
