#include "meta/meta_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <random>

#include "meta/fixture_cache.h"
#include "support/test_util.h"
#include "util/json.h"
#include "util/text.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

// A number from exiftool's JSON: a Number, or a String such as "+80.26"; NaN when absent.
double num(const JsonValue& tags, std::string_view key) {
  const JsonValue& v = tags[key];
  if (v.is_number()) return v.as_f64();
  if (!v.is_string()) return NAN;
  std::string s = v.as_string();
  std::erase(s, '+');
  return parse_decimal(s).value_or(NAN);
}

std::string text(const JsonValue& tags, std::string_view key) {
  const JsonValue& v = tags[key];
  if (v.is_string()) return v.as_string();
  if (v.is_number()) return shortest_positional(v.as_f64());
  return {};
}

// Equal numbers, or both missing. exiftool prints 15 significant digits.
void expect_same(double got, double want, const char* field) {
  SCOPED_TRACE(field);
  if (std::isnan(want)) {
    EXPECT_TRUE(std::isnan(got)) << got;
  } else {
    EXPECT_NEAR(got, want, 1e-12 * std::max(1.0, std::fabs(want)));
  }
}

// The fixtures of tests/meta/photo_fixtures.py, written once for the suite, with exiftool's
// reading of each (by file name) as the oracle.
class PhotoFixtures : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = test::cached_fixture_dir("tests/meta/photo_fixtures.py");
    if (dir.empty()) return;
    for (const char* listing : {"exiftool.json", "exiftool_opcodes.json"}) {
      auto json = json_parse(test::read_file_text(dir / listing));
      ASSERT_TRUE(json.has_value()) << json.error();
      for (const JsonValue& file : json->as_array()) {
        const std::string name = fs::path(file["SourceFile"].as_string()).filename().string();
        JsonValue& tags = oracle.try_emplace(name, JsonValue::empty_object()).first->second;
        for (const auto& [key, value] : file.as_object()) tags.set(key, value);
      }
    }
  }
  void SetUp() override {
    if (dir.empty()) GTEST_SKIP() << "needs cjpeg, exiftool and python3-tifffile";
  }

  static ImageMeta read(const std::string& name, ProcessedMode mode = ProcessedMode::Auto) {
    auto m = read_image_meta(dir / name, std::nullopt, mode);
    EXPECT_TRUE(m.has_value()) << name << ": " << m.error();
    return m.value_or(ImageMeta{});
  }

  static inline fs::path dir;
  static inline std::map<std::string, JsonValue> oracle;
};

