#include "img/tiff/geotiff_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "img/tiff/tiff_file.h"
#include "img/tiff/tiff_fixture.h"
#include "support/test_util.h"
#include "util/deflate.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Samples = std::vector<uint16_t>;

const GeoTiffRef REF{0.05, 500000.0, 5400000.0, 32633};

// A photo-like RGBA raster: smooth colour with noise, alpha full where covered (a disc), all
// four samples 0 elsewhere, as the band sink makes them.
Samples test_raster(uint64_t width, uint64_t height, unsigned bits, uint32_t seed) {
  const uint16_t top = bits == 8 ? 255 : 65535;
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> noise(-top / 50, top / 50);
  Samples s(width * height * 4, 0);
  const double cx = width / 2.0, cy = height / 2.0, r2 = (width * width + height * height) / 5.0;
  for (uint64_t y = 0; y < height; ++y) {
    for (uint64_t x = 0; x < width; ++x) {
      if ((x - cx) * (x - cx) + (y - cy) * (y - cy) > r2) continue;
      uint16_t* p = &s[(y * width + x) * 4];
      for (int c = 0; c < 3; ++c) {
        const double v = top * (0.5 + 0.4 * std::sin(x / (13.0 + 7 * c)) * std::cos(y / (11.0 + 5 * c)));
        p[c] = static_cast<uint16_t>(std::clamp<int>(static_cast<int>(v) + noise(rng), 0, top));
      }
      p[3] = top;
    }
  }
  return s;
}

// Writes a raster in bands of `band_rows` (a multiple of 512) and finishes it.
void write_raster(const fs::path& path, uint64_t width, uint64_t height, unsigned bits, const Samples& rgba,
                  uint64_t band_rows = 1024, uint64_t bigtiff_above = GEOTIFF_BIGTIFF_ABOVE) {
  auto w = GeoTiffWriter::create(path, width, height, bits, REF, bigtiff_above);
  ASSERT_TRUE(w.has_value()) << w.error();
  for (uint64_t y = 0; y < height; y += band_rows) {
    const uint64_t rows = std::min(band_rows, height - y);
    auto r = w->write_band(y, rows, std::span(rgba).subspan(y * width * 4, rows * width * 4));
    ASSERT_TRUE(r.has_value()) << r.error();
  }
  auto r = w->finish();
  ASSERT_TRUE(r.has_value()) << r.error();
}

// Inflates tile `k` of a file we wrote and undoes the differencing: 512 x 512 x 4 samples.
Samples read_tile(const TiffFile& file, size_t k, unsigned bits) {
  const Ifd& ifd = file.ifds.at(0);
  const uint64_t offset = tag_u64s(*find_entry(ifd, 324), true).at(k);
  const uint64_t count = tag_u64s(*find_entry(ifd, 325), true).at(k);
  const size_t n = 512 * 512 * 4;
  auto raw = inflate(file.data.subspan(offset + 2, count - 2), n * bits / 8);
  EXPECT_TRUE(raw.has_value());
  if (!raw) return {};
  Samples s(n);
  for (size_t i = 0; i < n; ++i) s[i] = bits == 8 ? (*raw)[i] : static_cast<uint16_t>((*raw)[2 * i] | (*raw)[2 * i + 1] << 8);
  const uint16_t mask = bits == 8 ? 0xFF : 0xFFFF;
  for (size_t row = 0; row < 512; ++row)
    for (size_t i = 4; i < 512 * 4; ++i) s[row * 2048 + i] = (s[row * 2048 + i] + s[row * 2048 + i - 4]) & mask;
  return s;
}

uint64_t le(const Bytes& b, size_t at, size_t n) {
  uint64_t v = 0;
  for (size_t i = n; i-- > 0;) v = v << 8 | b[at + i];
  return v;
}

TEST(GeoTiffWriter, BigTiffThreshold) {
  struct Case {
    uint64_t w, h;
    unsigned bits;
    bool big;
  };
  const Case cases[] = {
      {30000, 29166, 8, false}, {30000, 29167, 8, true},   {20000, 21875, 16, false}, {20000, 21876, 16, true},
      {30000, 30000, 8, true},  {29000, 29000, 8, false},  {21000, 21000, 16, true},  {1, 1, 8, false},
      {uint64_t{1} << 40, 1, 8, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " at " << c.bits);
    EXPECT_EQ(geotiff_needs_bigtiff(c.w, c.h, c.bits), c.big);
  }
}

