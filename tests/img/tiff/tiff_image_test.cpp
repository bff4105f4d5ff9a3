#include "img/tiff/tiff_image.h"

#include <gtest/gtest.h>

#include "img/tiff/tiff_fixture.h"
#include "util/deflate.h"
#include "util/text.h"

namespace tsl {
namespace {

using test::FixtureEntry;
using test::TiffFixture;
using Bytes = std::vector<uint8_t>;
using Samples = std::vector<uint16_t>;
using E = FixtureEntry;

// Tags of a strip image; `extra` entries are appended.
struct StripSpec {
  uint64_t width = 2, height = 2;
  uint64_t bits = 8, photometric = 2, samples = 3;
  uint64_t compression = 1;  // 0: no Compression entry
  std::vector<E> extra;
};

// A strip image whose strips hold `strips` (one byte list per strip).
Bytes strip_tiff(const StripSpec& s, const std::vector<Bytes>& strips, bool le = true) {
  TiffFixture f(le, false);
  std::vector<uint64_t> offsets, counts;
  for (const Bytes& b : strips) {
    offsets.push_back(f.append(b));
    counts.push_back(b.size());
  }
  std::vector<E> entries = {E::longs(256, {s.width}), E::longs(257, {s.height}), E::shorts(258, {s.bits}),
                            E::shorts(262, {s.photometric}), E::shorts(277, {s.samples}), E::longs(273, offsets),
                            E::longs(279, counts)};
  if (s.compression != 0) entries.push_back(E::shorts(259, {s.compression}));
  entries.insert(entries.end(), s.extra.begin(), s.extra.end());
  f.set_first(f.add_ifd(entries));
  return f.bytes;
}

StripSpec S(uint64_t width, uint64_t height, uint64_t bits = 8, uint64_t photometric = 2, uint64_t samples = 3,
            uint64_t compression = 1, std::vector<E> extra = {}) {
  return {width, height, bits, photometric, samples, compression, std::move(extra)};
}

Bytes zlib(const Bytes& raw) { return zlib_compress(raw, 6); }

Samples decode_ok(const Bytes& file) {
  auto r = read_tiff_image(file);
  EXPECT_TRUE(r.has_value()) << r.error();
  return r ? r->samples : Samples{};
}

TEST(ReadTiffImage, SampleLayouts) {
  struct Case {
    const char* name;
    StripSpec spec;
    std::vector<Bytes> strips;
    Samples want;
    bool big_endian = false;
  };
  const Case cases[] = {
      {"8-bit RGB", S(2, 1), {{1, 2, 3, 4, 5, 6}}, {1, 2, 3, 4, 5, 6}},
      {"16-bit gray gives three equal samples", S(2, 1, 16, 1, 1), {{0x34, 0x12, 0xFF, 0xFF}}, {0x1234, 0x1234, 0x1234, 0xFFFF, 0xFFFF, 0xFFFF}},
      {"16-bit big-endian", S(1, 1, 16, 2, 3), {{0x12, 0x34, 0, 1, 0xAB, 0xCD}}, {0x1234, 1, 0xABCD}, true},
      {"RGBA drops alpha", S(2, 1, 8, 2, 4), {{1, 2, 3, 99, 4, 5, 6, 98}}, {1, 2, 3, 4, 5, 6}},
      {"photometric 1 with three samples is RGB", S(1, 1, 8, 1, 3), {{7, 8, 9}}, {7, 8, 9}},
      {"gray with alpha", S(2, 1, 8, 1, 2), {{7, 200, 9, 200}}, {7, 7, 7, 9, 9, 9}},
      {"predictor 2 on 8-bit RGB wraps", S(2, 1, 8, 2, 3, 1, {E::shorts(317, {2})}), {{10, 20, 30, 250, 250, 250}}, {10, 20, 30, 4, 14, 24}},
      {"predictor 2 on 16 bits", S(2, 1, 16, 1, 1, 1, {E::shorts(317, {2})}), {{0xFF, 0xFF, 2, 0}}, {65535, 65535, 65535, 1, 1, 1}},
      {"no compression tag", S(1, 1, 8, 2, 3, 0), {{4, 5, 6}}, {4, 5, 6}},
      {"PackBits", S(3, 1, 8, 2, 3, 32773), {{253, 9, 2, 1, 2, 3}}, {9, 9, 9, 9, 1, 2, 3, 0, 0}},
      {"short strip leaves zeros", S(2, 1), {{1, 2, 3, 4}}, {1, 2, 3, 4, 0, 0}},
      {"16-bit sample cut in half", S(2, 1, 16, 1, 1), {{1, 2, 3}}, {0x0201, 0x0201, 0x0201, 3, 3, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode_ok(strip_tiff(c.spec, c.strips, !c.big_endian)), c.want);
  }
}

TEST(ReadTiffImage, ReportsWhatItCannotDecode) {
  auto var = [](uint64_t bits, uint64_t photometric) {
    return format("TIFF variant not supported ({} bit, photometric {}) - export 8/16-bit RGB TIFF or JPG", bits, photometric);
  };
  const Bytes px = {1, 2, 3};
  struct Case {
    const char* name;
    Bytes file;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"not a TIFF", Bytes{'G', 'I', 'F', '8', '9', 'a', 0, 0}, "not a TIFF"},
      {"12-bit RGB", strip_tiff(S(1, 1, 12), {px}), var(12, 2)},
      {"8-bit photometric 0", strip_tiff(S(1, 1, 8, 0), {px}), var(8, 0)},
      {"signed samples", strip_tiff(S(1, 1, 8, 2, 3, 1, {E::shorts(339, {2, 2, 2})}), {px}),
       "TIFF signed integer samples not supported - export 8/16-bit RGB TIFF or JPG"},
      {"half floats", strip_tiff(S(1, 1, 16, 1, 1, 1, {E::shorts(339, {3})}), {px}),
       "TIFF floating-point samples not supported - export 8/16-bit RGB TIFF or JPG"},
      {"compression 7", strip_tiff(S(1, 1, 8, 2, 3, 7), {px}), "TIFF compression 7 not supported"},
      {"deflate strip of one byte", strip_tiff(S(1, 1, 8, 2, 3, 8), {{0x78}}), "zlib stream too short"},
      {"LZW first code past the table", strip_tiff(S(1, 1, 8, 2, 3, 5), {{0x96, 0x00}}), "bad LZW stream"},
      {"no height", test::single_ifd_tiff({E::longs(256, {1}), E::longs(273, {8}), E::longs(279, {3})}), "no height"},
      {"no image", test::single_ifd_tiff({E::longs(257, {1})}), "no image in TIFF"},
      {"width without values", test::single_ifd_tiff({E::longs(256, {}), E::longs(257, {1})}), "no image in TIFF"},
      {"no strips", test::single_ifd_tiff({E::longs(256, {1}), E::longs(257, {1}), E::longs(279, {3})}), "no strips"},
      {"no strip counts", test::single_ifd_tiff({E::longs(256, {1}), E::longs(257, {1}), E::longs(273, {3})}), "no strip counts"},
      {"no tile length", test::single_ifd_tiff({E::longs(256, {1}), E::longs(257, {1}), E::longs(322, {16})}), "no tile length"},
      {"no tile offsets",
       test::single_ifd_tiff({E::longs(256, {1}), E::longs(257, {1}), E::longs(322, {16}), E::longs(323, {16})}),
       "no tile offsets"},
      {"no tile counts",
       test::single_ifd_tiff({E::longs(256, {1}), E::longs(257, {1}), E::longs(322, {16}), E::longs(323, {16}), E::longs(324, {8})}),
       "no tile counts"},
      // Checks on sizes taken from the file, made before anything is allocated.
      {"tile width 0",
       test::single_ifd_tiff({E::longs(256, {1}), E::longs(257, {1}), E::longs(322, {0}), E::longs(323, {16}), E::longs(324, {8}), E::longs(325, {1})}),
       "bad TIFF tile size 0x16"},
      {"tile of 2^32 columns",
       test::single_ifd_tiff({E::longs(256, {1}), E::longs(257, {1}), E::longs(322, {0xFFFFFFFF}), E::longs(323, {0xFFFFFFFF}), E::longs(324, {8}), E::longs(325, {1})}),
       "bad TIFF tile size 4294967295x4294967295"},
      {"zero width", strip_tiff(S(0, 1), {px}), "empty TIFF image (0x1)"},
      {"65536 x 65536", strip_tiff(S(65536, 65536), {px}), "TIFF image too large (65536x65536)"},
      {"largest LONG sizes", strip_tiff(S(0xFFFFFFFF, 0xFFFFFFFF), {px}), "TIFF image too large (4294967295x4294967295)"},
      // A few bytes declaring 16384 x 16384 (1.5 GiB of output): refused before allocating.
      {"declared far past its data", strip_tiff(S(16384, 16384), {Bytes(7000, 9)}),
       "TIFF image 16384x16384 larger than its data can fill"},
      {"deflated, declared far past its data", strip_tiff(S(16384, 16384, 8, 2, 3, 8), {Bytes(7000, 9)}),
       "TIFF image 16384x16384 larger than its data can fill"},
      {"zero samples", strip_tiff(S(1, 1, 8, 2, 0), {px}), "TIFF samples per pixel 0 not supported"},
      {"65535 samples", strip_tiff(S(1, 1, 8, 2, 65535), {px}), "TIFF samples per pixel 65535 not supported"},
      {"fewer byte counts than offsets",
       test::single_ifd_tiff({E::longs(256, {1}), E::longs(257, {2}), E::longs(278, {1}), E::longs(273, {8, 8}), E::longs(279, {3})}),
       "TIFF has 1 byte counts for 2 chunks"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = read_tiff_image(c.file);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), c.error);
  }
}

TEST(ReadTiffImage, DataOutsideTheFile) {
  // Point the strip's byte count one past the end of the file, then at an offset whose end
  // overflows 64 bits.
  for (uint64_t count : {uint64_t{1} << 20, ~uint64_t{0} - 2}) {
    TiffFixture f(true, true);
    const uint64_t at = f.append({1, 2, 3});
    f.set_first(f.add_ifd({E::longs(256, {1}), E::longs(257, {1}), E::long8s(273, {at}), E::long8s(279, {count})}));
    auto r = read_tiff_image(f.bytes);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), "TIFF data outside the file");
  }
}

