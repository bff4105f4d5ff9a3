#include "sift/sift.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "sift/sift_fixtures.h"
#include "util/par.h"

namespace tsl {
namespace {

ImageU8 image_of(size_t w, size_t h, auto value) {
  ImageU8 img(w, h, 1);
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) img.data[y * w + x] = value(static_cast<double>(x), static_cast<double>(y));
  return img;
}

// Dark gaussian blobs of sigma 3 on a light background at known centres.
const std::vector<std::pair<double, double>> BLOBS = {{40.5, 40.0}, {120.0, 60.25}, {70.0, 110.0}, {150.0, 130.0}};

ImageU8 blob_image() {
  return image_of(200, 170, [](double x, double y) {
    double v = 200.0;
    for (auto [bx, by] : BLOBS) v -= 150.0 * std::exp(-((x - bx) * (x - bx) + (y - by) * (y - by)) / 18.0);
    return static_cast<uint8_t>(std::lround(v));
  });
}

TEST(SiftExtract, TinyAndFlatImagesGiveNoKeypoints) {
  struct Case {
    std::string name;
    ImageU8 image;
  };
  const std::vector<Case> cases = {
      {"empty", ImageU8(0, 0, 1)},
      {"1x1", image_of(1, 1, [](double, double) { return uint8_t{7}; })},
      {"5x5 checkerboard", image_of(5, 5, [](double x, double y) { return uint8_t((int(x + y) % 2) * 255); })},
      {"5 wide", image_of(5, 300, [](double x, double y) { return uint8_t(int(x * 40 + y) % 256); })},
      {"flat 64x64", image_of(64, 64, [](double, double) { return uint8_t{128}; })},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SiftFeatures f = sift_extract(c.image, {.features = 100});
    EXPECT_TRUE(f.keypoints.empty());
    EXPECT_TRUE(f.descriptors.empty());
  }
}

// Each blob centre, whole or between pixels, must be found within 0.05 px (a keypoint off its
// content by the quarter pixel between octave and input grids misses it) at a size within a
// factor 1.5 of 5.3, where OpenCV's SIFT finds these blobs with the same settings.
TEST(SiftExtract, FindsBlobCentres) {
  const SiftFeatures f = sift_extract(blob_image(), {.features = 0});
  ASSERT_EQ(f.descriptors.size(), f.keypoints.size() * DESC_LEN);
  for (auto [bx, by] : BLOBS) {
    bool found = false;
    for (const Keypoint& k : f.keypoints)
      if (std::hypot(k.x - bx, k.y - by) <= 0.05 && k.size > 5.3 / 1.5 && k.size < 5.3 * 1.5) found = true;
    EXPECT_TRUE(found) << bx << "," << by;
  }
  for (const Keypoint& k : f.keypoints) {
    EXPECT_GE(k.angle, 0.0f);
    EXPECT_LT(k.angle, 360.0f);
    EXPECT_GE(k.layer, 1u);
    EXPECT_LE(k.layer, 3u);
    EXPECT_GE(k.octave, -1);
  }
  for (float v : f.descriptors) {
    EXPECT_GE(v, 0.0f);
    EXPECT_LE(v, 1.0f);
  }
}

ImageU8 mirrored(const ImageU8& src, bool horizontal) {
  ImageU8 out(src.width, src.height, 1);
  for (size_t y = 0; y < src.height; ++y)
    for (size_t x = 0; x < src.width; ++x)
      out.data[y * src.width + x] = horizontal ? src.data[y * src.width + (src.width - 1 - x)]
                                               : src.data[(src.height - 1 - y) * src.width + x];
  return out;
}

// Positions refer to the input's pixel centres in every octave, so the keypoints of a mirrored
// image are the mirror images of the original's (x' = W - 1 - x). A position that sits a fixed
// offset from its content would show up here as twice that offset along the mirrored axis.
// The upsampled octave's grid is mirror-symmetric, so its keypoints must agree closely one by
// one; the later octaves take every second sample, which mirroring moves by half a sample, so
// only their mean offset is held to zero.
TEST(SiftExtract, MirroredImageGivesMirroredKeypoints) {
  const ImageU8 img = test::generated_image(480, 360, 3);
  const SiftFeatures f = sift_extract(img, {.features = 0});
  ASSERT_GT(f.keypoints.size(), 100u);
  for (const bool horizontal : {true, false}) {
    SCOPED_TRACE(horizontal ? "horizontal mirror" : "vertical mirror");
    const SiftFeatures m = sift_extract(mirrored(img, horizontal), {.features = 0});
    const double w1 = static_cast<double>(img.width - 1), h1 = static_cast<double>(img.height - 1);
    // Signed offset of the mirrored keypoint along the mirrored axis, for the upsampled octave
    // and for the others.
    std::vector<double> first, later;
    for (const Keypoint& k : f.keypoints) {
      const double ex = horizontal ? w1 - k.x : k.x, ey = horizontal ? k.y : h1 - k.y;
      const Keypoint* best = nullptr;
      double best_d = 1.0;
      for (const Keypoint& q : m.keypoints) {
        const double d = std::hypot(q.x - ex, q.y - ey);
        if (q.octave == k.octave && std::fabs(std::log2(q.size / k.size)) < 0.1 && d < best_d) {
          best = &q;
          best_d = d;
        }
      }
      if (best == nullptr) continue;
      (k.octave < 0 ? first : later).push_back(horizontal ? best->x - ex : best->y - ey);
    }
    ASSERT_GT(first.size(), 30u);
    ASSERT_GT(later.size(), 30u);
    auto mean = [](const std::vector<double>& v) { return std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size()); };
    EXPECT_LT(std::fabs(mean(first)), 0.01);
    EXPECT_LT(std::fabs(mean(later)), 0.05);
    double worst = 0.0;
    for (double d : first) worst = std::max(worst, std::fabs(d));
    EXPECT_LT(worst, 0.05);
  }
}