TEST(GeoTiffWriter, ClassicLayoutOf600By400) {
  test::TempDir dir;
  const Samples rgba = test_raster(600, 400, 8, 1);
  write_raster(dir / "o.tif", 600, 400, 8, rgba);
  const Bytes bytes = test::read_file_bytes(dir / "o.tif");
  ASSERT_EQ(Bytes(bytes.begin(), bytes.begin() + 4), (Bytes{'I', 'I', 42, 0}));
  auto file = parse_tiff(bytes);
  ASSERT_TRUE(file.has_value());
  ASSERT_EQ(file->ifds.size(), 1u);
  const Ifd& ifd = file->ifds[0];

  // The directory: 18 entries (222 bytes) at an even offset right after the two tiles, its
  // out-of-line values after it in tag order, each at an even offset, ending at P + 366.
  const uint64_t p = le(bytes, 4, 4);
  EXPECT_EQ(p % 2, 0u);
  const auto offsets = tag_u64s(*find_entry(ifd, 324), true);
  const auto counts = tag_u64s(*find_entry(ifd, 325), true);
  ASSERT_EQ(offsets.size(), 2u);
  EXPECT_EQ(offsets[0], 8u);
  EXPECT_EQ(offsets[1], 8 + counts[0]);
  const uint64_t tiles_end = offsets[1] + counts[1];
  EXPECT_EQ(p, tiles_end + tiles_end % 2);
  if (tiles_end % 2) {
    EXPECT_EQ(bytes[tiles_end], 0);
  }
  EXPECT_EQ(le(bytes, p, 2), 18u);
  EXPECT_EQ(bytes.size(), p + 366);
  const std::vector<std::pair<uint16_t, uint64_t>> out_of_line = {{258, 0},   {305, 8},   {324, 16},  {325, 24},
                                                                  {339, 32},  {33550, 40}, {33922, 64}, {34735, 112}};
  for (auto [tag, at] : out_of_line) {
    SCOPED_TRACE(tag);
    size_t k = 0;
    while (le(bytes, p + 2 + 12 * k, 2) != tag) ++k;
    EXPECT_EQ(le(bytes, p + 2 + 12 * k + 8, 4), p + 222 + at);
  }

  struct Want {
    uint16_t tag, type;
    std::vector<uint64_t> values;
  };
  const Want want[] = {
      {256, 4, {600}},          {257, 4, {400}},     {258, 3, {8, 8, 8, 8}}, {259, 3, {8}},     {262, 3, {2}},
      {277, 3, {4}},            {284, 3, {1}},       {305, 2, {'t', 'e', 's', 's', 'a', 'l', 'y', 0}},
      {317, 3, {2}},            {322, 3, {512}},     {323, 3, {512}},        {324, 4, offsets}, {325, 4, counts},
      {338, 3, {2}},            {339, 3, {1, 1, 1, 1}},
      {34735, 3, {1, 1, 0, 3, 1024, 0, 1, 1, 1025, 0, 1, 1, 3072, 0, 1, 32633}},
  };
  for (const Want& w : want) {
    SCOPED_TRACE(w.tag);
    const TiffEntry* e = find_entry(ifd, w.tag);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->field_type, w.type);
    EXPECT_EQ(tag_u64s(*e, true), w.values);
  }
  EXPECT_EQ(tag_f64s(*find_entry(ifd, 33550), true), (std::vector<double>{0.05, 0.05, 0.0}));
  EXPECT_EQ(tag_f64s(*find_entry(ifd, 33922), true), (std::vector<double>{0, 0, 0, 500000.0, 5400000.0, 0}));
  // Entries are in ascending tag order.
  for (size_t k = 1; k < ifd.entries.size(); ++k) EXPECT_LT(ifd.entries[k - 1].tag, ifd.entries[k].tag);

  // The right tile's columns 88..511 and both tiles' rows 400..511 are zero; the rest is
  // what was written.
  for (size_t t = 0; t < 2; ++t) {
    const Samples tile = read_tile(*file, t, 8);
    size_t wrong = 0;
    for (size_t y = 0; y < 512; ++y)
      for (size_t x = 0; x < 512; ++x)
        for (size_t c = 0; c < 4; ++c) {
          const size_t gx = t * 512 + x;
          const uint16_t expect = (y < 400 && gx < 600) ? rgba[(y * 600 + gx) * 4 + c] : 0;
          wrong += tile[(y * 512 + x) * 4 + c] != expect;
        }
    EXPECT_EQ(wrong, 0u) << "tile " << t;
  }
}

