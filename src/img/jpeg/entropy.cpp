#include "img/jpeg/entropy.h"

namespace tsl {

namespace {

constexpr unsigned FAST_SHIFT = 64 - JPEG_FAST_BITS;

inline void consume(JpegBitReader& r, uint32_t n) {
  r.bits <<= n;
  r.count -= n;
}

// Codes longer than the fast lookup: walk maxcode from length 10.
[[gnu::noinline]] int decode_slow(JpegBitReader& r, const JpegHuffTable& t) {
  const auto t16 = static_cast<int32_t>(r.bits >> 48);
  for (uint32_t len = JPEG_FAST_BITS + 1; len <= 16; ++len) {
    const int32_t code = t16 >> (16 - len);
    if (code <= t.maxcode[len]) {
      consume(r, len);
      const int64_t i = int64_t{code} + t.valptr[len] - t.mincode[len];
      if (i < 0 || i >= static_cast<int64_t>(t.values.size())) return -1;
      return t.values[static_cast<size_t>(i)];
    }
  }
  return -1;
}

// Assumes at least 16 valid bits.
inline int decode_filled(JpegBitReader& r, const JpegHuffTable& t) {
  const uint32_t e = t.fast[r.bits >> FAST_SHIFT];
  if (e != 0) {
    consume(r, e >> 8);
    return static_cast<int>(e & 0xFF);
  }
  return decode_slow(r, t);
}

inline int32_t extend(uint32_t v, uint32_t n) {
  return static_cast<int32_t>(v) < (1 << (n - 1)) ? static_cast<int32_t>(v) - (1 << n) + 1 : static_cast<int32_t>(v);
}

// Predictor sums wrap like the 16-bit coefficients they feed instead of overflowing.
inline int32_t wrap_add(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

inline int16_t shifted(int32_t v, uint32_t al) { return static_cast<int16_t>(static_cast<uint32_t>(v) << al); }

void build_fast_ac(JpegHuffTable& t) {
  constexpr uint32_t N = JPEG_FAST_AC_BITS;
  for (uint32_t i = 0; i < (1u << N); ++i) {
    // The canonical walk over the code lengths that fit in N bits.
    uint32_t len = 0, rs = 0;
    for (uint32_t l = 1; l <= N; ++l) {
      const auto code = static_cast<int32_t>(i >> (N - l));
      if (t.maxcode[l] >= 0 && code <= t.maxcode[l]) {
        const int64_t k = int64_t{code} + t.valptr[l] - t.mincode[l];
        if (k >= 0 && k < static_cast<int64_t>(t.values.size())) {
          len = l;
          rs = t.values[static_cast<size_t>(k)];
        }
        break;
      }
    }
    if (len == 0) continue;
    const uint32_t run = rs >> 4, s = rs & 15;
    if (s == 0) {
      if (run == 0) t.fast_ac[i] = JPEG_FAST_AC_EOB | static_cast<int32_t>(len);
      continue;
    }
    if (len + s > N) continue;
    const uint32_t v = ((i << len) & ((1u << N) - 1)) >> (N - s);
    t.fast_ac[i] = static_cast<int32_t>(static_cast<uint32_t>(extend(v, s)) << 16) |
                   static_cast<int32_t>((run << 8) | (len + s));
  }
}

}  // namespace

std::expected<JpegHuffTable, std::string> JpegHuffTable::build(std::span<const uint8_t, 16> counts,
                                                               std::span<const uint8_t> symbols) {
  JpegHuffTable t;
  size_t total = 0;
  for (uint8_t c : counts) total += c;
  if (symbols.size() < total) return std::unexpected("huffman table lacks symbols");
  t.values.assign(symbols.begin(), symbols.begin() + static_cast<std::ptrdiff_t>(total));
  int32_t code = 0;
  int32_t k = 0;
  for (uint32_t len = 1; len <= 16; ++len) {
    t.valptr[len] = k;
    t.mincode[len] = code;
    for (uint32_t n = 0; n < counts[len - 1]; ++n) {
      if (len <= JPEG_FAST_BITS) {
        if (code >= (1 << len)) return std::unexpected("over-full huffman table");
        const uint32_t first = static_cast<uint32_t>(code) << (JPEG_FAST_BITS - len);
        const auto entry = static_cast<uint16_t>((len << 8) | t.values[static_cast<size_t>(k)]);
        for (uint32_t j = 0; j < (1u << (JPEG_FAST_BITS - len)); ++j) t.fast[first | j] = entry;
      }
      ++code;
      ++k;
    }
    t.maxcode[len] = counts[len - 1] > 0 ? code - 1 : -1;
    code *= 2;
  }
  t.maxcode[17] = INT32_MAX;
  build_fast_ac(t);
  return t;
}

void JpegBitReader::refill() {
  if (count > 56) return;
  if (!marker_hit && pos + 8 <= length) {
    uint64_t word;
    std::memcpy(&word, data + pos, 8);
    if constexpr (std::endian::native == std::endian::little) word = std::byteswap(word);
    // No 0xFF among the 8 bytes: take as many whole bytes as the buffer has room for.
    const uint64_t inv = ~word;
    if (((inv - 0x0101010101010101ull) & ~inv & 0x8080808080808080ull) == 0) {
      const uint32_t n = (64 - count) >> 3;
      bits |= (word >> (64 - 8 * n)) << (64 - count - 8 * n);
      count += 8 * n;
      pos += n;
      return;
    }
  }
  while (count <= 56) {
    uint64_t b = 0;
    bool real = false;
    if (!marker_hit && pos < length) {
      const uint8_t c = data[pos];
      if (c != 0xFF) {
        b = c;
        ++pos;
        real = true;
      } else if (pos + 1 < length && data[pos + 1] == 0x00) {
        b = 0xFF;
        pos += 2;
        real = true;
      } else {
        marker_hit = true;
      }
    }
    // Capped so a long run of decoding past the data cannot wrap the count.
    if (!real && zero_fill < (1u << 30)) zero_fill += 8;
    bits |= b << (56 - count);
    count += 8;
  }
}

void JpegBitReader::resync_restart() {
  overran = ran_dry();
  zero_fill = 0;
  bits = 0;
  count = 0;
  marker_hit = false;
  while (pos + 1 < length) {
    if (data[pos] != 0xFF) {
      ++pos;
      continue;
    }
    const uint8_t m = data[pos + 1];
    if (m >= 0xD0 && m <= 0xD7) {
      pos += 2;
      return;
    }
    if (m == 0x00) {
      pos += 2;
    } else if (m == 0xFF) {
      ++pos;  // fill byte: the next 0xFF may start the marker
    } else {
      return;
    }
  }
  pos = length;
}

int jpeg_decode_huffman(JpegBitReader& reader, const JpegHuffTable& table) {
  if (reader.count <= 15) reader.refill();
  return decode_filled(reader, table);
}

// Tops the buffer up with whole bytes when the next eight hold no 0xFF (the common case);
// false when the careful byte-by-byte refill is needed.
[[gnu::always_inline]] inline bool refill_fast(JpegBitReader& r, uint64_t& bits, uint32_t& count) {
  if (r.marker_hit || r.pos + 8 > r.length) return false;
  uint64_t word;
  std::memcpy(&word, r.data + r.pos, 8);
  if constexpr (std::endian::native == std::endian::little) word = std::byteswap(word);
  const uint64_t inv = ~word;
  if (((inv - 0x0101010101010101ull) & ~inv & 0x8080808080808080ull) != 0) return false;
  const uint32_t n = (64 - count) >> 3;
  bits |= (word >> (64 - 8 * n)) << (64 - count - 8 * n);
  count += 8 * n;
  r.pos += n;
  return true;
}

// The hot loop of sequential decoding. The bit buffer lives in locals while the AC codes of the
// block are decoded (stores into the block could otherwise force it through memory), and is
// handed back to the reader around the rare slow paths. One refill check per symbol covers the
// code (<= 16 bits) and its value bits (<= 15), and the fast AC table resolves most codes with
// their value, and the end of block, in one lookup.
JpegEntropyError decode_block_baseline(JpegBitReader& r, const JpegHuffTable& dc, const JpegHuffTable& ac,
                                       int32_t& dc_pred, int16_t* block) {
  uint64_t bits = r.bits;
  uint32_t count = r.count;
  auto refill = [&] {
    if (count < 32 && !refill_fast(r, bits, count)) {
      r.bits = bits;
      r.count = count;
      r.refill();
      bits = r.bits;
      count = r.count;
    }
  };
  refill();
  int s = 0;
  if (const uint32_t e = dc.fast[bits >> FAST_SHIFT]; e != 0) {
    bits <<= e >> 8;
    count -= e >> 8;
    s = static_cast<int>(e & 0xFF);
  } else {
    r.bits = bits;
    r.count = count;
    s = decode_slow(r, dc);
    bits = r.bits;
    count = r.count;
    if (s < 0) return JpegEntropyError::BadCode;
  }
  if (s > 16) {
    r.bits = bits;
    r.count = count;
    return JpegEntropyError::BadDcCategory;
  }
  if (s != 0) {
    // At most 16 code bits were taken from at least 32, so the value bits are there.
    const auto v = static_cast<uint32_t>(bits >> (64 - s));
    bits <<= s;
    count -= static_cast<uint32_t>(s);
    dc_pred = wrap_add(dc_pred, extend(v, static_cast<uint32_t>(s)));
  }
  block[0] = static_cast<int16_t>(dc_pred);
  JpegEntropyError result = JpegEntropyError::None;
  uint32_t k = 1;
  while (k < 64) {
    refill();
    const int32_t fa = ac.fast_ac[bits >> (64 - JPEG_FAST_AC_BITS)];
    if (fa != 0) {
      const auto len = static_cast<uint32_t>(fa & 0xFF);
      bits <<= len;
      count -= len;
      if (fa & JPEG_FAST_AC_EOB) break;
      k += static_cast<uint32_t>(fa >> 8) & 15;
      if (k > 63) break;
      block[JPEG_ZIGZAG[k]] = static_cast<int16_t>(fa >> 16);
      ++k;
      continue;
    }
    // A code of up to 9 bits whose value bits did not fit the table: still resolved in
    // registers; only longer codes take the walk.
    int rs;
    if (const uint32_t e = ac.fast[bits >> FAST_SHIFT]; e != 0) {
      bits <<= e >> 8;
      count -= e >> 8;
      rs = static_cast<int>(e & 0xFF);
    } else {
      r.bits = bits;
      r.count = count;
      rs = decode_slow(r, ac);
      bits = r.bits;
      count = r.count;
      if (rs < 0) {
        result = JpegEntropyError::BadCode;
        break;
      }
    }
    const uint32_t run = static_cast<uint32_t>(rs) >> 4, size = static_cast<uint32_t>(rs) & 15;
    if (size == 0) {
      if (run != 15) break;
      k += 16;
      continue;
    }
    k += run;
    if (k > 63) break;
    const auto v = static_cast<uint32_t>(bits >> (64 - size));
    bits <<= size;
    count -= size;
    block[JPEG_ZIGZAG[k]] = static_cast<int16_t>(extend(v, size));
    ++k;
  }
  r.bits = bits;
  r.count = count;
  return result;
}

JpegEntropyError decode_dc_first(JpegBitReader& r, const JpegHuffTable& dc, int32_t& dc_pred, uint32_t al,
                                 int16_t* block) {
  const int s = jpeg_decode_huffman(r, dc);
  if (s < 0) return JpegEntropyError::BadCode;
  if (s > 16) return JpegEntropyError::BadDcCategory;
  dc_pred = wrap_add(dc_pred, r.receive_extend(static_cast<uint32_t>(s)));
  block[0] = shifted(dc_pred, al);
  return JpegEntropyError::None;
}

JpegEntropyError decode_dc_refine(JpegBitReader& r, uint32_t al, int16_t* block) {
  if (r.read_bit() != 0) block[0] = static_cast<int16_t>(block[0] | (1 << al));
  return JpegEntropyError::None;
}

JpegEntropyError decode_ac_first(JpegBitReader& r, const JpegHuffTable& ac, uint32_t ss, uint32_t se,
                                 uint32_t al, uint32_t& eob_run, int16_t* block) {
  if (eob_run > 0) {
    --eob_run;
    return JpegEntropyError::None;
  }
  uint32_t k = ss;
  while (k <= se) {
    const int rs = jpeg_decode_huffman(r, ac);
    if (rs < 0) return JpegEntropyError::BadCode;
    const uint32_t run = static_cast<uint32_t>(rs) >> 4, size = static_cast<uint32_t>(rs) & 15;
    if (size != 0) {
      k += run;
      if (k > 63) break;
      block[JPEG_ZIGZAG[k]] = shifted(r.receive_extend(size), al);
      ++k;
    } else if (run == 15) {
      k += 16;
    } else {
      // The first block of an end-of-band run: eob_run counts the blocks still to come.
      eob_run = (1u << run) - 1 + r.read_bits(run);
      break;
    }
  }
  return JpegEntropyError::None;
}

JpegEntropyError decode_ac_refine(JpegBitReader& r, const JpegHuffTable& ac, uint32_t ss, uint32_t se,
                                  uint32_t al, uint32_t& eob_run, int16_t* block) {
  const int32_t p1 = 1 << al;
  const int32_t m1 = -p1;
  auto correct = [&](int16_t& c) {
    if (r.read_bit() != 0 && (c & p1) == 0) c = static_cast<int16_t>(c > 0 ? c + p1 : c + m1);
  };
  if (eob_run > 0) {
    --eob_run;
    for (uint32_t k = ss; k <= se; ++k) {
      int16_t& c = block[JPEG_ZIGZAG[k]];
      if (c != 0) correct(c);
    }
    return JpegEntropyError::None;
  }
  uint32_t k = ss;
  while (k <= se) {
    const int rs = jpeg_decode_huffman(r, ac);
    if (rs < 0) return JpegEntropyError::BadCode;
    uint32_t run = static_cast<uint32_t>(rs) >> 4;
    const uint32_t size = static_cast<uint32_t>(rs) & 15;
    int32_t value = 0;
    if (size != 0) {
      // The sign bit comes before the correction bits of the coefficients skipped below.
      value = r.read_bit() != 0 ? p1 : m1;
    } else if (run != 15) {
      eob_run = (1u << run) - 1 + r.read_bits(run);
      run = 64;  // fill nothing; only correct the rest of the band
    }
    while (k <= se) {
      int16_t& c = block[JPEG_ZIGZAG[k]];
      if (c != 0) {
        correct(c);
      } else if (run == 0) {
        c = static_cast<int16_t>(value);
        ++k;
        break;
      } else {
        --run;
      }
      ++k;
    }
  }
  return JpegEntropyError::None;
}

}  // namespace tsl
