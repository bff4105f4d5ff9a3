// The vector road of the codec's hot loops against the plain road: the same bytes and pixels,
// bit for bit, for every sampling, both frame kinds, odd sizes and every scale.
#include <gtest/gtest.h>

#include "img/jpeg/decode.h"
#include "img/jpeg/encode.h"
#include "img/jpeg/jpeg_fixture.h"
#include "img/jpeg/simd.h"
#include "support/cpu_paths.h"
#include "support/test_util.h"

namespace tsl {
namespace {

// The vector road as TSL_CPU_FEATURES leaves it, when the processor has one.
bool have_vector_road() { return jpeg_vector_path(); }

TEST(JpegVectorPath, DecodesTheSamePixelsAsThePlainPath) {
  if (!have_vector_road()) GTEST_SKIP() << "no vector road on this processor, or TSL_CPU_FEATURES turns it off";
  TSL_REQUIRE_TOOL("cjpeg");
  test::TempDir dir;
  const char* samplings[] = {"-sample 2x2", "-sample 2x1", "-sample 1x2", "-sample 1x1", "-grayscale"};
  // Quality 100 fills whole blocks (every row and column of the transform in use, clamping at
  // both ends); 85 leaves the sparse blocks and DC-only blocks most photographs have.
  for (const char* sampling : samplings) {
    for (const char* extra : {" -quality 85", " -quality 85 -progressive", " -quality 100"}) {
      SCOPED_TRACE(std::string(sampling) + extra);
      const bool gray = std::string(sampling) == "-grayscale";
      const auto src = dir / (gray ? "src.pgm" : "src.ppm");
      test::write_pnm(src, test::synthetic_photo(203, 77, gray ? 1 : 3));
      const auto file = dir / "f.jpg";
      ASSERT_EQ(test::run_command(std::string("cjpeg ") + sampling + extra + " -outfile " +
                                  test::shell_quote(file.string()) + " " + test::shell_quote(src.string()))
                    .exit_code,
                0);
      const auto bytes = test::read_file_bytes(file);
      for (unsigned d : {1u, 2u, 4u, 8u}) {
        const auto vec = decode_jpeg(bytes, d);
        test::ScopedCpuFeatures plain_road({});
        const auto plain = decode_jpeg(bytes, d);
        ASSERT_TRUE(vec && plain);
        EXPECT_EQ(vec->data, plain->data) << "scale 1/" << d;
      }
    }
  }
}

TEST(JpegVectorPath, EncodesTheSameBytesAsThePlainPath) {
  if (!have_vector_road()) GTEST_SKIP() << "no vector road on this processor, or TSL_CPU_FEATURES turns it off";
  for (size_t channels : {1u, 3u}) {
    const ImageU8 image = test::synthetic_photo(203, 77, channels);
    for (uint32_t quality : {50u, 82u, 92u}) {
      SCOPED_TRACE(testing::Message() << channels << " channels, quality " << quality);
      const auto vec = encode_jpeg(image, quality);
      test::ScopedCpuFeatures plain_road({});
      const auto plain = encode_jpeg(image, quality);
      ASSERT_TRUE(vec && plain);
      EXPECT_EQ(*vec, *plain);
    }
  }
}

}  // namespace
}  // namespace tsl
