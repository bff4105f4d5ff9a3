#include "img/tiff/tiff_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "img/tiff/tiff_fixture.h"
#include "util/error.h"

namespace tsl {
namespace {

using test::FixtureEntry;
using test::TiffFixture;
using Bytes = std::vector<uint8_t>;

TEST(ParseTiff, RejectsBadHeaders) {
  struct Case {
    const char* name;
    Bytes bytes;
  };
  const Case cases[] = {
      {"seven bytes", {'I', 'I', 42, 0, 8, 0, 0}},
      {"mixed byte-order mark", {'I', 'M', 42, 0, 8, 0, 0, 0}},
      {"version 44", {'I', 'I', 44, 0, 8, 0, 0, 0}},
      {"BigTIFF of 12 bytes", {'I', 'I', 43, 0, 8, 0, 0, 0, 16, 0, 0, 0}},
      {"big-endian version 42 read little-endian", {'M', 'M', 42, 0, 0, 0, 0, 8}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = parse_tiff(c.bytes);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), "not a TIFF");
  }
}

TEST(ParseTiff, EmptyChainWhenFirstOffsetIsZeroOrPastTheEnd) {
  TiffFixture f(true, false);
  f.add_ifd({FixtureEntry::longs(256, {5})});
  for (uint64_t first : {uint64_t{0}, uint64_t{f.bytes.size()}}) {
    f.set_first(first);
    auto r = parse_tiff(f.bytes);
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_TRUE(r->ifds.empty());
  }
}

TEST(ParseTiff, TopLevelDirectoryWhoseCountDoesNotFitIsAnError) {
  for (bool big : {false, true}) {
    TiffFixture f(true, big);
    f.bytes.resize(f.bytes.size() + 4, 0);
    f.set_first(f.bytes.size() - 1);  // one byte left: neither a u16 nor a u64 count fits
    auto r = parse_tiff(f.bytes);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), "truncated IFD");
  }
}

// One directory holding every value type, written in both byte orders and both layouts.
std::vector<FixtureEntry> typed_entries() {
  return {
      FixtureEntry::shorts(256, {640}),
      FixtureEntry::longs(257, {480, 7}),
      FixtureEntry::ascii(305, "  abc"),
      FixtureEntry::rational(282, 5, 7, 2),
      FixtureEntry::rational(283, 10, static_cast<uint32_t>(-9), 2),
      FixtureEntry::doubles(33550, {0.25, -3.5, 1e30}),
      FixtureEntry{700, 8, 2, {0xFFFF, 3}, 2},   // SSHORT -1, 3
      FixtureEntry{701, 9, 1, {0xFFFFFFFE}, 4},  // SLONG -2
      FixtureEntry{702, 6, 1, {0xFF}, 1},        // SBYTE -1
      FixtureEntry{703, 11, 1, {0x3FC00000}, 4},  // FLOAT 1.5
      FixtureEntry::long8s(704, {uint64_t{1} << 40}),
      FixtureEntry{705, 17, 1, {static_cast<uint64_t>(-5)}, 8},  // SLONG8 -5
      FixtureEntry{706, 99, 3, {1, 2, 3}, 1},                     // unknown type: bytes
  };
}

