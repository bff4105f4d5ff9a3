#include "imageio/load_image.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "cache/cache_key.h"
#include "cache/disk_cache.h"
#include "img/dng/tiff_builder.h"
#include "img/jpeg/encode.h"
#include "imageio/srgb.h"
#include "logx.h"
#include "support/test_util.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;
using test::longs;
using test::set_entry;
using test::shorts;
using test::TempDir;
using test::TestIfd;

// A LinearRaw DNG of w x h pixels whose red, green and blue samples are given per pixel by
// `value` (16 bits, black 0, white 65535, no colour tags: the development is the identity),
// with the Orientation `orientation` in IFD0.
template <typename F>
std::vector<uint8_t> linear_dng(uint64_t w, uint64_t h, F value, uint64_t orientation = 1) {
  std::vector<uint16_t> samples;
  for (uint64_t y = 0; y < h; ++y)
    for (uint64_t x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) samples.push_back(value(x, y, c));
  TestIfd ifd = test::cfa_ifd(w, h, 16, {test::u16_bytes(samples)}, h);
  set_entry(ifd, shorts(262, {34892}));
  set_entry(ifd, shorts(277, {3}));
  set_entry(ifd, shorts(258, {16, 16, 16}));
  ifd.entries.push_back(shorts(274, {orientation}));
  return test::build_tiff({ifd});
}

ImageMeta photo(const fs::path& path, uint64_t w, uint64_t h, bool dng) {
  ImageMeta m;
  m.path = path;
  m.width = w;
  m.height = h;
  m.is_dng = dng;
  return m;
}

DecodedImage load_ok(const ImageMeta& m, double scale) {
  auto img = load_image(m, scale);
  EXPECT_TRUE(img.has_value()) << img.error();
  return img ? std::move(*img) : DecodedImage{};
}

// Every test owns the process-wide cache settings: a fresh folder, or the cache off.
class LoadImage : public testing::Test {
 protected:
  TempDir dir;
  void SetUp() override { configure_disk_cache((dir / "cache").string(), 0.0); }
  void TearDown() override { configure_disk_cache((dir / "cache").string(), 0.0); }
};

TEST_F(LoadImage, DngScaleChoosesHalfSizeDevelopmentAndShrinksOnlyWhenTooLarge) {
  test::write_file_bytes(dir / "a.dng", linear_dng(40, 30, [](auto x, auto y, int c) { return uint16_t(x * 1000 + c); }));
  const ImageMeta m = photo(dir / "a.dng", 40, 30, true);
  struct Case {
    double scale;
    size_t width, height;
  };
  const Case cases[] = {
      {1.0, 40, 30}, {2.0, 40, 30},   // never enlarged
      {0.6, 24, 18},                  // full size reduced by 0.6
      {0.5, 20, 15},                  // half-size development, nothing more
      {0.49, 20, 15},                 // 0.5 is not more than 5 % above 0.49
      {0.4, 16, 12},                  // the half-size image reduced by 0.8
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scale);
    const DecodedImage img = load_ok(m, c.scale);
    EXPECT_EQ(img.image.width, c.width);
    EXPECT_EQ(img.image.height, c.height);
    EXPECT_EQ(img.image.channels, 3u);
    EXPECT_DOUBLE_EQ(img.scale_x, c.width / 40.0);
    EXPECT_DOUBLE_EQ(img.scale_y, c.height / 30.0);
  }
  // The identity development gives the samples back at full size.
  const DecodedImage full = load_ok(m, 1.0);
  EXPECT_EQ(full.image.row(2)[3 * 7 + 1], 7001);
}

TEST_F(LoadImage, JpegScalesUseTheReducedDecodes) {
  ImageU8 rgb(400, 300, 3);
  for (size_t i = 0; i < rgb.data.size(); ++i) rgb.data[i] = static_cast<uint8_t>((i / 3) % 251);
  auto jpeg = encode_jpeg(rgb, 90);
  ASSERT_TRUE(jpeg);
  test::write_file_bytes(dir / "a.jpg", *jpeg);
  struct Case {
    double scale;
    uint64_t meta_w, meta_h;
    size_t width, height;
  };
  const Case cases[] = {
      {0.5, 400, 300, 200, 150},   // decoded at 1/2, nothing more
      {0.127, 400, 300, 50, 38},   // 1/8 within 2 %: kept as decoded
      {0.3, 400, 300, 120, 90},    // 1/2, then reduced by 0.6
      {0.97, 400, 300, 400, 300},  // full size
      {1.0, 800, 600, 400, 300},   // smaller than its metadata: scale 0.5
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scale);
    const DecodedImage img = load_ok(photo(dir / "a.jpg", c.meta_w, c.meta_h, false), c.scale);
    EXPECT_EQ(img.image.width, c.width);
    EXPECT_EQ(img.image.height, c.height);
    EXPECT_DOUBLE_EQ(img.scale_x, double(c.width) / c.meta_w);
    EXPECT_DOUBLE_EQ(img.scale_y, double(c.height) / c.meta_h);
  }
}

