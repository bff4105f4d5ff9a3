// Real files from ../shared/data: conformance sets with PNG references, hostile inputs, and
// the drone photographs the program exists for.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "img/jpeg/decode.h"
#include "img/jpeg/jpeg_fixture.h"
#include "support/test_util.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

std::expected<ImageU8, std::string> decode_file(const fs::path& path, unsigned denominator = 1) {
  return decode_jpeg(test::read_file_bytes(path), denominator);
}

// Reads PNG references as RGB through Debian's python3 and PIL, all in one process; an empty
// image for a file that could not be read.
std::vector<ImageU8> pngs_as_rgb(const std::vector<fs::path>& pngs) {
  test::TempDir dir;
  std::string args;
  for (size_t i = 0; i < pngs.size(); ++i)
    args += " " + test::shell_quote(pngs[i].string()) + " " + test::shell_quote((dir / (std::to_string(i) + ".ppm")).string());
  test::run_command(test::python3() + " -c " +
                    test::shell_quote("import sys; from PIL import Image\n"
                                      "for s, d in zip(sys.argv[1::2], sys.argv[2::2]): Image.open(s).convert('RGB').save(d)") +
                    args);
  std::vector<ImageU8> out;
  for (size_t i = 0; i < pngs.size(); ++i) out.push_back(test::read_pnm(dir / (std::to_string(i) + ".ppm")));
  return out;
}

TEST(DecodeRealData, GoSetProgressiveEqualsBaseline) {
  TSL_REQUIRE_SHARED_DATA();
  const fs::path dir = test::shared_data_dir() / "jpeg-go-stdlib";
  const char* stems[] = {"video-001", "video-001.q50.410", "video-001.q50.411", "video-001.q50.420",
                         "video-001.q50.422", "video-001.q50.440", "video-001.q50.444", "video-005.gray.q50",
                         "video-005.gray.q50.2x2", "video-001.separate.dc.progression"};
  for (const char* stem : stems) {
    SCOPED_TRACE(stem);
    const auto base = decode_file(dir / (std::string(stem) + ".jpeg"));
    const auto prog = decode_file(dir / (std::string(stem) + ".progressive.jpeg"));
    ASSERT_TRUE(base.has_value()) << base.error();
    ASSERT_TRUE(prog.has_value()) << prog.error();
    EXPECT_EQ(base->width, 150u);
    EXPECT_EQ(base->height, 103u);
    EXPECT_EQ(base->data, prog->data);
  }
}

// The Go references were made by another IDCT and plain upsampling for the 4:1:x files, so
// they are compared loosely; the CMYK file is refused.
TEST(DecodeRealData, GoSetMatchesItsPngReferences) {
  TSL_REQUIRE_SHARED_DATA();
  TSL_REQUIRE_PYTHON("PIL");
  const fs::path dir = test::shared_data_dir() / "jpeg-go-stdlib";
  struct Case {
    const char* stem;
    int max_diff;
    double mean_diff;
  };
  const Case cases[] = {{"video-001", 8, 1.0},
                        {"video-001.221212", 40, 1.5},
                        {"video-001.progressive.truncated", 8, 1.0},
                        {"video-001.rgb", 100, 5.0},
                        {"video-005.gray", 8, 1.0}};
  std::vector<fs::path> pngs;
  for (const auto& c : cases) pngs.push_back(dir / (std::string(c.stem) + ".png"));
  const auto refs = pngs_as_rgb(pngs);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.stem);
    const auto ours = decode_file(dir / (std::string(c.stem) + ".jpeg"));
    ASSERT_TRUE(ours.has_value()) << ours.error();
    const auto diff = test::pixel_diff(*ours, refs[i]);
    ASSERT_TRUE(diff.same_shape);
    EXPECT_LE(diff.max_abs, c.max_diff);
    EXPECT_LT(diff.mean_abs, c.mean_diff);
  }
  const auto cmyk = decode_file(dir / "video-001.cmyk.jpeg");
  ASSERT_FALSE(cmyk.has_value());
  EXPECT_EQ(cmyk.error(), "CMYK/YCCK JPEG not supported");
}

