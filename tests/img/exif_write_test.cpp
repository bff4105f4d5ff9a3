#include "img/exif_write.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/test_util.h"
#include "util/byte_samples.h"

namespace tsl {
namespace {

using test::Bytes;
using test::u16_at;
using test::u32_at;


TEST(WriteExifIfd, LaysOutEntriesAndTheDataArea) {
  const std::vector<ExifTag> tags = {
      {271, std::string("DJI")},         // count 4: inside the entry
      {272, std::string("FC6310S12")},   // count 10: data area at 62
      {305, std::string("v1.2.3")},      // count 7: at 72, then one pad byte
      {34665, uint32_t{200}},
  };
  Bytes data = {0xAA};  // the caller's earlier data stays in front
  const Bytes dir = write_exif_ifd(tags, 8, data);
  ASSERT_EQ(dir.size(), 2u + 4 * 12 + 4);
  EXPECT_EQ(u16_at(dir, 0), 4);
  // Make: tag, type 2, count 4, "DJI\0" in place.
  EXPECT_EQ(Bytes(dir.begin() + 2, dir.begin() + 14), (Bytes{0x0F, 0x01, 2, 0, 4, 0, 0, 0, 'D', 'J', 'I', 0}));
  EXPECT_EQ(u32_at(dir, 14 + 4), 10u);
  EXPECT_EQ(u32_at(dir, 14 + 8), 62u);
  EXPECT_EQ(u32_at(dir, 26 + 4), 7u);
  EXPECT_EQ(u32_at(dir, 26 + 8), 72u);
  EXPECT_EQ(Bytes(dir.begin() + 38, dir.begin() + 50), (Bytes{0x69, 0x87, 4, 0, 1, 0, 0, 0, 200, 0, 0, 0}));
  EXPECT_EQ(u32_at(dir, 50), 0u);  // no next directory
  const std::string area("FC6310S12\0v1.2.3\0\0", 18);
  EXPECT_EQ(data.size(), 1 + area.size());
  EXPECT_EQ(std::string(data.begin() + 1, data.end()), std::string(area.data(), area.size()));
}

TEST(WriteExifIfd, ShortsEmptyTextAndRationals) {
  struct Case {
    double value;
    uint32_t numerator;
  };
  const Case rationals[] = {{0.0025, 2500},         {1.0 / 3.0, 333333}, {-1, 0},       {5000, 4294967295u},
                            {NAN, 0},               {2.8, 2800000},      {0.0000005, 1}, {4294.967295, 4294967295u},
                            {-0.0000004, 0}};
  std::vector<ExifTag> tags(2 + std::size(rationals));
  tags[0] = {34855, uint16_t{3}};
  tags[1] = {36867, std::string()};
  for (size_t k = 0; k < std::size(rationals); ++k) tags[2 + k] = {33434, rationals[k].value};
  Bytes data;
  const Bytes dir = write_exif_ifd(tags, 100, data);
  EXPECT_EQ(Bytes(dir.begin() + 2, dir.begin() + 14), (Bytes{0x27, 0x88, 3, 0, 1, 0, 0, 0, 3, 0, 0, 0}));
  EXPECT_EQ(Bytes(dir.begin() + 14, dir.begin() + 26), (Bytes{0x03, 0x90, 2, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
  const uint32_t area_at = 100 + 12 * static_cast<uint32_t>(tags.size()) + 6;
  ASSERT_EQ(data.size(), 8 * std::size(rationals));
  for (size_t k = 0; k < std::size(rationals); ++k) {
    SCOPED_TRACE(rationals[k].value);
    const size_t entry = 2 + 12 * (2 + k);
    EXPECT_EQ(u16_at(dir, entry + 2), 5);
    EXPECT_EQ(u32_at(dir, entry + 8), area_at + 8 * k);
    EXPECT_EQ(u32_at(data, 8 * k), rationals[k].numerator);
    EXPECT_EQ(u32_at(data, 8 * k + 4), 1000000u);
  }
}

// The EXIF block of a diagnostics frame, read back by exiftool.
TEST(WriteExifIfd, ExiftoolReadsTheBlock) {
  TSL_REQUIRE_TOOL("exiftool");
  const std::vector<ExifTag> ifd0_tags = {{271, std::string("DJI")},
                                          {272, std::string("FC6310S")},
                                          {305, std::string("v01.08.1719")},
                                          {34665, uint32_t{0}}};
  Bytes probe;
  const size_t ifd0_len = write_exif_ifd(ifd0_tags, 8, probe).size();
  const uint32_t exif_at = static_cast<uint32_t>(8 + ifd0_len + probe.size());
  std::vector<ExifTag> fixed0 = ifd0_tags;
  fixed0[3].value = exif_at;
  Bytes tiff = {'I', 'I', 42, 0, 8, 0, 0, 0};
  Bytes data0;
  const Bytes ifd0 = write_exif_ifd(fixed0, 8, data0);
  tiff.insert(tiff.end(), ifd0.begin(), ifd0.end());
  tiff.insert(tiff.end(), data0.begin(), data0.end());
  ASSERT_EQ(tiff.size(), exif_at);
  const std::vector<ExifTag> exif_tags = {{33434, 0.0025},
                                          {33437, 2.8},
                                          {34855, uint16_t{100}},
                                          {36867, std::string("2023:05:01 10:20:30")},
                                          {37386, 8.8},
                                          {41989, uint16_t{24}}};
  Bytes data1;
  const Bytes ifd1 = write_exif_ifd(exif_tags, exif_at, data1);
  tiff.insert(tiff.end(), ifd1.begin(), ifd1.end());
  tiff.insert(tiff.end(), data1.begin(), data1.end());

  test::TempDir dir;
  test::write_file_bytes(dir / "frame.exif", tiff);
  auto r = test::run_command("exiftool -s -s -n -Make -Model -Software -ExposureTime -FNumber -ISO "
                             "-DateTimeOriginal -FocalLength -FocalLengthIn35mmFormat " +
                             test::shell_quote((dir / "frame.exif").string()));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "Make: DJI\n"
            "Model: FC6310S\n"
            "Software: v01.08.1719\n"
            "ExposureTime: 0.0025\n"
            "FNumber: 2.8\n"
            "ISO: 100\n"
            "DateTimeOriginal: 2023:05:01 10:20:30\n"
            "FocalLength: 8.8\n"
            "FocalLengthIn35mmFormat: 24\n");
  EXPECT_EQ(r.err, "");
}

}  // namespace
}  // namespace tsl
