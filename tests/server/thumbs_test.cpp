#include "server/thumbs.h"

#include <gtest/gtest.h>

#include "img/jpeg/decode.h"
#include "img/jpeg/encode.h"

namespace tsl {
namespace {

TEST(ThumbDenominator, Rule) {
  EXPECT_EQ(thumb_denominator(4000, 3000, 320), 8u);  // 500 x 375
  EXPECT_EQ(thumb_denominator(1000, 200, 320), 1u);   // 100 < 160 at every reduction
  EXPECT_EQ(thumb_denominator(1024, 768, 320), 2u);
  EXPECT_EQ(thumb_denominator(100, 100, 0), 8u);
}

std::vector<uint8_t> jpeg_of(size_t w, size_t h) {
  ImageU8 img(w, h, 3);
  for (size_t i = 0; i < img.data.size(); ++i) img.data[i] = static_cast<uint8_t>(i * 7);
  return *encode_jpeg(img, 90);
}

TEST(MakeThumbnail, SizesOfTheJpegRoute) {
  struct Case {
    size_t w, h;
    uint64_t size;
    size_t tw, th;
  };
  const Case cases[] = {
      {4000, 3000, 320, 320, 240}, {1000, 200, 320, 320, 64}, {200, 100, 320, 200, 100}, {200, 100, 0, 1, 1}};
  for (const Case& c : cases) {
    auto thumb = make_thumbnail("x.JPG", jpeg_of(c.w, c.h), c.size);
    ASSERT_TRUE(thumb) << thumb.error();
    auto info = probe_jpeg(*thumb);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->width, c.tw) << c.w << "x" << c.h;
    EXPECT_EQ(info->height, c.th) << c.w << "x" << c.h;
  }
}

TEST(MakeThumbnail, Errors) {
  std::string text = "plain text";
  std::vector<uint8_t> bytes(text.begin(), text.end());
  auto j = make_thumbnail("x.jpg", bytes, 320);
  ASSERT_FALSE(j);
  EXPECT_EQ(j.error(), "not a JPEG");
  EXPECT_FALSE(make_thumbnail("x.tiff", bytes, 320));
  // A DNG that is no TIFF has no preview and cannot be developed either.
  EXPECT_FALSE(make_thumbnail("IMG_0001.DNG", bytes, 320));
}

}  // namespace
}  // namespace tsl
