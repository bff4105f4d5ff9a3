#include "util/deflate.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "util/error.h"
#include "util/text.h"

namespace tsl {

namespace {

// --- shared code tables ----------------------------------------------------------------

constexpr uint16_t LEN_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                   31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t LEN_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t DIST_BASE[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t DIST_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which code-length-code lengths are sent.
constexpr uint8_t CL_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

inline uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // the program runs on little-endian machines only
}
inline void store64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
inline void store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

uint32_t reverse_bits(uint32_t code, unsigned len) {
  uint32_t r = 0;
  for (unsigned i = 0; i < len; ++i) {
    r = (r << 1) | (code & 1);
    code >>= 1;
  }
  return r;
}

// Symbol lookups for the compressor: length 3..258 -> length symbol - 257, and distance ->
// distance symbol through two tables (distances above 256 share a symbol per 128 values,
// because every such symbol's range starts at a multiple of 128 plus one).
struct SymbolTables {
  uint8_t len_sym[259] = {};
  uint8_t dist_lo[256] = {};  // by distance - 1, distances 1..256
  uint8_t dist_hi[256] = {};  // by (distance - 1) >> 7, distances 257..32768
};

constexpr SymbolTables make_symbol_tables() {
  SymbolTables t;
  for (unsigned s = 0; s < 29; ++s) {
    unsigned last = s == 28 ? 258 : LEN_BASE[s] + (1u << LEN_EXTRA[s]) - 1;
    for (unsigned len = LEN_BASE[s]; len <= last && len <= 258; ++len) t.len_sym[len] = static_cast<uint8_t>(s);
  }
  t.len_sym[258] = 28;  // 258 has its own symbol, not the last one of symbol 284's range
  for (unsigned s = 0; s < 30; ++s) {
    unsigned last = DIST_BASE[s] + (1u << DIST_EXTRA[s]) - 1;
    for (unsigned d = DIST_BASE[s]; d <= last; ++d) {
      if (d <= 256)
        t.dist_lo[d - 1] = static_cast<uint8_t>(s);
      else
        t.dist_hi[(d - 1) >> 7] = static_cast<uint8_t>(s);
    }
  }
  return t;
}

constexpr SymbolTables SYM = make_symbol_tables();

inline unsigned dist_symbol(unsigned dist) { return dist <= 256 ? SYM.dist_lo[dist - 1] : SYM.dist_hi[(dist - 1) >> 7]; }

// --- compressor --------------------------------------------------------------------------

constexpr size_t WINDOW = 32768;
constexpr size_t WINDOW_MASK = WINDOW - 1;
constexpr size_t MAX_DIST = 32506;  // the window less room for one maximal match and lookahead
constexpr size_t MAX_MATCH = 258;
constexpr size_t BLOCK_TOKENS = 65536;
constexpr unsigned HASH_SHIFT = 17;  // 32-bit product -> 15-bit hash
// Hash positions are kept as 32-bit offsets from a base that moves forward by whole windows
// before the offsets could overflow; entries that fall out of reach become empty.
constexpr size_t SLIDE_AT = size_t{1} << 30;

inline uint32_t hash3(const uint8_t* p) {
  uint32_t v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16;
  return (v * 0x9E3779B1u) >> HASH_SHIFT;
}

unsigned chain_for_level(unsigned level) {
  switch (level) {
    case 1: return 4;
    case 2: case 3: return 8;
    case 4: case 5: return 16;
    case 6: return 32;
    case 0: case 7: case 8: case 9: return 128;
    default: internal_error(format("deflate level {} out of range", level));
  }
}

// Bits are appended least-significant first; whole 32-bit words go to the output as soon as
// they are complete. The caller reserves room (`ensure`) before writing a block.
struct BitWriter {
  std::vector<uint8_t> out;
  size_t pos = 0;
  uint64_t acc = 0;
  unsigned count = 0;

  void ensure(size_t bytes) {
    if (out.size() < pos + bytes + 8) out.resize(std::max(out.size() * 2, pos + bytes + 8));
  }
  // bits < 2^n, n <= 32
  void put(uint32_t bits, unsigned n) {
    acc |= static_cast<uint64_t>(bits) << count;
    count += n;
    if (count >= 32) {
      store32(out.data() + pos, static_cast<uint32_t>(acc));
      pos += 4;
      acc >>= 32;
      count -= 32;
    }
  }
  // Writes the pending bits, the last partial byte padded with zero bits.
  std::vector<uint8_t> finish() {
    ensure(8);
    while (count > 0) {
      out[pos++] = static_cast<uint8_t>(acc);
      acc >>= 8;
      count = count > 8 ? count - 8 : 0;
    }
    out.resize(pos);
    return std::move(out);
  }
};

// A token is a literal byte (< 256) or a match: length << 16 | distance (length >= 3).
struct Block {
  std::vector<uint32_t> tokens;
  uint32_t lit_freq[286] = {};
  uint32_t dist_freq[30] = {};

