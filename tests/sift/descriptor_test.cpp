#include "sift/descriptor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "sift/binary16.h"

namespace tsl {
namespace {

// A candidate whose `layer` field carries an id, so that the output shows which ones stayed.
Keypoint kp(uint64_t id, float x, float y, float size, float angle, float response) {
  Keypoint k;
  k.layer = id;
  k.x = x;
  k.y = y;
  k.size = size;
  k.angle = angle;
  k.response = response;
  return k;
}

std::vector<uint64_t> ids(const SiftFeatures& f) {
  std::vector<uint64_t> out;
  for (const Keypoint& k : f.keypoints) out.push_back(k.layer);
  return out;
}

SiftFeatures select(const std::vector<Keypoint>& c, uint64_t n) {
  std::vector<float> raw(c.size() * DESC_LEN, 1.0f);
  return select_keypoints(c, raw, n);
}

TEST(SelectKeypoints, DuplicatesOrderAndStrongestN) {
  struct Case {
    std::string name;
    std::vector<Keypoint> candidates;
    uint64_t n;
    std::vector<uint64_t> expected;
  };
  const std::vector<Case> cases = {
      {"exact duplicates keep the lowest index; another angle is no duplicate",
       {kp(0, 5, 5, 2, 10, 0.1f), kp(1, 5, 5, 2, 10, 0.9f), kp(2, 5, 5, 2, 20, 0.1f)}, 0, {0, 2}},
      {"x, then y ascending",
       {kp(0, 2, 0, 2, 0, 0.1f), kp(1, 1, 5, 2, 0, 0.1f), kp(2, 1, 2, 2, 0, 0.1f)}, 0, {2, 1, 0}},
      {"larger size first at the same position", {kp(0, 1, 1, 3, 0, 0.1f), kp(1, 1, 1, 5, 0, 0.1f)}, 0, {1, 0}},
      {"exactly n kept: keypoint order, not response order",
       {kp(0, 3, 0, 2, 0, 0.9f), kp(1, 2, 0, 2, 0, 0.5f), kp(2, 1, 0, 2, 0, 0.1f)}, 3, {2, 1, 0}},
      {"ties at the n-th response all stay, by response then candidate index",
       {kp(0, 6, 0, 2, 0, 0.5f), kp(1, 5, 0, 2, 0, 0.9f), kp(2, 4, 0, 2, 0, 0.5f), kp(3, 3, 0, 2, 0, 0.7f),
        kp(4, 2, 0, 2, 0, 0.5f), kp(5, 1, 0, 2, 0, 0.1f)},
       3, {1, 3, 0, 2, 4}},
      {"duplicates go before the strongest n are counted",
       {kp(0, 1, 0, 2, 0, 0.9f), kp(1, 1, 0, 2, 0, 0.8f), kp(2, 2, 0, 2, 0, 0.5f), kp(3, 3, 0, 2, 0, 0.1f)}, 2,
       {0, 2}},
      {"n = 0 keeps all", {kp(0, 2, 0, 2, 0, 0.9f), kp(1, 1, 0, 2, 0, 0.1f)}, 0, {1, 0}},
      {"no candidates", {}, 10, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ids(select(c.candidates, c.n)), c.expected);
  }
}

// 99 responses above the threshold and 3 equal to it with n = 100: all 102 stay.
TEST(SelectKeypoints, AllTiesAtTheThresholdStay) {
  std::vector<Keypoint> c;
  for (uint64_t i = 0; i < 3; ++i) c.push_back(kp(200 + i, 1000.0f - static_cast<float>(i), 0, 2, 0, 0.25f));
  for (uint64_t i = 0; i < 99; ++i) c.push_back(kp(i, static_cast<float>(i), 0, 2, 0, 1.0f + static_cast<float>(i)));
  for (uint64_t i = 0; i < 20; ++i) c.push_back(kp(300 + i, 2000.0f + static_cast<float>(i), 0, 2, 0, 0.125f));
  const SiftFeatures f = select(c, 100);
  ASSERT_EQ(f.keypoints.size(), 102u);
  for (size_t i = 0; i < 99; ++i) EXPECT_EQ(f.keypoints[i].layer, 98 - i);
  EXPECT_EQ(f.keypoints[99].layer, 200u);
  EXPECT_EQ(f.keypoints[100].layer, 201u);
  EXPECT_EQ(f.keypoints[101].layer, 202u);
}

TEST(SelectKeypoints, RootSiftValuesAreHalfPrecisionSquareRoots) {
  std::vector<Keypoint> c = {kp(0, 0, 0, 2, 0, 1), kp(1, 1, 0, 2, 0, 1)};
  std::vector<float> raw(2 * DESC_LEN, 0.0f);  // the second descriptor stays all zero
  std::mt19937 rng(3);
  float sum = 0.0f;
  for (size_t i = 0; i < DESC_LEN; ++i) sum += raw[i] = static_cast<float>(rng() % 256);
  const SiftFeatures f = select_keypoints(c, raw, 0);
  ASSERT_EQ(f.descriptors.size(), 2 * DESC_LEN);
  for (size_t i = 0; i < DESC_LEN; ++i) {
    const float expected = round_to_binary16(std::sqrt(raw[i] / (sum + 1e-7f)));
    EXPECT_EQ(f.descriptors[i], expected) << i;
    EXPECT_EQ(round_to_binary16(f.descriptors[i]), f.descriptors[i]);
    EXPECT_EQ(f.descriptors[DESC_LEN + i], 0.0f);
  }
}

ImageF32 layer_of(size_t w, size_t h, auto value) {
  ImageF32 img(w, h, 1);
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) img.data[y * w + x] = value(static_cast<float>(x), static_cast<float>(y));
  return img;
}

std::array<float, DESC_LEN> describe(const ImageF32& layer, int64_t cx, int64_t cy, float scl, float angle) {
  std::array<float, DESC_LEN> d{};
  sift_descriptor(layer, cx, cy, scl, angle, d);
  return d;
}

TEST(SiftDescriptor, FlatPatchGivesZeros) {
  const auto d = describe(layer_of(64, 64, [](float, float) { return 100.0f; }), 32, 32, 2.0f, 0.0f);
  for (float v : d) EXPECT_EQ(v, 0.0f);
}

// A ramp along x has gradient direction 0 everywhere: with angle 0 every sample falls in
// orientation bin 0; the keypoint angle rotates it into the bin of (0 - (360 - angle)) / 45.
TEST(SiftDescriptor, RampFallsInTheRotatedBin) {
  const ImageF32 ramp = layer_of(64, 64, [](float x, float) { return 2.0f * x; });
  struct Case {
    float angle;
    size_t bin;
  };
  for (const Case c : {Case{0.0f, 0}, Case{90.0f, 2}, Case{180.0f, 4}, Case{270.0f, 6}}) {
    SCOPED_TRACE(c.angle);
    const auto d = describe(ramp, 32, 32, 2.0f, c.angle);
    float in_bin = 0.0f, elsewhere = 0.0f;
    for (size_t k = 0; k < DESC_LEN; ++k) (k % 8 == c.bin ? in_bin : elsewhere) += d[k];
    EXPECT_GT(in_bin, 0.0f);
    EXPECT_EQ(elsewhere, 0.0f);
    for (float v : d) EXPECT_EQ(v, std::round(v));
  }
}

// Near a corner only the inside samples count: no reads outside the layer (checked under
// the sanitizers) and a descriptor that still has content.
TEST(SiftDescriptor, WindowPartlyOutsideUsesInsideSamples) {
  std::mt19937 rng(5);
  const ImageF32 noise = layer_of(40, 30, [&](float, float) { return static_cast<float>(rng() % 256); });
  for (auto [cx, cy] : {std::pair<int64_t, int64_t>{0, 0}, {1, 1}, {39, 29}, {20, 0}}) {
    const auto d = describe(noise, cx, cy, 3.0f, 45.0f);
    float sum = 0.0f;
    for (float v : d) sum += v;
    EXPECT_GT(sum, 0.0f) << cx << "," << cy;
  }
}

}  // namespace
}  // namespace tsl
