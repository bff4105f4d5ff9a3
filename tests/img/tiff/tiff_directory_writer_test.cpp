#include "img/tiff/tiff_directory_writer.h"

#include <gtest/gtest.h>

#include <bit>

#include "img/tiff/tiff_file.h"
#include "support/test_util.h"
#include "util/error.h"

namespace tsl {
namespace {

using Bytes = std::vector<uint8_t>;

uint64_t le(const Bytes& b, size_t at, size_t n) {
  uint64_t v = 0;
  for (size_t i = n; i-- > 0;) v = v << 8 | b[at + i];
  return v;
}

// Writes `prefix` (a header with room for the pointer) and then one directory.
Bytes file_with_ifd(const Bytes& prefix, std::vector<TiffTag> tags, bool bigtiff) {
  test::TempDir dir;
  auto f = create_buffered_file(dir / "t.tif", 16);
  EXPECT_TRUE(f.has_value());
  EXPECT_TRUE(write_bytes(*f, prefix).has_value());
  EXPECT_TRUE(write_ifd(*f, std::move(tags), bigtiff).has_value());
  EXPECT_TRUE(close(*f).has_value());
  return test::read_file_bytes(dir / "t.tif");
}

TEST(WriteIfd, ClassicLayoutSortingAndPadding) {
  // A 9-byte file: the directory starts at 10 after one zero byte. Entries arrive unsorted
  // with two of tag 300 (kept in their order); out-of-line values start at even offsets.
  const Bytes header = {'I', 'I', 42, 0, 0, 0, 0, 0, 0x77};
  const uint64_t v3[] = {1, 2, 3}, v1[] = {7}, v2[] = {8};
  Bytes bytes = file_with_ifd(header,
                              {tiff_ascii(305, "ab"), tiff_shorts(300, v3), tiff_longs(256, v1), tiff_shorts(300, v2),
                               tiff_ascii(270, "abcd")},
                              false);
  EXPECT_EQ(bytes[9], 0);
  EXPECT_EQ(le(bytes, 4, 4), 10u);
  EXPECT_EQ(le(bytes, 10, 2), 5u);
  const uint64_t data = 10 + 2 + 5 * 12 + 4;  // 76
  struct Want {
    uint16_t tag, type;
    uint64_t count, field;  // field: the inline value, or the offset of an out-of-line one
  };
  const Want want[] = {
      {256, 4, 1, 7},
      {270, 2, 5, data},          // "abcd" + NUL: 5 bytes, then one pad byte
      {300, 3, 3, data + 6},      // 6 bytes
      {300, 3, 1, 8},             // inline, left-justified
      {305, 2, 3, 'a' | 'b' << 8},
  };
  for (size_t k = 0; k < 5; ++k) {
    SCOPED_TRACE(k);
    const size_t e = 12 + 12 * k;
    EXPECT_EQ(le(bytes, e, 2), want[k].tag);
    EXPECT_EQ(le(bytes, e + 2, 2), want[k].type);
    EXPECT_EQ(le(bytes, e + 4, 4), want[k].count);
    EXPECT_EQ(le(bytes, e + 8, 4), want[k].field);
  }
  EXPECT_EQ(le(bytes, 12 + 60, 4), 0u) << "no next directory";
  EXPECT_EQ(bytes.size(), data + 6 + 6);
  EXPECT_EQ(bytes[data + 5], 0) << "pad after the odd-length text";
  // Our reader sees the same.
  auto file = parse_tiff(bytes);
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(tag_u64s(file->ifds[0].entries[2], true), (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_EQ(tag_text(file->ifds[0].entries[1]), "abcd");
}

TEST(WriteIfd, BigTiffLayout) {
  const Bytes header = {'I', 'I', 43, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const uint64_t big[] = {uint64_t{1} << 33, 5};
  const double d[] = {0.5};
  Bytes bytes = file_with_ifd(header, {tiff_long8s(324, big), tiff_doubles(33550, d), tiff_ascii(305, "tessaly")}, true);
  EXPECT_EQ(le(bytes, 8, 8), 16u);
  EXPECT_EQ(le(bytes, 16, 8), 3u);
  // 305 "tessaly\0" is 8 bytes: inline; 324 LONG8 x2 is out of line right after the directory.
  EXPECT_EQ(le(bytes, 24, 2), 305u);
  EXPECT_EQ(Bytes(bytes.begin() + 24 + 12, bytes.begin() + 24 + 20), (Bytes{'t', 'e', 's', 's', 'a', 'l', 'y', 0}));
  const uint64_t data = 16 + 8 + 3 * 20 + 8;
  EXPECT_EQ(le(bytes, 44, 2), 324u);
  EXPECT_EQ(le(bytes, 44 + 4, 8), 2u);
  EXPECT_EQ(le(bytes, 44 + 12, 8), data);
  auto file = parse_tiff(bytes);
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(tag_u64s(*find_entry(file->ifds[0], 324), true), (std::vector<uint64_t>{uint64_t{1} << 33, 5}));
  EXPECT_EQ(tag_f64s(*find_entry(file->ifds[0], 33550), true), (std::vector<double>{0.5}));
}

TEST(GeoTiffTags, KeysOfAProjectedPixelIsAreaRaster) {
  const auto tags = geotiff_tags({0.25, 612000.5, 4100000.0, 32755});
  ASSERT_EQ(tags.size(), 3u);
  EXPECT_EQ(tags[0].tag, 33550);
  EXPECT_EQ(tags[1].tag, 33922);
  EXPECT_EQ(tags[2].tag, 34735);
  EXPECT_EQ(tags[2].count, 16u);
  EXPECT_EQ(le(tags[2].value, 30, 2), 32755u);
  EXPECT_EQ(le(tags[1].value, 24, 8), std::bit_cast<uint64_t>(612000.5));
}

TEST(TiffTagBuilders, RefuseValuesThatDoNotFit) {
  const uint64_t too_big[] = {uint64_t{1} << 32};
  EXPECT_THROW((void)tiff_longs(324, too_big), InternalError);
  const uint64_t short_too_big[] = {65536};
  EXPECT_THROW((void)tiff_shorts(258, short_too_big), InternalError);
}

TEST(BufferedFile, BuffersLargeWritesAndPatches) {
  test::TempDir dir;
  auto f = create_buffered_file(dir / "b.bin", 8);
  ASSERT_TRUE(f.has_value());
  Bytes big(20);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(write_bytes(*f, Bytes{100, 101, 102}).has_value());
  ASSERT_TRUE(write_bytes(*f, big).has_value());  // larger than the buffer: goes straight through
  ASSERT_TRUE(write_bytes(*f, Bytes{200}).has_value());
  EXPECT_EQ(f->size, 24u);
  ASSERT_TRUE(write_at(*f, 1, Bytes{9, 9}).has_value());
  ASSERT_TRUE(write_bytes(*f, Bytes{201}).has_value());
  ASSERT_TRUE(close(*f).has_value());
  Bytes want = {100, 9, 9};
  want.insert(want.end(), big.begin(), big.end());
  want.insert(want.end(), {200, 201});
  EXPECT_EQ(test::read_file_bytes(dir / "b.bin"), want);
  auto g = create_buffered_file(dir / "c.bin", 8);
  ASSERT_TRUE(g.has_value());
  EXPECT_THROW((void)write_at(*g, 0, Bytes{1}), InternalError) << "patching past the end is a caller's bug";
}

}  // namespace
}  // namespace tsl