  void literal(uint8_t b) {
    tokens.push_back(b);
    ++lit_freq[b];
  }
  void match(unsigned len, unsigned dist) {
    tokens.push_back(static_cast<uint32_t>(len) << 16 | dist);
    ++lit_freq[257 + SYM.len_sym[len]];
    ++dist_freq[dist_symbol(dist)];
  }
  void clear() {
    tokens.clear();
    std::fill(std::begin(lit_freq), std::end(lit_freq), 0u);
    std::fill(std::begin(dist_freq), std::end(dist_freq), 0u);
  }
};

// A code that uses one symbol only is completed with a second code of length 1, because some
// decoders reject a lone code.
void complete_single_code(std::vector<uint8_t>& lengths) {
  size_t used = 0, which = 0;
  for (size_t s = 0; s < lengths.size(); ++s)
    if (lengths[s] != 0) ++used, which = s;
  if (used == 1) lengths[which == 0 ? 1 : 0] = 1;
}

struct RleItem {
  uint8_t symbol;
  uint8_t extra;
};

// Run-length items of the concatenated code lengths (symbols 16, 17, 18 for repeats).
std::vector<RleItem> rle_code_lengths(const std::vector<uint8_t>& seq) {
  std::vector<RleItem> items;
  size_t i = 0;
  while (i < seq.size()) {
    uint8_t v = seq[i];
    size_t r = 1;
    while (i + r < seq.size() && seq[i + r] == v) ++r;
    size_t rem = r;
    if (v != 0 && r >= 4) {
      items.push_back({v, 0});
      rem = r - 1;
      while (rem >= 3) {
        size_t k = std::min<size_t>(rem, 6);
        items.push_back({16, static_cast<uint8_t>(k - 3)});
        rem -= k;
      }
    } else if (v == 0 && r >= 3) {
      while (rem >= 11) {
        size_t k = std::min<size_t>(rem, 138);
        items.push_back({18, static_cast<uint8_t>(k - 11)});
        rem -= k;
      }
      if (rem >= 3) {
        items.push_back({17, static_cast<uint8_t>(rem - 3)});
        rem = 0;
      }
    }
    for (; rem > 0; --rem) items.push_back({v, 0});
    i += r;
  }
  return items;
}

void write_huffman_block(BitWriter& bw, Block& block, bool final) {
  block.lit_freq[256] = 1;
  if (std::all_of(std::begin(block.dist_freq), std::end(block.dist_freq), [](uint32_t f) { return f == 0; }))
    block.dist_freq[0] = 1;
  std::vector<uint8_t> lit_len = limited_code_lengths(block.lit_freq, 286, 15);
  std::vector<uint8_t> dist_len = limited_code_lengths(block.dist_freq, 30, 15);
  complete_single_code(dist_len);

  size_t hlit = 257, hdist = 1;
  for (size_t s = 0; s < 286; ++s)
    if (lit_len[s] != 0) hlit = std::max(hlit, s + 1);
  for (size_t s = 0; s < 30; ++s)
    if (dist_len[s] != 0) hdist = std::max(hdist, s + 1);

  std::vector<uint8_t> seq(lit_len.begin(), lit_len.begin() + static_cast<ptrdiff_t>(hlit));
  seq.insert(seq.end(), dist_len.begin(), dist_len.begin() + static_cast<ptrdiff_t>(hdist));
  std::vector<RleItem> items = rle_code_lengths(seq);

  uint32_t cl_freq[19] = {};
  for (const RleItem& it : items) ++cl_freq[it.symbol];
  std::vector<uint8_t> cl_len = limited_code_lengths(cl_freq, 19, 7);
  complete_single_code(cl_len);
  size_t hclen = 4;
  for (size_t k = 0; k < 19; ++k)
    if (cl_len[CL_ORDER[k]] != 0) hclen = std::max(hclen, k + 1);

  std::vector<uint32_t> lit_code = canonical_codes(lit_len);
  std::vector<uint32_t> dist_code = canonical_codes(dist_len);
  std::vector<uint32_t> cl_code = canonical_codes(cl_len);

  // Header, code lengths and every token at their longest: 15 + 5 + 15 + 13 bits a match.
  bw.ensure(64 + items.size() * 3 + block.tokens.size() * 6 + 8);
  bw.put(final ? 1 : 0, 1);
  bw.put(2, 2);
  bw.put(static_cast<uint32_t>(hlit - 257), 5);
  bw.put(static_cast<uint32_t>(hdist - 1), 5);
  bw.put(static_cast<uint32_t>(hclen - 4), 4);
  for (size_t k = 0; k < hclen; ++k) bw.put(cl_len[CL_ORDER[k]], 3);
  static constexpr uint8_t RLE_EXTRA_BITS[19] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
  for (const RleItem& it : items) {
    bw.put(cl_code[it.symbol], cl_len[it.symbol]);
    if (it.symbol >= 16) bw.put(it.extra, RLE_EXTRA_BITS[it.symbol]);
  }
  for (uint32_t t : block.tokens) {
    if (t < 256) {
      bw.put(lit_code[t], lit_len[t]);
      continue;
    }
    unsigned len = t >> 16, dist = t & 0xFFFF;
    unsigned ls = SYM.len_sym[len];
    bw.put(lit_code[257 + ls], lit_len[257 + ls]);
    if (LEN_EXTRA[ls] != 0) bw.put(len - LEN_BASE[ls], LEN_EXTRA[ls]);
    unsigned ds = dist_symbol(dist);
    bw.put(dist_code[ds], dist_len[ds]);
    if (DIST_EXTRA[ds] != 0) bw.put(dist - DIST_BASE[ds], DIST_EXTRA[ds]);
  }
  bw.put(lit_code[256], lit_len[256]);
}

// Length of the common prefix of a and b, at most m bytes (a lies before b in one buffer).
inline size_t match_length(const uint8_t* a, const uint8_t* b, size_t m) {
  size_t k = 0;
  while (k + 8 <= m) {
    uint64_t x = load64(a + k) ^ load64(b + k);
    if (x != 0) return k + static_cast<size_t>(std::countr_zero(x)) / 8;
    k += 8;
  }
  while (k < m && a[k] == b[k]) ++k;
  return k;
}

// `prev` needs no clearing: a slot is only read through a chain link, and the link's
// position wrote the slot when it was inserted.
struct HashChains {
  std::vector<int32_t>& head;
  std::vector<int32_t>& prev;
  size_t base = 0;  // absolute position of offset 0