TEST(ParseTiff, ByteOrdersAndLayoutsGiveTheSameValues) {
  std::vector<std::vector<uint64_t>> u_ref;
  std::vector<std::vector<double>> f_ref;
  for (bool big : {false, true}) {
    for (bool le : {true, false}) {
      SCOPED_TRACE(testing::Message() << (le ? "II" : "MM") << (big ? " BigTIFF" : " classic"));
      Bytes bytes = test::single_ifd_tiff(typed_entries(), le, big);
      auto r = parse_tiff(bytes);
      ASSERT_TRUE(r.has_value()) << r.error();
      EXPECT_EQ(r->little_endian, le);
      EXPECT_EQ(r->bigtiff, big);
      ASSERT_EQ(r->ifds.size(), 1u);
      const Ifd& ifd = r->ifds[0];
      ASSERT_EQ(ifd.entries.size(), typed_entries().size());
      std::vector<std::vector<uint64_t>> u;
      std::vector<std::vector<double>> f;
      for (const TiffEntry& e : ifd.entries) {
        u.push_back(tag_u64s(e, le));
        f.push_back(tag_f64s(e, le));
      }
      if (u_ref.empty()) {
        u_ref = u;
        f_ref = f;
      }
      EXPECT_EQ(u, u_ref);
      EXPECT_EQ(f, f_ref);
    }
  }
  // The values themselves, from the first file.
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(u_ref[0], (std::vector<uint64_t>{640}));
  EXPECT_EQ(u_ref[1], (std::vector<uint64_t>{480, 7}));
  EXPECT_EQ(u_ref[3], (std::vector<uint64_t>{3}));  // 7/2 truncated
  EXPECT_DOUBLE_EQ(f_ref[3][0], 3.5);
  EXPECT_EQ(u_ref[4], (std::vector<uint64_t>{0}));  // -4.5 saturates to 0
  EXPECT_DOUBLE_EQ(f_ref[4][0], -4.5);
  EXPECT_EQ(u_ref[5], (std::vector<uint64_t>{0, 0, max}));
  EXPECT_EQ(f_ref[5], (std::vector<double>{0.25, -3.5, 1e30}));
  EXPECT_EQ(u_ref[6], (std::vector<uint64_t>{65535, 3}));
  EXPECT_EQ(f_ref[6], (std::vector<double>{-1.0, 3.0}));
  EXPECT_EQ(u_ref[7], (std::vector<uint64_t>{0xFFFFFFFE}));
  EXPECT_EQ(f_ref[7], (std::vector<double>{-2.0}));
  EXPECT_EQ(u_ref[8], (std::vector<uint64_t>{max}));
  EXPECT_EQ(f_ref[8], (std::vector<double>{255.0}));
  EXPECT_EQ(u_ref[9], (std::vector<uint64_t>{1}));
  EXPECT_EQ(f_ref[9], (std::vector<double>{1.5}));
  EXPECT_EQ(u_ref[10], (std::vector<uint64_t>{uint64_t{1} << 40}));
  EXPECT_EQ(u_ref[11], (std::vector<uint64_t>{static_cast<uint64_t>(-5)}));
  EXPECT_EQ(f_ref[11], (std::vector<double>{-5.0}));
  EXPECT_EQ(u_ref[12], (std::vector<uint64_t>{1, 2, 3}));
}

TEST(ParseTiff, ValueBytesStayInFileOrder) {
  for (bool le : {true, false}) {
    auto r = parse_tiff(test::single_ifd_tiff({FixtureEntry::shorts(256, {0x0102})}, le));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->ifds[0].entries[0].value, le ? Bytes({2, 1}) : Bytes({1, 2}));
  }
}

TEST(ParseTiff, RationalWithZeroDenominator) {
  auto r = parse_tiff(test::single_ifd_tiff({FixtureEntry::rational(282, 5, 1, 0)}));
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(std::isnan(tag_f64s(r->ifds[0].entries[0], true)[0]));
  EXPECT_EQ(tag_u64s(r->ifds[0].entries[0], true)[0], 0u);
}

TEST(ParseTiff, InlineAndOutOfLineValues) {
  // Count 0 stays with an empty value; SHORT x2 fits the classic field, SHORT x3 does not;
  // in a BigTIFF a LONG x2 fits the 8-byte field.
  for (bool big : {false, true}) {
    TiffFixture f(true, big);
    const uint64_t at = f.add_ifd({FixtureEntry::shorts(1, {}), FixtureEntry::shorts(2, {10, 20}),
                                   FixtureEntry::shorts(3, {10, 20, 30}), FixtureEntry::longs(4, {5, 6})});
    f.set_first(at);
    auto r = parse_tiff(f.bytes);
    ASSERT_TRUE(r.has_value());
    const auto& e = r->ifds[0].entries;
    ASSERT_EQ(e.size(), 4u);
    EXPECT_TRUE(e[0].value.empty());
    EXPECT_EQ(e[0].count, 0u);
    EXPECT_EQ(tag_u64s(e[1], true), (std::vector<uint64_t>{10, 20}));
    EXPECT_EQ(tag_u64s(e[2], true), (std::vector<uint64_t>{10, 20, 30}));
    EXPECT_EQ(tag_u64s(e[3], true), (std::vector<uint64_t>{5, 6}));
  }
}

TEST(ParseTiff, EntryWhoseValueEndsPastTheDataIsDropped) {
  TiffFixture f(true, false);
  const uint64_t at = f.add_ifd({FixtureEntry::shorts(1, {1}), FixtureEntry::longs(2, {1, 2, 3}),
                                 FixtureEntry::shorts(3, {3})});
  f.set_first(at);
  // Entry 2's value is the last thing in the file; move its offset one byte later.
  const uint64_t field = at + 2 + 12 + 8;
  const uint64_t value_at = f.bytes.size() - 12;
  f.put(field, value_at + 1, 4);
  auto r = parse_tiff(f.bytes);
  ASSERT_TRUE(r.has_value());
  ASSERT_EQ(r->ifds[0].entries.size(), 2u);
  EXPECT_EQ(r->ifds[0].entries[0].tag, 1);
  EXPECT_EQ(r->ifds[0].entries[1].tag, 3);
}

