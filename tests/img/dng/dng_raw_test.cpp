#include "img/dng/dng_raw.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "img/dng/tiff_builder.h"
#include "img/jpeg/decode.h"
#include "img/jpeg/encode.h"
#include "meta/fixture_cache.h"
#include "support/test_util.h"
#include "util/deflate.h"
#include "util/json.h"
#include "util/npy.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;
using test::bytes_entry;
using test::cfa_ifd;
using test::longs;
using test::set_entry;
using test::shorts;
using test::TestIfd;

std::expected<DngRaw, std::string> read_raw(const std::vector<uint8_t>& bytes) {
  auto file = parse_tiff(bytes);
  if (!file) return std::unexpected(file.error());
  return read_dng_raw(*file);
}

DngRaw read_ok(const std::vector<uint8_t>& bytes) {
  auto raw = read_raw(bytes);
  EXPECT_TRUE(raw.has_value()) << raw.error();
  return raw ? std::move(*raw) : DngRaw{};
}

std::vector<uint16_t> ramp(size_t n, uint16_t step = 7) {
  std::vector<uint16_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint16_t>(i * step);
  return v;
}

std::vector<float> as_floats(const std::vector<uint16_t>& v) { return {v.begin(), v.end()}; }

// A strip DNG of width x height 16-bit samples (the ramp), raw in IFD0.
TestIfd ramp_ifd(uint64_t width, uint64_t height) {
  return cfa_ifd(width, height, 16, {test::u16_bytes(ramp(width * height))}, height);
}

TEST(DngRawIfd, ChoosesTheWidestFullImageAmongSubIfds) {
  TestIfd preview = cfa_ifd(4, 2, 16, {test::u16_bytes(ramp(8, 1000))}, 2);
  set_entry(preview, longs(254, {1}));  // a reduced-resolution image
  TestIfd full = ramp_ifd(8, 4);
  TestIfd narrow = cfa_ifd(6, 4, 16, {test::u16_bytes(ramp(24, 3))}, 4);
  TestIfd unmarked = cfa_ifd(16, 4, 16, {test::u16_bytes(ramp(64, 5))}, 4);
  test::remove_entry(unmarked, 254);  // without NewSubfileType it never qualifies
  TestIfd ifd0;
  ifd0.entries = {longs(254, {1}), longs(256, {16}), shorts(262, {2})};
  ifd0.sub_ifds = {preview, narrow, full, unmarked};
  const DngRaw raw = read_ok(test::build_tiff({ifd0}));
  EXPECT_EQ(raw.width, 8u);
  EXPECT_EQ(raw.samples, as_floats(ramp(32)));

  // Of two qualifying images of equal width, the first in chain-then-SubIFD order.
  TestIfd a = cfa_ifd(4, 2, 16, {test::u16_bytes(ramp(8, 1))}, 2);
  TestIfd b = cfa_ifd(4, 2, 16, {test::u16_bytes(ramp(8, 2))}, 2);
  TestIfd top;
  top.entries = {longs(254, {1}), longs(256, {4}), shorts(262, {2})};
  top.sub_ifds = {a};
  EXPECT_EQ(read_ok(test::build_tiff({top, b})).samples, as_floats(ramp(8, 1)));
}

TEST(DngRawIfd, TagLookupPrefersTheRawDirectory) {
  TestIfd raw = ramp_ifd(4, 2);
  raw.entries.push_back(shorts(50778, {17}));
  TestIfd ifd0;
  ifd0.entries = {longs(254, {1}), shorts(50778, {21}), shorts(50779, {21})};
  ifd0.sub_ifds = {raw};
  const auto bytes = test::build_tiff({ifd0});
  auto file = parse_tiff(bytes);
  ASSERT_TRUE(file);
  const Ifd* r = find_raw_ifd(*file);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(dng_tag_u64(r, &file->ifds[0], true, 50778), 17u);
  EXPECT_EQ(dng_tag_u64(r, &file->ifds[0], true, 50779), 21u);
  EXPECT_EQ(dng_tag_u64(r, &file->ifds[0], true, 50780), std::nullopt);
}