  void insert(const uint8_t* data, size_t pos) {
    uint32_t h = hash3(data + pos);
    int32_t rel = static_cast<int32_t>(pos - base);
    prev[static_cast<size_t>(rel) & WINDOW_MASK] = head[h];
    head[h] = rel;
  }
  // Moves the base forward by whole windows; offsets that would turn negative are dropped,
  // and they are all farther back than any match may reach.
  void slide(size_t pos) {
    size_t delta = (pos - base - WINDOW) & ~WINDOW_MASK;
    auto shift = [delta](int32_t& v) { v = v >= static_cast<int64_t>(delta) ? v - static_cast<int32_t>(delta) : -1; };
    std::for_each(head.begin(), head.end(), shift);
    std::for_each(prev.begin(), prev.end(), shift);
    base += delta;
  }
};

}  // namespace

std::vector<uint8_t> limited_code_lengths(std::span<const uint32_t> freqs, size_t n, unsigned max_len) {
  std::vector<uint8_t> lengths(n, 0);
  std::vector<uint64_t> f(freqs.begin(), freqs.begin() + static_cast<ptrdiff_t>(std::min(n, freqs.size())));
  f.resize(n, 0);
  std::vector<uint32_t> used;
  for (uint32_t s = 0; s < n; ++s)
    if (f[s] != 0) used.push_back(s);
  if (used.empty()) return lengths;
  if (used.size() == 1) {
    lengths[used[0]] = 1;
    return lengths;
  }
  const size_t leaves = used.size();
  std::vector<uint64_t> weight(2 * leaves - 1);
  std::vector<uint32_t> parent(2 * leaves - 1);
  std::vector<uint32_t> depth(2 * leaves - 1);
  for (;;) {
    std::stable_sort(used.begin(), used.end(), [&](uint32_t a, uint32_t b) { return f[a] < f[b]; });
    for (size_t k = 0; k < leaves; ++k) weight[k] = f[used[k]];
    // Two queues: sorted leaves [0, leaves) and internal nodes in order of creation.
    size_t next_leaf = 0, next_inner = leaves, made = leaves;
    auto take = [&]() {
      if (next_leaf < leaves && (next_inner == made || weight[next_leaf] <= weight[next_inner])) return next_leaf++;
      return next_inner++;
    };
    while (made < 2 * leaves - 1) {
      size_t a = take(), b = take();
      weight[made] = weight[a] + weight[b];
      parent[a] = parent[b] = static_cast<uint32_t>(made);
      ++made;
    }
    depth[made - 1] = 0;
    for (size_t k = made - 1; k-- > 0;) depth[k] = depth[parent[k]] + 1;
    unsigned longest = 0;
    for (size_t k = 0; k < leaves; ++k) {
      unsigned d = std::min<uint32_t>(depth[k], 255);
      lengths[used[k]] = static_cast<uint8_t>(d);
      longest = std::max(longest, d);
    }
    if (longest <= max_len) return lengths;
    for (uint64_t& v : f)
      if (v != 0) v = (v >> 1) | 1;
    std::sort(used.begin(), used.end());
  }
}

std::vector<uint32_t> canonical_codes(std::span<const uint8_t> lengths) {
  unsigned count[16] = {};
  for (uint8_t l : lengths) {
    if (l > 15) internal_error(format("huffman code length {} exceeds 15", l));
    if (l != 0) ++count[l];
  }
  uint32_t next[16] = {};
  uint32_t code = 0;
  for (unsigned bits = 1; bits <= 15; ++bits) {
    code = (code + count[bits - 1]) << 1;  // count[0] stays 0
    next[bits] = code;
  }
  std::vector<uint32_t> codes(lengths.size(), 0);
  for (size_t s = 0; s < lengths.size(); ++s)
    if (lengths[s] != 0) codes[s] = reverse_bits(next[lengths[s]]++, lengths[s]);
  return codes;
}

std::vector<uint8_t> deflate(std::span<const uint8_t> data, unsigned level) {
  const unsigned max_chain = chain_for_level(level);
  BitWriter bw;
  bw.out.resize(data.size() / 2 + 64);
  if (data.empty()) {
    const uint8_t empty_stored[] = {0x01, 0x00, 0x00, 0xFF, 0xFF};
    return std::vector<uint8_t>(std::begin(empty_stored), std::end(empty_stored));
  }
  const uint8_t* p = data.data();
  const size_t n = data.size();
  // The tables are kept per thread: callers such as the zip writer compress many small
  // members, and fresh 256 KiB tables per call would cost more than the compression.
  thread_local std::vector<int32_t> head_table, prev_table;
  head_table.assign(WINDOW, -1);
  prev_table.resize(WINDOW);
  HashChains hc{head_table, prev_table};
  Block block;
  block.tokens.reserve(BLOCK_TOKENS);

  size_t i = 0;
  while (i < n) {
    size_t best = 0, best_dist = 0;
    if (n - i >= 3) {
      if (i - hc.base >= SLIDE_AT) hc.slide(i);
      const uint32_t h = hash3(p + i);
      const int32_t c = hc.head[h];
      const int64_t cur = static_cast<int64_t>(i - hc.base);
      if (c >= 0) {
        const size_t m = std::min(MAX_MATCH, n - i);
        const uint8_t* here = p + i;
        const uint8_t* origin = p + hc.base;
        int32_t cand = c;
        for (unsigned chain = max_chain; chain > 0 && cand >= 0 && cur - cand <= static_cast<int64_t>(MAX_DIST);
             --chain) {
          const uint8_t* there = origin + cand;
          // A candidate can only beat `best` if it also matches the byte at offset best.
          const size_t probe = std::min(m - 1, best);
          if (there[probe] == here[probe]) {
            size_t len = match_length(there, here, m);
            if (len > best) {
              best = len;
              best_dist = static_cast<size_t>(cur - cand);
              if (len >= 64) break;
            }
          }
          cand = hc.prev[static_cast<size_t>(cand) & WINDOW_MASK];
        }
      }
      hc.prev[static_cast<size_t>(cur) & WINDOW_MASK] = c;
      hc.head[h] = static_cast<int32_t>(cur);
    }
    if (best >= 3) {
      block.match(static_cast<unsigned>(best), static_cast<unsigned>(best_dist));
      // Long matches insert only their first positions: it keeps runs fast, and the rest
      // of a long run is reachable through them anyway.
      const size_t last = best < 33 ? i + best - 1 : i + 3;
      for (size_t j = i + 1; j <= last && n - j >= 3; ++j) hc.insert(p, j);
      i += best;
    } else {
      block.literal(p[i]);
      ++i;
    }
    if (block.tokens.size() == BLOCK_TOKENS) {
      write_huffman_block(bw, block, false);
      block.clear();
    }
  }
  write_huffman_block(bw, block, true);
  return bw.finish();
}

std::vector<uint8_t> zlib_compress(std::span<const uint8_t> data, unsigned level) {
  std::vector<uint8_t> body = deflate(data, level);
  std::vector<uint8_t> out;
  out.reserve(body.size() + 6);
  out.push_back(0x78);
  out.push_back(0x9C);
  out.insert(out.end(), body.begin(), body.end());
  uint32_t a = adler32(data);
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(a >> shift));
  return out;
}