TEST_F(LoadImage, TiffSamplesGoThroughTheSrgbTable) {
  // An 8-bit RGB strip image: sample 128 becomes 14146.
  TestIfd ifd;
  ifd.entries = {longs(256, {2}),         longs(257, {1}),   shorts(258, {8, 8, 8}), shorts(259, {1}),
                 shorts(262, {2}),        shorts(277, {3}),  longs(278, {1})};
  ifd.pieces = {{128, 0, 255, 10, 11, 1}};
  test::write_file_bytes(dir / "a.TIF", test::build_tiff({ifd}));
  const DecodedImage img = load_ok(photo(dir / "a.TIF", 2, 1, false), 1.0);
  EXPECT_EQ(img.image.data, (std::vector<uint16_t>{14146, 0, 65535, 199, 219, 20}));
}

TEST_F(LoadImage, SecondDngLoadIsACacheHitWithTheSameSamples) {
  configure_disk_cache((dir / "cache").string(), 1.0);
  test::write_file_bytes(dir / "a.dng",
                         linear_dng(16, 8, [](auto x, auto y, int c) { return uint16_t(x * 3000 + y * 10 + c); }));
  const ImageMeta m = photo(dir / "a.dng", 16, 8, true);
  const DecodedImage first = load_ok(m, 0.12344);
  EXPECT_EQ(cache_stats().hits, 0u);
  // 0.12336 rounds to the same four decimals: the same entry serves it.
  const DecodedImage second = load_ok(m, 0.12336);
  EXPECT_EQ(cache_stats().hits, 1u);
  EXPECT_EQ(second.image.data, first.image.data);
  EXPECT_EQ(second.image.width, first.image.width);
  EXPECT_DOUBLE_EQ(second.scale_x, first.scale_x);
  EXPECT_DOUBLE_EQ(second.scale_y, first.scale_y);
  // JPEG and TIFF photos never touch the cache.
  EXPECT_EQ(cache_stats().misses, 1u);
}

TEST_F(LoadImage, DamagedCacheRecordsAreDecodedAgainAndReplaced) {
  configure_disk_cache((dir / "cache").string(), 1.0);
  test::write_file_bytes(dir / "a.dng", linear_dng(6, 4, [](auto x, auto, int) { return uint16_t(x * 100); }));
  const ImageMeta m = photo(dir / "a.dng", 6, 4, true);
  const std::string key = cache_key({"dec", *file_fingerprint(m.path), cache_scale_text(1.0), lens_kinds_text(m)});
  CacheRecord wrong;
  wrong.put_f64_pair("dims", 6, 4);
  wrong.put_u16s("img", std::vector<uint16_t>(5, 7));  // not 6 x 4 x 3 samples
  cache_store("decoded", key, wrong);
  const DecodedImage img = load_ok(m, 1.0);
  EXPECT_EQ(img.image.width, 6u);
  EXPECT_EQ(img.image.row(0)[3 * 5], 500);
  auto stored = cache_load("decoded", key, 1 << 20);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->get_u16s("img")->size(), 6u * 4u * 3u);
}

TEST_F(LoadImage, CacheKeyParts) {
  EXPECT_EQ(cache_scale_text(1.0), "1");
  EXPECT_EQ(cache_scale_text(0.5), "0.5");
  EXPECT_EQ(cache_scale_text(0.123456), "0.1235");
  EXPECT_EQ(cache_scale_text(0.12344), cache_scale_text(0.12336));
  ImageMeta m;
  EXPECT_EQ(lens_kinds_text(m), "()");
  m.lens_ops = {VignOp{}};
  EXPECT_EQ(lens_kinds_text(m), "('vign')");
  m.lens_ops = {WarpOp{}, VignOp{}, GainOp{}};
  EXPECT_EQ(lens_kinds_text(m), "('warp', 'vign', 'gain')");
}

TEST_F(LoadImage, LensItemsApplyInSensorOrientation) {
  // The sensor image brightens along its columns (a gain map of two columns, 1 and 2); with
  // Orientation 6 the sensor's columns become the output's rows, so the output brightens
  // from top to bottom and stays level along each row.
  test::write_file_bytes(dir / "r.dng", linear_dng(8, 4, [](auto, auto, int) { return uint16_t(10000); }, 6));
  ImageMeta m = photo(dir / "r.dng", 4, 8, true);
  GainOp gain;
  gain.points_v = 1, gain.points_h = 2, gain.map_planes = 1, gain.planes = 3;
  gain.spacing_v = 1.0, gain.spacing_h = 1.0;
  gain.gains = {1.0f, 2.0f};
  m.lens_ops = {gain};
  const DecodedImage img = load_ok(m, 1.0);
  ASSERT_EQ(img.image.width, 4u);
  ASSERT_EQ(img.image.height, 8u);
  for (size_t y = 0; y < 8; ++y) {
    const uint16_t expected = static_cast<uint16_t>(std::lround(10000 * (1.0 + (y + 0.5) / 8)));
    for (size_t x = 0; x < 4; ++x) EXPECT_EQ(img.image.row(y)[3 * x], expected) << x << ", " << y;
  }
}