TEST(ReadTiffImage, ChoosesTheWidestFullResolutionDirectory) {
  TiffFixture f(true, false);
  auto image = [&](uint64_t width, uint8_t value, std::vector<E> extra) {
    Bytes px(width * 3, value);
    std::vector<E> e = {E::longs(256, {width}), E::longs(257, {1}), E::longs(273, {f.append(px)}), E::longs(279, {px.size()})};
    e.insert(e.end(), extra.begin(), extra.end());
    return e;
  };
  // IFD0: a 1-pixel thumbnail (NewSubfileType 1) whose SubIFDs hold a 4-pixel image and a
  // reduced 9-pixel copy; IFD1: another 4-pixel image, which wins the tie by coming later.
  const uint64_t full = f.add_ifd(image(4, 10, {}));
  const uint64_t reduced = f.add_ifd(image(9, 20, {E::longs(254, {1})}));
  const uint64_t thumb = f.add_ifd(image(1, 30, {E::longs(254, {1}), E::longs(330, {full, reduced})}));
  const uint64_t second = f.add_ifd(image(4, 40, {}));
  f.set_first(thumb);
  f.link(thumb, second);
  EXPECT_EQ(decode_ok(f.bytes), Samples(12, 40));
  f.link(thumb, 0);
  EXPECT_EQ(decode_ok(f.bytes), Samples(12, 10));
}