// --- decompressor ------------------------------------------------------------------------

namespace {

// Decode-table entries, one u32:
//   bits 0-4   bits to consume at this level (0: no code has this bit pattern)
//   bit 5      SUB: a pointer to a subtable for codes longer than the root bits
//   bit 6      LIT: a literal byte
//   bit 7      EXC: end of block (value 0) or an unusable symbol (value 1)
//   bits 8-12  extra bits that follow the code, or the subtable's index bits
//   bits 16-31 the literal, the length or distance base, or the subtable's start
constexpr uint32_t E_SUB = 1u << 5;
constexpr uint32_t E_LIT = 1u << 6;
constexpr uint32_t E_EXC = 1u << 7;
constexpr unsigned LIT_ROOT = 10;
constexpr unsigned DIST_ROOT = 8;
constexpr unsigned CL_ROOT = 7;  // code-length codes are at most 7 bits: no subtables

inline uint32_t lit_template(unsigned s) {
  if (s < 256) return E_LIT | s << 16;
  if (s == 256) return E_EXC;
  if (s <= 285) return static_cast<uint32_t>(LEN_EXTRA[s - 257]) << 8 | static_cast<uint32_t>(LEN_BASE[s - 257]) << 16;
  return E_EXC | 1u << 16;  // 286, 287
}
inline uint32_t dist_template(unsigned s) {
  if (s < 30) return static_cast<uint32_t>(DIST_EXTRA[s]) << 8 | static_cast<uint32_t>(DIST_BASE[s]) << 16;
  return E_EXC | 1u << 16;  // 30, 31
}
inline uint32_t plain_template(unsigned s) { return s << 16; }

// Builds the table of a canonical code. Incomplete codes are kept (unused patterns decode as
// no code); an over-subscribed set has no consistent decoding and is refused.
template <typename Template>
bool build_decode_table(std::span<const uint8_t> lengths, unsigned root, Template tmpl, std::vector<uint32_t>& table) {
  unsigned count[16] = {};
  for (uint8_t l : lengths) ++count[l];
  count[0] = 0;
  int left = 1;
  for (unsigned l = 1; l <= 15; ++l) {
    left = (left << 1) - static_cast<int>(count[l]);
    if (left < 0) return false;
  }
  // Symbols sorted by (length, symbol), and the first canonical code of each length.
  unsigned offs[17] = {};
  for (unsigned l = 1; l <= 15; ++l) offs[l + 1] = offs[l] + count[l];
  uint16_t sorted[320];
  for (size_t s = 0; s < lengths.size(); ++s)
    if (lengths[s] != 0) sorted[offs[lengths[s]]++] = static_cast<uint16_t>(s);
  uint32_t next_code[16] = {};
  uint32_t code = 0;
  for (unsigned l = 1; l <= 15; ++l) {
    code = (code + count[l - 1]) << 1;
    next_code[l] = code;
  }

  const size_t root_size = size_t{1} << root;
  table.assign(root_size, 0);
  const size_t total = offs[15];  // offs[l] now holds the end of length l's run
  size_t k = 0;
  // Codes that fit the root table fill every slot whose low bits are the code.
  for (; k < total; ++k) {
    unsigned s = sorted[k];
    unsigned l = lengths[s];
    if (l > root) break;
    uint32_t r = reverse_bits(next_code[l]++, l);
    uint32_t e = tmpl(s) | l;
    for (size_t idx = r; idx < root_size; idx += size_t{1} << l) table[idx] = e;
  }
  // Longer codes: one subtable per root prefix, as deep as that prefix's longest code. The
  // codes of one prefix are consecutive in canonical order.
  while (k < total) {
    unsigned s0 = sorted[k];
    unsigned l0 = lengths[s0];
    uint32_t c0 = next_code[l0];
    uint32_t prefix = c0 >> (l0 - root);
    size_t end = k;
    unsigned deepest = l0;
    {
      uint32_t nc[16];
      std::copy(std::begin(next_code), std::end(next_code), nc);
      while (end < total) {
        unsigned l = lengths[sorted[end]];
        if ((nc[l] >> (l - root)) != prefix) break;
        ++nc[l];
        deepest = l;
        ++end;
      }
    }
    const unsigned sub_bits = deepest - root;
    const size_t start = table.size();
    table[reverse_bits(prefix, root)] = E_SUB | root | sub_bits << 8 | static_cast<uint32_t>(start) << 16;
    table.resize(start + (size_t{1} << sub_bits), 0);
    for (; k < end; ++k) {
      unsigned s = sorted[k];
      unsigned l = lengths[s];
      uint32_t c = next_code[l]++;
      unsigned rest = l - root;
      uint32_t r = reverse_bits(c & ((1u << rest) - 1), rest);
      uint32_t e = tmpl(s) | rest;
      for (size_t idx = r; idx < (size_t{1} << sub_bits); idx += size_t{1} << rest) table[start + idx] = e;
    }
  }
  return true;
}

struct FixedTables {
  std::vector<uint32_t> lit, dist;
  FixedTables() {
    uint8_t l[288];
    std::fill(l, l + 144, 8);
    std::fill(l + 144, l + 256, 9);
    std::fill(l + 256, l + 280, 7);
    std::fill(l + 280, l + 288, 8);
    uint8_t d[30];
    std::fill(d, d + 30, 5);
    build_decode_table(l, LIT_ROOT, lit_template, lit);
    build_decode_table(d, DIST_ROOT, dist_template, dist);
  }
};

const FixedTables& fixed_tables() {
  static const FixedTables tables;
  return tables;
}

// Bits are taken least-significant first from a 64-bit buffer. Near the end of the input the
// buffer is filled with zero bytes, counted in `overrun`, so decoding never reads outside the
// input; whether a symbol used such bits is checked afterwards (`overread`).
struct BitReader {
  const uint8_t* in;
  const uint8_t* end;
  uint64_t buf = 0;
  unsigned n = 0;      // valid bits in buf (zero fill included)
  size_t overrun = 0;  // zero bytes fed after the end of the input