TEST(DngRawPieces, StripsAndTilesLandWhereTheyBelong) {
  // No RowsPerStrip: one strip of the whole height. RowsPerStrip above the height: cut.
  for (uint64_t rows : {uint64_t{0}, uint64_t{100}}) {
    TestIfd ifd = ramp_ifd(5, 3);
    if (rows == 0) {
      test::remove_entry(ifd, 278);
    } else {
      set_entry(ifd, longs(278, {rows}));
    }
    EXPECT_EQ(read_ok(test::build_tiff({ifd})).samples, as_floats(ramp(15)));
  }
  // Tiles of 4 x 2 over a 6 x 5 image: the right tiles give only their first 2 columns, and
  // rows 4 onward lack a tile (the list stops after two tile rows) and stay 0.
  const std::vector<uint16_t> image = ramp(30, 11);
  std::vector<std::vector<uint8_t>> tiles;
  for (int ty = 0; ty < 2; ++ty)
    for (int tx = 0; tx < 2; ++tx) {
      std::vector<uint16_t> t(8, 9999);  // padding columns carry a value that must not show
      for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 4 && tx * 4 + c < 6; ++c) t[r * 4 + c] = image[(ty * 2 + r) * 6 + tx * 4 + c];
      tiles.push_back(test::u16_bytes(t));
    }
  TestIfd ifd = cfa_ifd(6, 5, 16, tiles, 5);
  test::remove_entry(ifd, 278);
  ifd.offsets_tag = 324;
  ifd.counts_tag = 325;
  ifd.entries.push_back(longs(322, {4}));
  ifd.entries.push_back(longs(323, {2}));
  const DngRaw raw = read_ok(test::build_tiff({ifd}));
  std::vector<float> expected(30, 0.0f);
  for (size_t i = 0; i < 24; ++i) expected[i] = image[i];
  EXPECT_EQ(raw.samples, expected);
}

TEST(DngRawPieces, IntegerLayouts) {
  // 12-bit samples in rows of 3 (36 bits): each row starts on a fresh byte.
  {
    const std::vector<uint8_t> packed = {0xAB, 0xC1, 0x23, 0x45, 0x60,   // row 0: ABC 123 456, 4 bits pad
                                         0xFF, 0xF0, 0x00, 0x80, 0x10};  // row 1: FFF 000 801
    TestIfd ifd = cfa_ifd(3, 2, 12, {packed}, 2);
    EXPECT_EQ(read_ok(test::build_tiff({ifd})).samples,
              (std::vector<float>{0xABC, 0x123, 0x456, 0xFFF, 0x000, 0x801}));
  }
  // 16 bits in a big-endian file, with horizontal differencing: 10, 5, 65535 -> 10, 15, 14.
  {
    TestIfd ifd = cfa_ifd(3, 1, 16, {test::u16_bytes({10, 5, 65535}, true)}, 1);
    ifd.entries.push_back(shorts(317, {2}));
    EXPECT_EQ(read_ok(test::build_tiff({ifd}, true)).samples, (std::vector<float>{10, 15, 14}));
  }
  // 8 bits, short data: missing samples are 0.
  {
    TestIfd ifd = cfa_ifd(4, 1, 8, {{200, 100}}, 1);
    EXPECT_EQ(read_ok(test::build_tiff({ifd})).samples, (std::vector<float>{200, 100, 0, 0}));
  }
}

