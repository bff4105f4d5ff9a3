#include "img/ops/feature_image.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "img/ops/ops_test_util.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

ImageU8 grey_image(size_t w, size_t h, uint8_t value) {
  ImageU8 img(w, h, 1);
  std::fill(img.data.begin(), img.data.end(), value);
  return img;
}

ImageU16 rgb_image(size_t w, size_t h, uint16_t r, uint16_t g, uint16_t b) {
  ImageU16 img(w, h, 3);
  for (size_t i = 0; i < w * h; ++i) {
    img.data[3 * i] = r;
    img.data[3 * i + 1] = g;
    img.data[3 * i + 2] = b;
  }
  return img;
}

TEST(EqualizeClahe, FlatImageMapsThroughTheClippedHistogram) {
  // 64 x 64 at 128: tiles of 8 x 8 (A = 64), clip limit 1, the excess of 63 spread as single
  // counts on bins 0, 4, ..., 248, so the running sum at 128 is 34 and the table gives
  // round(34 x 255 / 64) = 135.
  EXPECT_EQ(equalize_clahe(grey_image(64, 64, 128)).data, std::vector<uint8_t>(64 * 64, 135));
  // All white: the running sum at 255 is the whole tile.
  EXPECT_EQ(equalize_clahe(grey_image(20, 12, 255)).data, std::vector<uint8_t>(20 * 12, 255));
}

TEST(EqualizeClahe, TinyAndEmptyImages) {
  // Smaller than the 8 x 8 grid: one-pixel tiles built by reflection.
  ImageU8 tiny(5, 3, 1);
  for (size_t i = 0; i < tiny.data.size(); ++i) tiny.data[i] = static_cast<uint8_t>(i * 17);
  const ImageU8 out = equalize_clahe(tiny);
  EXPECT_EQ(out.data.size(), 15u);
  EXPECT_TRUE(equalize_clahe(ImageU8(0, 4, 1)).data.empty());
  EXPECT_THROW(equalize_clahe(ImageU8(4, 4, 3)), InternalError);
}

TEST(PrepareFeatureImage, WhiteAndBlackReachTheEnds) {
  // White is luma 65535 and grey 255 before equalisation, black stays 0: a half-white,
  // half-black photo equalises like that grey image.
  ImageU16 rgb = rgb_image(16, 16, 0, 0, 0);
  ImageU8 grey = grey_image(16, 16, 0);
  for (size_t i = 0; i < 16 * 8; ++i) {
    rgb.data[3 * i] = rgb.data[3 * i + 1] = rgb.data[3 * i + 2] = 65535;
    grey.data[i] = 255;
  }
  EXPECT_EQ(prepare_feature_image(rgb).data, equalize_clahe(grey).data);
  EXPECT_TRUE(prepare_feature_image(ImageU16(0, 0, 3)).data.empty());
  ImageU16 bad = rgb_image(4, 4, 1, 2, 3);
  bad.data.push_back(0);
  EXPECT_THROW(prepare_feature_image(bad), InternalError);
}

// Sizes cover a multiple of 8, an image 100 pixels wide (tiles of 13, the last reading
// columns 98..95 past the edge) and odd sizes on both axes.
TEST(PrepareFeatureImage, AgreesWithNumpyGammaAndOpenCvClahe) {
  TSL_REQUIRE_OPS_ORACLE();
  const std::pair<size_t, size_t> sizes[] = {{64, 48}, {100, 37}, {203, 111}, {7, 5}};
  test::TempDir dir;
  std::vector<ImageU8> ours;
  std::mt19937 rng(31);
  for (size_t i = 0; i < std::size(sizes); ++i) {
    auto [w, h] = sizes[i];
    // Smooth gradients with noise, so tiles differ and the clip limit matters.
    ImageU16 img(w, h, 3);
    std::normal_distribution<float> noise(0.0f, 2500.0f);
    for (size_t y = 0; y < h; ++y) {
      for (size_t x = 0; x < w; ++x) {
        const float base = 30000.0f * static_cast<float>(x) / static_cast<float>(w) +
                           20000.0f * static_cast<float>(y * y) / static_cast<float>(h * h);
        for (size_t c = 0; c < 3; ++c) {
          const float v = base * (0.6f + 0.2f * static_cast<float>(c)) + noise(rng);
          img.data[(y * w + x) * 3 + c] = static_cast<uint16_t>(std::clamp(v, 0.0f, 65535.0f));
        }
      }
    }
    test::save_raw<uint16_t>(dir / format("in{}.u16", i), img.data);
    ours.push_back(prepare_feature_image(img));
  }
  std::string code = "sizes = [";
  for (auto [w, h] : sizes) code += format("({}, {}), ", w, h);
  code += R"(]
clahe = cv2.createCLAHE(2.0, (8, 8))
for i, (w, h) in enumerate(sizes):
    rgb = np.fromfile(f'in{i}.u16', np.uint16).reshape(h, w, 3).astype(np.float32)
    y = rgb[..., 2] * np.float32(0.114) + (rgb[..., 1] * np.float32(0.587) + rgb[..., 0] * np.float32(0.299))
    y = np.floor(y + np.float32(0.5))
    v = np.clip(y / np.float32(65535), 0, 1)
    g = np.floor(np.power(v, np.float32(1 / 2.2)) * np.float32(255) + np.float32(0.5))
    g = np.clip(g, 0, 255).astype(np.uint8)
    clahe.apply(g).tofile(f'out{i}.u8')
)";
  ASSERT_TRUE(test::run_python_oracle(dir.path(), code));
  for (size_t i = 0; i < std::size(sizes); ++i) {
    SCOPED_TRACE(format("{}x{}", sizes[i].first, sizes[i].second));
    const std::vector<uint8_t> want = test::load_raw<uint8_t>(dir / format("out{}.u8", i));
    ASSERT_EQ(want.size(), ours[i].data.size());
    size_t differing = 0;
    int worst = 0;
    for (size_t k = 0; k < want.size(); ++k) {
      const int d = std::abs(int(want[k]) - int(ours[i].data[k]));
      worst = std::max(worst, d);
      differing += d != 0;
    }
    // OpenCV rounds halves to even (in its tables and in the blend) where we round them away
    // from zero, and scales its tables in f32; numpy's power may differ from powf by an ulp
    // at a rounding edge. Each moves a value by one level at most. Halves are common: with
    // 8 x 6 tiles 255 / A is exact and one running sum in 16 ends in .5, and a pixel midway
    // between tile centres blends two tables half and half. So up to a tenth may differ.
    EXPECT_LE(worst, 1);
    EXPECT_LE(differing, want.size() / 10) << differing << " of " << want.size() << " differ";
  }
}

}  // namespace
}  // namespace tsl
