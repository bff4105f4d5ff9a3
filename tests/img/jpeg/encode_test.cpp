// The baseline encoder: file layout, tables against cjpeg, and decodability by djpeg, PIL and
// our own decoder.
#include "img/jpeg/encode.h"

#include <gtest/gtest.h>

#include <cmath>

#include "img/jpeg/decode.h"
#include "img/jpeg/entropy.h"
#include "img/jpeg/jpeg_fixture.h"
#include "support/test_util.h"

namespace tsl {
namespace {

using Bytes = std::vector<uint8_t>;

struct Segment {
  uint8_t marker;
  Bytes payload;
};

// The marker segments before the entropy-coded data (up to and including SOS).
std::vector<Segment> header_segments(const Bytes& file) {
  std::vector<Segment> out;
  size_t pos = 2;
  while (pos + 4 <= file.size() && file[pos] == 0xFF) {
    const uint8_t m = file[pos + 1];
    const size_t len = (size_t{file[pos + 2]} << 8) | file[pos + 3];
    out.push_back({m, Bytes(file.begin() + static_cast<std::ptrdiff_t>(pos + 4),
                            file.begin() + static_cast<std::ptrdiff_t>(std::min(file.size(), pos + 2 + len)))});
    pos += 2 + len;
    if (m == 0xDA) break;
  }
  return out;
}

std::vector<uint8_t> markers(const std::vector<Segment>& segs) {
  std::vector<uint8_t> m;
  for (const auto& s : segs) m.push_back(s.marker);
  return m;
}

const Segment* find(const std::vector<Segment>& segs, uint8_t marker) {
  for (const auto& s : segs)
    if (s.marker == marker) return &s;
  return nullptr;
}

Bytes encode(const ImageU8& img, uint32_t quality, std::span<const AppSegment> segs = {}) {
  auto r = encode_jpeg(img, quality, segs);
  EXPECT_TRUE(r.has_value());
  return r.value_or(Bytes{});
}

TEST(EncodeJpeg, SubsamplesChromaBelowQuality90) {
  const ImageU8 rgb = test::synthetic_photo(40, 24, 3);
  for (const auto& [quality, sampling] : {std::pair{82u, 0x22}, {88u, 0x22}, {90u, 0x11}, {93u, 0x11}}) {
    SCOPED_TRACE(quality);
    const auto segs = header_segments(encode(rgb, quality));
    const Segment* sof = find(segs, 0xC0);
    ASSERT_NE(sof, nullptr);
    ASSERT_EQ(sof->payload.size(), 15u);
    EXPECT_EQ(sof->payload[5], 3);  // components
    EXPECT_EQ(sof->payload[7], sampling);
    EXPECT_EQ(sof->payload[10], 0x11);
    EXPECT_EQ(sof->payload[13], 0x11);
  }
}

TEST(EncodeJpeg, GrayHasOneComponentOneTableAndTwoHuffmanTables) {
  const auto segs = header_segments(encode(test::synthetic_photo(17, 9, 1), 82));
  EXPECT_EQ(markers(segs), (std::vector<uint8_t>{0xE0, 0xDB, 0xC0, 0xC4, 0xC4, 0xDA}));
  EXPECT_EQ(find(segs, 0xDB)->payload.size(), 65u);
  EXPECT_EQ(find(segs, 0xC0)->payload, (Bytes{8, 0, 9, 0, 17, 1, 1, 0x11, 0}));
  EXPECT_EQ(find(segs, 0xDA)->payload, (Bytes{1, 1, 0x00, 0, 63, 0}));
}

// The JFIF APP0 gives way to an EXIF APP1 in first or second place only.
TEST(EncodeJpeg, JfifSegmentDependsOnTheFirstTwoAppSegments) {
  const ImageU8 img = test::synthetic_photo(8, 8, 3);
  auto app = [](uint8_t m) { return AppSegment{m, Bytes{'x', 'y'}}; };
  struct Case {
    const char* name;
    std::vector<AppSegment> segs;
    std::vector<uint8_t> expected;
  };
  const Case cases[] = {
      {"none", {}, {0xE0}},
      {"APP1 APP1", {app(0xE1), app(0xE1)}, {0xE1, 0xE1}},
      {"APP2 APP1", {app(0xE2), app(0xE1)}, {0xE2, 0xE1}},
      {"APP2 APP3 APP1", {app(0xE2), app(0xE3), app(0xE1)}, {0xE0, 0xE2, 0xE3, 0xE1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto m = markers(header_segments(encode(img, 90, c.segs)));
    m.resize(c.expected.size());
    EXPECT_EQ(m, c.expected);
  }
}

// A payload above 65533 bytes would wrap the 16-bit length field and corrupt the file.
TEST(EncodeJpeg, RefusesAppPayloadThatOverflowsItsLength) {
  const ImageU8 img = test::synthetic_photo(8, 8, 3);
  const AppSegment fits{0xE1, Bytes(JPEG_MAX_APP_PAYLOAD, 7)};
  const auto ok = encode_jpeg(img, 90, std::span(&fits, 1));
  ASSERT_TRUE(ok.has_value());
  const auto segs = header_segments(*ok);
  ASSERT_EQ(segs[0].marker, 0xE1);
  EXPECT_EQ(segs[0].payload.size(), JPEG_MAX_APP_PAYLOAD);
  EXPECT_TRUE(decode_jpeg(*ok).has_value());

  const AppSegment too_big{0xE1, Bytes(JPEG_MAX_APP_PAYLOAD + 1, 7)};
  const auto bad = encode_jpeg(img, 90, std::span(&too_big, 1));
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error(), "APP segment payload of 65534 bytes exceeds 65533");
}

TEST(EncodeJpeg, ScalesQuantTablesLikeTheStandardRule) {
  const auto q90 = scale_quant_table(JPEG_LUMA_QUANT, 90);
  EXPECT_EQ(q90[0], 3);  // (16 x 20 + 50) / 100
  for (uint8_t v : scale_quant_table(JPEG_LUMA_QUANT, 100)) EXPECT_EQ(v, 1);
  // Below 50 the same linear rule holds (no 5000 / quality), and past 100 entries stay at 1.
  EXPECT_EQ(scale_quant_table(JPEG_CHROMA_QUANT, 0)[63], 198);
  EXPECT_EQ(scale_quant_table(JPEG_LUMA_QUANT, 10)[0], 29);  // (16 x 180 + 50) / 100
  for (uint8_t v : scale_quant_table(JPEG_LUMA_QUANT, 150)) EXPECT_EQ(v, 1);
}

// cjpeg scales the same base tables with the same rule from quality 50 up.
TEST(EncodeJpeg, QuantTablesEqualCjpegs) {
  TSL_REQUIRE_TOOL("cjpeg");
  test::TempDir dir;
  const ImageU8 img = test::synthetic_photo(16, 16, 3);
  test::write_pnm(dir / "in.ppm", img);
  for (uint32_t q : {50u, 75u, 82u, 88u, 90u, 93u, 100u}) {
    SCOPED_TRACE(q);
    const auto out = dir / "ref.jpg";
    ASSERT_EQ(test::run_command("cjpeg -quality " + std::to_string(q) + " -outfile " + test::shell_quote(out.string()) +
                                " " + test::shell_quote((dir / "in.ppm").string()))
                  .exit_code,
              0);
    // cjpeg writes one DQT segment per table, we write one for both: compare the tables.
    auto tables = [](const Bytes& file) {
      Bytes all;
      for (const auto& seg : header_segments(file))
        if (seg.marker == 0xDB) all.insert(all.end(), seg.payload.begin(), seg.payload.end());
      return all;
    };
    const Bytes ref = tables(test::read_file_bytes(out));
    EXPECT_EQ(ref.size(), 130u);
    EXPECT_EQ(tables(encode(img, q)), ref);
  }
}

// Every 0xFF in the entropy-coded data is stuffed, and the data ends on a byte boundary padded
// with 1-bits right before EOI.
TEST(EncodeJpeg, StuffsFfBytesAndPadsWithOnes) {
  // A bright noisy image gives plenty of 0xFF bytes in the entropy-coded data.
  ImageU8 img(64, 64, 3);
  uint32_t s = 12345;
  for (auto& v : img.data) {
    s = s * 1103515245u + 12345u;
    v = static_cast<uint8_t>(s >> 24);
  }
  const Bytes file = encode(img, 100);
  size_t pos = 2;
  for (const auto& seg : header_segments(file)) pos += 4 + seg.payload.size();
  size_t ff = 0;
  ASSERT_GE(file.size(), pos + 2);
  for (size_t i = pos; i + 2 < file.size(); ++i) {
    if (file[i] != 0xFF) continue;
    ++ff;
    EXPECT_EQ(file[i + 1], 0x00) << "at " << i;
    ++i;
  }
  EXPECT_GT(ff, 0u);
  EXPECT_EQ(file[file.size() - 2], 0xFF);
  EXPECT_EQ(file[file.size() - 1], 0xD9);
}

// Edge blocks repeat the last column and row: a 17 x 9 image's extra samples equal them.
TEST(EncodeJpeg, FetchBlockRepeatsTheLastRowAndColumn) {
  const size_t w = 17, h = 9;
  std::vector<float> plane(w * h);
  for (size_t i = 0; i < plane.size(); ++i) plane[i] = static_cast<float>(i % 251);
  float block[64];
  fetch_block(w, h, plane.data(), plane.size(), 16, 8, 1, block);
  for (size_t r = 0; r < 8; ++r)
    for (size_t c = 0; c < 8; ++c) EXPECT_EQ(block[r * 8 + c], plane[8 * w + 16] - 128.0f);
  fetch_block(w, h, plane.data(), plane.size(), 0, 0, 2, block);
  // Block sample (0, 0) averages plane (0,0), (0,1), (1,0), (1,1); (7, 7) clamps to row 8.
  EXPECT_FLOAT_EQ(block[0], (plane[0] + plane[1] + plane[w] + plane[w + 1]) / 4 - 128);
  EXPECT_FLOAT_EQ(block[63], (plane[8 * w + 14] + plane[8 * w + 15] + plane[8 * w + 14] + plane[8 * w + 15]) / 4 - 128);
}

// A flat block has only a DC term; an all-black one gives -1024 before quantisation.
TEST(EncodeJpeg, ForwardDctOfFlatBlocks) {
  float block[64];
  std::fill_n(block, 64, -128.0f);
  fdct_8x8(block);
  EXPECT_NEAR(block[0], -1024.0f, 1e-3);
  for (int k = 1; k < 64; ++k) EXPECT_NEAR(block[k], 0.0f, 1e-3);
  // A horizontal cosine of frequency 1 lands in coefficient (0, 1) alone:
  // s(0) s(1) x 8 rows x 50 x (sum of cos^2 over 8 columns = 4) = 200 sqrt(2).
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) block[y * 8 + x] = 50.0f * static_cast<float>(std::cos((2 * x + 1) * M_PI / 16));
  fdct_8x8(block);
  for (int k = 0; k < 64; ++k) EXPECT_NEAR(block[k], k == 1 ? 282.8427f : 0.0f, 1e-3) << k;
}

struct RoundTrip {
  const char* name;
  size_t width, height, channels;
  uint32_t quality;
};

class EncodeRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(EncodeRoundTrip, DecodesInDjpegPilAndOurs) {
  const auto& p = GetParam();
  const ImageU8 img = test::synthetic_photo(p.width, p.height, p.channels, 7);
  const Bytes file = encode(img, p.quality);
  const auto ours = decode_jpeg(file);
  ASSERT_TRUE(ours.has_value()) << ours.error();
  EXPECT_EQ(ours->width, p.width);
  EXPECT_EQ(ours->height, p.height);
  const ImageU8 rgb = test::to_rgb(img);
  // The synthetic image carries noise of sigma 6, which costs most at low quality.
  EXPECT_GT(test::psnr(*ours, rgb), p.quality >= 80 ? 30.0 : 27.0);
  test::TempDir dir;
  const auto path = dir / "ours.jpg";
  test::write_file_bytes(path, file);
  if (test::have_tool("djpeg")) {
    const auto ref = test::djpeg(path, "-dct float");
    const auto diff = test::pixel_diff(*ours, ref);
    ASSERT_TRUE(diff.same_shape);
    EXPECT_LE(diff.max_abs, 3);
  }
  if (test::have_python_modules("PIL numpy")) {
    const auto r = test::run_command(test::python3() + " -c " +
                                     test::shell_quote("import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
                                                       "im.load(); print(im.size[0], im.size[1], im.mode)") +
                                     " " + test::shell_quote(path.string()));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, std::to_string(p.width) + " " + std::to_string(p.height) + (p.channels == 1 ? " L\n" : " RGB\n"));
  }
}

INSTANTIATE_TEST_SUITE_P(Images, EncodeRoundTrip,
                         ::testing::Values(RoundTrip{"rgb_q82_17x9", 17, 9, 3, 82}, RoundTrip{"rgb_q90_33x20", 33, 20, 3, 90},
                                           RoundTrip{"rgb_q93_64x48", 64, 48, 3, 93}, RoundTrip{"gray_q82_17x9", 17, 9, 1, 82},
                                           RoundTrip{"rgb_q100_1x1", 1, 1, 3, 100}, RoundTrip{"rgb_q50_300x200", 300, 200, 3, 50}),
                         [](const auto& p) { return std::string(p.param.name); });

// At quality 90 a photograph keeps at least 40 dB.
TEST(EncodeJpeg, Quality90KeepsFortyDecibelsOnAPhotograph) {
  TSL_REQUIRE_SHARED_DATA();
  const auto path = test::shared_data_dir() / "jpeg-libjxl-flower" / "flower_cropped.jpg";
  const auto photo = decode_jpeg(test::read_file_bytes(path));
  ASSERT_TRUE(photo.has_value()) << photo.error();
  const auto again = decode_jpeg(encode(*photo, 90));
  ASSERT_TRUE(again.has_value());
  const double db = test::psnr(*again, *photo);
  EXPECT_GE(db, 40.0);
  RecordProperty("psnr_q90", std::to_string(db));
}

}  // namespace
}  // namespace tsl
