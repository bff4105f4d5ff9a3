#include "meta/processed_detect.h"

#include <gtest/gtest.h>

namespace tsl {
namespace {

TEST(DetectProcessed, AutoModeSources) {
  struct Case {
    const char* name;
    const char* path;
    const char* software;
    const char* xmp;
    XmpAttrs attrs;
    bool want;
  } cases[] = {
      {"plain drone photo", "DJI_0001.JPG", "v01.23.4920", "<x:xmpmeta/>", {}, false},
      {"EXIF software names a developer", "a.dng", "Adobe Lightroom Classic 13.1", "", {}, true},
      {"CreatorTool attribute, any letter case", "a.dng", "", "xmp:CreatorTool=\"DxO PUREraw 3\"", {}, true},
      {"CreatorTool element", "a.tif", "", "<xmp:CreatorTool>Capture One 23</xmp:CreatorTool>", {}, true},
      {"CreatorTool with space before the value is ignored", "a.tif", "", "CreatorTool =\"darktable\"", {}, false},
      {"second CreatorTool counts", "a.tif", "", "CreatorTool=\"x\" CreatorTool=\"RawTherapee\"", {}, true},
      {"stem contains dxo in any case", "/f/IMG_1-DxO_DeepPRIME.dng", "", "", {}, true},
      {"folder named dxo does not count", "/dxo/IMG_1.dng", "", "", {}, false},
      {"our own frames", "frame.jpg", "", "", {{"TessalyProcessed", "1"}}, true},
      {"only exactly 1", "frame.jpg", "", "", {{"TessalyProcessed", "1.0"}}, false},
      {"Unicode lower-casing (Kelvin sign in darKtable)", "a.tif", "dar\xE2\x84\xAAtable", "", {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ImageMeta m;
    m.path = c.path;
    m.software = c.software;
    EXPECT_EQ(detect_processed(m, c.xmp, c.attrs, ProcessedMode::Auto), c.want);
  }
}

TEST(DetectProcessed, ModesNoAndYesDecideAlone) {
  ImageMeta dxo;
  dxo.path = "IMG_1-DxO.dng";
  dxo.software = "DxO PureRAW";
  const XmpAttrs flag = {{"TessalyProcessed", "1"}};
  EXPECT_FALSE(detect_processed(dxo, "", flag, ProcessedMode::No));
  ImageMeta plain;
  plain.path = "DJI_0001.JPG";
  EXPECT_TRUE(detect_processed(plain, "", {}, ProcessedMode::Yes));
}

TEST(ProcessedMode, FromOptionText) {
  EXPECT_EQ(processed_mode_from_text("no"), ProcessedMode::No);
  EXPECT_EQ(processed_mode_from_text("yes"), ProcessedMode::Yes);
  EXPECT_EQ(processed_mode_from_text("auto"), ProcessedMode::Auto);
  EXPECT_EQ(processed_mode_from_text("Yes"), ProcessedMode::Auto);
}

}  // namespace
}  // namespace tsl
