// A corpus made by cjpeg and jpegtran, decoded by us and by djpeg with the float IDCT (which
// upsamples chroma the same way), compared pixel by pixel.
#include <gtest/gtest.h>

#include "img/jpeg/decode.h"
#include "img/jpeg/jpeg_fixture.h"
#include "support/test_util.h"

namespace tsl {
namespace {

using test::TempDir;

struct Variant {
  const char* name;
  size_t width, height, channels;
  const char* cjpeg_args;     // how the baseline file is made
  const char* jpegtran_args;  // nonempty: the file is then rewritten by jpegtran
};

// The tolerance at full size: our IDCT sums the basis in float in its own order, and our
// colour step is fixed point, so single samples may differ by a few levels.
constexpr int FULL_MAX_DIFF = 3;
constexpr double FULL_MEAN_DIFF = 0.5;

const Variant VARIANTS[] = {
    {"baseline_444", 96, 64, 3, "-quality 90 -sample 1x1", ""},
    {"baseline_422", 96, 64, 3, "-quality 90 -sample 2x1", ""},
    {"baseline_420", 96, 64, 3, "-quality 90 -sample 2x2", ""},
    {"baseline_440", 96, 64, 3, "-quality 90 -sample 1x2", ""},
    {"baseline_gray", 96, 64, 1, "-quality 90 -grayscale", ""},
    {"progressive_444", 96, 64, 3, "-quality 90 -sample 1x1", "-progressive"},
    {"progressive_422", 96, 64, 3, "-quality 90 -sample 2x1", "-progressive"},
    {"progressive_420", 96, 64, 3, "-quality 90 -sample 2x2", "-progressive"},
    {"progressive_440", 96, 64, 3, "-quality 90 -sample 1x2", "-progressive"},
    {"progressive_gray", 96, 64, 1, "-quality 90 -grayscale", "-progressive"},
    {"restart_every_mcu", 96, 64, 3, "-quality 90 -restart 1B", ""},
    {"restart_every_row", 96, 64, 3, "-quality 90 -restart 1", ""},
    {"restart_progressive", 96, 64, 3, "-quality 90 -restart 2B", "-progressive -restart 3B"},
    {"qtables_16bit", 96, 64, 3, "-quality 4", ""},
    {"optimised_huffman", 96, 64, 3, "-quality 90 -optimize", ""},
    {"size_1x1", 1, 1, 3, "-quality 90", ""},
    {"size_1x1_progressive", 1, 1, 3, "-quality 90", "-progressive"},
    {"size_17x9", 17, 9, 3, "-quality 90", ""},
    {"size_17x9_gray", 17, 9, 1, "-quality 90 -grayscale", ""},
    {"size_17x9_progressive", 17, 9, 3, "-quality 90 -sample 2x1", "-progressive"},
    {"size_4001x3001", 4001, 3001, 3, "-quality 85", ""},
    {"size_4001x3001_progressive", 4001, 3001, 3, "-quality 85", "-progressive"},
};

class Conformance : public ::testing::TestWithParam<Variant> {};

// Makes the variant's file in `dir`; returns its path, or empty when a tool failed.
std::filesystem::path make_file(const TempDir& dir, const Variant& v) {
  const auto src = dir / (v.channels == 1 ? "src.pgm" : "src.ppm");
  test::write_pnm(src, test::synthetic_photo(v.width, v.height, v.channels));
  const auto base = dir / "base.jpg";
  if (test::run_command(std::string("cjpeg ") + v.cjpeg_args + " -outfile " + test::shell_quote(base.string()) + " " +
                        test::shell_quote(src.string()))
          .exit_code != 0)
    return {};
  if (std::string(v.jpegtran_args).empty()) return base;
  const auto out = dir / "tran.jpg";
  if (test::run_command(std::string("jpegtran ") + v.jpegtran_args + " -outfile " + test::shell_quote(out.string()) +
                        " " + test::shell_quote(base.string()))
          .exit_code != 0)
    return {};
  return out;
}

TEST_P(Conformance, MatchesDjpegAtEveryScale) {
  TSL_REQUIRE_TOOL("cjpeg");
  TSL_REQUIRE_TOOL("djpeg");
  TSL_REQUIRE_TOOL("jpegtran");
  const Variant& v = GetParam();
  TempDir dir;
  const auto file = make_file(dir, v);
  ASSERT_FALSE(file.empty()) << "cjpeg/jpegtran failed";
  const auto bytes = test::read_file_bytes(file);

  // At 1/2, 1/4 and 1/8 we keep the lowest frequencies of each block, while djpeg's reduced
  // transforms fold the higher ones in: close on average, a few dozen levels apart at edges.
  struct Scale {
    unsigned d;
    int max_diff;
    double mean_diff;
  };
  const Scale scales[] = {{1, FULL_MAX_DIFF, FULL_MEAN_DIFF}, {2, 255, 4.0}, {4, 255, 4.0}, {8, 255, 4.0}};
  for (const auto& s : scales) {
    // The large variants are there for their size; two scales show it.
    if (v.width > 1000 && s.d != 1 && s.d != 8) continue;
    SCOPED_TRACE(testing::Message() << "scale 1/" << s.d);
    const auto ours = decode_jpeg(bytes, s.d);
    ASSERT_TRUE(ours.has_value()) << ours.error();
    const auto ref = test::djpeg(file, s.d == 1 ? "-dct float" : "-dct float -scale 1/" + std::to_string(s.d));
    ASSERT_FALSE(ref.empty());
    const auto diff = test::pixel_diff(*ours, ref);
    ASSERT_TRUE(diff.same_shape) << ours->width << "x" << ours->height << " vs " << ref.width << "x" << ref.height;
    EXPECT_LE(diff.max_abs, s.max_diff);
    EXPECT_LT(diff.mean_abs, s.mean_diff);
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, Conformance, ::testing::ValuesIn(VARIANTS),
                         [](const auto& p) { return std::string(p.param.name); });

// A file cut inside its entropy-coded data decodes: the missing data reads as zero bits. The
// rows before the cut match djpeg, which decodes the same bytes.
TEST(ConformanceTruncated, DecodesThePartBeforeTheCut) {
  TSL_REQUIRE_TOOL("cjpeg");
  TSL_REQUIRE_TOOL("djpeg");
  TSL_REQUIRE_TOOL("jpegtran");
  for (const char* tran : {"", "-progressive"}) {
    SCOPED_TRACE(tran);
    TempDir dir;
    const Variant v{"cut", 256, 256, 3, "-quality 90 -sample 2x2", tran};
    const auto file = make_file(dir, v);
    ASSERT_FALSE(file.empty());
    const auto whole = test::read_file_bytes(file);
    for (double keep : {0.9, 0.6, 0.3, 0.05}) {
      SCOPED_TRACE(keep);
      std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() * keep));
      const auto ours = decode_jpeg(cut);
      ASSERT_TRUE(ours.has_value()) << ours.error();
      EXPECT_EQ(ours->width, 256u);
      EXPECT_EQ(ours->height, 256u);
      if (*tran != 0) continue;  // a cut progressive file lacks whole scans; size is all we ask
      const auto cut_path = dir / "cut.jpg";
      test::write_file_bytes(cut_path, cut);
      const auto ref = test::djpeg(cut_path, "-dct float");
      ASSERT_FALSE(ref.empty());
      // Rows of the first MCU row are complete in every cut but the last; compare them.
      if (keep < 0.1) continue;
      const size_t rows = 16;
      ImageU8 a(256, rows, 3), b(256, rows, 3);
      std::copy_n(ours->data.begin(), a.data.size(), a.data.begin());
      std::copy_n(ref.data.begin(), b.data.size(), b.data.begin());
      const auto diff = test::pixel_diff(a, b);
      EXPECT_LE(diff.max_abs, FULL_MAX_DIFF);
    }
  }
}

}  // namespace
}  // namespace tsl
