#include "meta/drone_xmp.h"

#include <gtest/gtest.h>

#include <cmath>

#include "util/text.h"

namespace tsl {
namespace {

std::span<const uint8_t> as_bytes(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

std::string packet(std::string_view body) {
  return "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF><rdf:Description " + std::string(body) +
         "</rdf:Description></rdf:RDF></x:xmpmeta>";
}

TEST(FindXmpPacket, CutsFromOpeningToClosingTag) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string want;
  } cases[] = {
      {"packet inside other bytes", "JUNK<x:xmpmeta a>x</x:xmpmeta>TAIL", "<x:xmpmeta a>x</x:xmpmeta>"},
      {"no closing tag", "<x:xmpmeta a>x</x:xmpmet", ""},
      {"closing tag only before the opening one", "</x:xmpmeta><x:xmpmeta>", ""},
      {"opening tag cut at the end", "abc<x:xmpme", ""},
      {"invalid UTF-8 is replaced", "<x:xmpmeta>\xff</x:xmpmeta>", "<x:xmpmeta>\xEF\xBF\xBD</x:xmpmeta>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(find_xmp_packet(as_bytes(c.bytes)), c.want);
  }
}

TEST(ScanDroneXmp, AttributeAndElementForms) {
  struct Case {
    const char* name;
    std::string text;
    XmpAttrs want;
  } cases[] = {
      {"attribute form keeps values verbatim",
       packet("drone-dji:GimbalYawDegree=\"+45.30\" drone-dji:Model=\"FC300S\">"),
       {{"GimbalYawDegree", "+45.30"}, {"Model", "FC300S"}}},
      {"element form", packet("><drone-dji:RelativeAltitude>+40.1</drone-dji:RelativeAltitude>"),
       {{"RelativeAltitude", "+40.1"}}},
      {"an attribute wins over an earlier element of the same name",
       packet("><drone-dji:A>1</drone-dji:A><x drone-dji:A=\"2\" drone-dji:B=\"3\"/>"), {{"A", "2"}, {"B", "3"}}},
      {"of two attributes the first wins", packet("drone-dji:A=\"1\" drone-dji:A=\"2\">"), {{"A", "1"}}},
      {"element followed by another tag is not collected", packet("><drone-dji:A>1<b/></drone-dji:A>"), {}},
      {"the closing tag's name is not compared", packet("><drone-dji:A>1</drone-dji:B>"), {{"A", "1"}}},
      {"attribute without closing quote", "drone-dji:A=\"1", {}},
      {"single-quoted attribute is not read", "drone-dji:A='1'", {}},
      {"prefix at the very end", "x drone-dji:", {}},
      {"name stops at the first other byte", "drone-dji:Gimbal-Yaw=\"1\" drone-dji:X_2=\"5\"", {{"X_2", "5"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(scan_drone_xmp(c.text), c.want);
  }
}

TEST(XmpNumber, AliasesSignsAndFallThrough) {
  const XmpAttrs attrs = {{"Plus", "+22.5"},    {"Bad", "n/a"},      {"Good", "22.5"},  {"Space", " 7 "},
                          {"Inf", "INF"},       {"Nan", "nan"},      {"Exp", "1e3"},    {"PlusMinus", "+-3"}};
  struct Case {
    std::initializer_list<std::string_view> names;
    double want;
  } cases[] = {
      {{"Plus"}, 22.5},      {{"Bad", "Good"}, 22.5}, {{"Missing", "Good"}, 22.5}, {{"Space"}, 7.0},
      {{"Inf"}, INFINITY},   {{"Exp"}, 1000.0},       {{"PlusMinus"}, -3.0},       {{"Good", "Plus"}, 22.5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(*c.names.begin());
    EXPECT_EQ(xmp_number(attrs, c.names), c.want);
  }
  EXPECT_TRUE(std::isnan(xmp_number(attrs, {"Nan"})));
  EXPECT_TRUE(std::isnan(xmp_number(attrs, {"Bad"})));
  EXPECT_TRUE(std::isnan(xmp_number(attrs, {"Missing"})));
}

TEST(XmpOriginalName, PreservedBeforeOriginal) {
  struct Case {
    const char* text;
    std::optional<std::string> want;
  } cases[] = {
      {"xmpMM:PreservedFileName=\"DJI_0001.DNG\" crs:OriginalFileName=\"x.dng\"", "DJI_0001.DNG"},
      {"crs:OriginalFileName = \"x.dng\"", "x.dng"},
      {"xmpMM:PreservedFileName>DJI_0001.DNG</xmpMM:PreservedFileName> OriginalFileName=\"y\"", "y"},
      {"PreservedFileName=\"\"", ""},
      {"PreservedFileName=\"unterminated", std::nullopt},
      {"no names here", std::nullopt},
      // Only the first occurrence of a name is examined.
      {"PreservedFileName PreservedFileName=\"late\"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(xmp_original_name(c.text), c.want);
  }
}

TEST(ApplyDroneXmp, PositionAltitudeAndAngleRules) {
  struct Case {
    const char* name;
    XmpAttrs attrs;
    double lat, lon, abs_alt, yaw, roll;
  };
  // EXIF gave lat 1, lon 2, altitude 3 before the XMP is applied.
  const Case cases[] = {
      {"XMP position replaces EXIF", {{"GpsLatitude", "+22.5"}, {"GpsLongitude", "-8.25"}}, 22.5, -8.25, 3, NAN, 0},
      {"both zero keep EXIF", {{"GpsLatitude", "0"}, {"GpsLongitude", "0.0"}}, 1, 2, 3, NAN, 0},
      {"one zero replaces", {{"GpsLatitude", "0"}, {"GpsLongitude", "5"}}, 0, 5, 3, NAN, 0},
      {"misspelt longitude alias", {{"GpsLatitude", "10"}, {"GpsLongtitude", "20"}}, 10, 20, 3, NAN, 0},
      {"GpsLongitude wins over the misspelt one",
       {{"GpsLatitude", "10"}, {"GpsLongtitude", "20"}, {"GpsLongitude", "30"}}, 10, 30, 3, NAN, 0},
      {"unparsable first alias falls through", {{"GpsLatitude", "x"}, {"GPSLatitude", "22.5"}, {"GPSLongitude", "1"}},
       22.5, 1, 3, NAN, 0},
      {"only latitude keeps EXIF", {{"GpsLatitude", "10"}}, 1, 2, 3, NAN, 0},
      {"absolute altitude replaces EXIF", {{"AbsoluteAltitude", "+198.31"}}, 1, 2, 198.31, NAN, 0},
      {"flight yaw stands in for gimbal yaw", {{"FlightYawDegree", "90"}}, 1, 2, 3, 90, 0},
      {"roll NaN reads as 0", {{"GimbalRollDegree", "nan"}, {"GimbalYawDegree", "-131.5"}}, 1, 2, 3, -131.5, 0},
      {"roll read", {{"GimbalRollDegree", "+1.5"}}, 1, 2, 3, NAN, 1.5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ImageMeta m;
    m.lat = 1, m.lon = 2, m.abs_alt = 3;
    apply_drone_xmp(m, c.attrs);
    EXPECT_EQ(m.lat, c.lat);
    EXPECT_EQ(m.lon, c.lon);
    EXPECT_EQ(m.abs_alt, c.abs_alt);
    if (std::isnan(c.yaw))
      EXPECT_TRUE(std::isnan(m.gimbal_yaw));
    else
      EXPECT_EQ(m.gimbal_yaw, c.yaw);
    EXPECT_EQ(m.gimbal_roll, c.roll);
    EXPECT_EQ(m.xmp, c.attrs);
  }
}

TEST(ApplyDroneXmp, EmptyPacketLeavesPoseMissing) {
  ImageMeta m;
  apply_drone_xmp(m, scan_drone_xmp(""));
  EXPECT_TRUE(m.xmp.empty());
  EXPECT_TRUE(std::isnan(m.rel_alt));
  EXPECT_TRUE(std::isnan(m.gimbal_yaw));
  EXPECT_TRUE(std::isnan(m.gimbal_pitch));
  EXPECT_TRUE(std::isnan(m.flight_yaw));
  EXPECT_EQ(m.gimbal_roll, 0.0);
}

}  // namespace
}  // namespace tsl
