#include "diag/frame.h"

#include <gtest/gtest.h>

#include <cmath>

#include "img/jpeg/encode.h"
#include "meta/meta_reader.h"
#include "support/test_util.h"

namespace tsl {
namespace {

const std::string* attr(const XmpAttrs& attrs, std::string_view name) { return xmp_value(attrs, name); }

ImageMeta sample_photo() {
  ImageMeta m;
  m.path = "/flights/a/DJI_0042.JPG";
  m.make = "DJI";
  m.model = "FC6310";
  m.time = "2024:05:14 10:30:00";
  m.lat = 47.5;
  m.lon = -8.25;
  m.rel_alt = 0.0;
  m.gimbal_yaw = 12.345;
  m.gimbal_pitch = -90.0;
  m.gimbal_roll = 0.0;
  m.exposure = 0.0784;
  m.focal_mm = 8.8;
  m.focal_35mm = 24.4;
  m.xmp = {{"GpsLatitude", "old"}, {"DewarpData", "2018-01-01;1,2,3"}, {"Serial", "a\"b&c<d>"}};
  return m;
}

TEST(DiagFrameXmp, SetXmpAttrReplacesFirstOrAppends) {
  XmpAttrs list = {{"A", "1"}, {"B", "2"}};
  set_xmp_attr(list, "A", "x");
  set_xmp_attr(list, "C", "3");
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0], (std::pair<std::string, std::string>{"A", "x"}));
  EXPECT_EQ(list[2], (std::pair<std::string, std::string>{"C", "3"}));
}

TEST(DiagFrameXmp, AttributesFormatsAndOrder) {
  const XmpAttrs a = frame_xmp_attrs(sample_photo());
  // The photo's own attributes first, without DewarpData, GpsLatitude replaced in place.
  ASSERT_GE(a.size(), 2u);
  EXPECT_EQ(a[0].first, "GpsLatitude");
  EXPECT_EQ(a[1].first, "Serial");
  EXPECT_EQ(attr(a, "DewarpData"), nullptr);
  const std::pair<const char*, const char*> expected[] = {
      {"GpsLatitude", "+47.500000000"}, {"GpsLongitude", "-8.250000000"}, {"RelativeAltitude", "+0.00"},
      {"GimbalYawDegree", "+12.35"},    {"GimbalPitchDegree", "-90.00"},  {"GimbalRollDegree", "+0.00"},
      {"TessalySource", "DJI_0042.JPG"}, {"TessalyProcessed", "0"},
  };
  for (const auto& [name, value] : expected) {
    ASSERT_NE(attr(a, name), nullptr) << name;
    EXPECT_EQ(*attr(a, name), value) << name;
  }
  EXPECT_EQ(a.back().first, "TessalyProcessed");
}

TEST(DiagFrameXmp, MissingNumbersKeepThePhotosTextAndSourceNamesTheOriginal) {
  ImageMeta m = sample_photo();
  m.lat = std::nan("");
  m.lon = std::nan("");
  m.meta_from = "DJI_0042_orig.JPG";
  m.processed = true;
  const XmpAttrs a = frame_xmp_attrs(m);
  EXPECT_EQ(*attr(a, "GpsLatitude"), "old");
  EXPECT_EQ(attr(a, "GpsLongitude"), nullptr);
  EXPECT_EQ(*attr(a, "TessalySource"), "DJI_0042.JPG (meta from DJI_0042_orig.JPG)");
  EXPECT_EQ(*attr(a, "TessalyProcessed"), "1");
}

TEST(DiagFrameXmp, PacketEscapesEveryMarkupCharacter) {
  const std::string packet = frame_xmp_packet({{"Serial", "a\"b&c<d>"}, {"X", "1"}});
  EXPECT_NE(packet.find("drone-dji:Serial=\"a&quot;b&amp;c&lt;d&gt;\"\n   drone-dji:X=\"1\"/></rdf:RDF></x:xmpmeta>"),
            std::string::npos)
      << packet;
  EXPECT_EQ(packet.rfind("<x:xmpmeta xmlns:x=", 0), 0u);
  EXPECT_EQ(packet.find("xpacket"), std::string::npos);
}