// Every field the reader fills, against exiftool's reading of the same file.
TEST_F(PhotoFixtures, FieldsEqualExiftool) {
  for (const char* name :
       {"plain.jpg", "drone_attr.jpg", "drone_elem.jpg", "developed.tif", "raw.dng", "turned.DNG", "far_raw.dng"}) {
    SCOPED_TRACE(name);
    const ImageMeta m = read(name);
    const JsonValue& t = oracle[name];
    const bool dng = m.is_dng;
    if (dng) {
      // The raw directory's active area, a quarter turn for orientations 5 to 8.
      std::vector<double> a;
      for (auto part = text(t, "SubIFD:ActiveArea"); !part.empty();) {
        const size_t sp = part.find(' ');
        a.push_back(*parse_decimal(part.substr(0, sp)));
        part = sp == std::string::npos ? "" : part.substr(sp + 1);
      }
      ASSERT_EQ(a.size(), 4u);
      uint64_t w = uint64_t(a[3] - a[1]), h = uint64_t(a[2] - a[0]);
      if (num(t, "IFD0:Orientation") >= 5) std::swap(w, h);
      EXPECT_EQ(m.width, w);
      EXPECT_EQ(m.height, h);
    } else {
      const char* group = m.path.extension() == ".tif" ? "IFD0" : "File";
      EXPECT_EQ(m.width, num(t, format("{}:ImageWidth", group)));
      EXPECT_EQ(m.height, num(t, format("{}:ImageHeight", group)));
    }
    EXPECT_EQ(m.make, text(t, "IFD0:Make"));
    EXPECT_EQ(m.model, text(t, "IFD0:Model"));
    EXPECT_EQ(m.software, text(t, "IFD0:Software"));
    EXPECT_EQ(m.time, text(t, "ExifIFD:DateTimeOriginal"));
    const double fn = num(t, "ExifIFD:FNumber");
    expect_same(m.exposure, num(t, "ExifIFD:ExposureTime") * num(t, "ExifIFD:ISO") / (fn * fn), "exposure");
    expect_same(m.focal_mm, num(t, "ExifIFD:FocalLength"), "focal_mm");
    expect_same(m.focal_35mm, num(t, "ExifIFD:FocalLengthIn35mmFormat"), "focal_35mm");
    const double unit = num(t, "ExifIFD:FocalPlaneResolutionUnit");
    const double mm = unit == 3 ? 10 : unit == 4 ? 1 : 25.4;
    expect_same(m.px_per_mm, dng ? NAN : num(t, "ExifIFD:FocalPlaneXResolution") / mm, "px_per_mm");
    const double xlat = num(t, "XMP-drone-dji:GPSLatitude"), xlon = num(t, "XMP-drone-dji:GPSLongtitude");
    const bool xmp_pos = std::isfinite(xlat) && std::isfinite(xlon);
    expect_same(m.lat, xmp_pos ? xlat : num(t, "Composite:GPSLatitude"), "lat");
    expect_same(m.lon, xmp_pos ? xlon : num(t, "Composite:GPSLongitude"), "lon");
    const double xabs = num(t, "XMP-drone-dji:AbsoluteAltitude");
    // A DNG's EXIF altitude is not used; elsewhere exiftool signs it by GPSAltitudeRef.
    expect_same(m.abs_alt, std::isfinite(xabs) ? xabs : dng ? NAN : num(t, "Composite:GPSAltitude"), "abs_alt");
    expect_same(m.rel_alt, num(t, "XMP-drone-dji:RelativeAltitude"), "rel_alt");
    const double flight_yaw = num(t, "XMP-drone-dji:FlightYawDegree");
    const double yaw = num(t, "XMP-drone-dji:GimbalYawDegree");
    expect_same(m.gimbal_yaw, std::isnan(yaw) ? flight_yaw : yaw, "gimbal_yaw");
    expect_same(m.gimbal_pitch, num(t, "XMP-drone-dji:GimbalPitchDegree"), "gimbal_pitch");
    const double roll = num(t, "XMP-drone-dji:GimbalRollDegree");
    expect_same(m.gimbal_roll, std::isnan(roll) ? 0.0 : roll, "gimbal_roll");
    expect_same(m.flight_yaw, flight_yaw, "flight_yaw");
    const std::string* dewarp = xmp_value(m.xmp, "DewarpData");
    EXPECT_EQ(dewarp ? *dewarp : "", text(t, "XMP-drone-dji:DewarpData"));
    // exiftool names the opcodes of the list; ours are the kinds they become.
    std::string kinds, want_kinds;
    for (const LensOp& op : m.lens_ops) kinds += std::string(lens_op_name(op)) + " ";
    const std::map<std::string, std::string> kind_of = {
        {"WarpRectilinear", "warp"}, {"FixVignetteRadial", "vign"}, {"GainMap", "gain"}};
    for (std::string names = text(t, "SubIFD:OpcodeList3"); !names.empty();) {
      const size_t comma = names.find(", ");
      const auto it = kind_of.find(names.substr(0, comma));
      want_kinds += (it == kind_of.end() ? "?" : it->second) + " ";
      names = comma == std::string::npos ? "" : names.substr(comma + 2);
    }
    EXPECT_EQ(kinds, want_kinds);
  }
}