TEST(DngRawPieces, FloatSamples) {
  // Half floats: 1.0, +inf, -inf, NaN, 2^-24, -2.
  const std::vector<uint16_t> halves = {0x3C00, 0x7C00, 0xFC00, 0x7E00, 0x0001, 0xC000};
  TestIfd ifd = cfa_ifd(6, 1, 16, {test::u16_bytes(halves)}, 1);
  ifd.entries.push_back(shorts(339, {3}));
  const DngRaw raw = read_ok(test::build_tiff({ifd}));
  ASSERT_EQ(raw.samples.size(), 6u);
  EXPECT_EQ(raw.samples[0], 1.0f);
  EXPECT_EQ(raw.samples[1], std::numeric_limits<float>::infinity());
  EXPECT_EQ(raw.samples[2], -std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(raw.samples[3]));
  EXPECT_EQ(raw.samples[4], std::ldexp(1.0f, -24));
  EXPECT_EQ(raw.samples[5], -2.0f);
  EXPECT_TRUE(raw.is_float);
  EXPECT_EQ(raw.white_levels, std::vector<double>{1.0});

  // 24-bit floats (most significant byte first in a big-endian file): exponent 0 is +0 even
  // with the sign bit; 0x3F8000 is 1.0 + 2^-1 = 1.5 (bias 63, mantissa 0x8000).
  TestIfd f24 = cfa_ifd(3, 1, 24, {{0x80, 0x12, 0x34, 0x3F, 0x80, 0x00, 0xBF, 0x00, 0x00}}, 1);
  f24.entries.push_back(shorts(339, {3}));
  const DngRaw r24 = read_ok(test::build_tiff({f24}, true));
  EXPECT_EQ(std::bit_cast<uint32_t>(r24.samples[0]), 0u);
  EXPECT_EQ(r24.samples[1], 1.5f);
  EXPECT_EQ(r24.samples[2], -1.0f);

  // The floating-point predictor: two 32-bit samples 1.0 and -2.0 as byte planes (most
  // significant first), then byte-differenced. Read little-endian whatever the file order.
  const uint8_t planes[8] = {0x3F, 0xC0, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00};
  std::vector<uint8_t> diffed(8);
  diffed[0] = planes[0];
  for (int j = 1; j < 8; ++j) diffed[j] = static_cast<uint8_t>(planes[j] - planes[j - 1]);
  TestIfd fp = cfa_ifd(2, 1, 32, {diffed}, 1);
  fp.entries.push_back(shorts(339, {3}));
  fp.entries.push_back(shorts(317, {3}));
  EXPECT_EQ(read_ok(test::build_tiff({fp}, true)).samples, (std::vector<float>{1.0f, -2.0f}));
}

TEST(DngRawPieces, DeflateSkipsTheZlibHeaderUnread) {
  const std::vector<uint16_t> samples = ramp(12, 300);
  const auto raw_bytes = test::u16_bytes(samples);
  std::vector<uint8_t> z = zlib_compress(raw_bytes, 6);
  z[0] = 0x00, z[1] = 0x00;  // not a valid zlib header: still inflates from byte 2
  TestIfd ifd = cfa_ifd(4, 3, 16, {z}, 3);
  set_entry(ifd, shorts(259, {8}));
  EXPECT_EQ(read_ok(test::build_tiff({ifd})).samples, as_floats(samples));
  set_entry(ifd, shorts(259, {32946}));
  EXPECT_EQ(read_ok(test::build_tiff({ifd})).samples, as_floats(samples));
}

TEST(DngRawPieces, LossyJpegPiecesFillTheFirstThreeSamples) {
  ImageU8 rgb(8, 8, 3);
  for (size_t i = 0; i < rgb.data.size(); ++i) rgb.data[i] = static_cast<uint8_t>(i * 5);
  const auto jpeg = encode_jpeg(rgb, 95);
  ASSERT_TRUE(jpeg);
  auto decoded = decode_jpeg(*jpeg);
  ASSERT_TRUE(decoded);
  // Compression 7 without an SOF3 marker and compression 34892 both take the JPEG decoder;
  // with 4 samples per pixel the fourth stays 0.
  for (uint64_t compression : {7, 34892}) {
    SCOPED_TRACE(compression);
    TestIfd ifd = cfa_ifd(8, 8, 8, {*jpeg}, 8);
    set_entry(ifd, shorts(259, {compression}));
    set_entry(ifd, shorts(262, {34892}));
    set_entry(ifd, shorts(277, {4}));
    const DngRaw raw = read_ok(test::build_tiff({ifd}));
    ASSERT_EQ(raw.samples.size(), 8u * 8u * 4u);
    for (size_t p = 0; p < 64; ++p)
      for (size_t c = 0; c < 4; ++c)
        ASSERT_EQ(raw.samples[4 * p + c], c < 3 ? float(decoded->data[3 * p + c]) : 0.0f) << p << " " << c;
    EXPECT_FALSE(raw.cfa_pattern.has_value());
  }
}