TEST(DiagFrameXmp, PacketIsWellFormedXml) {
  TSL_REQUIRE_TOOL("xmllint");
  test::TempDir dir;
  test::write_file_text(dir / "p.xml", frame_xmp_packet(frame_xmp_attrs(sample_photo())));
  const auto r = test::run_command("xmllint --noout " + test::shell_quote((dir / "p.xml").string()));
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

// Reads a little-endian u16/u32 of the EXIF block's TIFF stream (after "Exif\0\0").
uint32_t le(const std::vector<uint8_t>& b, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | b[6 + at + static_cast<size_t>(i)];
  return v;
}

TEST(DiagFrameExif, Ifd0PointsToTheExifDirectoryEvenWhenItIsEmpty) {
  ImageMeta m;  // no make, model, software, exposure, time or focal lengths
  const std::vector<uint8_t> b = frame_exif_block(m);
  ASSERT_EQ(std::string(b.begin(), b.begin() + 6), std::string("Exif\0\0", 6));
  EXPECT_EQ(le(b, 8, 2), 4u);                  // four IFD0 entries
  const uint32_t exif_at = le(b, 8 + 2 + 3 * 12 + 8, 4);
  EXPECT_EQ(exif_at, 62u);                     // "DJI" and the empty texts fit in the entries
  EXPECT_EQ(le(b, exif_at, 2), 0u);            // an Exif directory without entries
  EXPECT_EQ(b.size(), 6u + 62u + 2u + 4u);
}

TEST(DiagFrameExif, ExposureIsTheEquivalentTimeAtF28Iso100) {
  const std::vector<uint8_t> b = frame_exif_block(sample_photo());
  const uint32_t exif_at = le(b, 8 + 2 + 3 * 12 + 8, 4);
  EXPECT_EQ(exif_at, 62u + 0u + 8u + 0u);  // "FC6310" takes 7 bytes, padded to 8
  ASSERT_EQ(le(b, exif_at, 2), 6u);
  // First entry: ExposureTime, a RATIONAL whose value lies in the data area.
  EXPECT_EQ(le(b, exif_at + 2, 2), 33434u);
  const uint32_t at = le(b, exif_at + 2 + 8, 4);
  const double t = static_cast<double>(le(b, at, 4)) / static_cast<double>(le(b, at + 4, 4));
  // 0.0784 x 2.8^2 / 100 s: reading time x ISO / f-number^2 back gives the exposure value.
  EXPECT_NEAR(t, 0.00614656, 1e-6);
  EXPECT_NEAR(t * 100.0 / (2.8 * 2.8), 0.0784, 2e-5);  // the rational keeps 6 decimals
}

// A frame made from a real photo of the flight: exiftool reads the tags back, djpeg decodes
// it, and our own metadata reader accepts it as an input photo.
TEST(DiagFrameJpeg, RealPhotoRoundTrip) {
  const auto photo_path = test::source_dir() / "samples/flight/DJI_0001.JPG";
  auto meta = read_image_meta(photo_path, std::nullopt, ProcessedMode::Auto);
  ASSERT_TRUE(meta) << meta.error();
  auto jpeg = diag_frame_jpeg(*meta, 512);
  ASSERT_TRUE(jpeg) << jpeg.error();
  test::TempDir dir;
  const auto frame_path = dir / "frame.jpg";
  test::write_file_bytes(frame_path, *jpeg);

  auto back = read_image_meta(frame_path, std::nullopt, ProcessedMode::Auto);
  ASSERT_TRUE(back) << back.error();
  EXPECT_NEAR(back->lat, meta->lat, 1e-9);
  EXPECT_NEAR(back->lon, meta->lon, 1e-9);
  EXPECT_NEAR(back->rel_alt, meta->rel_alt, 0.006);
  EXPECT_NEAR(back->exposure, meta->exposure, meta->exposure * 1e-3);
  EXPECT_EQ(std::max(back->width, back->height), 512u);
  EXPECT_FALSE(back->processed);

  if (test::have_tool("djpeg")) {
    const auto r = test::run_command("djpeg -outfile /dev/null " + test::shell_quote(frame_path.string()));
    EXPECT_EQ(r.exit_code, 0) << r.err;
  }
  if (test::have_tool("exiftool")) {
    const auto r = test::run_command("exiftool -n -s3 -GPSLatitude -Make -ExposureTime -FNumber -ISO " +
                                     test::shell_quote(frame_path.string()));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find(meta->make), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n2.8\n100"), std::string::npos) << r.out;
  }
}

TEST(DiagFrameJpeg, SizeRequestsAreClampedAndNeverEnlarge) {
  const auto photo_path = test::source_dir() / "samples/flight/DJI_0002.JPG";
  auto meta = read_image_meta(photo_path, std::nullopt, ProcessedMode::Auto);
  ASSERT_TRUE(meta) << meta.error();
  const uint64_t full = std::max(meta->width, meta->height);
  const std::pair<uint64_t, uint64_t> cases[] = {{0, DIAG_FRAME_MIN_PX}, {300, 300}, {full * 3, full}};
  for (const auto& [request, side] : cases) {
    auto jpeg = diag_frame_jpeg(*meta, request);
    ASSERT_TRUE(jpeg) << jpeg.error();
    test::TempDir dir;
    test::write_file_bytes(dir / "f.jpg", *jpeg);
    auto back = read_image_meta(dir / "f.jpg", std::nullopt, ProcessedMode::Auto);
    ASSERT_TRUE(back) << back.error();
    EXPECT_NEAR(static_cast<double>(std::max(back->width, back->height)), static_cast<double>(side),
                0.02 * static_cast<double>(side))
        << "request " << request;
  }
}

TEST(DiagFrameJpeg, UnreadablePhotoGivesTheLoadersMessage) {
  ImageMeta m = sample_photo();
  m.path = "/nonexistent/DJI_9999.JPG";
  m.width = 100;
  m.height = 80;
  auto jpeg = diag_frame_jpeg(m, 64);
  ASSERT_FALSE(jpeg);
  EXPECT_NE(jpeg.error().find("DJI_9999.JPG"), std::string::npos) << jpeg.error();
}

}  // namespace
}  // namespace tsl