  // Afterwards at least 56 bits are buffered.
  void refill() {
    if (end - in >= 8) {
      // The bytes above n may already be in buf from the previous load: or-ing the same
      // bytes again changes nothing.
      buf |= load64(in) << n;
      in += (63 - n) >> 3;
      n |= 56;
    } else {
      while (n <= 56) {
        if (in < end)
          buf |= static_cast<uint64_t>(*in++) << n;
        else
          ++overrun;
        n += 8;
      }
    }
  }
  uint32_t peek(unsigned k) const { return static_cast<uint32_t>(buf & ((uint64_t{1} << k) - 1)); }
  void drop(unsigned k) {
    buf >>= k;
    n -= k;
  }
  uint32_t take(unsigned k) {
    uint32_t v = peek(k);
    drop(k);
    return v;
  }
  bool overread() const { return overrun * 8 > n; }
  // Position of the next unread byte after the buffered whole bytes are given back.
  const uint8_t* byte_position() const { return in - (n / 8 - overrun); }
};

// Looks a symbol up (root table, then subtable) and consumes its code. The buffer must hold
// at least 15 bits. Returns the entry; an entry with length 0 means no code matched.
inline uint32_t decode_symbol(const std::vector<uint32_t>& table, unsigned root, BitReader& br) {
  uint32_t e = table[br.peek(root)];
  if (e & E_SUB) {
    br.drop(root);
    e = table[(e >> 16) + br.peek((e >> 8) & 31)];
  }
  br.drop(e & 31);
  return e;
}

using InflateResult = std::expected<std::vector<uint8_t>, std::string>;

// Room after the logical end of the output for the 8-byte stores of match copies.
constexpr size_t OUT_SLACK = 16;
// The first allocation trusts the caller's size only as far as the data plausibly expands:
// a header may announce far more than the stream holds (a stream can expand up to 1032-fold,
// but the system's data rarely exceeds 16-fold), and the output doubles when needed.
constexpr uint64_t FIRST_ALLOC_RATIO = 16;
constexpr uint64_t FIRST_ALLOC_MAX = uint64_t{1} << 28;

}  // namespace