TEST(DngRawPieces, LosslessFramesSmallerThanTheTileLeaveZeros) {
  // A 4 x 1 frame (predictor 1, all differences 0 but the first) in a 4 x 2 strip.
  const std::vector<uint8_t> frame = {
      0xFF, 0xD8, 0xFF, 0xC4, 0x00, 0x14, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
      0,  // one code of length 1: symbol 0
      0xFF, 0xC3, 0x00, 0x0B, 16, 0x00, 0x01, 0x00, 0x04, 1, 1, 0x11, 0,
      0xFF, 0xDA, 0x00, 0x08, 1, 1, 0x00, 1, 0, 0,
      0x00,  // four zero differences
      0xFF, 0xD9};
  TestIfd ifd = cfa_ifd(4, 2, 16, {frame}, 2);
  set_entry(ifd, shorts(259, {7}));
  EXPECT_EQ(read_ok(test::build_tiff({ifd})).samples,
            (std::vector<float>{32768, 32768, 32768, 32768, 0, 0, 0, 0}));
  // The same frame refused in a piece that cannot hold it: 4 samples in a 3 x 1 strip.
  TestIfd small = cfa_ifd(3, 1, 16, {frame}, 1);
  set_entry(small, shorts(259, {7}));
  auto raw = read_raw(test::build_tiff({small}));
  ASSERT_FALSE(raw);
  EXPECT_EQ(raw.error(), "lossless JPEG frame 4x1x1 larger than its tile");
}

TEST(DngRawLevels, LinearisationPatternLevelsAndDefaults) {
  // A 4096-entry table maps 5000 to its last entry; fractions are cut from float samples
  // only in integer data (float data is never linearised).
  std::vector<uint64_t> table(4096);
  for (size_t i = 0; i < table.size(); ++i) table[i] = i * 2 + 1;
  TestIfd ifd = cfa_ifd(3, 1, 16, {test::u16_bytes({0, 7, 5000})}, 1);
  ifd.entries.push_back(shorts(50712, table));
  DngRaw raw = read_ok(test::build_tiff({ifd}));
  EXPECT_EQ(raw.samples, (std::vector<float>{1, 15, 8191}));
  EXPECT_EQ(raw.cfa_pattern, (std::array<uint8_t, 4>{0, 1, 1, 2}));
  EXPECT_EQ(raw.black_levels, std::vector<double>{0.0});
  EXPECT_EQ(raw.white_levels, std::vector<double>{65535.0});
  EXPECT_EQ(raw.black_repeat_rows, 1u);

  // Missing CFAPattern: red-green / green-blue. 14 bits without WhiteLevel: 16383.
  TestIfd plain = cfa_ifd(2, 1, 14, {{0, 0, 0, 0}}, 1);
  test::remove_entry(plain, 33422);
  plain.entries.push_back(shorts(50713, {2, 0}));
  plain.entries.push_back(longs(50714, {10, 20, 30, 40}));
  raw = read_ok(test::build_tiff({plain}));
  EXPECT_EQ(raw.cfa_pattern, (std::array<uint8_t, 4>{0, 1, 1, 2}));
  EXPECT_EQ(raw.white_levels, std::vector<double>{16383.0});
  EXPECT_EQ(raw.black_levels, (std::vector<double>{10, 20, 30, 40}));
  EXPECT_EQ(raw.black_repeat_rows, 2u);
  EXPECT_EQ(raw.black_repeat_cols, 1u);  // 0 counts as 1

  // Only 2x2 patterns.
  TestIfd six = ramp_ifd(4, 2);
  set_entry(six, shorts(33421, {6, 6}));
  auto bad = read_raw(test::build_tiff({six}));
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error(), "only 2x2 CFA patterns are supported");
}

TEST(DngRawLevels, ActiveAreaCropsOnlyWhenItFits) {
  const uint64_t w = 220, h = 120;
  struct Case {
    std::vector<uint64_t> area;  // top, left, bottom, right
    uint64_t width, height, first;  // result size and the first sample's source index
  };
  const Case cases[] = {
      {{8, 10, 108, 210}, 200, 100, 8 * w + 10},
      {{0, 0, h, w}, w, h, 0},          // the whole image
      {{0, 0, h, w + 1}, w, h, 0},      // right past the width: ignored
      {{5, 5, 5, 50}, w, h, 0},         // empty: ignored
      {{1, 2, 3}, w, h, 0},             // three values: ignored
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.area.size() << " values from " << c.area[0]);
    TestIfd ifd = cfa_ifd(w, h, 16, {test::u16_bytes(ramp(w * h, 1))}, h);
    ifd.entries.push_back(longs(50829, c.area));
    const DngRaw raw = read_ok(test::build_tiff({ifd}));
    EXPECT_EQ(raw.width, c.width);
    EXPECT_EQ(raw.height, c.height);
    ASSERT_EQ(raw.samples.size(), c.width * c.height);
    EXPECT_EQ(raw.samples[0], float(uint16_t(c.first)));
    EXPECT_EQ(raw.samples.back(), float(uint16_t(c.first + (c.height - 1) * w + c.width - 1)));
    EXPECT_EQ(raw.cfa_pattern, (std::array<uint8_t, 4>{0, 1, 1, 2}));  // not shifted by the crop
  }
}