TEST(ParseTiff, HugeCountsAreDroppedNotAllocated) {
  // A LONG count whose byte length overflows 64 bits, and one just past the 2 GiB limit.
  for (uint64_t count : {uint64_t{1} << 62, uint64_t{536870912}}) {
    TiffFixture f(true, true);
    const uint64_t at = f.add_ifd({FixtureEntry::shorts(1, {1}), FixtureEntry::longs(2, {0})});
    f.put(at + 8 + 20 + 4, count, 8);
    f.set_first(at);
    auto r = parse_tiff(f.bytes);
    ASSERT_TRUE(r.has_value());
    ASSERT_EQ(r->ifds[0].entries.size(), 1u);
  }
}

TEST(ParseTiff, EntriesCrossingTheEndStopTheDirectory) {
  // The count says 10 but only 3 whole entries and 4 more bytes exist: those 4 bytes are the
  // next-directory offset.
  TiffFixture f(true, false);
  const uint64_t at = f.add_ifd({FixtureEntry::shorts(1, {1}), FixtureEntry::shorts(2, {2}), FixtureEntry::shorts(3, {3})});
  f.set_first(at);
  f.put(at, 10, 2);
  f.put(at + 2 + 36, 12345, 4);
  f.bytes.resize(at + 2 + 36 + 4 + 5);  // part of a fourth entry
  const uint64_t first = at;
  TiffFile file;
  file.data = f.bytes;
  auto r = parse_ifd(file, first, 0);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->ifd.entries.size(), 3u);
  EXPECT_EQ(r->next_offset, 12345u);
  // Cut inside the 4 bytes: no next offset.
  f.bytes.resize(at + 2 + 36 + 3);
  file.data = f.bytes;
  r = parse_ifd(file, first, 0);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->ifd.entries.size(), 3u);
  EXPECT_EQ(r->next_offset, 0u);
}

TEST(ParseTiff, LoopingChainStopsAt64) {
  TiffFixture f(false, false);
  const uint64_t a = f.add_ifd({FixtureEntry::shorts(256, {1})});
  const uint64_t b = f.add_ifd({FixtureEntry::shorts(256, {2})});
  f.set_first(a);
  f.link(a, b);
  f.link(b, a);
  auto r = parse_tiff(f.bytes);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->ifds.size(), 64u);
}

TEST(ParseTiff, SubIfdsExifAndGps) {
  TiffFixture f(true, false);
  const uint64_t s1 = f.add_ifd({FixtureEntry::shorts(256, {100})});
  const uint64_t s3 = f.add_ifd({FixtureEntry::shorts(256, {300})});
  const uint64_t exif = f.add_ifd({FixtureEntry::shorts(33434, {1})});
  const uint64_t gps = f.add_ifd({FixtureEntry::bytes(0, 1, {2, 3, 0, 0})});
  const uint64_t past_end = 1u << 20;
  const uint64_t top = f.add_ifd({FixtureEntry::longs(330, {s1, past_end, s3}), FixtureEntry::longs(34665, {exif}),
                                  FixtureEntry::longs(34853, {gps})});
  f.set_first(top);
  auto r = parse_tiff(f.bytes);
  ASSERT_TRUE(r.has_value());
  ASSERT_EQ(r->ifds.size(), 1u);
  const Ifd& ifd = r->ifds[0];
  ASSERT_EQ(ifd.sub_ifds.size(), 2u);
  EXPECT_EQ(find_u64(ifd.sub_ifds[0], 256, true), 100u);
  EXPECT_EQ(find_u64(ifd.sub_ifds[1], 256, true), 300u);
  ASSERT_TRUE(ifd.exif);
  EXPECT_EQ(find_u64(*ifd.exif, 33434, true), 1u);
  ASSERT_TRUE(ifd.gps);
  EXPECT_EQ(tag_u64s(ifd.gps->entries[0], true), (std::vector<uint64_t>{2, 3, 0, 0}));
}

TEST(ParseTiff, SelfPointingExifNestsThreeDeep) {
  TiffFixture f(true, false);
  const uint64_t at = f.add_ifd({FixtureEntry::longs(34665, {0})});
  f.put(at + 2 + 8, at, 4);
  f.set_first(at);
  auto r = parse_tiff(f.bytes);
  ASSERT_TRUE(r.has_value());
  const Ifd* d = &r->ifds[0];
  int depth = 0;
  while (d->exif) {
    d = d->exif.get();
    ++depth;
  }
  EXPECT_EQ(depth, 3);
}

