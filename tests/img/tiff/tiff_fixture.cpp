#include "img/tiff/tiff_fixture.h"

#include <bit>

namespace tsl::test {

FixtureEntry FixtureEntry::shorts(uint16_t tag, std::vector<uint64_t> v) {
  return {tag, 3, v.size(), std::move(v), 2};
}
FixtureEntry FixtureEntry::longs(uint16_t tag, std::vector<uint64_t> v) { return {tag, 4, v.size(), std::move(v), 4}; }
FixtureEntry FixtureEntry::long8s(uint16_t tag, std::vector<uint64_t> v) {
  return {tag, 16, v.size(), std::move(v), 8};
}
FixtureEntry FixtureEntry::bytes(uint16_t tag, uint16_t type, std::vector<uint64_t> v) {
  return {tag, type, v.size(), std::move(v), 1};
}
FixtureEntry FixtureEntry::ascii(uint16_t tag, const std::string& text) {
  std::vector<uint64_t> v(text.begin(), text.end());
  for (auto& c : v) c &= 0xFF;
  v.push_back(0);
  return {tag, 2, v.size(), std::move(v), 1};
}
FixtureEntry FixtureEntry::rational(uint16_t tag, uint16_t type, uint32_t num, uint32_t den) {
  return {tag, type, 1, {num, den}, 4};
}
FixtureEntry FixtureEntry::doubles(uint16_t tag, std::vector<double> v) {
  std::vector<uint64_t> units;
  for (double d : v) units.push_back(std::bit_cast<uint64_t>(d));
  return {tag, 12, v.size(), std::move(units), 8};
}

TiffFixture::TiffFixture(bool little_endian, bool bigtiff) : le_(little_endian), big_(bigtiff) {
  bytes = {static_cast<uint8_t>(le_ ? 'I' : 'M'), static_cast<uint8_t>(le_ ? 'I' : 'M')};
  bytes.resize(big_ ? 16 : 8, 0);
  put(2, big_ ? 43 : 42, 2);
  if (big_) put(4, 8, 2);
}

void TiffFixture::put(uint64_t pos, uint64_t value, size_t n) {
  if (bytes.size() < pos + n) bytes.resize(pos + n, 0);
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = static_cast<uint8_t>(value >> (8 * i));
    bytes[le_ ? pos + i : pos + n - 1 - i] = b;
  }
}

uint64_t TiffFixture::append(const std::vector<uint8_t>& data) {
  if (bytes.size() % 2) bytes.push_back(0);
  uint64_t at = bytes.size();
  bytes.insert(bytes.end(), data.begin(), data.end());
  return at;
}

uint64_t TiffFixture::add_ifd(const std::vector<FixtureEntry>& entries) {
  if (bytes.size() % 2) bytes.push_back(0);
  const uint64_t at = bytes.size();
  const size_t count_len = big_ ? 8 : 2, entry_len = big_ ? 20 : 12, cap = big_ ? 8 : 4, off_len = big_ ? 8 : 4;
  uint64_t data_pos = at + count_len + entry_len * entries.size() + off_len;
  put(at, entries.size(), count_len);
  for (size_t k = 0; k < entries.size(); ++k) {
    const FixtureEntry& e = entries[k];
    const uint64_t p = at + count_len + entry_len * k;
    put(p, e.tag, 2);
    put(p + 2, e.type, 2);
    put(p + 4, e.count, big_ ? 8 : 4);
    const uint64_t field = p + (big_ ? 12 : 8);
    uint64_t len = e.units.size() * e.unit_size;
    uint64_t where = field;
    if (len > cap) {
      where = data_pos;
      put(field, where, off_len);
      data_pos += len + (len % 2);
    }
    for (size_t i = 0; i < e.units.size(); ++i) put(where + i * e.unit_size, e.units[i], e.unit_size);
  }
  put(at + count_len + entry_len * entries.size(), 0, off_len);
  if (bytes.size() < data_pos) bytes.resize(data_pos, 0);
  return at;
}

void TiffFixture::set_first(uint64_t offset) { put(big_ ? 8 : 4, offset, big_ ? 8 : 4); }

void TiffFixture::link(uint64_t from, uint64_t to) {
  const size_t count_len = big_ ? 8 : 2, entry_len = big_ ? 20 : 12;
  uint64_t n = 0;
  for (size_t i = 0; i < count_len; ++i)
    n |= uint64_t{bytes[le_ ? from + i : from + count_len - 1 - i]} << (8 * i);
  put(from + count_len + entry_len * n, to, big_ ? 8 : 4);
}

std::vector<uint8_t> single_ifd_tiff(const std::vector<FixtureEntry>& entries, bool little_endian, bool bigtiff) {
  TiffFixture f(little_endian, bigtiff);
  f.set_first(f.add_ifd(entries));
  return f.bytes;
}

CommandResult run_tiff_helper(const std::string& script, const std::vector<std::string>& args) {
  std::string cmd = python3() + " " + shell_quote((source_dir() / "tests/img/tiff" / script).string());
  for (const std::string& a : args) cmd += " " + shell_quote(a);
  return run_command(cmd);
}

}  // namespace tsl::test