// A few kilobytes that declare a 16384 x 16384 sensor and keep 64 x 48 of it: only the kept
// area is stored, and the pieces are read only as far as their data and the area reach (the
// peak memory of the whole development is measured by bounded_work_test.py).
TEST(DngRawLevels, LargeDeclarationsCroppedSmallStoreOnlyTheArea) {
  const uint64_t side = 16384;
  const std::vector<uint16_t> data = ramp(8300, 3);
  struct Case {
    const char* name;
    bool tiled;
    std::vector<uint64_t> area;  // top, left, bottom, right
  };
  const Case cases[] = {
      {"one strip, area at the top left", false, {0, 0, 48, 64}},
      {"one strip, area inside the data's first rows", false, {0, 100, 48, 164}},
      {"tiles, area across two tiles", true, {0, 4090, 48, 4154}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestIfd ifd = cfa_ifd(side, side, 16, {test::u16_bytes(data)}, side);
    if (c.tiled) {
      test::remove_entry(ifd, 273);
      test::remove_entry(ifd, 279);
      test::remove_entry(ifd, 278);
      set_entry(ifd, longs(322, {4096}));
      set_entry(ifd, longs(323, {4096}));
      ifd.offsets_tag = 324;
      ifd.counts_tag = 325;
      ifd.pieces.assign(16, test::u16_bytes(data));
    }
    ifd.entries.push_back(longs(50829, c.area));
    const DngRaw raw = read_ok(test::build_tiff({ifd}));
    ASSERT_EQ(raw.width, 64u);
    ASSERT_EQ(raw.height, 48u);
    ASSERT_EQ(raw.samples.size(), 64u * 48u);
    EXPECT_LE(raw.samples.capacity(), 64u * 48u);
    // Row y, column x of the kept area is piece sample (top + y) * piece width + left + x when the
    // data reaches it, 0 past the data's end.
    const uint64_t piece_w = c.tiled ? 4096 : side;
    for (uint64_t y = 0; y < 48; y += 47)
      for (uint64_t x = 0; x < 64; x += 63) {
        const uint64_t col = (c.area[1] + x) % piece_w, row = c.area[0] + y;
        const uint64_t k = row * piece_w + col;
        const float want = k < data.size() ? float(data[k]) : 0.0f;
        EXPECT_EQ(raw.samples[y * 64 + x], want) << y << ", " << x;
      }
  }
  // Without the crop the same data cannot fill the declared image: refused, not allocated.
  auto whole = read_raw(test::build_tiff({cfa_ifd(side, side, 16, {test::u16_bytes(data)}, side)}));
  ASSERT_FALSE(whole.has_value());
  EXPECT_EQ(whole.error(), "DNG raw image 16384x16384 larger than its data can fill");
}

TEST(DngRawErrors, BadFilesGiveTheirMessages) {
  auto with = [](auto edit) {
    TestIfd ifd = ramp_ifd(4, 2);
    edit(ifd);
    return test::build_tiff({ifd});
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    std::string error;
  };
  const Case cases[] = {
      {"not a TIFF", {'P', 'K', 3, 4, 0, 0, 0, 0}, "not a TIFF"},
      {"no raw image", with([](TestIfd& i) { set_entry(i, shorts(262, {2})); }), "no raw image in DNG"},
      {"no height", with([](TestIfd& i) { test::remove_entry(i, 257); }), "no height"},
      {"JPEG XL", with([](TestIfd& i) { set_entry(i, shorts(259, {52546})); }),
       "JPEG XL compressed DNG is not supported - export uncompressed/lossless DNG or JPG"},
      {"compression 99", with([](TestIfd& i) { set_entry(i, shorts(259, {99})); }), "DNG compression 99 not supported"},
      {"no strips", with([](TestIfd& i) { i.offsets_tag = 1000; }), "no strips"},
      {"no strip counts", with([](TestIfd& i) { i.counts_tag = 1001; }), "no strip counts"},
      {"zlib too short", with([](TestIfd& i) { set_entry(i, shorts(259, {8})), i.pieces = {{0x78}}; }),
       "zlib stream too short"},
      {"bad deflate", with([](TestIfd& i) { set_entry(i, shorts(259, {8})), i.pieces = {{0x78, 0x9C, 0xFF, 0xFF}}; }),
       "invalid block type"},
      {"lossless without a scan", with([](TestIfd& i) {
         set_entry(i, shorts(259, {7}));
         i.pieces = {{0xFF, 0xD8, 0xFF, 0xC3, 0, 11, 16, 0, 2, 0, 4, 1, 1, 0x11, 0, 0xFF, 0xD9}};
       }),
       "no lossless JPEG scan"},
      {"tag without a value", with([](TestIfd& i) { set_entry(i, test::empty_entry(258, 3)); }),
       "DNG tag 258 has no value"},
      {"float of 8 bits", with([](TestIfd& i) { set_entry(i, shorts(258, {8})), i.entries.push_back(shorts(339, {3})); }),
       "DNG float samples of 8 bits not supported"},
      {"integers of 40 bits", with([](TestIfd& i) { set_entry(i, shorts(258, {40})); }),
       "DNG samples of 40 bits not supported"},
      {"no samples per pixel", with([](TestIfd& i) { set_entry(i, shorts(277, {0})); }), "DNG samples per pixel is 0"},
      {"zero width", with([](TestIfd& i) { set_entry(i, longs(256, {0})); }), "empty DNG raw image 0x2"},
      {"zero tile width", with([](TestIfd& i) {
         i.offsets_tag = 324, i.counts_tag = 325;
         i.entries.push_back(longs(322, {0})), i.entries.push_back(longs(323, {2}));
       }),
       "DNG tile size 0x2 is empty"},
      {"fewer counts than offsets", with([](TestIfd& i) { i.counts_tag = 1001, i.entries.push_back(longs(279, {})); }),
       "fewer DNG byte counts than offsets"},
      // Sizes from the header are checked before anything is allocated.
      {"plane too large", with([&](TestIfd& i) { set_entry(i, longs(256, {1 << 20})), set_entry(i, longs(257, {1 << 20})); }),
       "DNG raw image too large: 1048576x1048576 with 1 samples per pixel"},
      {"plane size overflows", with([&](TestIfd& i) {
         set_entry(i, longs(256, {0xFFFFFFFF})), set_entry(i, longs(257, {0xFFFFFFFF})), set_entry(i, shorts(277, {3}));
       }),
       "DNG raw image too large: 4294967295x4294967295 with 3 samples per pixel"},
      {"tile too large", with([&](TestIfd& i) {
         i.offsets_tag = 324, i.counts_tag = 325;
         i.entries.push_back(longs(322, {65536})), i.entries.push_back(longs(323, {65536}));
       }),
       "DNG tile 65536x65536 too large for a 4x2 image"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto raw = read_raw(c.bytes);
    ASSERT_FALSE(raw.has_value());
    EXPECT_EQ(raw.error(), c.error);
  }
}

TEST(DngRawErrors, PiecesOutsideTheFileAreRefusedWithoutOverflow) {
  // Offsets written by hand: an offset past the end, and one whose sum with the count wraps
  // a 64-bit integer (a LONG8 in a BigTIFF is not needed: the count is read as 64 bits).
  for (auto [offset, count] : {std::pair<uint64_t, uint64_t>{1'000'000, 4}, {16, 0xFFFFFFFF}, {0xFFFFFFF0, 0x20}}) {
    SCOPED_TRACE(offset);
    TestIfd ifd = ramp_ifd(4, 2);
    ifd.pieces.clear();
    ifd.entries.push_back(longs(273, {offset}));
    ifd.entries.push_back(longs(279, {count}));
    auto raw = read_raw(test::build_tiff({ifd}));
    ASSERT_FALSE(raw);
    EXPECT_EQ(raw.error(), "tile outside file");
  }
  DngTileSource source;
  const std::vector<uint8_t> file(64, 0);
  source.file = file;
  source.offsets = {8};
  source.byte_counts = {UINT64_MAX - 4};  // offset + count wraps past zero
  source.tile_width = source.tile_length = 2;
  auto tile = decode_dng_tile(source, 0);
  ASSERT_FALSE(tile);
  EXPECT_EQ(tile.error(), "tile outside file");
}

TEST(DngRawErrors, PiecesBelowTheImageAreNotRead) {
  // Two deflated strips of one row each, and a third for a row the image does not have
  // whose stream is broken: it contributes nothing, so it is never decoded.
  const std::vector<uint16_t> samples = ramp(8);
  TestIfd ifd = ramp_ifd(4, 2);
  set_entry(ifd, longs(278, {1}));
  set_entry(ifd, shorts(259, {8}));
  const auto bytes = test::u16_bytes(samples);
  ifd.pieces = {zlib_compress(std::span(bytes).first(8), 6), zlib_compress(std::span(bytes).subspan(8), 6),
                {0x78, 0x9C, 0xFF, 0xFF}};
  auto raw = read_raw(test::build_tiff({ifd}));
  ASSERT_TRUE(raw) << raw.error();
  EXPECT_EQ(raw->samples, as_floats(samples));
}

TEST(DngRawErrors, CutAndCorruptedFilesNeverCrash) {
  std::vector<uint8_t> frame_file;
  {
    TestIfd ifd = ramp_ifd(6, 4);
    set_entry(ifd, longs(278, {2}));
    const auto all = test::u16_bytes(ramp(24));
    ifd.pieces = {{all.begin(), all.begin() + 24}, {all.begin() + 24, all.end()}};
    ifd.entries.push_back(longs(50829, {1, 1, 3, 5}));
    ifd.entries.push_back(shorts(50712, {1, 2, 3}));
    frame_file = test::build_tiff({ifd});
  }
  // A flip may turn the size into a valid but large one; those are the size checks' business
  // (and slow to fill), so only files claiming a small plane are read.
  auto small_claim = [](const std::vector<uint8_t>& bytes) {
    auto file = parse_tiff(bytes);
    if (!file) return true;
    const Ifd* ifd = find_raw_ifd(*file);
    if (!ifd) return true;
    const uint64_t w = find_u64(*ifd, 256, file->little_endian).value_or(0);
    const uint64_t h = find_u64(*ifd, 257, file->little_endian).value_or(0);
    const uint64_t spp = find_u64(*ifd, 277, file->little_endian).value_or(1);
    return w < 4096 && h < 4096 && spp < 16 && w * h * spp < (1u << 20);
  };
  for (size_t n = 0; n <= frame_file.size(); ++n) (void)read_raw({frame_file.begin(), frame_file.begin() + n});
  for (size_t i = 0; i < frame_file.size(); ++i)
    for (uint8_t flip : {0x01, 0x10, 0x80}) {
      auto bad = frame_file;
      bad[i] ^= flip;
      if (!small_claim(bad)) continue;
      auto raw = read_raw(bad);
      if (raw) {
        EXPECT_EQ(raw->samples.size(), raw->width * raw->height * raw->samples_per_pixel);
      }
    }
}

// --- against the fixtures written by tifffile, and against LibRaw ---------------------------

std::vector<uint16_t> read_pgm(const fs::path& path, size_t& width, size_t& height) {
  const std::vector<uint8_t> bytes = test::read_file_bytes(path);
  std::string header;
  size_t pos = 0, lines = 0;
  while (pos < bytes.size() && lines < 3) {
    header += static_cast<char>(bytes[pos]);
    if (bytes[pos++] == '\n') ++lines;
  }
  unsigned maxval = 0;
  EXPECT_EQ(std::sscanf(header.c_str(), "P5 %zu %zu %u", &width, &height, &maxval), 3) << header;
  std::vector<uint16_t> out(width * height);
  for (size_t i = 0; i < out.size() && pos + 2 * i + 1 < bytes.size(); ++i)
    out[i] = static_cast<uint16_t>(bytes[pos + 2 * i] << 8 | bytes[pos + 2 * i + 1]);
  return out;
}

TEST(DngRawFixtures, TifffileFilesReadExactlyAndAgreeWithLibRaw) {
  const fs::path dir = test::cached_fixture_dir("tests/img/dng/dng_fixtures.py");
  if (dir.empty()) GTEST_SKIP() << "fixture tools missing";
  const bool libraw = test::have_tool("unprocessed_raw");
  auto manifest = json_parse(test::read_file_text(dir / "manifest.json"));
  ASSERT_TRUE(manifest);
  size_t compared_with_libraw = 0;
  for (const JsonValue& item : manifest->as_array()) {
    const std::string name = item["name"].as_string();
    SCOPED_TRACE(name);
    const DngRaw raw = read_ok(test::read_file_bytes(dir / (name + ".dng")));
    auto expected = npy_read(test::read_file_bytes(dir / (name + ".raw.npy")));
    ASSERT_TRUE(expected);
    ASSERT_EQ(expected->shape.size(), 2u);
    EXPECT_EQ(raw.height, expected->shape[0]);
    EXPECT_EQ(raw.width * raw.samples_per_pixel, expected->shape[1]);
    const auto& values = std::get<std::vector<float>>(expected->data);
    ASSERT_EQ(raw.samples.size(), values.size());
    size_t mismatches = 0;
    for (size_t i = 0; i < values.size(); ++i) mismatches += !(raw.samples[i] == values[i]);
    EXPECT_EQ(mismatches, 0u);

    if (!libraw || !item["libraw"].bool_or(false)) continue;
    test::TempDir tmp;
    fs::copy_file(dir / (name + ".dng"), tmp / "x.dng");
    auto run = test::run_command("cd " + test::shell_quote(tmp.path().string()) + " && unprocessed_raw -q x.dng");
    ASSERT_EQ(run.exit_code, 0) << run.err;
    size_t w = 0, h = 0;
    const std::vector<uint16_t> full = read_pgm(tmp / "x.dng.pgm", w, h);
    size_t top = 0, left = 0;
    if (const JsonValue& area = item["active_area"]; area.is_array()) {
      top = static_cast<size_t>(area.at(0).as_f64());
      left = static_cast<size_t>(area.at(1).as_f64());
    }
    mismatches = 0;
    for (size_t y = 0; y < raw.height; ++y)
      for (size_t x = 0; x < raw.width; ++x)
        mismatches += raw.samples[y * raw.width + x] != full[(y + top) * w + x + left];
    EXPECT_EQ(mismatches, 0u);
    ++compared_with_libraw;
  }
  if (libraw) {
    EXPECT_GE(compared_with_libraw, 4u);
  }
}

TEST(DngRawFixtures, RealPackedFileMatchesLibRaw) {
  TSL_REQUIRE_SHARED_DATA();
  const fs::path path = test::shared_data_dir() / "dng-tinydng/colorchart.dng";
  const DngRaw raw = read_ok(test::read_file_bytes(path));
  // ActiveArea 26, 152, 1182, 1886 of a 1888 x 1182 sensor; values from its SOURCES.md.
  ASSERT_EQ(raw.width, 1734u);
  ASSERT_EQ(raw.height, 1156u);
  const std::vector<float> row0 = {2056, 2093, 2080, 2077, 2076, 2105, 2087, 2107};
  EXPECT_EQ(std::vector<float>(raw.samples.begin(), raw.samples.begin() + 8), row0);
  EXPECT_EQ(raw.black_levels, std::vector<double>{2056});
  EXPECT_EQ(raw.white_levels, std::vector<double>{15000});
  EXPECT_EQ(raw.cfa_pattern, (std::array<uint8_t, 4>{0, 1, 1, 2}));

  TSL_REQUIRE_TOOL("unprocessed_raw");
  test::TempDir tmp;
  fs::copy_file(path, tmp / "c.dng");
  auto run = test::run_command("cd " + test::shell_quote(tmp.path().string()) + " && unprocessed_raw -q c.dng");
  ASSERT_EQ(run.exit_code, 0) << run.err;
  size_t w = 0, h = 0;
  const std::vector<uint16_t> full = read_pgm(tmp / "c.dng.pgm", w, h);
  ASSERT_EQ(w, 1888u);
  size_t mismatches = 0;
  for (size_t y = 0; y < raw.height; ++y)
    for (size_t x = 0; x < raw.width; ++x) mismatches += raw.samples[y * raw.width + x] != full[(y + 26) * w + x + 152];
  EXPECT_EQ(mismatches, 0u);
}

}  // namespace
}  // namespace tsl
