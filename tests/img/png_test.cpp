#include "img/png.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "support/test_util.h"
#include "util/deflate.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

using Bytes = std::vector<uint8_t>;

struct Chunk {
  std::string type;
  Bytes data;
  uint32_t crc = 0;
};

uint32_t be32(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
}

std::vector<Chunk> chunks_of(const Bytes& png) {
  std::vector<Chunk> chunks;
  for (size_t at = 8; at + 12 <= png.size();) {
    const uint32_t len = be32(png, at);
    Chunk c;
    c.type.assign(png.begin() + at + 4, png.begin() + at + 8);
    c.data.assign(png.begin() + at + 8, png.begin() + at + 8 + len);
    c.crc = be32(png, at + 8 + len);
    chunks.push_back(c);
    at += 12 + len;
  }
  return chunks;
}

// The filtered rows: the IDAT's zlib stream without its 2-byte header.
Bytes filtered_rows(const Bytes& png, size_t expected) {
  auto chunks = chunks_of(png);
  EXPECT_EQ(chunks.size(), 3u);
  const Bytes& z = chunks.at(1).data;
  auto rows = inflate(std::span(z).subspan(2), expected);
  EXPECT_TRUE(rows.has_value()) << rows.error();
  return rows.value_or(Bytes{});
}

TEST(EncodePng, OneGrayPixel) {
  const Bytes png = encode_png(Bytes{200}, 1, 1, 1, 6);
  EXPECT_EQ(Bytes(png.begin(), png.begin() + 8), (Bytes{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}));
  auto chunks = chunks_of(png);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].type, "IHDR");
  EXPECT_EQ(chunks[0].data, (Bytes{0, 0, 0, 1, 0, 0, 0, 1, 8, 0, 0, 0, 0}));
  EXPECT_EQ(chunks[1].type, "IDAT");
  EXPECT_EQ(filtered_rows(png, 2), (Bytes{1, 200}));
  EXPECT_EQ(Bytes(png.end() - 12, png.end()), (Bytes{0, 0, 0, 0, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82}));
  for (const auto& c : chunks) {
    Bytes covered(c.type.begin(), c.type.end());
    covered.insert(covered.end(), c.data.begin(), c.data.end());
    EXPECT_EQ(c.crc, crc32_bytes(covered)) << c.type;
  }
}

TEST(EncodePng, SubFilterPerChannel) {
  struct Case {
    std::string name;
    Bytes pixels;
    size_t width, height, channels;
    uint8_t colour_type;
    Bytes filtered;
  };
  const Case cases[] = {
      {"two RGB pixels", {10, 20, 30, 15, 25, 40}, 2, 1, 3, 2, {1, 10, 20, 30, 5, 5, 10}},
      {"alpha from 255 to 0", {9, 9, 9, 255, 9, 9, 9, 0}, 2, 1, 4, 6, {1, 9, 9, 9, 255, 0, 0, 0, 1}},
      {"gray with alpha", {5, 255, 3, 255}, 2, 1, 2, 4, {1, 5, 255, 254, 0}},
      {"each row starts fresh", {1, 2, 7, 9}, 2, 2, 1, 0, {1, 1, 1, 1, 7, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes png = encode_png(c.pixels, c.width, c.height, c.channels, 6);
    EXPECT_EQ(chunks_of(png).at(0).data[9], c.colour_type);
    EXPECT_EQ(filtered_rows(png, c.filtered.size()), c.filtered);
  }
}

TEST(EncodePng, LevelsChangeOnlyTheImageData) {
  std::mt19937 rng(4);
  Bytes pixels(64 * 48 * 4);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>((i / 4 % 64) * 3 + rng() % 4);
  auto fast = chunks_of(encode_png(pixels, 64, 48, 4, 1));
  auto slow = chunks_of(encode_png(pixels, 64, 48, 4, 6));
  ASSERT_EQ(fast.size(), 3u);
  ASSERT_EQ(slow.size(), 3u);
  EXPECT_EQ(fast[0].data, slow[0].data);
  EXPECT_EQ(fast[2].data, slow[2].data);
  EXPECT_NE(fast[1].data, slow[1].data);
  EXPECT_EQ(inflate(std::span(fast[1].data).subspan(2), 1 << 20), inflate(std::span(slow[1].data).subspan(2), 1 << 20));
}

TEST(EncodePng, CallerBugsAreInternalErrors) {
  EXPECT_THROW(encode_png(Bytes(5), 2, 1, 3, 6), InternalError);   // short buffer
  EXPECT_THROW(encode_png(Bytes(7), 2, 1, 3, 6), InternalError);   // long buffer
  EXPECT_THROW(encode_png(Bytes(10), 2, 1, 5, 6), InternalError);  // five channels
  EXPECT_THROW(encode_png(Bytes{}, 0, 0, 1, 6), InternalError);    // no pixels
}

// pngcheck judges the files, PIL decodes them back to the same samples.
TEST(EncodePng, PassesPngcheckAndRoundTripsThroughPil) {
  TSL_REQUIRE_TOOL("pngcheck");
  TSL_REQUIRE_PYTHON("PIL");
  test::TempDir dir;
  struct Case {
    size_t width, height, channels;
    unsigned level;
    const char* mode;
  };
  const Case cases[] = {{1, 1, 1, 6, "L"},    {317, 211, 1, 6, "L"},  {40, 30, 2, 6, "LA"},
                        {129, 65, 3, 6, "RGB"}, {200, 120, 4, 1, "RGBA"}, {3, 500, 4, 9, "RGBA"}};
  std::mt19937 rng(12);
  std::string script = "import sys, PIL.Image\nbad = []\n";
  for (size_t k = 0; k < std::size(cases); ++k) {
    const auto& c = cases[k];
    Bytes pixels(c.width * c.height * c.channels);
    for (size_t i = 0; i < pixels.size(); ++i) {
      const size_t x = i / c.channels % c.width;
      pixels[i] = static_cast<uint8_t>(x * 5 + i % c.channels * 60 + rng() % 3);
    }
    const auto png = dir / format("p{}.png", k);
    test::write_file_bytes(png, encode_png(pixels, c.width, c.height, c.channels, c.level));
    test::write_file_bytes(dir / format("p{}.raw", k), pixels);
    auto check = test::run_command("pngcheck -v " + test::shell_quote(png.string()));
    EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
    EXPECT_NE(check.out.find("No errors detected"), std::string::npos) << check.out;
    script += format(
        "im = PIL.Image.open('{}'); im.load()\n"
        "if im.mode != '{}' or im.size != ({}, {}) or im.tobytes() != open('{}', 'rb').read(): bad.append('{}')\n",
        png.string(), c.mode, c.width, c.height, (dir / format("p{}.raw", k)).string(), k);
  }
  script += "print(' '.join(bad) if bad else 'ok')\n";
  test::write_file_text(dir / "check.py", script);
  auto r = test::run_command(test::python3() + " " + test::shell_quote((dir / "check.py").string()));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "ok\n");
}

}  // namespace
}  // namespace tsl
