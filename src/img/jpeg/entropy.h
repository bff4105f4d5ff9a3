#pragma once
// The bit level of the JPEG decoder: Huffman tables, the bit reader over entropy-coded data,
// and the block decoders that turn one scan's bits into quantised DCT coefficients (natural
// order, signed 16-bit) for sequential and progressive scans.
//
// Running out of data or meeting a marker inside a scan is never an error: the reader then
// supplies zero bits. The only failures are an undecodable Huffman code and a DC difference
// category above 16 (which no encoder writes and which would shift past the bit buffer).
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace tsl {

// Entry k is the natural index (8 x row + column) of the k-th coefficient in zig-zag order.
inline constexpr std::array<uint8_t, 64> JPEG_ZIGZAG = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Bits resolved by one lookup in the fast tables.
inline constexpr unsigned JPEG_FAST_BITS = 9;
// Bits of the AC table that resolves a code together with its value bits; 10 bits (4 KiB)
// cover most coefficients of a photograph and still sit in the first-level cache.
inline constexpr unsigned JPEG_FAST_AC_BITS = 10;
// The flag of an end-of-block entry in JpegHuffTable::fast_ac.
inline constexpr int32_t JPEG_FAST_AC_EOB = 1 << 12;

// One DHT table, decodable by a 9-bit lookup for short codes and the maxcode walk otherwise.
struct JpegHuffTable {
  // (length << 8) | symbol for every 9-bit prefix that starts with a code of length <= 9, else 0.
  std::array<uint16_t, 1 << JPEG_FAST_BITS> fast{};
  // For AC use, indexed by the next JPEG_FAST_AC_BITS bits: a code and its value bits that
  // together fit, resolved at once as (value << 16) | (run << 8) | total bits, or an EOB code
  // as JPEG_FAST_AC_EOB | its length; 0 when the prefix needs the slow path.
  std::array<int32_t, 1 << JPEG_FAST_AC_BITS> fast_ac{};
  std::vector<uint8_t> values;  // symbols in DHT order
  // Indexed by code length 1..16; maxcode[17] is the largest int32 so every walk ends.
  std::array<int32_t, 18> maxcode{};
  std::array<int32_t, 18> valptr{};
  std::array<int32_t, 18> mincode{};

  // Builds the table from the 16 code-length counts and their symbols. Fails when a code of
  // 9 bits or fewer does not fit its length (an over-full table) or symbols are missing.
  static std::expected<JpegHuffTable, std::string> build(std::span<const uint8_t, 16> counts,
                                                         std::span<const uint8_t> symbols);
};

// Reads the entropy-coded bytes of one scan MSB first, undoing 0xFF 0x00 stuffing. At a marker
// (0xFF then a non-zero byte) it stops with pos on the 0xFF and feeds zero bits from then on.
struct JpegBitReader {
  const uint8_t* data = nullptr;  // the whole file, borrowed
  size_t length = 0;
  size_t pos = 0;      // next byte to load
  uint64_t bits = 0;   // left-aligned: the next bit is bit 63
  uint32_t count = 0;  // valid bits in `bits`
  bool marker_hit = false;
  // Zero bits appended past the data (at a marker or the end), counted until a restart; when
  // more than `count`, the decoder has consumed bits the file never held.
  uint32_t zero_fill = 0;
  bool overran = false;  // an earlier restart interval consumed such bits

  // Whether any code so far was decoded from bits past the scan's data: a complete scan never
  // reads into its closing marker, so this tells data that ended early or was cut by a stray
  // marker.
  bool ran_dry() const { return overran || zero_fill > count; }

  // Tops the buffer up to between 57 and 64 valid bits.
  void refill();

  // The next n raw bits (n <= 32) without EXTEND.
  uint32_t read_bits(uint32_t n) {
    if (n == 0) return 0;
    if (count < n) refill();
    const auto v = static_cast<uint32_t>(bits >> (64 - n));
    bits <<= n;
    count -= n;
    return v;
  }

  // Reads n bits (n <= 16) and sign-extends them as a DCT difference (0 bits give 0).
  int32_t receive_extend(uint32_t n) {
    if (n == 0) return 0;
    const auto v = static_cast<int32_t>(read_bits(n));
    return v < (1 << (n - 1)) ? v - (1 << n) + 1 : v;
  }

  uint32_t read_bit() { return read_bits(1); }

  // Drops buffered bits and moves past the next RSTn; stops on any other marker.
  void resync_restart();
};

// Decodes one symbol; -1 for a code that is not in the table.
int jpeg_decode_huffman(JpegBitReader& reader, const JpegHuffTable& table);

enum class JpegEntropyError { None, BadCode, BadDcCategory };

// Block decoders over one 64-coefficient block in natural order; each writes only the
// positions it decodes. dc_pred and eob_run are the scan's running state.
JpegEntropyError decode_block_baseline(JpegBitReader& reader, const JpegHuffTable& dc, const JpegHuffTable& ac,
                                       int32_t& dc_pred, int16_t* block);
JpegEntropyError decode_dc_first(JpegBitReader& reader, const JpegHuffTable& dc, int32_t& dc_pred, uint32_t al,
                                 int16_t* block);
JpegEntropyError decode_dc_refine(JpegBitReader& reader, uint32_t al, int16_t* block);
// Ss, Se are zig-zag positions; the refinement needs se <= 63 (checked by the caller).
JpegEntropyError decode_ac_first(JpegBitReader& reader, const JpegHuffTable& ac, uint32_t ss, uint32_t se,
                                 uint32_t al, uint32_t& eob_run, int16_t* block);
JpegEntropyError decode_ac_refine(JpegBitReader& reader, const JpegHuffTable& ac, uint32_t ss, uint32_t se,
                                  uint32_t al, uint32_t& eob_run, int16_t* block);

}  // namespace tsl
