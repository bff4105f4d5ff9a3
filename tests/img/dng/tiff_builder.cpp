#include "img/dng/tiff_builder.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace tsl::test {
namespace {

void put_le(std::vector<uint8_t>& out, uint64_t v, unsigned size) {
  for (unsigned i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

TestEntry ints(uint16_t tag, uint16_t type, unsigned size, const std::vector<uint64_t>& values) {
  TestEntry e{tag, type, {}, values.size(), size};
  for (uint64_t v : values) put_le(e.value, v, size);
  return e;
}

TestEntry fractions(uint16_t tag, uint16_t type, std::initializer_list<double> values) {
  TestEntry e{tag, type, {}, values.size(), 4};
  for (double v : values) {
    put_le(e.value, static_cast<uint64_t>(static_cast<int64_t>(std::llround(v * 10000.0))), 4);
    put_le(e.value, 10000, 4);
  }
  return e;
}

struct Writer {
  std::vector<uint8_t> out;
  bool big = false;

  void pad() {
    if (out.size() % 2) out.push_back(0);
  }
  void put(uint64_t v, unsigned size) {
    for (unsigned i = 0; i < size; ++i) {
      const unsigned shift = big ? 8 * (size - 1 - i) : 8 * i;
      out.push_back(static_cast<uint8_t>(v >> shift));
    }
  }
  void patch32(size_t pos, uint32_t v) {
    for (unsigned i = 0; i < 4; ++i) out[pos + i] = static_cast<uint8_t>(v >> (big ? 8 * (3 - i) : 8 * i));
  }
  std::vector<uint8_t> value_bytes(const TestEntry& e) const {
    std::vector<uint8_t> v = e.value;
    if (big && e.element > 1)
      for (size_t i = 0; i + e.element <= v.size(); i += e.element) std::reverse(v.begin() + i, v.begin() + i + e.element);
    return v;
  }

  uint32_t write_ifd(const TestIfd& ifd, uint32_t next) {
    std::vector<TestEntry> entries = ifd.entries;
    if (!ifd.sub_ifds.empty()) {
      std::vector<uint64_t> subs;
      for (const TestIfd& sub : ifd.sub_ifds) subs.push_back(write_ifd(sub, 0));
      entries.push_back(ints(330, 4, 4, subs));
    }
    if (!ifd.pieces.empty()) {
      std::vector<uint64_t> offsets, counts;
      for (const auto& piece : ifd.pieces) {
        pad();
        offsets.push_back(out.size());
        counts.push_back(piece.size());
        out.insert(out.end(), piece.begin(), piece.end());
      }
      entries.push_back(ints(ifd.offsets_tag, 4, 4, offsets));
      entries.push_back(ints(ifd.counts_tag, 4, 4, counts));
    }
    std::stable_sort(entries.begin(), entries.end(), [](const TestEntry& a, const TestEntry& b) { return a.tag < b.tag; });
    pad();
    const auto at = static_cast<uint32_t>(out.size());
    put(entries.size(), 2);
    std::vector<std::pair<size_t, std::vector<uint8_t>>> deferred;
    for (const TestEntry& e : entries) {
      put(e.tag, 2);
      put(e.type, 2);
      put(e.count, 4);
      std::vector<uint8_t> v = value_bytes(e);
      if (v.size() <= 4) {
        v.resize(4, 0);
        out.insert(out.end(), v.begin(), v.end());
      } else {
        deferred.emplace_back(out.size(), std::move(v));
        put(0, 4);
      }
    }
    put(next, 4);
    for (auto& [pos, v] : deferred) {
      pad();
      patch32(pos, static_cast<uint32_t>(out.size()));
      out.insert(out.end(), v.begin(), v.end());
    }
    return at;
  }
};

}  // namespace

TestEntry shorts(uint16_t tag, std::initializer_list<uint64_t> values) { return ints(tag, 3, 2, values); }
TestEntry shorts(uint16_t tag, const std::vector<uint64_t>& values) { return ints(tag, 3, 2, values); }
TestEntry longs(uint16_t tag, std::initializer_list<uint64_t> values) { return ints(tag, 4, 4, values); }
TestEntry longs(uint16_t tag, const std::vector<uint64_t>& values) { return ints(tag, 4, 4, values); }
TestEntry rationals(uint16_t tag, std::initializer_list<double> values) { return fractions(tag, 5, values); }
TestEntry srationals(uint16_t tag, std::initializer_list<double> values) { return fractions(tag, 10, values); }

TestEntry doubles(uint16_t tag, std::initializer_list<double> values) {
  TestEntry e{tag, 12, {}, values.size(), 8};
  for (double v : values) put_le(e.value, std::bit_cast<uint64_t>(v), 8);
  return e;
}

TestEntry bytes_entry(uint16_t tag, uint16_t type, const std::vector<uint8_t>& bytes) {
  return TestEntry{tag, type, bytes, bytes.size(), 1};
}

TestEntry empty_entry(uint16_t tag, uint16_t type) { return TestEntry{tag, type, {}, 0, 1}; }

std::vector<uint8_t> build_tiff(const std::vector<TestIfd>& chain, bool big_endian) {
  Writer w;
  w.big = big_endian;
  w.out = big_endian ? std::vector<uint8_t>{'M', 'M', 0, 42} : std::vector<uint8_t>{'I', 'I', 42, 0};
  w.put(0, 4);
  // The chain is written last to first, so each directory knows where the next one is.
  uint32_t next = 0;
  for (size_t i = chain.size(); i-- > 0;) next = w.write_ifd(chain[i], next);
  w.patch32(4, next);
  return w.out;
}

TestIfd cfa_ifd(uint64_t width, uint64_t height, unsigned bits, std::vector<std::vector<uint8_t>> pieces,
                uint64_t rows_per_strip) {
  TestIfd ifd;
  ifd.entries = {longs(254, {0}),       longs(256, {width}),     longs(257, {height}),
                 shorts(258, {bits}),   shorts(259, {1}),        shorts(262, {32803}),
                 shorts(277, {1}),      longs(278, {rows_per_strip}), shorts(33421, {2, 2}),
                 bytes_entry(33422, 1, {0, 1, 1, 2})};
  ifd.pieces = std::move(pieces);
  return ifd;
}

void set_entry(TestIfd& ifd, TestEntry entry) {
  remove_entry(ifd, entry.tag);
  ifd.entries.push_back(std::move(entry));
}

void remove_entry(TestIfd& ifd, uint16_t tag) {
  std::erase_if(ifd.entries, [&](const TestEntry& e) { return e.tag == tag; });
}

std::vector<uint8_t> u16_bytes(const std::vector<uint16_t>& samples, bool big_endian) {
  std::vector<uint8_t> out;
  for (uint16_t s : samples) {
    if (big_endian) {
      out.push_back(static_cast<uint8_t>(s >> 8));
      out.push_back(static_cast<uint8_t>(s));
    } else {
      out.push_back(static_cast<uint8_t>(s));
      out.push_back(static_cast<uint8_t>(s >> 8));
    }
  }
  return out;
}

}  // namespace tsl::test