TEST_F(PhotoFixtures, DroneJpegDetails) {
  const ImageMeta attr = read("drone_attr.jpg");
  EXPECT_EQ(attr.lat, 22.5437012);  // the XMP position wins over EXIF's 1.5 S, 2.5 W
  EXPECT_EQ(attr.lon, 113.9461287);
  EXPECT_EQ(attr.px_per_mm, 200.0);  // 2000 per cm
  ASSERT_TRUE(attr.lens.has_value());
  EXPECT_EQ(attr.lens->kind, LensKind::Brown);
  EXPECT_EQ(attr.lens->fx, 3678.87);
  EXPECT_FALSE(attr.processed);
  EXPECT_FALSE(attr.is_dng);

  // Regression: a GPS altitude with reference 1 lies below sea level.
  const ImageMeta elem = read("drone_elem.jpg");
  EXPECT_EQ(elem.abs_alt, -12.5);
  EXPECT_EQ(elem.gimbal_roll, 1.5);
  EXPECT_EQ(elem.px_per_mm, 4000.0);  // unit 4: already per mm

  const ImageMeta plain = read("plain.jpg");
  EXPECT_TRUE(plain.xmp.empty());
  EXPECT_TRUE(std::isnan(plain.exposure));
  EXPECT_TRUE(std::isnan(plain.focal_mm));
  EXPECT_TRUE(std::isnan(plain.rel_alt));
  EXPECT_EQ(plain.gimbal_roll, 0.0);
  EXPECT_TRUE(plain.make.empty());
  EXPECT_FALSE(plain.lens.has_value());  // no focal length anywhere
}

TEST_F(PhotoFixtures, JpegMetadataBeyondTheFirstMebibyte) {
  const ImageMeta m = read("big_head.jpg");
  EXPECT_EQ(m.width, 64u);  // the frame header is found by reading the whole file
  EXPECT_EQ(m.height, 48u);
  EXPECT_EQ(m.model, "FC6310R");  // the Exif segment lies inside the head
  EXPECT_TRUE(m.xmp.empty());     // the packet does not
  EXPECT_TRUE(std::isnan(m.rel_alt));
}

TEST_F(PhotoFixtures, DngDetails) {
  const ImageMeta m = read("raw.dng");
  EXPECT_TRUE(m.is_dng);
  EXPECT_EQ(m.original_name, "DJI_0001.DNG");
  EXPECT_EQ(m.lat, 47.25);
  EXPECT_EQ(m.lon, -8.5);
  EXPECT_TRUE(std::isnan(m.abs_alt));
  ASSERT_EQ(m.lens_ops.size(), 3u);
  const auto& warp = std::get<WarpOp>(m.lens_ops[0]);
  EXPECT_EQ(warp.kr1, -0.01);
  EXPECT_EQ(warp.cx, 0.51);
  const auto& gain = std::get<GainOp>(m.lens_ops[2]);
  EXPECT_EQ(gain.points_v, 2u);
  EXPECT_EQ(gain.points_h, 3u);
  EXPECT_EQ(gain.gains, (std::vector<float>{1.0f, 1.1f, 1.2f, 1.3f, 1.4f, 1.5f}));
  ASSERT_TRUE(m.lens.has_value());
  EXPECT_EQ(m.lens->kind, LensKind::DngWarp);
  EXPECT_EQ(m.lens->cx, 31 * 0.51);  // (W - 1) x the warp centre, W = 32 from the active area

  // Treated as processed, the same file keeps no lens corrections.
  const ImageMeta p = read("raw.dng", ProcessedMode::Yes);
  EXPECT_TRUE(p.processed);
  EXPECT_TRUE(p.lens_ops.empty());
  ASSERT_TRUE(p.lens.has_value());
  EXPECT_EQ(p.lens->kind, LensKind::None);

  const ImageMeta far = read("far_raw.dng");  // raw directory beyond the first 4 MiB
  EXPECT_EQ(far.width, 32u);
  EXPECT_EQ(far.height, 26u);
  EXPECT_EQ(far.lens_ops.size(), 3u);

  const ImageMeta turned = read("turned.DNG");
  EXPECT_TRUE(turned.is_dng);
  EXPECT_EQ(turned.width, 26u);
  EXPECT_EQ(turned.height, 32u);
}

TEST_F(PhotoFixtures, DevelopedTiffIsRecognised) {
  const ImageMeta m = read("developed.tif");
  EXPECT_TRUE(m.processed);
  EXPECT_EQ(m.original_name, "DJI_0007.DNG");
  EXPECT_EQ(m.gimbal_pitch, -90.0);
  EXPECT_FALSE(read("developed.tif", ProcessedMode::No).processed);

  const ImageMeta packet = read("packet_only.tif");  // no XMP tag: the packet is searched for
  EXPECT_EQ(packet.rel_alt, 33.3);
}