TEST_F(LoadImage, TransposingOrientationsMatchTheSwappedMetadataSize) {
  // Orientations 5 and 7 swap the sides (the metadata reader gives 4 x 6 for a 6 x 4
  // sensor): the image is transposed, or turned across, to match.
  for (uint64_t orientation : {5, 7}) {
    SCOPED_TRACE(orientation);
    test::write_file_bytes(dir / "t.dng",
                           linear_dng(6, 4, [](auto x, auto y, int) { return uint16_t(y * 10 + x); }, orientation));
    const DecodedImage img = load_ok(photo(dir / "t.dng", 4, 6, true), 1.0);
    ASSERT_EQ(img.image.width, 4u);
    ASSERT_EQ(img.image.height, 6u);
    EXPECT_DOUBLE_EQ(img.scale_x, 1.0);
    EXPECT_DOUBLE_EQ(img.scale_y, 1.0);
    // Transpose: output (u, v) is sensor (v, u). Transverse: sensor (5 - v, 3 - u).
    for (size_t v = 0; v < 6; ++v)
      for (size_t u = 0; u < 4; ++u) {
        const uint16_t want = orientation == 5 ? uint16_t(u * 10 + v) : uint16_t((3 - u) * 10 + (5 - v));
        EXPECT_EQ(img.image.row(v)[3 * u], want) << u << ", " << v;
      }
  }
}

TEST_F(LoadImage, BadLensItemsAreSkippedWithAWarning) {
  test::write_file_bytes(dir / "g.dng", linear_dng(4, 4, [](auto, auto, int) { return uint16_t(1000); }));
  ImageMeta m = photo(dir / "g.dng", 4, 4, true);
  GainOp empty;  // no map points: no position range exists
  empty.planes = 3;
  VignOp broken;
  broken.k1 = std::numeric_limits<double>::quiet_NaN();
  m.lens_ops = {empty, broken};
  auto capture = std::make_shared<CaptureList>();
  set_log_capture(capture);
  const DecodedImage img = load_ok(m, 1.0);
  set_log_capture(nullptr);
  for (uint16_t v : img.image.data) ASSERT_EQ(v, 1000);
  ASSERT_EQ(capture->lines.size(), 2u);
  EXPECT_EQ(capture->lines[0], "  warning: g.dng: gain correction skipped (gain map of 0x0 points and 0 planes)");
  EXPECT_EQ(capture->lines[1], "  warning: g.dng: vign correction skipped (non-finite vignetting coefficient)");
}

TEST_F(LoadImage, ErrorsNameTheFileAndStoreNothing) {
  configure_disk_cache((dir / "cache").string(), 1.0);
  const fs::path missing = dir / "missing.dng";
  auto none = load_image(photo(missing, 4, 4, true), 1.0);
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().rfind("cannot read " + missing.string() + ": ", 0), 0u) << none.error();

  test::write_file_bytes(dir / "bad.jpg", {0xFF, 0xD8, 0x00, 0x01});
  auto jpeg = load_image(photo(dir / "bad.jpg", 4, 4, false), 1.0);
  ASSERT_FALSE(jpeg);
  EXPECT_EQ(jpeg.error().rfind("cannot read " + (dir / "bad.jpg").string() + ": ", 0), 0u) << jpeg.error();

  test::write_file_bytes(dir / "bad.tif", {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0});
  auto tiff = load_image(photo(dir / "bad.tif", 4, 4, false), 1.0);
  ASSERT_FALSE(tiff);
  EXPECT_EQ(tiff.error().rfind("cannot read " + (dir / "bad.tif").string() + ": ", 0), 0u) << tiff.error();

  // A DNG that cannot be developed gives the developer's message after the file's name (the
  // render used to end a build with the bare message), and leaves no cache entry behind.
  TestIfd ifd = test::cfa_ifd(4, 4, 16, {std::vector<uint8_t>(32, 0)}, 4);
  set_entry(ifd, shorts(259, {99}));
  test::write_file_bytes(dir / "odd.dng", test::build_tiff({ifd}));
  auto dng = load_image(photo(dir / "odd.dng", 4, 4, true), 1.0);
  ASSERT_FALSE(dng);
  EXPECT_EQ(dng.error(), "cannot read " + (dir / "odd.dng").string() + ": DNG compression 99 not supported");
  EXPECT_EQ(cache_dir_info().files, 0u);
}

}  // namespace
}  // namespace tsl
