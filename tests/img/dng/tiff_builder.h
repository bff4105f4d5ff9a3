#pragma once
// Builds small classic TIFF/DNG files in memory for the DNG tests: directories of typed
// entries, image pieces whose offset and byte-count entries are filled in automatically,
// one level of SubIFDs, either byte order.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace tsl::test {

struct TestEntry {
  uint16_t tag = 0;
  uint16_t type = 0;            // TIFF field type
  std::vector<uint8_t> value;   // little-endian element bytes; swapped for big-endian files
  uint64_t count = 0;
  unsigned element = 1;         // bytes per swappable unit (2 SHORT, 4 LONG/RATIONAL parts, 8 DOUBLE)
};

TestEntry shorts(uint16_t tag, std::initializer_list<uint64_t> values);
TestEntry shorts(uint16_t tag, const std::vector<uint64_t>& values);
TestEntry longs(uint16_t tag, std::initializer_list<uint64_t> values);
TestEntry longs(uint16_t tag, const std::vector<uint64_t>& values);
TestEntry rationals(uint16_t tag, std::initializer_list<double> values);   // value x 10000 / 10000
TestEntry srationals(uint16_t tag, std::initializer_list<double> values);
TestEntry doubles(uint16_t tag, std::initializer_list<double> values);
TestEntry bytes_entry(uint16_t tag, uint16_t type, const std::vector<uint8_t>& bytes);  // BYTE, UNDEFINED, ASCII
TestEntry empty_entry(uint16_t tag, uint16_t type);  // present with no values

struct TestIfd {
  std::vector<TestEntry> entries;
  // Image pieces: appended to the file and described by the two tags below (LONG entries);
  // leave empty to write no such entries.
  std::vector<std::vector<uint8_t>> pieces;
  uint16_t offsets_tag = 273;  // 324 for tiles
  uint16_t counts_tag = 279;   // 325 for tiles
  std::vector<TestIfd> sub_ifds;  // written as the SubIFDs entry (330)
};

// The whole file: "II" or "MM", version 42, the top-level directories chained in order.
std::vector<uint8_t> build_tiff(const std::vector<TestIfd>& chain, bool big_endian = false);

// A raw CFA directory (NewSubfileType 0, PhotometricInterpretation 32803, the default RGGB
// pattern tags) of width x height, `bits` per sample, compression 1, with `pieces` as strips
// of `rows_per_strip` rows; callers add or replace entries.
TestIfd cfa_ifd(uint64_t width, uint64_t height, unsigned bits, std::vector<std::vector<uint8_t>> pieces,
                uint64_t rows_per_strip);

// Replaces the entry with the same tag or appends it.
void set_entry(TestIfd& ifd, TestEntry entry);
void remove_entry(TestIfd& ifd, uint16_t tag);

// 16-bit samples as little-endian bytes.
std::vector<uint8_t> u16_bytes(const std::vector<uint16_t>& samples, bool big_endian = false);

}  // namespace tsl::test