TEST(ReadTiffImage, StripsAndTilesAtTheImageEdge) {
  // 3 x 3 gray in strips of 2 rows: the last strip holds one row.
  StripSpec strips = S(3, 3, 8, 1, 1, 1, {E::longs(278, {2})});
  EXPECT_EQ(decode_ok(strip_tiff(strips, {{1, 2, 3, 4, 5, 6}, {7, 8, 9}})),
            (Samples{1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5, 5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9}));
  // Fewer strip offsets than strips: the missing rows stay zero.
  EXPECT_EQ(decode_ok(strip_tiff(strips, {{1, 2, 3, 4, 5, 6}})),
            (Samples{1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5, 5, 5, 6, 6, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  // 3 x 3 gray in 2 x 2 tiles: the right and bottom tiles reach past the image.
  TiffFixture f(true, false);
  std::vector<uint64_t> offsets, counts;
  for (Bytes t : {Bytes{1, 2, 4, 5}, Bytes{3, 99, 6, 99}, Bytes{7, 8, 99, 99}, Bytes{9, 99, 99, 99}}) {
    offsets.push_back(f.append(t));
    counts.push_back(t.size());
  }
  f.set_first(f.add_ifd({E::longs(256, {3}), E::longs(257, {3}), E::shorts(262, {1}), E::shorts(322, {2}),
                         E::shorts(323, {2}), E::longs(324, offsets), E::longs(325, counts)}));
  Samples want;
  for (uint16_t v = 1; v <= 9; ++v) want.insert(want.end(), {v, v, v});
  EXPECT_EQ(decode_ok(f.bytes), want);
}

TEST(ReadTiffImage, PlanarEqualsChunky) {
  // 2 x 2 RGB: chunky in one strip, and planar as three planes of one-row strips plus an
  // extra offset past the third plane, which is ignored.
  const Bytes chunky = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const Samples want(chunky.begin(), chunky.end());
  EXPECT_EQ(decode_ok(strip_tiff(S(2, 2), {chunky})), want);
  StripSpec planar = S(2, 2, 8, 2, 3, 1, {E::shorts(284, {2}), E::longs(278, {1})});
  EXPECT_EQ(decode_ok(strip_tiff(planar, {{1, 4}, {7, 10}, {2, 5}, {8, 11}, {3, 6}, {9, 12}, {50, 50}})), want);
}

TEST(ReadTiffImage, DeflateStripsWithPredictor) {
  // 4 x 2 RGB, deflate, predictor 2, one strip per row; the second strip is cut short.
  StripSpec spec = S(4, 2, 8, 2, 3, 8, {E::shorts(317, {2}), E::longs(278, {1})});
  const Bytes row0 = {10, 20, 30, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  const Bytes row1 = {5, 5, 5, 1, 2, 3};
  const Samples want = {10, 20, 30, 11, 21, 31, 12, 22, 32, 13, 23, 33,
                        5, 5, 5, 6, 7, 8, 6, 7, 8, 6, 7, 8};
  EXPECT_EQ(decode_ok(strip_tiff(spec, {zlib(row0), zlib(row1)})), want);
}

TEST(ReadTiffImage, CompressedChunksCannotGrowPastTheirSize) {
  // A 1 x 1 RGB image whose one strip is a small stream of a megabyte of zeros: LZW and
  // PackBits stop at the 3 bytes the strip must hold; deflate ends with an error rather than
  // inflating the megabyte.
  Bytes lzw;
  {
    // Clear, then ever longer strings of zeros.
    uint64_t bits = 0;
    unsigned n = 0;
    auto put = [&](uint32_t code, unsigned width) {
      bits = (bits << width) | code;
      n += width;
      while (n >= 8) {
        lzw.push_back(static_cast<uint8_t>(bits >> (n - 8)));
        n -= 8;
      }
    };
    put(256, 9);
    put(0, 9);
    uint32_t size = 258;
    for (int i = 0; i < 1400; ++i, ++size) put(size, size < 511 ? 9 : size < 1023 ? 10 : size < 2047 ? 11 : 12);
  }
  EXPECT_EQ(decode_ok(strip_tiff(S(1, 1, 8, 2, 3, 5), {lzw})), Samples(3, 0));
  Bytes packbits;
  for (int i = 0; i < 8000; ++i) packbits.insert(packbits.end(), {129, 0});
  EXPECT_EQ(decode_ok(strip_tiff(S(1, 1, 8, 2, 3, 32773), {packbits})), Samples(3, 0));
  auto r = read_tiff_image(strip_tiff(S(1, 1, 8, 2, 3, 8), {zlib(Bytes(1 << 20, 0))}));
  EXPECT_FALSE(r.has_value());
}

}  // namespace
}  // namespace tsl
