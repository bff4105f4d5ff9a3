#pragma once
// Builds small TIFF and BigTIFF files byte by byte for the reader and decoder tests, in
// either byte order, so that each test can plant exactly the fault it is about.
#include <cstdint>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace tsl::test {

// One entry to write: its values are stored in `units` of unit_size bytes each (RATIONALs
// take two 4-byte units per value, DOUBLEs one 8-byte unit holding the bit pattern).
struct FixtureEntry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint64_t count = 0;
  std::vector<uint64_t> units;
  size_t unit_size = 1;

  static FixtureEntry shorts(uint16_t tag, std::vector<uint64_t> v);
  static FixtureEntry longs(uint16_t tag, std::vector<uint64_t> v);
  static FixtureEntry long8s(uint16_t tag, std::vector<uint64_t> v);
  static FixtureEntry bytes(uint16_t tag, uint16_t type, std::vector<uint64_t> v);
  static FixtureEntry ascii(uint16_t tag, const std::string& text);  // NUL added
  static FixtureEntry rational(uint16_t tag, uint16_t type, uint32_t num, uint32_t den);
  static FixtureEntry doubles(uint16_t tag, std::vector<double> v);
};

class TiffFixture {
 public:
  TiffFixture(bool little_endian, bool bigtiff);

  // Appends raw bytes at the end (padded to an even offset first); returns their offset.
  uint64_t append(const std::vector<uint8_t>& data);
  // Appends one directory and its out-of-line values; returns its offset. Its next-directory
  // field is 0 until link() or set_first() change things.
  uint64_t add_ifd(const std::vector<FixtureEntry>& entries);
  // Points the header at the directory at `offset`.
  void set_first(uint64_t offset);
  // Sets the next-directory field of the directory at `from` to `to`.
  void link(uint64_t from, uint64_t to);
  // Writes an unsigned value of n bytes at pos in the file's byte order.
  void put(uint64_t pos, uint64_t value, size_t n);

  bool little_endian() const { return le_; }
  bool bigtiff() const { return big_; }
  std::vector<uint8_t> bytes;

 private:
  bool le_;
  bool big_;
};

// A file with one directory made of `entries` (the usual case).
std::vector<uint8_t> single_ifd_tiff(const std::vector<FixtureEntry>& entries, bool little_endian = true,
                                     bool bigtiff = false);

// Runs a Python helper of tests/img/tiff (by file name) with Debian's python3.
CommandResult run_tiff_helper(const std::string& script, const std::vector<std::string>& args);

}  // namespace tsl::test