TEST(DecodeRealData, FlowerEncodingsDecodeLikeDjpeg) {
  TSL_REQUIRE_SHARED_DATA();
  TSL_REQUIRE_TOOL("djpeg");
  const fs::path dir = test::shared_data_dir() / "jpeg-libjxl-flower";
  std::map<std::string, ImageU8> decoded;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() != ".jpg") continue;
    const std::string name = entry.path().filename().string();
    SCOPED_TRACE(name);
    auto ours = decode_file(entry.path());
    ASSERT_TRUE(ours.has_value()) << ours.error();
    const auto ref = test::djpeg(entry.path(), "-dct float");
    const auto diff = test::pixel_diff(*ours, ref);
    ASSERT_TRUE(diff.same_shape);
    EXPECT_LE(diff.max_abs, 8);
    EXPECT_LT(diff.mean_abs, 0.5);
    decoded[name] = std::move(*ours);
  }
  // Files the set describes as the same pixels in another arrangement.
  const std::pair<const char*, const char*> same[] = {
      {"flower.png.im_q85_420.jpg", "flower.png.im_q85_420_progr.jpg"},
      {"flower.png.im_q85_444.jpg", "flower.png.im_q85_444_1x2.jpg"},
      {"flower_small.q85_420_non_interleaved.jpg", "flower_small.q85_420_partially_interleaved.jpg"},
      {"flower_small.q85_444_non_interleaved.jpg", "flower_small.q85_444_partially_interleaved.jpg"},
  };
  for (const auto& [a, b] : same) {
    SCOPED_TRACE(a);
    ASSERT_TRUE(decoded.count(a) && decoded.count(b));
    EXPECT_EQ(decoded[a].data, decoded[b].data);
  }
}

TEST(DecodeRealData, ImageRsReferencesAndRefusals) {
  TSL_REQUIRE_SHARED_DATA();
  TSL_REQUIRE_PYTHON("PIL");
  const fs::path dir = test::shared_data_dir() / "jpeg-image-rs-reftest" / "reftest" / "images";
  // Files whose reference was made another way: the 2x2-sampled gray pair's PNGs disagree with
  // djpeg too, and at chroma widths of 2 or less libjpeg replicates instead of interpolating.
  const std::map<std::string, std::string> refused = {
      {"ycck.jpg", "CMYK/YCCK JPEG not supported"},
      {"mozilla/jpg-cmyk-1.jpg", "CMYK/YCCK JPEG not supported"},
      {"mozilla/jpg-cmyk-2.jpg", "CMYK/YCCK JPEG not supported"},
      {"mjpeg.jpg", "missing DC table"},
      {"mozilla/jpg-size-6x6.jpg", "not a JPEG"},
  };
  const char* other_reference[] = {"grayscale_16x24_sampling2x2.jpg", "grayscale_24x16_sampling2x2.jpg",
                                   "mozilla/jpg-size-2x2.jpg", "mozilla/jpg-size-3x3.jpg", "mozilla/jpg-size-4x4.jpg"};
  std::vector<std::pair<std::string, ImageU8>> to_compare;
  std::vector<fs::path> pngs;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.path().extension() != ".jpg" || entry.path().string().find("lossless") != std::string::npos) continue;
    const std::string rel = fs::relative(entry.path(), dir).generic_string();
    SCOPED_TRACE(rel);
    auto ours = decode_file(entry.path());
    if (auto it = refused.find(rel); it != refused.end()) {
      ASSERT_FALSE(ours.has_value());
      EXPECT_EQ(ours.error(), it->second);
      continue;
    }
    ASSERT_TRUE(ours.has_value()) << ours.error();
    const fs::path png = fs::path(entry.path()).replace_extension(".png");
    if (!fs::exists(png) || std::find(std::begin(other_reference), std::end(other_reference), rel) != std::end(other_reference))
      continue;
    to_compare.emplace_back(rel, std::move(*ours));
    pngs.push_back(png);
  }
  const auto refs = pngs_as_rgb(pngs);
  size_t compared = 0;
  for (size_t i = 0; i < refs.size(); ++i) {
    SCOPED_TRACE(to_compare[i].first);
    const auto diff = test::pixel_diff(to_compare[i].second, refs[i]);
    ASSERT_TRUE(diff.same_shape);
    EXPECT_LE(diff.max_abs, 8);
    EXPECT_LT(diff.mean_abs, 2.5);
    ++compared;
  }
  EXPECT_GE(compared, 25u);
}

