#include "meta/exif_tags.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace tsl {
namespace {

// Little-endian entries as a TIFF file would hold them.
TiffEntry rational(uint16_t tag, std::vector<std::pair<int64_t, uint32_t>> values, bool is_signed = false) {
  TiffEntry e{tag, static_cast<uint16_t>(is_signed ? 10 : 5), values.size(), {}};
  for (auto [num, den] : values) {
    for (uint32_t v : {static_cast<uint32_t>(num), den})
      for (int b = 0; b < 4; ++b) e.value.push_back(static_cast<uint8_t>(v >> (8 * b)));
  }
  return e;
}
TiffEntry shorts(uint16_t tag, std::vector<uint16_t> values) {
  TiffEntry e{tag, 3, values.size(), {}};
  for (uint16_t v : values) e.value.push_back(v & 0xFF), e.value.push_back(v >> 8);
  return e;
}
TiffEntry byte_value(uint16_t tag, uint8_t v) { return TiffEntry{tag, 1, 1, {v}}; }
TiffEntry ascii(uint16_t tag, std::string text) {
  TiffEntry e{tag, 2, text.size() + 1, std::vector<uint8_t>(text.begin(), text.end())};
  e.value.push_back(0);
  return e;
}

Ifd with_exif(std::vector<TiffEntry> exif) {
  Ifd dir;
  dir.exif = std::make_unique<Ifd>();
  dir.exif->entries = std::move(exif);
  return dir;
}

Ifd with_gps(std::vector<TiffEntry> gps) {
  Ifd dir;
  dir.gps = std::make_unique<Ifd>();
  dir.gps->entries = std::move(gps);
  return dir;
}

TEST(ReadExifTags, FocalPlaneResolutionByUnit) {
  struct Case {
    const char* name;
    std::vector<TiffEntry> exif;
    double want;
  } cases[] = {
      {"centimetres", {rational(41486, {{2000, 1}}), shorts(41488, {3})}, 200.0},
      {"inches", {rational(41486, {{2000, 1}}), shorts(41488, {2})}, 2000 / 25.4},
      {"millimetres", {rational(41486, {{2000, 1}}), shorts(41488, {4})}, 2000.0},
      {"unit 1 counts as inches", {rational(41486, {{2000, 1}}), shorts(41488, {1})}, 2000 / 25.4},
      {"no unit: inches", {rational(41486, {{2000, 1}})}, 2000 / 25.4},
      {"unit without values: inches", {rational(41486, {{2000, 1}}), shorts(41488, {})}, 2000 / 25.4},
      {"zero resolution", {rational(41486, {{0, 1}}), shorts(41488, {3})}, NAN},
      {"negative resolution", {rational(41486, {{-5, 1}}, true), shorts(41488, {3})}, NAN},
      {"zero denominator", {rational(41486, {{5, 0}}), shorts(41488, {3})}, NAN},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    ImageMeta m;
    read_exif_tags(m, with_exif(std::move(c.exif)), true);
    if (std::isnan(c.want))
      EXPECT_TRUE(std::isnan(m.px_per_mm)) << m.px_per_mm;
    else
      EXPECT_DOUBLE_EQ(m.px_per_mm, c.want);
  }
}

TEST(ReadExifTags, ExposureTriple) {
  struct Case {
    const char* name;
    std::vector<TiffEntry> exif;
    double want;
  } cases[] = {
      {"1/1000 s, ISO 100, f/2.8", {rational(33434, {{1, 1000}}), rational(33437, {{28, 10}}), shorts(34855, {100})},
       0.001 * 100 / (2.8 * 2.8)},
      {"f-number 0", {rational(33434, {{1, 1000}}), rational(33437, {{0, 10}}), shorts(34855, {100})}, NAN},
      {"no f-number", {rational(33434, {{1, 1000}}), shorts(34855, {100})}, NAN},
      {"no ISO", {rational(33434, {{1, 1000}}), rational(33437, {{28, 10}})}, NAN},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    ImageMeta m;
    const double got = relative_exposure(read_exif_tags(m, with_exif(std::move(c.exif)), true));
    if (std::isnan(c.want))
      EXPECT_TRUE(std::isnan(got)) << got;
    else
      EXPECT_NEAR(got, c.want, 1e-15);
  }
  ImageMeta m;
  EXPECT_TRUE(std::isnan(read_exif_tags(m, Ifd{}, true)[0]));  // no Exif directory
}

TEST(ReadExifTags, GpsPositionAndAltitude) {
  const auto dms = [](uint16_t tag) { return rational(tag, {{45, 1}, {30, 1}, {36, 1}}); };
  struct Case {
    const char* name;
    std::vector<TiffEntry> gps;
    double lat, lon, alt;
  } cases[] = {
      {"south and west", {ascii(1, "S"), dms(2), ascii(3, "W"), dms(4), rational(6, {{1250, 100}})}, -45.51, -45.51,
       12.5},
      {"lower-case reference is not a hemisphere", {ascii(1, "s"), dms(2), dms(4)}, 45.51, 45.51, 7.0},
      {"reference of two characters", {ascii(1, "SW"), dms(2)}, 45.51, NAN, 7.0},
      // Regression: reference 1 means below sea level; the altitude itself is unsigned.
      {"below sea level", {dms(2), dms(4), byte_value(5, 1), rational(6, {{1250, 100}})}, 45.51, 45.51, -12.5},
      {"above sea level", {dms(2), dms(4), byte_value(5, 0), rational(6, {{1250, 100}})}, 45.51, 45.51, 12.5},
      {"fewer than three values", {rational(2, {{45, 1}, {30, 1}})}, NAN, NAN, 7.0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    ImageMeta m;
    m.abs_alt = 7.0;  // kept when the file has no altitude
    read_exif_tags(m, with_gps(std::move(c.gps)), true);
    for (auto [got, want] : {std::pair{m.lat, c.lat}, {m.lon, c.lon}, {m.abs_alt, c.alt}}) {
      if (std::isnan(want))
        EXPECT_TRUE(std::isnan(got)) << got;
      else
        EXPECT_NEAR(got, want, 1e-12);
    }
  }
}

TEST(ReadExifTags, CameraNamesOnlyWhileEmpty) {
  Ifd dir;
  dir.entries = {ascii(271, "  DJI  "), ascii(272, "FC300S"), ascii(305, "v01.23")};
  ImageMeta m;
  m.model = "already set";
  read_exif_tags(m, dir, true);
  EXPECT_EQ(m.make, "DJI");
  EXPECT_EQ(m.model, "already set");
  EXPECT_EQ(m.software, "v01.23");
}

}  // namespace
}  // namespace tsl
