#include "img/tiff/dsm_tiff.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "img/tiff/tiff_file.h"
#include "img/tiff/tiff_fixture.h"
#include "support/test_util.h"
#include "util/deflate.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

std::vector<float> test_grid(uint64_t cols, uint64_t rows) {
  std::vector<float> h(cols * rows);
  for (uint64_t i = 0; i < rows; ++i)
    for (uint64_t j = 0; j < cols; ++j) h[i * cols + j] = static_cast<float>(12.5 + 0.37 * i - 0.11 * j + std::sin(i * j * 0.01));
  if (h.size() > 3) h[3] = std::nanf("");  // a node without data
  h.back() = -0.0f;
  return h;
}

TEST(DsmTiff, GeoreferencePutsNodesAtPixelCentres) {
  const GeoTiffRef ref = dsm_georef(500000.0, 5400000.0, 2.0, 32633);
  EXPECT_EQ(ref.gsd, 2.0);
  EXPECT_EQ(ref.east, 499999.0);
  EXPECT_EQ(ref.north, 5400001.0);
  EXPECT_EQ(ref.epsg, 32633);
}

TEST(DsmTiff, StripsOfSixteenRows) {
  struct Case {
    uint64_t cols, rows;
    std::vector<uint64_t> strip_rows;
  };
  const Case cases[] = {{100, 37, {16, 16, 5}}, {7, 40, {16, 16, 8}}, {1, 1, {1}}};
  test::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.cols << "x" << c.rows);
    const std::vector<float> heights = test_grid(c.cols, c.rows);
    const fs::path path = dir / "dsm.tif";
    auto w = write_dsm_tiff(path, c.cols, c.rows, heights, dsm_georef(500000.0, 5400000.0, 2.0, 32633));
    ASSERT_TRUE(w.has_value()) << w.error();
    const auto bytes = test::read_file_bytes(path);
    auto file = parse_tiff(bytes);
    ASSERT_TRUE(file.has_value());
    ASSERT_FALSE(file->bigtiff);
    const Ifd& ifd = file->ifds.at(0);
    auto u = [&](uint16_t tag) { return tag_u64s(*find_entry(ifd, tag), true); };
    EXPECT_EQ(u(256), (std::vector<uint64_t>{c.cols}));
    EXPECT_EQ(u(257), (std::vector<uint64_t>{c.rows}));
    EXPECT_EQ(u(258), (std::vector<uint64_t>{32}));
    EXPECT_EQ(u(259), (std::vector<uint64_t>{8}));
    EXPECT_EQ(u(262), (std::vector<uint64_t>{1}));
    EXPECT_EQ(u(277), (std::vector<uint64_t>{1}));
    EXPECT_EQ(u(278), (std::vector<uint64_t>{16}));
    EXPECT_EQ(u(339), (std::vector<uint64_t>{3}));
    EXPECT_EQ(find_entry(ifd, 317), nullptr) << "no predictor";
    EXPECT_EQ(tag_f64s(*find_entry(ifd, 33922), true), (std::vector<double>{0, 0, 0, 499999.0, 5400001.0, 0}));
    const auto offsets = u(273), counts = u(279);
    ASSERT_EQ(offsets.size(), c.strip_rows.size());
    uint64_t expect_offset = 8, row = 0;
    for (size_t k = 0; k < offsets.size(); ++k) {
      EXPECT_EQ(offsets[k], expect_offset) << "strips follow each other from offset 8";
      expect_offset += counts[k];
      auto raw = inflate(std::span(bytes).subspan(offsets[k] + 2, counts[k] - 2), c.strip_rows[k] * c.cols * 4);
      ASSERT_TRUE(raw.has_value());
      ASSERT_EQ(raw->size(), c.strip_rows[k] * c.cols * 4);
      for (size_t i = 0; i < raw->size() / 4; ++i) {
        uint32_t v = 0;
        for (int b = 3; b >= 0; --b) v = v << 8 | (*raw)[4 * i + b];
        ASSERT_EQ(v, std::bit_cast<uint32_t>(heights[row * c.cols + i])) << "strip " << k << " value " << i;
      }
      row += c.strip_rows[k];
    }
  }
}

TEST(DsmTiff, CallerBugsAndSystemErrors) {
  test::TempDir dir;
  const std::vector<float> h(6, 1.0f);
  const GeoTiffRef ref = dsm_georef(0, 0, 1, 32601);
  EXPECT_THROW((void)write_dsm_tiff(dir / "a.tif", 4, 2, h, ref), InternalError);
  EXPECT_THROW((void)write_dsm_tiff(dir / "a.tif", 0, 2, h, ref), InternalError);
  auto r = write_dsm_tiff(dir / "no" / "a.tif", 3, 2, h, ref);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "No such file or directory");
}

TEST(DsmTiff, GdalReadsHeightsAndGeoreference) {
  TSL_REQUIRE_TOOL("gdalinfo");
  TSL_REQUIRE_PYTHON("numpy osgeo.gdal");
  test::TempDir dir;
  const uint64_t cols = 100, rows = 37;
  const std::vector<float> heights = test_grid(cols, rows);
  const GeoTiffRef ref = dsm_georef(612345.5, 4987654.25, 2.0, 32733);
  ASSERT_TRUE(write_dsm_tiff(dir / "dsm.tif", cols, rows, heights, ref).has_value());
  std::vector<uint8_t> raw(heights.size() * 4);
  for (size_t i = 0; i < heights.size(); ++i)
    for (int b = 0; b < 4; ++b) raw[4 * i + b] = static_cast<uint8_t>(std::bit_cast<uint32_t>(heights[i]) >> (8 * b));
  test::write_file_bytes(dir / "dsm.raw", raw);
  test::write_file_text(dir / "jobs.txt", format("dsm {} {} {} {} {} {} {} {}\n", (dir / "dsm.tif").string(),
                                                 (dir / "dsm.raw").string(), cols, rows, ref.epsg, ref.gsd, ref.east,
                                                 ref.north));
  auto r = test::run_tiff_helper("check_geotiff.py", {(dir / "jobs.txt").string()});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

}  // namespace
}  // namespace tsl