void expect_same_features(const SiftFeatures& a, const SiftFeatures& b) {
  ASSERT_EQ(a.keypoints.size(), b.keypoints.size());
  for (size_t i = 0; i < a.keypoints.size(); ++i) {
    EXPECT_EQ(a.keypoints[i].x, b.keypoints[i].x);
    EXPECT_EQ(a.keypoints[i].y, b.keypoints[i].y);
    EXPECT_EQ(a.keypoints[i].size, b.keypoints[i].size);
    EXPECT_EQ(a.keypoints[i].angle, b.keypoints[i].angle);
    EXPECT_EQ(a.keypoints[i].response, b.keypoints[i].response);
  }
  EXPECT_EQ(a.descriptors, b.descriptors);
}

// Detection runs in row bands on up to `workers` threads; one worker, or a call inside a
// parallel worker, runs everything inline. All must give the same list.
TEST(SiftExtract, SameResultWhateverTheThreads) {
  const ImageU8 img = image_of(300, 200, [](double x, double y) {
    return static_cast<uint8_t>(std::lround(127.5 + 60.0 * std::sin(x * 0.21) * std::cos(y * 0.17) +
                                            50.0 * std::sin((x + 2 * y) * 0.05)));
  });
  const SiftFeatures top = sift_extract(img, {.features = 0, .workers = 4});
  ASSERT_GT(top.keypoints.size(), 20u);
  expect_same_features(sift_extract(img, {.features = 0, .workers = 1}), top);
  expect_same_features(sift_extract(img, {.features = 0, .workers = 3}), top);
  const std::vector<SiftFeatures> inner =
      par_map(2, 2, [&](size_t) { return sift_extract(img, {.features = 0, .workers = 4}); });
  for (const SiftFeatures& f : inner) expect_same_features(f, top);
}

// A thread keeps its scale-space images between calls: what a larger image with more octaves
// left behind must not reach a later, smaller call.
TEST(SiftExtract, ImagesKeptFromAnEarlierCallChangeNothing) {
  const ImageU8 small = blob_image();
  SiftFeatures fresh;
  std::thread([&] { fresh = sift_extract(small, {.features = 0}); }).join();
  const ImageU8 big = image_of(700, 500, [](double x, double y) {
    return static_cast<uint8_t>(std::lround(127.5 + 100.0 * std::sin(x * 0.13) * std::cos(y * 0.07)));
  });
  sift_extract(big, {.features = 0});
  expect_same_features(sift_extract(small, {.features = 0}), fresh);
  release_sift_scratch();
  expect_same_features(sift_extract(small, {.features = 0}), fresh);
  release_sift_scratch();
}

// With a limit the list is ordered by response, strongest first.
TEST(SiftExtract, LimitKeepsTheStrongest) {
  const ImageU8 img = image_of(300, 200, [](double x, double y) {
    return static_cast<uint8_t>(std::lround(127.5 + 60.0 * std::sin(x * 0.21) * std::cos(y * 0.17) +
                                            50.0 * std::sin((x + 2 * y) * 0.05)));
  });
  const SiftFeatures all = sift_extract(img, {.features = 0});
  ASSERT_GT(all.keypoints.size(), 20u);
  const SiftFeatures top = sift_extract(img, {.features = 10});
  ASSERT_GE(top.keypoints.size(), 10u);
  std::vector<float> responses;
  for (const Keypoint& k : all.keypoints) responses.push_back(k.response);
  std::sort(responses.rbegin(), responses.rend());
  for (size_t i = 0; i < top.keypoints.size(); ++i) EXPECT_EQ(top.keypoints[i].response, responses[i]);
}

TEST(SiftExtract, ProfileLineOnlyWhenAskedFor) {
  const ImageU8 img = blob_image();
  testing::internal::CaptureStderr();
  sift_extract(img, {.features = 0});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  testing::internal::CaptureStderr();
  sift_extract(img, {.features = 0, .profile = true});
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(err.starts_with("sift: blur ")) << err;
  EXPECT_NE(err.find(" candidates)\n"), std::string::npos) << err;
}

}  // namespace
}  // namespace tsl