// One long function: the bit buffer and output pointers live in locals across the hot loop.
InflateResult inflate(std::span<const uint8_t> data, uint64_t max_size) {
  BitReader br{data.data(), data.data() + data.size()};
  uint64_t cap = std::min<uint64_t>({max_size, data.size() * FIRST_ALLOC_RATIO + 4096, FIRST_ALLOC_MAX});
  std::vector<uint8_t> out(static_cast<size_t>(cap) + OUT_SLACK);
  uint8_t* ob = out.data();
  uint8_t* o = ob;
  uint8_t* oe = ob + cap;
  auto exceeded = [&] { return std::unexpected(format("inflated data exceeds {} bytes", max_size)); };
  // Makes room for `more` bytes at o, or fails when that would pass max_size.
  auto grow = [&](size_t more) -> bool {
    uint64_t used = static_cast<uint64_t>(o - ob);
    if (used + more > max_size) return false;
    uint64_t want = std::min<uint64_t>(max_size, std::max<uint64_t>(cap * 2, used + more));
    out.resize(static_cast<size_t>(want) + OUT_SLACK);
    cap = want;
    ob = out.data();
    o = ob + used;
    oe = ob + cap;
    return true;
  };

  std::vector<uint32_t> lit_dyn, dist_dyn, cl_table;
  bool final = false;
  while (!final) {
    br.refill();
    final = br.take(1) != 0;
    const uint32_t type = br.take(2);
    if (br.overread()) return std::unexpected("truncated deflate stream");
    if (type == 3) return std::unexpected("invalid block type");

    if (type == 0) {
      br.drop(br.n & 7);
      br.refill();
      const uint32_t len = br.take(16);
      br.take(16);  // NLEN: other decoders accept a mismatch too, so it is not compared
      if (br.overread()) return std::unexpected("truncated deflate stream");
      const uint8_t* src = br.byte_position();
      if (static_cast<size_t>(br.end - src) < len) return std::unexpected("truncated deflate stream");
      if (static_cast<size_t>(oe - o) < len && !grow(len)) return exceeded();
      std::memcpy(o, src, len);
      o += len;
      br.in = src + len;
      br.buf = 0;
      br.n = 0;
      br.overrun = 0;
      continue;
    }

    const std::vector<uint32_t>* lit = &fixed_tables().lit;
    const std::vector<uint32_t>* dist = &fixed_tables().dist;
    if (type == 2) {
      br.refill();
      const unsigned hlit = 257 + br.take(5);
      const unsigned hdist = 1 + br.take(5);
      const unsigned hclen = 4 + br.take(4);
      uint8_t cl_len[19] = {};
      for (unsigned k = 0; k < hclen; ++k) {
        br.refill();
        cl_len[CL_ORDER[k]] = static_cast<uint8_t>(br.take(3));
      }
      auto header_error = [&](const char* msg) {
        return std::unexpected(std::string(br.overread() ? "truncated deflate header" : msg));
      };
      if (!build_decode_table(std::span<const uint8_t>(cl_len, 19), CL_ROOT, plain_template, cl_table))
        return header_error("invalid huffman code");
      uint8_t lens[320] = {};
      unsigned i = 0;
      while (i < hlit + hdist) {
        br.refill();
        if (br.overread()) return std::unexpected("truncated deflate header");
        const uint32_t e = decode_symbol(cl_table, CL_ROOT, br);
        if ((e & 31) == 0) return header_error("invalid huffman code");
        const unsigned sym = e >> 16;
        unsigned rep = 1;
        uint8_t value = static_cast<uint8_t>(sym);
        if (sym == 16) {
          if (i == 0) return header_error("repeat with no previous length");
          value = lens[i - 1];
          rep = 3 + br.take(2);
        } else if (sym == 17) {
          value = 0;
          rep = 3 + br.take(3);
        } else if (sym == 18) {
          value = 0;
          rep = 11 + br.take(7);
        }
        rep = std::min(rep, hlit + hdist - i);  // a repeat past the end is cut there
        std::fill(lens + i, lens + i + rep, value);
        i += rep;
      }
      if (br.overread()) return std::unexpected("truncated deflate header");
      if (!build_decode_table(std::span<const uint8_t>(lens, hlit), LIT_ROOT, lit_template, lit_dyn) ||
          !build_decode_table(std::span<const uint8_t>(lens + hlit, hdist), DIST_ROOT, dist_template, dist_dyn))
        return std::unexpected("invalid huffman code");
      lit = &lit_dyn;
      dist = &dist_dyn;
    }

    const uint32_t* lt = lit->data();
    const uint32_t* dt = dist->data();
    auto data_error = [&](const char* msg) {
      return std::unexpected(std::string(br.overread() ? "truncated deflate data" : msg));
    };
    for (;;) {
      br.refill();  // 56 bits: a length code with extra bits (20) and a distance (28) fit
      uint32_t e = lt[br.peek(LIT_ROOT)];
      if (e & E_SUB) {
        br.drop(LIT_ROOT);
        e = lt[(e >> 16) + br.peek((e >> 8) & 31)];
      }
      br.drop(e & 31);
      if (e & E_LIT) {
        if (br.overrun != 0 && br.overread()) return std::unexpected("truncated deflate data");
        if (o == oe && !grow(1)) return exceeded();
        *o++ = static_cast<uint8_t>(e >> 16);
        continue;
      }
      if ((e & 31) == 0) return data_error("invalid huffman code");
      if (e & E_EXC) {
        if (br.overrun != 0 && br.overread()) return std::unexpected("truncated deflate data");
        if ((e >> 16) == 0) break;  // end of block
        return data_error("bad length symbol");
      }
      const size_t length = (e >> 16) + br.take((e >> 8) & 31);
      uint32_t d = dt[br.peek(DIST_ROOT)];
      if (d & E_SUB) {
        br.drop(DIST_ROOT);
        d = dt[(d >> 16) + br.peek((d >> 8) & 31)];
      }
      br.drop(d & 31);
      if ((d & 31) == 0) return data_error("invalid huffman code");
      if (d & E_EXC) return data_error("bad distance symbol");
      const size_t distance = (d >> 16) + br.take((d >> 8) & 31);
      if (br.overrun != 0 && br.overread()) return std::unexpected("truncated deflate data");
      if (distance > static_cast<size_t>(o - ob)) return std::unexpected("distance too far back");
      if (static_cast<size_t>(oe - o) < length && !grow(length)) return exceeded();
      // Copies may store up to 7 bytes past the match; OUT_SLACK keeps that inside the buffer
      // and later output overwrites it.
      const uint8_t* src = o - distance;
      uint8_t* const stop = o + length;
      if (distance >= 8) {
        do {
          store64(o, load64(src));
          o += 8;
          src += 8;
        } while (o < stop);
      } else if (distance == 1) {
        const uint64_t v = src[0] * 0x0101010101010101ull;
        do {
          store64(o, v);
          o += 8;
        } while (o < stop);
      } else {
        // Each 8-byte store gets its first `distance` bytes right; step by that much.
        do {
          store64(o, load64(src));
          o += distance;
          src += distance;
        } while (o < stop);
      }
      o = stop;
    }
  }
  out.resize(static_cast<size_t>(o - ob));
  return out;
}

