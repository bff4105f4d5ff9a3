// The bit level of the decoder: Huffman tables, the bit reader, and the block decoders, on bit
// strings written out by hand.
#include "img/jpeg/entropy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace tsl {
namespace {

using Bytes = std::vector<uint8_t>;

// Packs a string of '0' and '1' (spaces ignored) MSB first, padding the last byte with 1-bits,
// and stuffs a 0x00 after every 0xFF as entropy-coded data must.
Bytes bits(const std::string& s) {
  Bytes out;
  uint32_t acc = 0, n = 0;
  auto put = [&](uint8_t b) {
    out.push_back(b);
    if (b == 0xFF) out.push_back(0x00);
  };
  for (char c : s) {
    if (c == ' ') continue;
    acc = (acc << 1) | (c == '1');
    if (++n == 8) {
      put(static_cast<uint8_t>(acc));
      acc = n = 0;
    }
  }
  if (n > 0) put(static_cast<uint8_t>((acc << (8 - n)) | ((1u << (8 - n)) - 1)));
  return out;
}

JpegBitReader reader_over(const Bytes& data) {
  JpegBitReader r;
  r.data = data.data();
  r.length = data.size();
  return r;
}

JpegHuffTable table(std::array<uint8_t, 16> counts, const Bytes& symbols) {
  auto t = JpegHuffTable::build(counts, symbols);
  EXPECT_TRUE(t.has_value());
  return t.value_or(JpegHuffTable{});
}

// Codes: '0' -> sym0, '10' -> sym1, '110' -> sym2 ... (one code per length).
JpegHuffTable ladder(const Bytes& symbols) {
  std::array<uint8_t, 16> counts{};
  for (size_t i = 0; i < symbols.size(); ++i) counts[i] = 1;
  return table(counts, symbols);
}

TEST(JpegHuffTable, FastTableHoldsShortCodesAndMaxcodeTheLongOnes) {
  // Lengths 1..12, one code each: 0, 10, 110, ..., 111111111110.
  const auto t = ladder({0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB});
  EXPECT_EQ(t.fast[0], (1 << 8) | 0xA0);
  EXPECT_EQ(t.fast[255], (1 << 8) | 0xA0);
  EXPECT_EQ(t.fast[256], (2 << 8) | 0xA1);
  EXPECT_EQ(t.fast[0x1FE], (9 << 8) | 0xA8);
  EXPECT_EQ(t.fast[0x1FF], 0);  // a prefix of longer codes
  EXPECT_EQ(t.maxcode[12], 0xFFE);
  EXPECT_EQ(t.maxcode[13], -1);

  const Bytes data = bits("111111111110 0 10 1111111110");
  auto r = reader_over(data);
  EXPECT_EQ(jpeg_decode_huffman(r, t), 0xAB);
  EXPECT_EQ(jpeg_decode_huffman(r, t), 0xA0);
  EXPECT_EQ(jpeg_decode_huffman(r, t), 0xA1);
  EXPECT_EQ(jpeg_decode_huffman(r, t), 0xA9);
}

TEST(JpegHuffTable, RefusesOverfullTablesAndFailsUnknownCodes) {
  // Three codes of length 1 cannot exist.
  std::array<uint8_t, 16> counts{3};
  EXPECT_FALSE(JpegHuffTable::build(counts, Bytes{1, 2, 3}).has_value());
  // Symbols missing for the counts.
  std::array<uint8_t, 16> two{2};
  EXPECT_FALSE(JpegHuffTable::build(two, Bytes{1}).has_value());
  // A table with no codes fails every symbol.
  const auto empty = table({}, {});
  const Bytes data = bits("0000000000000000");
  auto r = reader_over(data);
  EXPECT_EQ(jpeg_decode_huffman(r, empty), -1);
}

TEST(JpegBitReader, UnstuffsAndStopsAtMarkers) {
  const Bytes data = {0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD9, 0x56};
  auto r = reader_over(data);
  EXPECT_EQ(r.read_bits(8), 0x12u);
  EXPECT_EQ(r.read_bits(8), 0xFFu);
  EXPECT_EQ(r.read_bits(8), 0x34u);
  // At the marker only zero bits follow and pos stays on its 0xFF.
  EXPECT_EQ(r.read_bits(16), 0u);
  EXPECT_EQ(r.read_bits(16), 0u);
  EXPECT_TRUE(r.marker_hit);
  EXPECT_EQ(r.pos, 4u);
}

TEST(JpegBitReader, ReadsZeroBitsPastTheEnd) {
  const Bytes data = {0xAB};
  auto r = reader_over(data);
  EXPECT_EQ(r.read_bits(8), 0xABu);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(r.read_bits(16), 0u);
  EXPECT_FALSE(r.marker_hit);
}

TEST(JpegBitReader, ReceiveExtendSignExtends) {
  const int32_t expected[8] = {-7, -6, -5, -4, 4, 5, 6, 7};
  for (uint32_t v = 0; v < 8; ++v) {
    SCOPED_TRACE(v);
    const Bytes data = {static_cast<uint8_t>(v << 5)};
    auto r = reader_over(data);
    EXPECT_EQ(r.receive_extend(0), 0);
    EXPECT_EQ(r.pos, 0u);  // n = 0 read nothing
    EXPECT_EQ(r.receive_extend(3), expected[v]);
  }
}

TEST(JpegBitReader, ResyncSkipsToTheNextRestartOnly) {
  struct Case {
    const char* name;
    Bytes data;
    size_t pos;
  };
  const Case cases[] = {
      {"junk then RST3", {0x11, 0x22, 0xFF, 0x00, 0xFF, 0xD3, 0x99}, 6},
      {"fill bytes before RST0", {0xFF, 0xFF, 0xD0, 0x99}, 3},
      {"stops at DHT", {0x11, 0xFF, 0xC4, 0x00}, 1},
      {"stops at SOS", {0xFF, 0xDA}, 0},
      {"stops at EOI", {0x11, 0xFF, 0xD9}, 1},
      {"data ends", {0x11, 0x22}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = reader_over(c.data);
    r.bits = ~0ull;
    r.count = 40;
    r.marker_hit = true;
    r.resync_restart();
    EXPECT_EQ(r.pos, c.pos);
    EXPECT_EQ(r.count, 0u);
    EXPECT_FALSE(r.marker_hit);
  }
}

// DC: '0' -> category 0, '10' -> category 3, '110' -> category 17 (malformed).
// AC: '0' -> EOB, '10' -> ZRL, '110' -> run 0 size 1, '1110' -> run 15 size 1, '11110' -> run 2
// size 2, '111110' -> run 13 size 1.
struct Tables {
  JpegHuffTable dc = ladder({0x00, 0x03, 17});
  JpegHuffTable ac = ladder({0x00, 0xF0, 0x01, 0xF1, 0x22, 0xD1});
};

TEST(DecodeBlockBaseline, PlacesCoefficientsInZigZagOrder) {
  Tables t;
  // DC category 3 value 101 (+5), then (0,1) value 1 (+1), (2,2) value 10 (+2) at k = 4, EOB.
  const Bytes data = bits("10 101  110 1  11110 10  0");
  auto r = reader_over(data);
  int16_t block[64] = {};
  int32_t pred = 10;
  ASSERT_EQ(decode_block_baseline(r, t.dc, t.ac, pred, block), JpegEntropyError::None);
  EXPECT_EQ(pred, 15);
  EXPECT_EQ(block[0], 15);
  EXPECT_EQ(block[JPEG_ZIGZAG[1]], 1);
  EXPECT_EQ(block[JPEG_ZIGZAG[4]], 2);
  int nonzero = 0;
  for (int16_t c : block) nonzero += c != 0;
  EXPECT_EQ(nonzero, 3);
}

TEST(DecodeBlockBaseline, RunsPastTheEndStopTheBlock) {
  Tables t;
  // ZRL, ZRL and a run of 15 store at k = 48; a ZRL from k = 49 then ends the block.
  {
    const Bytes data = bits("0  10 10 1110 1  10  110 1");
    auto r = reader_over(data);
    int16_t block[64] = {};
    int32_t pred = 0;
    ASSERT_EQ(decode_block_baseline(r, t.dc, t.ac, pred, block), JpegEntropyError::None);
    EXPECT_EQ(block[JPEG_ZIGZAG[48]], 1);
    for (int k = 49; k < 64; ++k) EXPECT_EQ(block[JPEG_ZIGZAG[k]], 0);
  }
  // A ZRL at k = 47 continues at 63, and a coefficient there ends the block without EOB.
  {
    const Bytes data = bits("0  10 10 111110 1  10 110 1  110 1");
    auto r = reader_over(data);
    int16_t block[64] = {};
    int32_t pred = 0;
    ASSERT_EQ(decode_block_baseline(r, t.dc, t.ac, pred, block), JpegEntropyError::None);
    EXPECT_EQ(block[JPEG_ZIGZAG[46]], 1);
    EXPECT_EQ(block[63], 1);
    // The bits after the last coefficient are the next block's.
    EXPECT_EQ(r.read_bits(4), 0b1101u);
  }
}

TEST(DecodeBlockBaseline, RefusesDcCategoryAbove16AndUnknownCodes) {
  Tables t;
  int16_t block[64] = {};
  int32_t pred = 0;
  const Bytes cat17 = bits("110 0");
  auto r = reader_over(cat17);
  EXPECT_EQ(decode_block_baseline(r, t.dc, t.ac, pred, block), JpegEntropyError::BadDcCategory);
  const Bytes unknown = bits("0 111111");
  auto r2 = reader_over(unknown);
  EXPECT_EQ(decode_block_baseline(r2, t.dc, t.ac, pred, block), JpegEntropyError::BadCode);
}

// Canonical codes of a table as strings of '0' and '1', indexed by symbol.
std::array<std::string, 256> code_strings(const std::array<uint8_t, 16>& counts, const Bytes& symbols) {
  std::array<std::string, 256> codes;
  uint32_t code = 0;
  size_t k = 0;
  for (uint32_t len = 1; len <= 16; ++len, code <<= 1)
    for (uint32_t n = 0; n < counts[len - 1]; ++n, ++code, ++k)
      for (uint32_t b = len; b-- > 0;) codes[symbols[k]] += ((code >> b) & 1) ? '1' : '0';
  return codes;
}

// The size low bits of v as a DCT value is written (v - 1 for negative v).
std::string value_bits(int32_t v, uint32_t size) {
  const auto u = static_cast<uint32_t>(v < 0 ? v - 1 : v);
  std::string out;
  for (uint32_t b = size; b-- > 0;) out += ((u >> b) & 1) ? '1' : '0';
  return out;
}

// Blocks written with a table's codes decode to what was written, whatever code lengths EOB,
// ZRL and each value category get: the combined code-and-value lookup, the plain symbol
// lookup, the long-code walk, stuffed 0xFF bytes and the refills between them all take part.
TEST(DecodeBlockBaseline, DecodesRandomBlocksAsTheyWereWritten) {
  // The standard luminance code lengths (2 to 16 bits); symbols shuffled per seed.
  const std::array<uint8_t, 16> ac_counts = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 125};
  const std::array<uint8_t, 16> dc_counts = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
  for (uint32_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    Bytes ac_symbols = {0x00, 0xF0};
    for (uint8_t run = 0; run < 16; ++run)
      for (uint8_t size = 1; size <= 10; ++size) ac_symbols.push_back(static_cast<uint8_t>(run << 4 | size));
    Bytes dc_symbols;
    for (uint8_t c = 0; c < 12; ++c) dc_symbols.push_back(c);
    std::shuffle(ac_symbols.begin(), ac_symbols.end(), rng);
    std::shuffle(dc_symbols.begin(), dc_symbols.end(), rng);
    const auto ac_codes = code_strings(ac_counts, ac_symbols);
    const auto dc_codes = code_strings(dc_counts, dc_symbols);
    auto random_value = [&](uint32_t size) {
      const auto m = static_cast<int32_t>((1u << (size - 1)) + rng() % (1u << (size - 1)));
      return rng() % 2 ? m : -m;
    };

    std::string stream;
    std::vector<std::array<int16_t, 64>> expected;
    int32_t pred = 0;
    for (int b = 0; b < 300; ++b) {
      std::array<int16_t, 64> block{};
      const uint32_t cat = rng() % 12;
      const int32_t diff = cat == 0 ? 0 : random_value(cat);
      stream += dc_codes[cat] + value_bits(diff, cat);
      pred += diff;
      block[0] = static_cast<int16_t>(pred);
      uint32_t k = 1;
      while (k < 64 && rng() % 6 != 0) {
        uint32_t run = std::min<uint32_t>(rng() % 4 == 0 ? rng() % (64 - k) : rng() % 3, 63 - k);
        const uint32_t size = 1 + rng() % 10;
        const int32_t v = random_value(size);
        block[JPEG_ZIGZAG[k + run]] = static_cast<int16_t>(v);
        k += run + 1;
        for (; run > 15; run -= 16) stream += ac_codes[0xF0];
        stream += ac_codes[run << 4 | size] + value_bits(v, size);
      }
      if (k < 64) stream += ac_codes[0x00];
      expected.push_back(block);
    }

    const auto dc = table(dc_counts, dc_symbols);
    const auto ac = table(ac_counts, ac_symbols);
    const Bytes data = bits(stream);
    auto r = reader_over(data);
    int32_t dc_pred = 0;
    for (size_t b = 0; b < expected.size(); ++b) {
      std::array<int16_t, 64> block{};
      ASSERT_EQ(decode_block_baseline(r, dc, ac, dc_pred, block.data()), JpegEntropyError::None) << "block " << b;
      ASSERT_EQ(block, expected[b]) << "block " << b;
    }
  }
}

TEST(DecodeAcFirst, EndOfBandRunsSkipTheFollowingBlocks) {
  // AC: '0' -> EOB (r = 0), '10' -> EOBRUN r = 2, '110' -> run 0 size 1.
  const auto ac = ladder({0x00, 0x20, 0x01});
  // EOB with r = 0 ends only this block.
  {
    const Bytes data = bits("0");
    auto r = reader_over(data);
    int16_t block[64] = {};
    uint32_t eob = 0;
    ASSERT_EQ(decode_ac_first(r, ac, 1, 63, 0, eob, block), JpegEntropyError::None);
    EXPECT_EQ(eob, 0u);
  }
  // EOBRUN r = 2 with bits 01: this block and 4 more are untouched.
  {
    const Bytes data = bits("10 01  110 1");
    auto r = reader_over(data);
    int16_t block[64] = {};
    uint32_t eob = 0;
    ASSERT_EQ(decode_ac_first(r, ac, 1, 63, 0, eob, block), JpegEntropyError::None);
    EXPECT_EQ(eob, 4u);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(decode_ac_first(r, ac, 1, 63, 0, eob, block), JpegEntropyError::None);
    EXPECT_EQ(eob, 0u);
    for (int16_t c : block) EXPECT_EQ(c, 0);
    // The next block decodes again: a coefficient 1 at k = 1, shifted by Al = 2.
    ASSERT_EQ(decode_ac_first(r, ac, 1, 1, 2, eob, block), JpegEntropyError::None);
    EXPECT_EQ(block[JPEG_ZIGZAG[1]], 4);
  }
}

TEST(DecodeRefine, CorrectsOnlyCoefficientsWithoutTheBit) {
  // DC refinement sets bit Al.
  {
    const Bytes data = bits("1");
    auto r = reader_over(data);
    int16_t block[64] = {8};
    ASSERT_EQ(decode_dc_refine(r, 1, block), JpegEntropyError::None);
    EXPECT_EQ(block[0], 10);
  }
  // AC refinement under an end-of-band run: one correction bit per non-zero coefficient.
  struct Case {
    int16_t before;
    uint32_t al;
    int16_t after;
  };
  const auto ac = ladder({0x00});
  for (const auto& c : {Case{-3, 0, -3}, Case{2, 0, 3}, Case{2, 1, 2}, Case{4, 1, 6}, Case{-4, 1, -6}}) {
    SCOPED_TRACE(testing::Message() << c.before << " al " << c.al);
    const Bytes data = bits("1");
    auto r = reader_over(data);
    int16_t block[64] = {};
    block[JPEG_ZIGZAG[5]] = c.before;
    uint32_t eob = 1;
    ASSERT_EQ(decode_ac_refine(r, ac, 1, 63, c.al, eob, block), JpegEntropyError::None);
    EXPECT_EQ(block[JPEG_ZIGZAG[5]], c.after);
    EXPECT_EQ(eob, 0u);
  }
}

TEST(DecodeRefine, NewCoefficientTakesItsSignBeforeTheSkippedCorrections) {
  // AC: '0' -> EOB, '10' -> run 1 size 1. Band 1..3, coefficient at k = 1 already 2 (Al = 1).
  // Symbol run 1 size 1, sign bit 0 (negative), correction bit 1 for k = 1: the zero at k = 2
  // is skipped (run 1), k = 3 receives -2.
  const auto ac = ladder({0x00, 0x11});
  const Bytes data = bits("10 0 1");
  auto r = reader_over(data);
  int16_t block[64] = {};
  block[JPEG_ZIGZAG[1]] = 2;
  uint32_t eob = 0;
  ASSERT_EQ(decode_ac_refine(r, ac, 1, 3, 1, eob, block), JpegEntropyError::None);
  EXPECT_EQ(block[JPEG_ZIGZAG[1]], 2);  // bit 1 already set: unchanged
  EXPECT_EQ(block[JPEG_ZIGZAG[2]], 0);
  EXPECT_EQ(block[JPEG_ZIGZAG[3]], -2);
}

}  // namespace
}  // namespace tsl