// Every cut and a fixed set of corruptions of each kind of file must read or fail with a
// message, never crash or run past the data (run it under AddressSanitizer too).
TEST_F(PhotoFixtures, TruncatedAndCorruptedFilesNeverCrash) {
  test::TempDir tmp;
  std::mt19937 rng(20240315);
  for (const char* name : {"drone_attr.jpg", "raw.dng", "developed.tif"}) {
    SCOPED_TRACE(name);
    const std::vector<uint8_t> bytes = test::read_file_bytes(dir / name);
    const fs::path target = tmp / name;
    size_t read_ok = 0;
    // Every cut inside the headers, then every 37th.
    for (size_t len = 0; len < bytes.size(); len += len < 64 ? 1 : 37) {
      test::write_file_bytes(target, std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(len)));
      read_ok += read_image_meta(target, std::nullopt, ProcessedMode::Auto).has_value();
    }
    for (int k = 0; k < 100; ++k) {
      std::vector<uint8_t> bad = bytes;
      for (int flips = 0; flips < 4; ++flips) bad[rng() % bad.size()] = static_cast<uint8_t>(rng());
      test::write_file_bytes(target, bad);
      read_ok += read_image_meta(target, std::nullopt, ProcessedMode::Auto).has_value();
    }
    EXPECT_GT(read_ok, 0u);
  }
}

