// Subsampled chroma at image sizes that are not whole MCUs: the last output column and row must
// interpolate only between real chroma samples, never the blocks' padding. Cameras fill that
// padding with whatever their sensor had there; so do these files: a picture of whole MCUs
// whose outside part is a loud magenta is encoded by cjpeg and its frame header then declares
// the smaller size. Compared with djpeg's float IDCT and fancy upsampling at every sampling,
// baseline and progressive.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "img/jpeg/decode.h"
#include "img/jpeg/jpeg_fixture.h"
#include "support/test_util.h"

namespace tsl {
namespace {

using test::TempDir;

struct EdgeSize {
  size_t width, height;
};

const EdgeSize SIZES[] = {{1, 1}, {2, 2}, {15, 9}, {17, 17}, {300, 300}, {301, 299}, {4001, 3001}};

struct Sampling {
  const char* name;
  const char* cjpeg_sample;
};

const Sampling SAMPLINGS[] = {{"420", "2x2"}, {"422", "2x1"}, {"440", "1x2"}};

struct Stats {
  int max_abs = 0;
  double sum = 0;
  size_t count = 0;
  void add(int a, int b) {
    const int d = std::abs(a - b);
    max_abs = std::max(max_abs, d);
    sum += d;
    ++count;
  }
  double mean() const { return count == 0 ? 0.0 : sum / static_cast<double>(count); }
};

// Over the whole image and over its last column and last row alone.
void compare(const ImageU8& ours, const ImageU8& ref, Stats& all, Stats& edge) {
  const size_t w = ours.width, h = ours.height;
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x)
      for (size_t c = 0; c < 3; ++c) {
        const size_t i = (y * w + x) * 3 + c;
        all.add(ours.data[i], ref.data[i]);
        if (x == w - 1 || y == h - 1) edge.add(ours.data[i], ref.data[i]);
      }
}

// Rewrites the size in the frame header (SOF0 or SOF2) of a JPEG file.
bool declare_size(std::vector<uint8_t>& file, size_t width, size_t height) {
  for (size_t i = 2; i + 9 < file.size(); ++i) {
    if (file[i] != 0xFF || (file[i + 1] != 0xC0 && file[i + 1] != 0xC2)) continue;
    file[i + 5] = static_cast<uint8_t>(height >> 8);
    file[i + 6] = static_cast<uint8_t>(height);
    file[i + 7] = static_cast<uint8_t>(width >> 8);
    file[i + 8] = static_cast<uint8_t>(width);
    return true;
  }
  return false;
}

class DecodeEdges : public ::testing::TestWithParam<EdgeSize> {};

TEST_P(DecodeEdges, MatchesDjpegUpToTheLastRowAndColumn) {
  TSL_REQUIRE_TOOL("cjpeg");
  TSL_REQUIRE_TOOL("djpeg");
  const EdgeSize size = GetParam();
  // Whole luma blocks, the part past the declared size magenta. Rounding to 8 rather than to the
  // MCU keeps every component's block count the same at both sizes, which the single-component
  // scans of a progressive file depend on; cjpeg pads on to whole MCUs itself.
  const size_t full_w = (size.width + 7) / 8 * 8, full_h = (size.height + 7) / 8 * 8;
  ImageU8 picture = test::synthetic_photo(full_w, full_h, 3, 7);
  for (size_t y = 0; y < full_h; ++y)
    for (size_t x = 0; x < full_w; ++x)
      if (x >= size.width || y >= size.height) {
        uint8_t* p = picture.row(y) + 3 * x;
        p[0] = 255, p[1] = 0, p[2] = 255;
      }
  TempDir dir;
  const auto src = dir / "src.ppm";
  test::write_pnm(src, picture);
  // The 12-megapixel size costs seconds per file: in ordinary runs only 4:2:0 shows it.
  const bool all = size.width * size.height < 1000000 || std::getenv("TSL_SLOW_TESTS") != nullptr;
  for (const Sampling& s : SAMPLINGS) {
    if (!all && std::string(s.name) != "420") continue;
    for (bool progressive : {false, true}) {
      SCOPED_TRACE(testing::Message() << s.name << (progressive ? " progressive" : " baseline"));
      const auto file = dir / "edge.jpg";
      const std::string args = std::string("-quality 90 -sample ") + s.cjpeg_sample + (progressive ? " -progressive" : "");
      ASSERT_EQ(test::run_command("cjpeg " + args + " -outfile " + test::shell_quote(file.string()) + " " +
                                  test::shell_quote(src.string()))
                    .exit_code,
                0);
      auto bytes = test::read_file_bytes(file);
      ASSERT_TRUE(declare_size(bytes, size.width, size.height));
      test::write_file_bytes(file, bytes);
      const auto ours = decode_jpeg(bytes);
      ASSERT_TRUE(ours.has_value()) << ours.error();
      const auto ref = test::djpeg(file, "-dct float");
      ASSERT_EQ(ref.width, size.width);
      ASSERT_EQ(ref.height, size.height);
      ASSERT_EQ(ours->width, size.width);
      ASSERT_EQ(ours->height, size.height);
      Stats whole, edge;
      compare(*ours, ref, whole, edge);
      EXPECT_LE(whole.max_abs, 3);
      EXPECT_LT(whole.mean(), 0.5);
      EXPECT_LE(edge.max_abs, 3) << "mean " << edge.mean();
      EXPECT_LT(edge.mean(), 0.5);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, DecodeEdges, ::testing::ValuesIn(SIZES), [](const auto& p) {
  return std::to_string(p.param.width) + "x" + std::to_string(p.param.height);
});

}  // namespace
}  // namespace tsl