TEST(GeoTiffWriter, ForcedBigTiffLayout) {
  test::TempDir dir;
  const Samples rgba = test_raster(520, 10, 16, 2);
  write_raster(dir / "big.tif", 520, 10, 16, rgba, 512, 0);
  const Bytes bytes = test::read_file_bytes(dir / "big.tif");
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 8), (Bytes{'I', 'I', 43, 0, 8, 0, 0, 0}));
  auto file = parse_tiff(bytes);
  ASSERT_TRUE(file.has_value());
  ASSERT_TRUE(file->bigtiff);
  const Ifd& ifd = file->ifds.at(0);
  EXPECT_EQ(find_entry(ifd, 324)->field_type, 16);
  EXPECT_EQ(find_entry(ifd, 325)->field_type, 16);
  EXPECT_EQ(tag_u64s(*find_entry(ifd, 324), true).at(0), 16u);
  // BitsPerSample, Software and SampleFormat (8 bytes each) sit inside their entries.
  const uint64_t p = le(bytes, 8, 8);
  for (uint16_t tag : {258, 305, 339}) {
    size_t k = 0;
    while (le(bytes, p + 8 + 20 * k, 2) != tag) ++k;
    const uint64_t field = p + 8 + 20 * k + 12;
    const TiffEntry* e = find_entry(ifd, tag);
    EXPECT_EQ(Bytes(bytes.begin() + field, bytes.begin() + field + 8), e->value) << tag;
  }
  const Samples tile = read_tile(*file, 1, 16);
  EXPECT_EQ(tile[0], rgba[512 * 4]);
  EXPECT_EQ(tile[(9 * 512 + 7) * 4 + 3], rgba[(9 * 520 + 519) * 4 + 3]);
}

TEST(GeoTiffWriter, SingleTileKeepsItsOffsetsInline) {
  test::TempDir dir;
  write_raster(dir / "one.tif", 1, 1, 8, {10, 20, 30, 255});
  const Bytes bytes = test::read_file_bytes(dir / "one.tif");
  const uint64_t p = le(bytes, 4, 4);
  size_t k = 0;
  while (le(bytes, p + 2 + 12 * k, 2) != 324) ++k;
  EXPECT_EQ(le(bytes, p + 2 + 12 * k + 8, 4), 8u);  // the offset itself, not a pointer to it
  auto file = parse_tiff(bytes);
  ASSERT_TRUE(file.has_value());
  const Samples tile = read_tile(*file, 0, 8);
  EXPECT_EQ(Samples(tile.begin(), tile.begin() + 8), (Samples{10, 20, 30, 255, 0, 0, 0, 0}));
}

