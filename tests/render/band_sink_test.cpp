#include "render/band_sink.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/test_util.h"
#include "util/text.h"

namespace tsl {
namespace {

// A band over `width` columns whose pixel (x, y0 + r) holds the linear grey `value` and is
// covered where x < covered_cols.
struct Band {
  ImageF32 rgb;
  std::vector<uint8_t> mask;
};

Band grey_band(uint64_t width, uint64_t rows, float value, uint64_t covered_cols) {
  Band b{ImageF32(width, rows, 3), std::vector<uint8_t>(width * rows, 0)};
  for (uint64_t r = 0; r < rows; ++r)
    for (uint64_t x = 0; x < width; ++x) {
      for (int c = 0; c < 3; ++c) b.rgb.data[(r * width + x) * 3 + c] = value;
      b.mask[r * width + x] = x < covered_cols ? 1 : 0;
    }
  return b;
}

TEST(WriteOutputRow, CoveredPixelsAtFullScaleUncoveredAllZero) {
  struct Case {
    double scale;
    float value;
    std::array<uint16_t, 4> covered;
  };
  const Case cases[] = {{65535.0, 1.0f, {65535, 65535, 65535, 65535}},
                        {255.0, 1.0f, {255, 255, 255, 255}},
                        {255.0, 0.5f, {188, 188, 188, 255}},
                        {255.0, 7.0f, {255, 255, 255, 255}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(format("{} {}", c.scale, c.value));
    const Band b = grey_band(3, 1, c.value, 2);
    std::vector<uint16_t> out(12, 77);
    write_output_row(b.rgb, b.mask, ToneSettings{}, c.scale, 0, out);
    EXPECT_EQ((std::array<uint16_t, 4>{out[0], out[1], out[2], out[3]}), c.covered);
    EXPECT_EQ((std::array<uint16_t, 4>{out[4], out[5], out[6], out[7]}), c.covered);
    EXPECT_EQ((std::array<uint16_t, 4>{out[8], out[9], out[10], out[11]}), (std::array<uint16_t, 4>{0, 0, 0, 0}));
  }
}

// An image 1300 wide and 1100 high in bands of 1024 and 76 rows: 2 x 3 tiles, the third
// column of tiles holding 276 real columns, the last band one tile row with 436 rows of
// padding. The second band is not covered at all and must still be written.
TEST(GeoTiffBandSink, TilesAndPreviewRowsReadBackInGdal) {
  TSL_REQUIRE_PYTHON("numpy osgeo.gdal");
  test::TempDir dir;
  const uint64_t width = 1300, height = 1100;
  for (unsigned bits : {8u, 16u}) {
    SCOPED_TRACE(bits);
    const auto path = dir / format("m{}.tif", bits);
    auto writer = GeoTiffWriter::create(path, width, height, bits, GeoTiffRef{0.05, 500000.0, 5400000.0, 32633});
    ASSERT_TRUE(writer.has_value()) << writer.error();
    OutputSink sink;
    sink.width = width;
    sink.workers = 3;
    sink.sample_scale = bits == 8 ? 255.0 : 65535.0;
    sink.writer = &*writer;
    sink.preview_path = dir / "p.jpg";
    sink.preview_scale = 0.25;
    sink.preview_width = 325;
    sink.tone.wb = {1.0, 1.0, 0.5};  // the toned preview differs from the neutral one
    sink.neutral = neutral_tone(sink.tone);
    const Band first = grey_band(width, 1024, 0.5f, 700);
    const Band last = grey_band(width, 76, 0.5f, 0);
    ASSERT_TRUE(geotiff_band_sink(sink, 0, first.rgb, first.mask).has_value());
    ASSERT_TRUE(geotiff_band_sink(sink, 1024, last.rgb, last.mask).has_value());
    ASSERT_TRUE(writer->finish().has_value());
    for (uint64_t off : writer->tile_offsets) EXPECT_NE(off, 0u);

    // 256 preview rows from the full band, max(round(76 x 0.25), 1) = 19 from the last.
    EXPECT_EQ(sink.preview_rows, 256u + 19u);
    EXPECT_EQ(sink.preview_rgb.size(), 325u * 275u * 3u);
    EXPECT_EQ(sink.preview_neutral.size(), sink.preview_rgb.size());
    EXPECT_EQ(sink.preview_mask.size(), 325u * 275u);
    EXPECT_EQ(sink.preview_mask[0], 255);                // covered
    EXPECT_EQ(sink.preview_mask[324], 0);                // right of the covered columns
    EXPECT_EQ(sink.preview_mask[325 * 270], 0);          // the uncovered last band
    EXPECT_EQ(sink.preview_neutral[0], 188);             // grey 0.5 in sRGB
    EXPECT_LT(sink.preview_rgb[2], sink.preview_rgb[0]);  // blue halved by the white balance

    const uint64_t full = bits == 8 ? 255 : 65535;
    const auto toned = tone_map_pixel(0.5f, 0.5f, 0.5f, sink.tone);
    const auto grey = static_cast<uint64_t>(std::round(toned[0] * sink.sample_scale));
    const auto blue = static_cast<uint64_t>(std::round(toned[2] * sink.sample_scale));
    const std::string script = format(
        "import numpy as np\n"
        "from osgeo import gdal\n"
        "a = gdal.Open('{}').ReadAsArray().astype(np.int64)\n"
        "assert a.shape == (4, 1100, 1300), a.shape\n"
        "want = np.zeros_like(a)\n"
        "want[:2, :1024, :700] = {}\n"
        "want[2, :1024, :700] = {}\n"
        "want[3, :1024, :700] = {}\n"
        "bad = np.argwhere(a != want)\n"
        "assert len(bad) == 0, (len(bad), bad[:3], a[tuple(bad[0])])\n",
        path.string(), grey, blue, full);
    test::write_file_text(dir / "check.py", script);
    const auto r = test::run_command(test::python3() + " " + test::shell_quote((dir / "check.py").string()));
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  }
}

TEST(GeoTiffBandSink, NoPreviewPathGathersNothing) {
  test::TempDir dir;
  auto writer = GeoTiffWriter::create(dir / "m.tif", 10, 4, 8, GeoTiffRef{});
  ASSERT_TRUE(writer.has_value());
  OutputSink sink;
  sink.width = 10;
  sink.writer = &*writer;
  const Band b = grey_band(10, 4, 0.2f, 10);
  ASSERT_TRUE(geotiff_band_sink(sink, 0, b.rgb, b.mask).has_value());
  EXPECT_EQ(sink.preview_rows, 0u);
  EXPECT_TRUE(sink.preview_rgb.empty());
  EXPECT_TRUE(sink.preview_mask.empty());
}

TEST(PreviewBandSink, ReplacesTheSlotWithTonedColourAndAlpha) {
  std::optional<PreviewBand> slot = PreviewBand{{1, 2, 3}, {4}};
  PreviewContext ctx{ToneSettings{}, &slot};
  const Band b = grey_band(3, 2, 0.5f, 1);
  ASSERT_TRUE(preview_band_sink(ctx, 512, b.rgb, b.mask).has_value());
  ASSERT_TRUE(slot.has_value());
  EXPECT_EQ(slot->rgb.size(), 18u);
  EXPECT_EQ(slot->rgb[0], 188);
  EXPECT_EQ(slot->alpha, (std::vector<uint8_t>{255, 0, 0, 255, 0, 0}));
}

}  // namespace
}  // namespace tsl