// --- checksums ---------------------------------------------------------------------------

namespace {

// Slicing by 8: table k gives the CRC contribution of a byte followed by k zero bytes.
struct Crc32Tables {
  std::array<std::array<uint32_t, 256>, 8> t{};
  Crc32Tables() {
    for (uint32_t b = 0; b < 256; ++b) {
      uint32_t c = b;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[0][b] = c;
    }
    for (uint32_t b = 0; b < 256; ++b)
      for (size_t k = 1; k < 8; ++k) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
  }
};

const Crc32Tables& crc32_tables() {
  static const Crc32Tables tables;  // thread-safe one-time initialisation
  return tables;
}

}  // namespace

const std::array<uint32_t, 256>& crc32_table() { return crc32_tables().t[0]; }

uint32_t crc32_bytes(std::span<const uint8_t> data) {
  const auto& t = crc32_tables().t;
  uint32_t c = 0xFFFFFFFFu;
  const uint8_t* p = data.data();
  size_t n = data.size();
  while (n >= 8) {
    uint64_t v = load64(p) ^ c;
    c = t[7][v & 0xFF] ^ t[6][(v >> 8) & 0xFF] ^ t[5][(v >> 16) & 0xFF] ^ t[4][(v >> 24) & 0xFF] ^
        t[3][(v >> 32) & 0xFF] ^ t[2][(v >> 40) & 0xFF] ^ t[1][(v >> 48) & 0xFF] ^ t[0][v >> 56];
    p += 8;
    n -= 8;
  }
  for (; n > 0; --n) c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
  return ~c;
}

uint32_t adler32(std::span<const uint8_t> data) {
  constexpr uint32_t MOD = 65521;
  constexpr size_t NMAX = 5552;  // most bytes before b can overflow 32 bits
  uint32_t a = 1, b = 0;
  const uint8_t* p = data.data();
  size_t n = data.size();
  while (n > 0) {
    size_t k = std::min(n, NMAX);
    n -= k;
    for (; k >= 4; k -= 4, p += 4) {
      a += p[0];
      b += a;
      a += p[1];
      b += a;
      a += p[2];
      b += a;
      a += p[3];
      b += a;
    }
    for (; k > 0; --k) {
      a += *p++;
      b += a;
    }
    a %= MOD;
    b %= MOD;
  }
  return b << 16 | a;
}

}  // namespace tsl