TEST(EncodeTile, DifferencesPerChannelAndPadsWithZeros) {
  for (unsigned bits : {8u, 16u}) {
    SCOPED_TRACE(bits);
    const uint16_t top = bits == 8 ? 255 : 65535;
    // 600 x 2 of one colour: the left tile is whole, the right one crosses the image edge.
    const uint64_t width = 600;
    Samples band(width * 2 * 4);
    for (size_t i = 0; i < band.size(); i += 4) {
      band[i] = 7;
      band[i + 1] = top;
      band[i + 2] = 0;
      band[i + 3] = top;
    }
    for (uint64_t col : {0u, 1u}) {
      const Bytes z = encode_tile(band, width, 2, bits, 0, col);
      auto raw = inflate(std::span(z).subspan(2), 512 * 512 * 4 * bits / 8);
      ASSERT_TRUE(raw.has_value());
      auto sample = [&](size_t i) -> uint16_t {
        return bits == 8 ? (*raw)[i] : static_cast<uint16_t>((*raw)[2 * i] | (*raw)[2 * i + 1] << 8);
      };
      const size_t real = col == 0 ? 512 : 88;
      for (size_t row = 0; row < 2; ++row) {
        const size_t r = row * 2048;
        EXPECT_EQ((Samples{sample(r), sample(r + 1), sample(r + 2), sample(r + 3)}), (Samples{7, top, 0, top}));
        size_t nonzero = 0;
        for (size_t i = 4; i < real * 4; ++i) nonzero += sample(r + i) != 0;
        EXPECT_EQ(nonzero, 0u) << "constant colour differences to zero";
        if (real < 512) {
          // The first padding pixel stores the negated last real pixel, then zeros follow.
          const uint16_t neg7 = static_cast<uint16_t>((0 - 7) & top), negtop = 1;
          EXPECT_EQ((Samples{sample(r + real * 4), sample(r + real * 4 + 1), sample(r + real * 4 + 2), sample(r + real * 4 + 3)}),
                    (Samples{neg7, negtop, 0, negtop}));
          for (size_t i = (real + 1) * 4; i < 2048; ++i) nonzero += sample(r + i) != 0;
          EXPECT_EQ(nonzero, 0u);
        }
      }
      // Rows below the band are zero.
      size_t below = 0;
      for (size_t i = 2 * 2048; i < 512 * 2048; ++i) below += sample(i) != 0;
      EXPECT_EQ(below, 0u);
    }
  }
}

TEST(GeoTiffWriter, BandsPlaceTilesByTheirGlobalIndex) {
  // 1300 x 1100 in bands of 1024 rows: 3 tiles across, 3 down; the last band has 76 rows and
  // fills tile row 2.
  test::TempDir dir;
  const Samples rgba = test_raster(1300, 1100, 8, 3);
  write_raster(dir / "b.tif", 1300, 1100, 8, rgba, 1024);
  const Bytes bytes = test::read_file_bytes(dir / "b.tif");
  auto file = parse_tiff(bytes);
  ASSERT_TRUE(file.has_value());
  const auto offsets = tag_u64s(*find_entry(file->ifds[0], 324), true);
  ASSERT_EQ(offsets.size(), 9u);
  for (size_t k = 1; k < 9; ++k) EXPECT_LT(offsets[k - 1], offsets[k]) << "tiles are appended in tile order";
  const Samples t8 = read_tile(*file, 8, 8);  // rows 1024..1099, columns 1024..1299
  EXPECT_EQ(t8[(75 * 512 + 275) * 4 + 1], rgba[((1024 + 75) * 1300 + 1024 + 275) * 4 + 1]);
  EXPECT_EQ(t8[(76 * 512) * 4], 0);
  EXPECT_EQ(t8[(10 * 512 + 276) * 4 + 3], 0);
}

TEST(GeoTiffWriter, DroppedWriterLeavesHeaderAndTilesWithoutDirectory) {
  test::TempDir dir;
  const Samples rgba = test_raster(700, 600, 8, 4);
  {
    auto w = GeoTiffWriter::create(dir / "f.tif", 700, 600, 8, REF);
    ASSERT_TRUE(w.has_value());
    ASSERT_TRUE(w->write_band(0, 512, std::span(rgba).first(700 * 512 * 4)).has_value());
    // The render fails here: the writer goes without finish().
  }
  const Bytes bytes = test::read_file_bytes(dir / "f.tif");
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 8), (Bytes{'I', 'I', 42, 0, 0, 0, 0, 0}));
  EXPECT_GT(bytes.size(), 8u + 1000u) << "the two tiles of the first band are on disk";
  auto file = parse_tiff(bytes);
  ASSERT_TRUE(file.has_value());
  EXPECT_TRUE(file->ifds.empty());
}