// Builds a little-endian classic TIFF with one directory of SHORT entries.
std::vector<uint8_t> tiny_tiff(std::vector<std::pair<uint16_t, uint16_t>> entries) {
  std::vector<uint8_t> b = {'I', 'I', 42, 0, 8, 0, 0, 0};
  auto u16 = [&](uint16_t v) { b.push_back(v & 0xFF), b.push_back(v >> 8); };
  auto u32 = [&](uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
  u16(static_cast<uint16_t>(entries.size()));
  for (auto [tag, value] : entries) u16(tag), u16(3), u32(1), u16(value), u16(0);
  u32(0);
  return b;
}

TEST(ReadImageMeta, Failures) {
  test::TempDir dir;
  test::write_file_bytes(dir / "nosof.jpg", {0xFF, 0xD8, 0xFF, 0xE0, 0, 4, 0, 0, 0xFF, 0xD9});
  test::write_file_bytes(dir / "junk.tif", {'n', 'o', 't', ' ', 'a', ' ', 't', 'i', 'f', 'f'});
  test::write_file_bytes(dir / "junk.dng", {'n', 'o', 't'});
  test::write_file_bytes(dir / "nowidth.tiff", tiny_tiff({{257, 10}}));
  test::write_file_bytes(dir / "noheight.TIF", tiny_tiff({{256, 10}}));
  struct Case {
    const char* name;
    const char* want;
  } cases[] = {
      {"missing.jpg", "No such file or directory (os error 2)"},
      {"nosof.jpg", "cannot read JPEG size"},
      {"junk.tif", "not a TIFF"},
      {"junk.dng", "not a TIFF"},
      {"nowidth.tiff", "no width"},
      {"noheight.TIF", "no height"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto m = read_image_meta(dir / c.name, std::nullopt, ProcessedMode::Auto);
    ASSERT_FALSE(m.has_value());
    EXPECT_EQ(m.error(), c.want);
  }
  auto folder = read_image_meta(dir.path(), std::nullopt, ProcessedMode::Auto);
  ASSERT_FALSE(folder.has_value());
  EXPECT_EQ(folder.error(), "Is a directory (os error 21)");
}

TEST(ReadImageMeta, KindFollowsTheExtension) {
  test::TempDir dir;
  // A TIFF with width and height, named as a TIFF in capitals, and as a file without extension.
  test::write_file_bytes(dir / "a.Tiff", tiny_tiff({{256, 12}, {257, 7}}));
  test::write_file_bytes(dir / "noext", tiny_tiff({{256, 12}, {257, 7}}));
  auto tiff = read_image_meta(dir / "a.Tiff", std::nullopt, ProcessedMode::Auto);
  ASSERT_TRUE(tiff.has_value()) << tiff.error();
  EXPECT_EQ(tiff->width, 12u);
  EXPECT_FALSE(tiff->is_dng);
  auto jpeg = read_image_meta(dir / "noext", std::nullopt, ProcessedMode::Auto);
  ASSERT_FALSE(jpeg.has_value());
  EXPECT_EQ(jpeg.error(), "cannot read JPEG size");  // read as a JPEG
}

TEST(ReadFileHead, StopsAtTheLimitOrTheEnd) {
  test::TempDir dir;
  test::write_file_bytes(dir / "f", std::vector<uint8_t>(10, 7));
  EXPECT_EQ(read_file_head(dir / "f", 4)->size(), 4u);
  EXPECT_EQ(read_file_head(dir / "f", 100)->size(), 10u);
}

// The real 18-photo flight against the values exiftool read from it.
TEST(ReadImageMeta, RealFlightMatchesExpectedCsv) {
  TSL_REQUIRE_SHARED_DATA();
  const fs::path folder = test::shared_data_dir() / "dji-phantom3-brighton-beach";
  std::ifstream csv(folder / "expected-metadata.csv");
  ASSERT_TRUE(csv) << "expected-metadata.csv missing";
  std::string line;
  std::getline(csv, line);
  std::vector<std::string> columns;
  auto split = [](const std::string& s) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t comma; (comma = s.find(',', start)) != std::string::npos; start = comma + 1)
      out.push_back(s.substr(start, comma - start));
    out.push_back(s.substr(start));
    return out;
  };
  columns = split(line);
  size_t rows = 0;
  while (std::getline(csv, line)) {
    if (line.empty()) continue;
    const auto cells = split(line);
    ASSERT_EQ(cells.size(), columns.size());
    JsonValue row = JsonValue::empty_object();
    for (size_t k = 0; k < cells.size(); ++k) row.set_string(columns[k], cells[k]);
    SCOPED_TRACE(cells[0]);
    auto m = read_image_meta(folder / cells[0], std::nullopt, ProcessedMode::Auto);
    ASSERT_TRUE(m.has_value()) << m.error();
    EXPECT_EQ(m->width, num(row, "ImageWidth"));
    EXPECT_EQ(m->height, num(row, "ImageHeight"));
    EXPECT_EQ(m->make, text(row, "Make"));
    EXPECT_EQ(m->model, text(row, "Model"));
    EXPECT_EQ(m->time, text(row, "DateTimeOriginal"));
    // The CSV rounds ExposureTime to 4 significant digits.
    const double exposure = num(row, "ExposureTime") * num(row, "ISO") / std::pow(num(row, "FNumber"), 2);
    EXPECT_NEAR(m->exposure, exposure, 5e-4 * exposure);
    expect_same(m->focal_mm, num(row, "FocalLength"), "FocalLength");
    expect_same(m->focal_35mm, num(row, "FocalLengthIn35mmFormat"), "FocalLengthIn35mmFormat");
    EXPECT_NEAR(m->lat, num(row, "GPSLatitude"), 1e-12);
    EXPECT_NEAR(m->lon, num(row, "GPSLongitude"), 1e-12);
    expect_same(m->abs_alt, num(row, "AbsoluteAltitude"), "AbsoluteAltitude");
    expect_same(m->rel_alt, num(row, "RelativeAltitude"), "RelativeAltitude");
    expect_same(m->gimbal_roll, num(row, "GimbalRollDegree"), "GimbalRollDegree");
    expect_same(m->gimbal_yaw, num(row, "GimbalYawDegree"), "GimbalYawDegree");
    expect_same(m->gimbal_pitch, num(row, "GimbalPitchDegree"), "GimbalPitchDegree");
    expect_same(m->flight_yaw, num(row, "FlightYawDegree"), "FlightYawDegree");
    ASSERT_TRUE(m->lens.has_value());
    EXPECT_EQ(m->lens->kind, LensKind::None);
    EXPECT_NEAR(m->lens->fx, 20 * std::hypot(4000.0, 2250.0) / std::hypot(36.0, 24.0), 1e-9);
    ++rows;
  }
  EXPECT_EQ(rows, 18u);
}

}  // namespace
}  // namespace tsl
