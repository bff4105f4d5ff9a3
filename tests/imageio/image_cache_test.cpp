#include "imageio/image_cache.h"

#include <gtest/gtest.h>

#include <barrier>
#include <thread>

#include "render/render_job.h"
#include "support/render_fixtures.h"

namespace tsl {
namespace {

ImageMeta named(const std::string& path) {
  ImageMeta m;
  m.path = path;
  m.width = 10;
  m.height = 10;
  return m;
}

// A loader of 100-pixel images (600 bytes), counting its calls; "bad" fails.
struct CountingLoader {
  std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>(0);
  ImageLoader get() const {
    return [calls = calls](const ImageMeta& m, double scale) -> std::expected<DecodedImage, std::string> {
      ++*calls;
      if (m.path == "bad") return std::unexpected(std::string("cannot read bad: broken"));
      DecodedImage d;
      d.image = ImageU16(10, 10, 3);
      d.scale_x = d.scale_y = scale;
      return d;
    };
  }
};

TEST(ImageCache, LeastRecentlyUsedLeavesWhenTheBudgetIsExceeded) {
  // Three 600-byte photos, budget 1500: fetching A, B, A, C evicts B (A's hit refreshed it).
  CountingLoader loader;
  ImageCache cache(1500, loader.get());
  for (const char* k : {"A", "B", "A", "C"}) ASSERT_TRUE(cache.get(k, named(k), 1.0).has_value()) << k;
  EXPECT_EQ(*loader.calls, 3);
  EXPECT_EQ(cache.used_bytes, 1200u);
  EXPECT_TRUE(cache.entries.contains("A"));
  EXPECT_FALSE(cache.entries.contains("B"));
  EXPECT_TRUE(cache.entries.contains("C"));
}

TEST(ImageCache, ZeroBudgetKeepsOnlyTheNewestImage) {
  CountingLoader loader;
  ImageCache cache(0, loader.get());
  auto a = cache.get("A", named("A"), 1.0);
  auto b = cache.get("B", named("B"), 1.0);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(cache.entries.size(), 1u);
  EXPECT_TRUE(cache.entries.contains("B"));
  // The evicted image lives on with its holder.
  EXPECT_EQ((*a)->image.width, 10u);
  // A hit is not decoded again.
  ASSERT_TRUE(cache.get("B", named("B"), 1.0).has_value());
  EXPECT_EQ(*loader.calls, 2);
}

TEST(ImageCache, FailedLoadChangesNothingButTheCounter) {
  CountingLoader loader;
  ImageCache cache(1e9, loader.get());
  ASSERT_TRUE(cache.get("A", named("A"), 1.0).has_value());
  const uint64_t tick_a = cache.entries.at("A").last_use, used = cache.used_bytes;
  auto r = cache.get("bad", named("bad"), 1.0);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "cannot read bad: broken");
  EXPECT_EQ(cache.entries.size(), 1u);
  EXPECT_EQ(cache.used_bytes, used);
  EXPECT_EQ(cache.entries.at("A").last_use, tick_a);
  EXPECT_EQ(cache.tick, tick_a + 1);
  // The next request tries again.
  ASSERT_FALSE(cache.get("bad", named("bad"), 1.0).has_value());
  EXPECT_EQ(*loader.calls, 3);
}

TEST(ImageCache, TwoThreadsLoadingOneKeyKeepTheFirstCopy) {
  // Both threads miss, meet inside the loader, and insert one after the other.
  std::barrier meet(2);
  ImageLoader slow = [&](const ImageMeta&, double) -> std::expected<DecodedImage, std::string> {
    meet.arrive_and_wait();
    DecodedImage d;
    d.image = ImageU16(10, 10, 3);
    return d;
  };
  ImageCache cache(1e9, slow);
  std::shared_ptr<const DecodedImage> got[2];
  std::thread t0([&] { got[0] = *cache.get("A", named("A"), 1.0); });
  std::thread t1([&] { got[1] = *cache.get("A", named("A"), 1.0); });
  t0.join();
  t1.join();
  EXPECT_NE(got[0], got[1]);
  EXPECT_EQ(cache.entries.size(), 1u);
  EXPECT_EQ(cache.used_bytes, 600u);
  const auto cached = cache.entries.at("A").image;
  EXPECT_TRUE(cached == got[0] || cached == got[1]);
}

TEST(FetchSourceImage, ScalesRoundedToHundredthsShareAKey) {
  test::SyntheticScene scene;
  scene.add(0, 100, 0, 80);
  ImageCache cache(1e9, scene.loader());
  OutputGrid grid;
  grid.windows.resize(1);
  Surface plane = Surface::plane(0);
  RenderJob job{{scene.images, scene.rotations, scene.positions}, &plane, scene.gains, &grid, {}, &cache, nullptr};
  auto a = fetch_source_image(job, 0, 0.5);
  auto b = fetch_source_image(job, 0, 0.504);
  auto c = fetch_source_image(job, 0, 0.125);  // a binary tie: the key and the decode both say 0.13
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(*scene.loads, 2);
  EXPECT_TRUE(cache.entries.contains("photo0.jpg|0.50"));
  EXPECT_TRUE(cache.entries.contains("photo0.jpg|0.13"));
  EXPECT_NEAR((*c)->scale_x, 0.13, 0.006);
}

TEST(SourceLoadScales, ReducedOnlyWhenTheOutputIsCoarserThanThePhoto) {
  // Photos 100 m up; fx = altitude x (width - 1) / ground width sets the native gsd.
  struct Case {
    double native;  // m per photo pixel
    double gsd;     // m per output pixel
    double scale;
  };
  const Case cases[] = {
      {0.04, 0.05, 1.0},    // output a little coarser: 1.25 x 0.8 = 1
      {0.1, 0.05, 1.0},     // output finer than the photo: full size, never enlarged
      {0.04, 0.1, 0.5},     // output 2.5 x coarser: half size
      {0.04, 0.06, 1.0},    // 0.833 snaps to 1
      {0.04, 0.0625, 0.8},  // exactly 0.8 stays
      {0.01, 2.0, 0.02},    // never below 0.02
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.native << " " << c.gsd);
    test::SyntheticScene scene;
    scene.add(0, c.native * 100, 0, c.native * 80);  // 101 x 81 pixels
    OutputGrid grid;
    grid.gsd = c.gsd;
    Surface plane = Surface::plane(0);
    const RenderJob job{{scene.images, scene.rotations, scene.positions}, &plane, scene.gains, &grid, {}, nullptr, nullptr};
    const std::vector<double> s = source_load_scales(job);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_NEAR(s[0], c.scale, 1e-12);
  }
}

}  // namespace
}  // namespace tsl