TEST(GeoTiffWriter, ClassicOffsetsAreNeverCutTo32Bits) {
  test::TempDir dir;
  auto w = GeoTiffWriter::create(dir / "c.tif", 512, 512, 8, REF);
  ASSERT_TRUE(w.has_value());
  // Pretend nearly 4 GiB of tiles came before: the next tile's end no longer fits 32 bits.
  w->pos = 0xFFFFFF00;
  const Samples band(512 * 512 * 4, 1);
  auto r = w->write_band(0, 512, band);
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().find("past the 4 GiB reach of a classic TIFF"), std::string::npos) << r.error();
  EXPECT_EQ(w->tile_offsets[0], 0u);
  // A classic directory that would end past 4 GiB is refused the same way.
  w->out.size = 0xFFFFFF00;
  auto d = write_ifd(w->out, {tiff_ascii(305, std::string(300, 'x'))}, false);
  ASSERT_FALSE(d.has_value());
  EXPECT_NE(d.error().find("past the 4 GiB reach of a classic TIFF"), std::string::npos) << d.error();
}

TEST(GeoTiffWriter, CallerBugsAreInternalErrors) {
  test::TempDir dir;
  EXPECT_THROW((void)GeoTiffWriter::create(dir / "x.tif", 0, 5, 8, REF), InternalError);
  EXPECT_THROW((void)GeoTiffWriter::create(dir / "x.tif", 5, 5, 12, REF), InternalError);
  auto w = GeoTiffWriter::create(dir / "x.tif", 600, 1100, 8, REF);
  ASSERT_TRUE(w.has_value());
  const Samples band(600 * 512 * 4);
  EXPECT_THROW((void)w->write_band(100, 512, band), InternalError);   // not on a tile row
  EXPECT_THROW((void)w->write_band(0, 500, std::span(band).first(600 * 500 * 4)), InternalError);  // short band
  EXPECT_THROW((void)w->write_band(0, 512, std::span(band).first(100)), InternalError);  // too few samples
}

TEST(GeoTiffWriter, CreateReportsTheSystemsMessage) {
  test::TempDir dir;
  auto w = GeoTiffWriter::create(dir / "missing" / "o.tif", 5, 5, 8, REF);
  ASSERT_FALSE(w.has_value());
  EXPECT_EQ(w.error(), "No such file or directory");
}

TEST(WorldFile, SixLinesWithThePixelCentre) {
  test::TempDir dir;
  ASSERT_TRUE(write_world_file(dir / "ortho.tif", REF).has_value());
  EXPECT_EQ(test::read_file_text(dir / "ortho.tfw"), "0.050000\n0\n0\n-0.050000\n500000.0250\n5399999.9750\n");
  EXPECT_EQ(world_file_path("out/ortho.tif"), fs::path("out/ortho.tfw"));
  EXPECT_EQ(world_file_path("out/mosaic"), fs::path("out/mosaic.tfw"));
  EXPECT_EQ(world_file_path("a.b/mosaic.tiff"), fs::path("a.b/mosaic.tfw"));
}

// GDAL reads what we wrote: 4 bands with band 4 alpha, 512 x 512 blocks, DEFLATE with
// predictor 2, the EPSG code, origin and pixel size, every sample, and the world file.
TEST(GeoTiffWriter, GdalReadsWhatWasWritten) {
  TSL_REQUIRE_TOOL("gdalinfo");
  TSL_REQUIRE_PYTHON("numpy osgeo.gdal");
  struct Case {
    uint64_t w, h;
    unsigned bits;
    uint64_t bigtiff_above;
    const char* name;
  };
  const Case cases[] = {
      {1, 1, 8, GEOTIFF_BIGTIFF_ABOVE, "1x1-8"},
      {513, 513, 8, GEOTIFF_BIGTIFF_ABOVE, "513x513-8"},
      {513, 513, 16, GEOTIFF_BIGTIFF_ABOVE, "513x513-16"},
      {2100, 1100, 8, GEOTIFF_BIGTIFF_ABOVE, "2.3-megapixels-8"},
      {1600, 1100, 16, GEOTIFF_BIGTIFF_ABOVE, "1.8-megapixels-16"},
      {1100, 700, 8, 0, "bigtiff-8"},
      {700, 600, 16, 0, "bigtiff-16"},
  };
  test::TempDir dir;
  std::string jobs;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Samples rgba = test_raster(c.w, c.h, c.bits, static_cast<uint32_t>(c.w + c.h));
    const fs::path tif = dir / (std::string(c.name) + ".tif"), raw = dir / (std::string(c.name) + ".raw");
    write_raster(tif, c.w, c.h, c.bits, rgba, 1024, c.bigtiff_above);
    ASSERT_TRUE(write_world_file(tif, REF).has_value());
    Bytes raw_bytes(rgba.size() * 2);
    for (size_t i = 0; i < rgba.size(); ++i) {
      raw_bytes[2 * i] = static_cast<uint8_t>(rgba[i]);
      raw_bytes[2 * i + 1] = static_cast<uint8_t>(rgba[i] >> 8);
    }
    test::write_file_bytes(raw, raw_bytes);
    jobs += format("rgba {} {} {} {} {} {} {} {} {}\n", tif.string(), raw.string(), c.w, c.h, c.bits, REF.epsg, REF.gsd,
                   REF.east, REF.north);
  }
  test::write_file_text(dir / "jobs.txt", jobs);
  auto r = test::run_tiff_helper("check_geotiff.py", {(dir / "jobs.txt").string()});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