TEST(DecodeRealData, LosslessFilesAreRefusedButProbed) {
  TSL_REQUIRE_SHARED_DATA();
  const fs::path dir = test::shared_data_dir() / "jpeg-image-rs-reftest" / "reftest" / "images" / "lossless";
  size_t seen = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.path().extension() != ".jpg") continue;
    SCOPED_TRACE(entry.path().filename().string());
    const auto bytes = test::read_file_bytes(entry.path());
    const auto img = decode_jpeg(bytes);
    ASSERT_FALSE(img.has_value());
    EXPECT_EQ(img.error(), "unsupported JPEG process (lossless/arithmetic)");
    const auto info = probe_jpeg(bytes);
    ASSERT_TRUE(info.has_value());
    EXPECT_GT(info->width, 0u);
    ++seen;
  }
  EXPECT_GE(seen, 10u);
}

// Malformed and hostile files: each decodes or returns a message, at every scale.
TEST(DecodeRealData, CrashInputsFailCleanly) {
  TSL_REQUIRE_SHARED_DATA();
  const fs::path dir = test::shared_data_dir() / "jpeg-image-rs-reftest" / "crashtest";
  size_t files = 0, failed = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
    SCOPED_TRACE(entry.path().filename().string());
    const auto bytes = test::read_file_bytes(entry.path());
    for (unsigned d : {1u, 8u}) {
      const auto img = decode_jpeg(bytes, d);
      if (!img) {
        EXPECT_FALSE(img.error().empty());
        failed += d == 1;
        continue;
      }
      EXPECT_EQ(img->data.size(), img->width * img->height * 3);
    }
    ++files;
  }
  EXPECT_GE(files, 100u);
  EXPECT_GT(failed, 0u);
}

// The 18 drone photographs: 4:2:2 with restart intervals and a second JPEG after the first.
TEST(DecodeRealData, DronePhotosDecode) {
  TSL_REQUIRE_SHARED_DATA();
  const fs::path dir = test::shared_data_dir() / "dji-phantom3-brighton-beach";
  size_t photos = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() != ".JPG") continue;
    SCOPED_TRACE(entry.path().filename().string());
    const auto bytes = test::read_file_bytes(entry.path());
    const auto info = probe_jpeg(bytes);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->width, 4000u);
    EXPECT_EQ(info->height, 2250u);
    EXPECT_EQ(info->components, 3u);
    const auto small = decode_jpeg(bytes, 8);
    ASSERT_TRUE(small.has_value()) << small.error();
    EXPECT_EQ(small->width, 500u);
    EXPECT_EQ(small->height, 282u);
    ++photos;
  }
  EXPECT_EQ(photos, 18u);
}

TEST(DecodeRealData, DronePhotoMatchesDjpegAtFullSize) {
  TSL_REQUIRE_SHARED_DATA();
  TSL_REQUIRE_TOOL("djpeg");
  const fs::path path = test::shared_data_dir() / "dji-phantom3-brighton-beach" / "DJI_0018.JPG";
  const auto ours = decode_file(path);
  ASSERT_TRUE(ours.has_value()) << ours.error();
  const auto diff = test::pixel_diff(*ours, test::djpeg(path, "-dct float"));
  ASSERT_TRUE(diff.same_shape);
  EXPECT_LE(diff.max_abs, 4);
  EXPECT_LT(diff.mean_abs, 0.5);
}

}  // namespace
}  // namespace tsl