TEST(ParseTiff, PointerBombEndsQuickly) {
  // A directory whose SubIFDs entry names itself 5000 times, and so do its Exif and GPS
  // pointers: followed naively that is 5000^3 directories.
  TiffFixture f(true, false);
  const uint64_t at = f.add_ifd({FixtureEntry::longs(330, std::vector<uint64_t>(5000, 0)),
                                 FixtureEntry::longs(34665, {0}), FixtureEntry::longs(34853, {0})});
  const uint64_t list = at + 2 + 3 * 12 + 4;
  for (size_t i = 0; i < 5000; ++i) f.put(list + 4 * i, at, 4);
  f.put(at + 2 + 12 + 8, at, 4);
  f.put(at + 2 + 24 + 8, at, 4);
  f.set_first(at);
  f.link(at, at);
  auto r = parse_tiff(f.bytes);
  ASSERT_TRUE(r.has_value());
  EXPECT_FALSE(r->ifds.empty());
  // Every directory parsed is kept somewhere below the chain, so this bounds the work done.
  size_t total = 0;
  std::vector<const Ifd*> stack;
  for (const Ifd& top : r->ifds) stack.push_back(&top);
  while (!stack.empty()) {
    const Ifd* d = stack.back();
    stack.pop_back();
    ++total;
    for (const Ifd& s : d->sub_ifds) stack.push_back(&s);
    if (d->exif) stack.push_back(d->exif.get());
    if (d->gps) stack.push_back(d->gps.get());
  }
  EXPECT_LE(total, 4096u);
}

// The same bomb in under 8 KB, its directory carrying a 4 KB value every copy would store: the
// directories parsed and the bytes stored stay in proportion to the file, so whoever reads the
// result (the metadata reader walks every directory) does too.
TEST(ParseTiff, SmallPointerBombStoresInProportionToTheFile) {
  TiffFixture f(true, false);
  const uint64_t at = f.add_ifd({FixtureEntry::longs(330, std::vector<uint64_t>(1000, 0)),
                                 FixtureEntry::bytes(700, 1, std::vector<uint64_t>(4096, 97)),
                                 FixtureEntry::longs(34665, {0}), FixtureEntry::longs(34853, {0})});
  const uint64_t list = at + 2 + 4 * 12 + 4;
  for (size_t i = 0; i < 1000; ++i) f.put(list + 4 * i, at, 4);
  f.put(at + 2 + 24 + 8, at, 4);
  f.put(at + 2 + 36 + 8, at, 4);
  f.set_first(at);
  f.link(at, at);
  ASSERT_LT(f.bytes.size(), 9000u);
  auto r = parse_tiff(f.bytes);
  ASSERT_TRUE(r.has_value());
  size_t directories = 0, stored = 0;
  std::vector<const Ifd*> stack;
  for (const Ifd& top : r->ifds) stack.push_back(&top);
  while (!stack.empty()) {
    const Ifd* d = stack.back();
    stack.pop_back();
    ++directories;
    for (const TiffEntry& e : d->entries) stored += e.value.size();
    for (const Ifd& s : d->sub_ifds) stack.push_back(&s);
    if (d->exif) stack.push_back(d->exif.get());
    if (d->gps) stack.push_back(d->gps.get());
  }
  EXPECT_LE(directories, 256 + f.bytes.size() / 6);
  EXPECT_LE(stored, 8 * f.bytes.size() + 65536);
}

TEST(TagText, CutsAtNulAndTrims) {
  TiffEntry e;
  e.field_type = 2;
  const std::string s = "  abc";
  e.value.assign(s.begin(), s.end());
  e.value.push_back(0);
  for (char c : std::string("def")) e.value.push_back(static_cast<uint8_t>(c));
  e.count = e.value.size();
  EXPECT_EQ(tag_text(e), "abc");
  e.value = {0, 'x'};
  EXPECT_EQ(tag_text(e), "");
  e.value = {'a', 0xFF, 'b'};
  EXPECT_EQ(tag_text(e), "a\xEF\xBF\xBD" "b");
}

TEST(FlattenIfds, PreOrderDepthFirst) {
  Ifd a, b, c, d;
  a.entries.push_back({1, 3, 0, {}});
  b.entries.push_back({2, 3, 0, {}});
  c.entries.push_back({3, 3, 0, {}});
  d.entries.push_back({4, 3, 0, {}});
  b.sub_ifds.push_back(std::move(c));
  a.sub_ifds.push_back(std::move(b));
  a.sub_ifds.push_back(std::move(d));
  a.exif = std::make_unique<Ifd>();
  std::vector<const Ifd*> out;
  flatten_ifds(a, out);
  std::vector<uint16_t> tags;
  for (const Ifd* i : out) tags.push_back(i->entries[0].tag);
  EXPECT_EQ(tags, (std::vector<uint16_t>{1, 2, 3, 4}));
}

TEST(ReadU32At, ReadsInFileOrderAndGuardsItsContract) {
  Bytes bytes = {'M', 'M', 0, 42, 0, 0, 0, 0, 1, 2, 3, 4};
  auto r = parse_tiff(bytes);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(read_u32_at(*r, 8), 0x01020304u);
  EXPECT_THROW(read_u32_at(*r, 9), InternalError);
  EXPECT_THROW(first_value({}), InternalError);
}

}  // namespace
}  // namespace tsl