// A raster past the raw-size threshold (30000 x 29167 at 8 bits) becomes a BigTIFF by itself.
// It is mostly empty, so it compresses to little, but it still passes 3.5 GB of samples
// through the encoder: behind TSL_SLOW_TESTS.
TEST(GeoTiffWriter, LargeSparseRasterIsABigTiffThatGdalOpens) {
  if (std::getenv("TSL_SLOW_TESTS") == nullptr) GTEST_SKIP() << "set TSL_SLOW_TESTS=1 to write a 3.5 GB raster";
  TSL_REQUIRE_TOOL("gdalinfo");
  TSL_REQUIRE_PYTHON("numpy osgeo.gdal");
  const uint64_t width = 30000, height = 29167;
  ASSERT_TRUE(geotiff_needs_bigtiff(width, height, 8));
  test::TempDir dir;
  const fs::path tif = dir / "large.tif";
  auto w = GeoTiffWriter::create(tif, width, height, 8, REF);
  ASSERT_TRUE(w.has_value());
  ASSERT_TRUE(w->bigtiff);
  // One covered pixel per band at a known place: (x, y) = (y0 / 512 * 517 % width, y0 + 300).
  for (uint64_t y0 = 0; y0 < height; y0 += 512) {
    const uint64_t rows = std::min<uint64_t>(512, height - y0);
    Samples band(rows * width * 4, 0);
    if (rows > 300) {
      uint16_t* p = &band[(300 * width + (y0 / 512 * 517) % width) * 4];
      p[0] = 11, p[1] = 22, p[2] = 33, p[3] = 255;
    }
    auto r = w->write_band(y0, rows, band);
    ASSERT_TRUE(r.has_value()) << r.error();
  }
  ASSERT_TRUE(w->finish().has_value());
  const std::string script =
      "import sys\n"
      "from osgeo import gdal\n"
      "ds = gdal.Open(sys.argv[1])\n"
      "assert (ds.RasterXSize, ds.RasterYSize, ds.RasterCount) == (30000, 29167, 4)\n"
      "assert open(sys.argv[1], 'rb').read(4) == b'II+\\0'\n"
      "for y0 in (0, 512 * 20, 512 * 56):\n"
      "    x, y = y0 // 512 * 517 % 30000, y0 + 300\n"
      "    px = [int(ds.GetRasterBand(b).ReadAsArray(x, y, 1, 1)[0, 0]) for b in (1, 2, 3, 4)]\n"
      "    assert px == [11, 22, 33, 255], (x, y, px)\n"
      "    assert int(ds.GetRasterBand(4).ReadAsArray(x + 1, y, 1, 1)[0, 0]) == 0\n";
  test::write_file_text(dir / "check.py", script);
  auto r = test::run_command(test::python3() + " " + test::shell_quote((dir / "check.py").string()) + " " +
                             test::shell_quote(tif.string()));
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

}  // namespace
}  // namespace tsl
