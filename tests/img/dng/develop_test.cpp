#include "img/dng/develop.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "img/dng/orientation.h"
#include "img/dng/tiff_builder.h"

namespace tsl {
namespace {

using test::cfa_ifd;
using test::longs;
using test::set_entry;
using test::shorts;
using test::srationals;
using test::TestIfd;

ImageU16 develop_ok(const TestIfd& ifd, bool half, bool big_endian = false) {
  auto image = develop_dng(test::build_tiff({ifd}, big_endian), half);
  EXPECT_TRUE(image.has_value()) << image.error();
  return image ? std::move(*image) : ImageU16{};
}

// A LinearRaw directory of w x h pixels with spp samples each, 16 bits, white 65535, black 0.
TestIfd linear_ifd(uint64_t w, uint64_t h, uint64_t spp, const std::vector<uint16_t>& samples) {
  TestIfd ifd = cfa_ifd(w, h, 16, {test::u16_bytes(samples)}, h);
  set_entry(ifd, shorts(262, {34892}));
  set_entry(ifd, shorts(277, {spp}));
  test::remove_entry(ifd, 33421);
  test::remove_entry(ifd, 33422);
  return ifd;
}

TEST(DngColorMatrix, TheD65CalibrationIsPreferred) {
  const std::vector<double> m1(9, 1.0), m2(9, 2.0), short2(6, 2.0);
  struct Case {
    const char* name;
    std::optional<std::vector<double>> a, b;
    std::optional<uint64_t> i1, i2;
    double expected;  // the chosen matrix's value; 0 for none
  };
  const Case cases[] = {
      {"A then D65", m1, m2, 17, 21, 2.0},
      {"D65 first wins even when both are D65", m1, m2, 21, 21, 1.0},
      {"neither D65: matrix 2 with 9 values", m1, m2, 17, 23, 2.0},
      {"neither D65, matrix 2 short: matrix 1", m1, short2, 17, 23, 1.0},
      {"D65 names a short matrix: none", m1, short2, 17, 21, 0.0},
      {"only matrix 1", m1, std::nullopt, std::nullopt, std::nullopt, 1.0},
      {"none", std::nullopt, std::nullopt, 21, 21, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto m = choose_color_matrix(c.a, c.b, c.i1, c.i2);
    if (c.expected == 0.0) {
      EXPECT_FALSE(m.has_value());
    } else {
      ASSERT_TRUE(m.has_value());
      EXPECT_EQ((*m)[8], c.expected);
    }
  }
}

TEST(DngColorMatrix, WhiteBalanceFromAsShotNeutral) {
  struct Case {
    const char* name;
    std::optional<std::vector<double>> neutral;
    std::array<double, 3> wb;
  };
  const Case cases[] = {
      {"0.5 1 0.8 -> 2 1 1.25", std::vector<double>{0.5, 1.0, 0.8}, {2.0, 1.0, 1.25}},
      {"a zero is ignored", std::vector<double>{0.5, 0.0, 0.8}, {1, 1, 1}},
      {"a negative is ignored", std::vector<double>{0.5, -1.0, 0.8}, {1, 1, 1}},
      {"NaN is ignored", std::vector<double>{0.5, NAN, 0.8}, {1, 1, 1}},
      {"two values are ignored", std::vector<double>{0.5, 1.0}, {1, 1, 1}},
      {"absent", std::nullopt, {1, 1, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DngColor color = dng_color(std::nullopt, c.neutral);
    for (int i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(color.wb[i], c.wb[i]);
    EXPECT_EQ(color.camera_to_srgb, (std::array<double, 9>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
  }
  // A singular matrix falls back to the identity.
  const DngColor singular = dng_color(std::array<double, 9>{1, 2, 3, 2, 4, 6, 1, 1, 1}, std::nullopt);
  EXPECT_EQ(singular.camera_to_srgb, (std::array<double, 9>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
}

TEST(DngDevelop, SrgbWhiteSeenByTheCameraDevelopsNeutral) {
  // A camera whose ColorMatrix is some XYZ-to-camera map sees sRGB white as M x (1, 1, 1),
  // M = ColorMatrix x sRGB-to-XYZ. Without AsShotNeutral the development must turn exactly
  // that camera triple into equal red, green and blue.
  const std::array<double, 9> cm = {0.9, -0.3, -0.1, -0.4, 1.3, 0.1, -0.1, 0.2, 0.6};
  const double s[9] = {0.412453, 0.357580, 0.180423, 0.212671, 0.715160, 0.072169, 0.019334, 0.119193, 0.950227};
  double white[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k)
      for (int j = 0; j < 3; ++j) white[i] += cm[3 * i + k] * s[3 * k + j];
  const double top = std::max({white[0], white[1], white[2]});
  std::vector<uint16_t> samples;
  for (int p = 0; p < 4; ++p)
    for (int c = 0; c < 3; ++c) samples.push_back(static_cast<uint16_t>(std::lround(white[c] / top * 30000)));
  TestIfd ifd = linear_ifd(2, 2, 3, samples);
  ifd.entries.push_back(srationals(50721, {cm[0], cm[1], cm[2], cm[3], cm[4], cm[5], cm[6], cm[7], cm[8]}));
  const ImageU16 out = develop_ok(ifd, false);
  ASSERT_EQ(out.data.size(), 12u);
  // Rounding of the samples to integers and of the matrix to 1/10000 leaves a few units.
  EXPECT_NEAR(out.data[0], out.data[1], 8);
  EXPECT_NEAR(out.data[1], out.data[2], 8);
  EXPECT_GT(out.data[1], 10000);
}

TEST(DngDevelop, IdentityDevelopmentShowsTheNormalisedCameraValues) {
  // No colour tags: wb 1 and the identity, so each output is (sample - black) / (white -
  // black) x 65535. A flat CFA image comes out flat at every pixel, borders included, since
  // the interpolation kernels sum to one.
  TestIfd ifd = cfa_ifd(7, 5, 16, {test::u16_bytes(std::vector<uint16_t>(35, 2600))}, 5);
  ifd.entries.push_back(longs(50714, {100}));
  ifd.entries.push_back(longs(50717, {10100}));
  const ImageU16 out = develop_ok(ifd, false);
  ASSERT_EQ(out.width, 7u);
  ASSERT_EQ(out.height, 5u);
  for (uint16_t v : out.data) ASSERT_EQ(v, 16384);  // 2500 / 10000 x 65535 = 16383.75
  // Half size: ceil(7 / 2) x ceil(5 / 2). The last column and row come from an even raw
  // column or row alone, which holds no blue: their blue is 0; the corner cell is raw (6, 4)
  // alone, a red pixel, so its green is 0 too.
  const ImageU16 half = develop_ok(ifd, true);
  ASSERT_EQ(half.width, 4u);
  ASSERT_EQ(half.height, 3u);
  for (size_t y = 0; y < 3; ++y)
    for (size_t x = 0; x < 4; ++x) {
      const uint16_t* px = half.row(y) + 3 * x;
      EXPECT_EQ(px[0], 16384);
      EXPECT_EQ(px[1], x == 3 && y == 2 ? 0 : 16384) << x << ", " << y;
      EXPECT_EQ(px[2], x == 3 || y == 2 ? 0 : 16384) << x << ", " << y;
    }
}

TEST(DngDevelop, CfaNormalisationClipsAndUsesPerPositionBlackLevels) {
  // One 2x2 RGGB cell: R at white, G1 below black, G2 at black + half range, B at white.
  // AsShotNeutral 1, 1, 0.5 gives blue a gain of 2 (clipped at 1), red and green 1.
  TestIfd ifd = cfa_ifd(2, 2, 16, {test::u16_bytes({1000, 50, 600, 1000})}, 2);
  ifd.entries.push_back(shorts(50713, {2, 2}));
  ifd.entries.push_back(longs(50714, {200, 100, 100, 0}));  // per cell position
  ifd.entries.push_back(longs(50717, {1000}));
  ifd.entries.push_back(test::rationals(50728, {1.0, 1.0, 0.5}));
  const ImageU16 half = develop_ok(ifd, true);
  ASSERT_EQ(half.data.size(), 3u);
  EXPECT_EQ(half.data[0], 65535);  // (1000 - 200) / (1000 - 200)
  // Greens: 50 under its black gives 0; (600 - 100) / 900 = 0.5556; mean 0.2778.
  EXPECT_EQ(half.data[1], static_cast<uint16_t>(std::lround((0.0 + 500.0f / 900.0f) / 2 * 65535)));
  EXPECT_EQ(half.data[2], 65535);  // 1000 / 1000 x 2 clips at 1
}

TEST(DngDevelop, HalfSizeOfAnOddWidthCountsTheLastColumnTwice) {
  // Width 5: the last output column reads raw column 4 twice, a red/green column in an RGGB
  // pattern, so its blue is 0 and its red and greens come from that column alone.
  std::vector<uint16_t> samples(10);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint16_t>(1000 * (i + 1));
  TestIfd ifd = cfa_ifd(5, 2, 16, {test::u16_bytes(samples)}, 2);
  ifd.entries.push_back(longs(50717, {10000}));
  const ImageU16 half = develop_ok(ifd, true);
  ASSERT_EQ(half.width, 3u);
  ASSERT_EQ(half.height, 1u);
  const uint16_t* last = half.data.data() + 6;
  EXPECT_EQ(last[0], static_cast<uint16_t>(std::lround(0.5 * 65535)));  // red: raw (4, 0) = 5000
  EXPECT_EQ(last[1], static_cast<uint16_t>(std::lround(1.0 * 65535)));  // green: raw (4, 1) = 10000
  EXPECT_EQ(last[2], 0);
}

TEST(DngDevelop, ThinImagesDemosaicInsideThePlane) {
  for (auto [w, h] : {std::pair<uint64_t, uint64_t>{6, 1}, {1, 6}, {1, 1}, {2, 2}}) {
    SCOPED_TRACE(testing::Message() << w << "x" << h);
    TestIfd ifd = cfa_ifd(w, h, 16, {test::u16_bytes(std::vector<uint16_t>(w * h, 30000))}, h);
    const ImageU16 out = develop_ok(ifd, false);
    ASSERT_EQ(out.data.size(), w * h * 3);
    for (uint16_t v : out.data) EXPECT_EQ(v, 30000);  // flat stays flat
  }
}

TEST(DngDevelop, LinearRawUsesEachChannelsLevels) {
  // One pixel, three samples; WhiteLevel 255 alone serves every channel, three values each
  // their own channel (black levels likewise).
  TestIfd one = linear_ifd(1, 1, 3, {255, 51, 0});
  one.entries.push_back(longs(50717, {255}));
  EXPECT_EQ(develop_ok(one, false).data, (std::vector<uint16_t>{65535, 13107, 0}));
  TestIfd three = linear_ifd(1, 1, 3, {255, 51, 400});
  three.entries.push_back(longs(50714, {0, 1, 200}));
  three.entries.push_back(longs(50717, {255, 101, 600}));
  EXPECT_EQ(develop_ok(three, false).data, (std::vector<uint16_t>{65535, 32768, 32768}));
  // Half size averages each 2x2 block, the odd last column counted twice.
  TestIfd grey = linear_ifd(3, 1, 1, {0, 65535, 65535});
  const ImageU16 half = develop_ok(grey, true);
  ASSERT_EQ(half.width, 2u);
  EXPECT_EQ(half.data, (std::vector<uint16_t>{32768, 32768, 32768, 65535, 65535, 65535}));
}

TEST(DngOrientation, TurnsAndTransposesByTheTag) {
  // A 3 x 2 image whose pixel (x, y) has red 10 y + x.
  ImageU16 src(3, 2, 3);
  for (size_t y = 0; y < 2; ++y)
    for (size_t x = 0; x < 3; ++x) src.row(y)[3 * x] = static_cast<uint16_t>(10 * y + x);
  struct Case {
    uint64_t orientation;
    size_t width, height;
    std::vector<uint16_t> reds;  // the result's red samples, row by row
  };
  const Case cases[] = {
      {1, 3, 2, {0, 1, 2, 10, 11, 12}},
      {2, 3, 2, {0, 1, 2, 10, 11, 12}},  // mirror-only values stay as developed
      {4, 3, 2, {0, 1, 2, 10, 11, 12}},
      {3, 3, 2, {12, 11, 10, 2, 1, 0}},
      {6, 2, 3, {10, 0, 11, 1, 12, 2}},  // clockwise: top-left is the source's bottom-left
      {8, 2, 3, {2, 12, 1, 11, 0, 10}},  // counter-clockwise: top-left is the source's top-right
      {5, 2, 3, {0, 10, 1, 11, 2, 12}},  // transpose
      {7, 2, 3, {12, 2, 11, 1, 10, 0}},  // transverse
      {9, 3, 2, {0, 1, 2, 10, 11, 12}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.orientation);
    const ImageU16 out = orient_image(src, c.orientation);
    ASSERT_EQ(out.width, c.width);
    ASSERT_EQ(out.height, c.height);
    std::vector<uint16_t> reds;
    for (size_t i = 0; i < out.data.size(); i += 3) reds.push_back(out.data[i]);
    EXPECT_EQ(reds, c.reds);
  }
}

TEST(DngDevelop, OrientationComesFromTheFirstDirectory) {
  TestIfd raw = linear_ifd(4, 2, 1, {0, 0, 0, 65535, 0, 0, 0, 0});
  TestIfd ifd0;
  ifd0.entries = {longs(254, {1}), shorts(274, {6})};
  ifd0.sub_ifds = {raw};
  auto out = develop_dng(test::build_tiff({ifd0}), false);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->width, 2u);
  EXPECT_EQ(out->height, 4u);
  EXPECT_EQ(out->row(3)[3], 65535);  // source (3, 0) goes to (2 - 1 - 0, 3)
  auto sensor = develop_dng_unoriented(test::build_tiff({ifd0}), false);
  ASSERT_TRUE(sensor);
  EXPECT_EQ(sensor->orientation, 6u);
  EXPECT_EQ(sensor->image.width, 4u);
}

TEST(DngDevelop, ErrorsAreTheReadersMessages) {
  EXPECT_EQ(develop_dng(std::vector<uint8_t>{1, 2, 3}, false).error(), "not a TIFF");
  TestIfd ifd = cfa_ifd(2, 2, 16, {{}}, 2);
  set_entry(ifd, shorts(259, {99}));
  EXPECT_EQ(develop_dng(test::build_tiff({ifd}), true).error(), "DNG compression 99 not supported");
}

}  // namespace
}  // namespace tsl
