#include "render/tone.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tsl {
namespace {

TEST(ToneMapPixel, NeutralIsThePlainSrgbCurve) {
  struct Case {
    float linear;
    float encoded;
    uint8_t byte;
  };
  // The IEC 61966-2-1 curve; bytes rounded half away from zero.
  const Case cases[] = {{0.5f, 0.73536f, 188}, {0.18f, 0.46136f, 118}, {0.002f, 0.02584f, 7},
                        {0.0f, 0.0f, 0},       {1.0f, 1.0f, 255},       {2.5f, 1.0f, 255},
                        {-0.3f, 0.0f, 0}};
  const ToneSettings neutral;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.linear);
    const auto v = tone_map_pixel(c.linear, c.linear, c.linear, neutral);
    for (float x : v) EXPECT_NEAR(x, c.encoded, 2e-5);
    ImageF32 img(1, 1, 3);
    img.data = {c.linear, c.linear, c.linear};
    EXPECT_EQ(tone_map_image(img, neutral), (std::vector<uint8_t>{c.byte, c.byte, c.byte}));
  }
}

TEST(ToneMapPixel, ExposureWhiteBalanceSaturationContrast) {
  struct Case {
    const char* name;
    ToneSettings tone;
    std::array<float, 3> in;
    std::array<float, 3> want;  // display values
  };
  const auto srgb = [](float x) { return x <= 0.0031308f ? 12.92f * x : 1.055f * std::pow(x, 1 / 2.4f) - 0.055f; };
  // Linear values whose encodings are 0.25 and 0.75.
  const auto lin = [](float v) { return std::pow((v + 0.055f) / 1.055f, 2.4f); };
  const float y = 0.2126f * 0.8f + 0.7152f * 0.2f + 0.0722f * 0.1f;
  const Case cases[] = {
      {"ev +1 doubles", {1.0, {1, 1, 1}, 1, 0}, {0.1f, 0.2f, 0.3f}, {srgb(0.2f), srgb(0.4f), srgb(0.6f)}},
      {"white balance", {0.0, {2, 1, 0.5}, 1, 0}, {0.1f, 0.2f, 0.4f}, {srgb(0.2f), srgb(0.2f), srgb(0.2f)}},
      {"saturation 0 is luma grey", {0.0, {1, 1, 1}, 0, 0}, {0.8f, 0.2f, 0.1f}, {srgb(y), srgb(y), srgb(y)}},
      {"contrast 1 is smoothstep", {0.0, {1, 1, 1}, 1, 1}, {lin(0.25f), lin(0.75f), 1.0f}, {0.15625f, 0.84375f, 1}},
      {"contrast -1 flattens", {0.0, {1, 1, 1}, 1, -1}, {lin(0.25f), lin(0.75f), 0.0f}, {0.4f, 0.6f, 0.3f}},
      {"contrast keeps the ends", {0.0, {1, 1, 1}, 1, 0.4}, {0.0f, 1.0f, 1.0f}, {0, 1, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto v = tone_map_pixel(c.in[0], c.in[1], c.in[2], c.tone);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(v[k], c.want[k], 2e-5) << k;
  }
}

TEST(ToneMapPixel, NotANumberGivesBlackNotAnUndefinedByte) {
  ImageF32 img(1, 1, 3);
  img.data = {NAN, 0.5f, NAN};
  EXPECT_EQ(tone_map_image(img, ToneSettings{}), (std::vector<uint8_t>{0, 188, 0}));
}

TEST(NeutralTone, KeepsOnlyTheExposure) {
  const ToneSettings t{0.7, {2, 1, 3}, 0.3, 0.5};
  const ToneSettings n = neutral_tone(t);
  EXPECT_EQ(n.ev, 0.7);
  EXPECT_EQ(n.wb, (std::array<double, 3>{1, 1, 1}));
  EXPECT_EQ(n.saturation, 1.0);
  EXPECT_EQ(n.contrast, 0.0);
}

}  // namespace
}  // namespace tsl
