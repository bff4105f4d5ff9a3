// Dense ties: the helpers on hand-made inputs, the pair on a generated flight judged by its
// true geometry, and the ways a pair gives nothing.
#include "dense/dense_pair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "drivers/dense_stage.h"
#include "linalg/stats.h"
#include "support/log_capture.h"
#include "support/flight_fixture.h"
#include "support/test_util.h"
#include "util/error.h"

namespace tsl {
namespace {

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

TEST(BalancedSubsample, CapAtOrAboveTheCountKeepsEveryPointInOrder) {
  const std::vector<Vec2> pts = {{5, 5}, {1, 2}, {1, 2}, {9, 0}};
  for (size_t cap : {4, 5, 100}) EXPECT_EQ(balanced_subsample(pts, cap, 7), (std::vector<size_t>{0, 1, 2, 3}));
  EXPECT_TRUE(balanced_subsample({}, 3, 7).empty());
}

// One point per occupied cell first: 100 clusters of 5 points, one cluster per cell of the
// 10 x 10 partition, cap 100 takes exactly one point of each.
TEST(BalancedSubsample, TakesOnePointPerCellBeforeAnySecond) {
  std::vector<Vec2> pts;
  for (int cx = 0; cx < 10; ++cx)
    for (int cy = 0; cy < 10; ++cy)
      for (int k = 0; k < 5; ++k) pts.push_back({cx * 10.0 + 1 + k * 0.1, cy * 10.0 + 1 + k * 0.1});
  const std::vector<size_t> keep = balanced_subsample(pts, 100, 42);
  ASSERT_EQ(keep.size(), 100u);
  std::vector<int> per_cluster(100, 0);
  for (size_t k : keep) ++per_cluster[k / 5];
  for (int c = 0; c < 100; ++c) EXPECT_EQ(per_cluster[c], 1) << c;
  // No index twice, and the same seed gives the same choice; another seed another one.
  std::vector<size_t> sorted = keep;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
  EXPECT_EQ(balanced_subsample(pts, 100, 42), keep);
  EXPECT_NE(balanced_subsample(pts, 100, 43), keep);
  EXPECT_EQ(balanced_subsample(pts, 30, 42).size(), 30u);
}

// All points equal: one cell; the first taken has the smallest random key, the rest follow
// shuffled, every index at most once.
TEST(BalancedSubsample, AllPointsEqualFallInOneCell) {
  const std::vector<Vec2> pts(20, Vec2{3.0, 4.0});
  const uint64_t seed = 11;
  uint64_t state = (seed * 0x9E3779B97F4A7C15ull) | 1u;
  std::vector<double> key(20);
  for (double& k : key) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    k = static_cast<double>(state >> 11) * 0x1p-53;
  }
  const size_t smallest = static_cast<size_t>(std::min_element(key.begin(), key.end()) - key.begin());
  const std::vector<size_t> keep = balanced_subsample(pts, 8, seed);
  ASSERT_EQ(keep.size(), 8u);
  EXPECT_EQ(keep[0], smallest);
  std::vector<size_t> all = balanced_subsample(pts, 19, seed);
  EXPECT_EQ(all[0], smallest);
  EXPECT_FALSE(std::is_sorted(all.begin() + 1, all.end()));  // the rest is shuffled
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
}

TEST(SampleBilinearNan, ValuesEdgesAndHoles) {
  // 3 x 2 plane: v(x, y) = x + 10 y, with a hole at (2, 1).
  std::vector<float> p = {0, 1, 2, 10, 11, NaN};
  EXPECT_FLOAT_EQ(sample_bilinear_nan(p, 3, 2, 0.5f, 0.5f), 5.5f);
  EXPECT_FLOAT_EQ(sample_bilinear_nan(p, 3, 2, 0.0f, 1.0f), 10.0f);  // on the last row
  EXPECT_FLOAT_EQ(sample_bilinear_nan(p, 3, 2, 0.0f, 0.0f), 0.0f);
  struct Case {
    float x, y;
  };
  for (Case c : {Case{-0.01f, 0}, Case{0, -0.01f}, Case{2.01f, 0}, Case{0, 1.01f}, Case{NaN, 0}, Case{0, NaN},
                 Case{1.5f, 0.5f}, Case{2.0f, 1.0f},
                 Case{1.0f, 0.0f}})  // the hole is a tap, even with weight 0
    EXPECT_TRUE(std::isnan(sample_bilinear_nan(p, 3, 2, c.x, c.y))) << c.x << "," << c.y;
}

TEST(MaskedMedian, MedianUnderTheMaskPlusAnOffset) {
  const std::vector<float> p = {9, 1, 2, 3, 100};
  EXPECT_DOUBLE_EQ(masked_median(p, std::vector<uint8_t>{0, 1, 1, 1, 0}), 2.0 + 1e-4);
  EXPECT_DOUBLE_EQ(masked_median(p, std::vector<uint8_t>{1, 1, 0, 0, 0}), 5.0 + 1e-4);
  EXPECT_TRUE(std::isnan(masked_median(p, std::vector<uint8_t>(5, 0))));
}

TEST(GatherPoints, KeepsTheIndexOrderAndRejectsOutOfRange) {
  const std::vector<Vec2> pts = {{0, 0}, {1, 1}, {2, 2}};
  const std::vector<Vec2> got = gather_points(pts, std::vector<size_t>{2, 0});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].x, 2.0);
  EXPECT_EQ(got[1].x, 0.0);
  EXPECT_THROW(gather_points(pts, std::vector<size_t>{3}), InternalError);
}

// --- hand-made geometry ------------------------------------------------------------------

// Two nadir cameras (north up) 100 m over flat ground, no lens distortion; footprints are
// given directly so that the overlap box is exactly what a case needs.
struct HandPair {
  std::vector<ImageMeta> images;
  std::vector<Mat3> rotations;
  std::vector<Vec3> positions;
  std::vector<PhotoPair> pairs = {{0, 1}};
  Surface surface = Surface::plane(0.0);
  ImageCache cache{1e8, [](const ImageMeta& m, double) -> std::expected<DecodedImage, std::string> {
                     return std::unexpected("cannot read " + m.path.string());
                   }};

  HandPair() {
    CameraModel cam;
    cam.width = 1000;
    cam.height = 1000;
    cam.fx = cam.fy = 500.0;
    cam.cx = cam.cy = 499.5;
    for (int k = 0; k < 2; ++k) {
      ImageMeta m;
      m.path = "/nowhere/photo_" + std::to_string(k) + ".jpg";
      m.width = m.height = 1000;
      m.lens = cam;
      images.push_back(m);
      rotations.push_back({1, 0, 0, 0, -1, 0, 0, 0, -1});
      positions.push_back({k * 20.0, 0.0, 100.0});
    }
  }

  DenseContext context(double overlap_e, double overlap_n, double gsd) {
    DenseContext ctx;
    ctx.pairs = pairs;
    ctx.photos = {images, rotations, positions};
    ctx.surface = &surface;
    ctx.cache = &cache;
    ctx.scales = {1.0, 1.0};
    ctx.dense_gsd = gsd;
    // Boxes [-100, overlap_e] and [0, 100 + overlap_e] east overlap by overlap_e; north alike.
    ctx.footprints = {{{-100, -100}, {overlap_e, -100}, {overlap_e, overlap_n}, {-100, overlap_n}},
                      {{0, 0}, {100 + overlap_e, 0}, {100 + overlap_e, 100 + overlap_n}, {0, 100 + overlap_n}}};
    return ctx;
  }
};

TEST(DensePair, ThinOrSmallOverlapsGiveNothingSilently) {
  HandPair hp;
  struct Case {
    const char* name;
    double e, n, gsd;
  };
  for (Case c : {Case{"east sliver under 10 gsd", 0.99, 50.0, 0.1}, Case{"north sliver under 10 gsd", 50.0, 0.99, 0.1},
                 Case{"grid 20 x 15 cells", 20.0, 15.0, 1.0}, Case{"no overlap at all", -5.0, 50.0, 0.1},
                 Case{"gsd not a number", 50.0, 50.0, std::nan("")}}) {
    SCOPED_TRACE(c.name);
    DenseContext ctx = hp.context(c.e, c.n, c.gsd);
    test::LogCapture log;
    EXPECT_FALSE(dense_pair(ctx, 0).has_value());
    EXPECT_TRUE(log.lines().empty());
  }
}

// A footprint with infinite vertices (a ray above the horizon) uses its finite ones.
TEST(DensePair, NonFiniteFootprintVerticesAreSkipped) {
  HandPair hp;
  DenseContext ctx = hp.context(50.0, 50.0, 0.1);
  ctx.footprints[0].push_back({std::numeric_limits<double>::infinity(), NaN});
  test::LogCapture log;
  EXPECT_FALSE(dense_pair(ctx, 0).has_value());
  // It got as far as loading photo i: the overlap stayed 50 x 50 m.
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"  dense: cannot read /nowhere/photo_0.jpg"}));
}

TEST(DensePair, UnloadablePhotoLogsAndGivesNothing) {
  HandPair hp;
  int loads = 0;
  hp.cache.loader = [&](const ImageMeta& m, double) -> std::expected<DecodedImage, std::string> {
    ++loads;
    return std::unexpected("cannot read " + m.path.string());
  };
  DenseContext ctx = hp.context(40.0, 40.0, 0.2);
  test::LogCapture log;
  EXPECT_FALSE(dense_pair(ctx, 0).has_value());
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"  dense: cannot read /nowhere/photo_0.jpg"}));
  EXPECT_EQ(loads, 1);  // photo j is never touched
}

TEST(DensePair, PhotoWithoutCameraModelIsAnInternalFault) {
  HandPair hp;
  hp.images[0].lens.reset();
  DenseContext ctx = hp.context(40.0, 40.0, 0.2);
  EXPECT_THROW(dense_pair(ctx, 0), InternalError);
}

// Plain grey photos: the overlap is common but has no texture, so no candidate survives.
TEST(DensePair, TexturelessOverlapGivesNothing) {
  HandPair hp;
  hp.cache.loader = [](const ImageMeta& m, double) -> std::expected<DecodedImage, std::string> {
    DecodedImage d;
    d.image = ImageU16(m.width, m.height, 3);
    std::fill(d.image.data.begin(), d.image.data.end(), uint16_t{20000});
    return d;
  };
  DenseContext ctx = hp.context(40.0, 40.0, 0.2);
  test::LogCapture log;
  EXPECT_FALSE(dense_pair(ctx, 0).has_value());
  EXPECT_TRUE(log.lines().empty());
}

// --- a generated pair --------------------------------------------------------------------

constexpr const char* PYTHON_MODULES = "numpy scipy PIL osgeo.gdal shapely";

// Two 600 x 450 photos on one leg over flat ground at the take-off height, true poses known.
class GeneratedPair : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test::have_python_modules(PYTHON_MODULES)) return;
    auto f = test::shared_truth_flight(test::source_dir(),
                                          "--photos 2 --legs 1 --width 600 --height 450 --terrain flat --buildings 0 "
                                          "--trees 0 --gps none --vignetting 0 --exposure-ev 0.5 --jobs 2");
    if (!f)
      error_ = f.error();
    else
      flight_ = std::move(*f);
  }
  void SetUp() override {
    TSL_REQUIRE_PYTHON(PYTHON_MODULES);
    ASSERT_TRUE(flight_.has_value()) << error_;
  }

  // Where photo i's pixel a lands in photo j through the true poses and the true ground.
  static Vec2 true_match(const test::TruthFlight& f, size_t i, size_t j, Vec2 a) {
    const CameraModel& cam = *f.images[i].lens;
    const Vec2 n = cam.unproject(a.x, a.y);
    const Mat3& R = f.rotations[i];
    const double d[3] = {R[0] * n.x + R[3] * n.y + R[6], R[1] * n.x + R[4] * n.y + R[7],
                         R[2] * n.x + R[5] * n.y + R[8]};
    const Vec3& P = f.positions[i];
    const double s = (0.0 - P[2]) / d[2];
    const double g[3] = {P[0] + s * d[0] - f.positions[j][0], P[1] + s * d[1] - f.positions[j][1],
                         -f.positions[j][2]};
    const Mat3& Q = f.rotations[j];
    const double qx = Q[0] * g[0] + Q[1] * g[1] + Q[2] * g[2];
    const double qy = Q[3] * g[0] + Q[4] * g[1] + Q[5] * g[2];
    const double qz = Q[6] * g[0] + Q[7] * g[1] + Q[8] * g[2];
    return f.images[j].lens->project(qx / qz, qy / qz, f.images[j].lens->selfcal);
  }

  static std::optional<test::TruthFlight> flight_;
  static std::string error_;
};

std::optional<test::TruthFlight> GeneratedPair::flight_;
std::string GeneratedPair::error_;

// The renderings are made through a wrong terrain (3 m above the truth) and a photo shifted
// by 0.8 m, so the flow has real parallax to measure; the ties must still be true matches.
TEST_F(GeneratedPair, TiesMatchTheTrueGeometry) {
  const test::TruthFlight& f = *flight_;
  std::vector<Mat3> rotations = f.rotations;
  std::vector<Vec3> positions = f.positions;
  positions[1][0] += 0.8;
  const Surface wrong = Surface::plane(3.0);
  ImageCache cache(1e9);
  DenseOptions options;
  options.ties = 80;
  const std::vector<PhotoPair> pairs = {{0, 1}};
  const DenseContext ctx = make_dense_context(pairs, {f.images, rotations, positions}, wrong, cache, options);
  auto m = dense_pair(ctx, 0);
  ASSERT_TRUE(m.has_value());
  EXPECT_TRUE(m->dense);
  EXPECT_FALSE(m->log_ratio.has_value());
  EXPECT_EQ(m->i, 0u);
  EXPECT_EQ(m->j, 1u);
  EXPECT_EQ(m->n, 80u);
  ASSERT_EQ(m->a.size(), 80u);
  ASSERT_EQ(m->b.size(), 80u);
  ASSERT_EQ(m->a_all.size(), m->b_all.size());
  EXPECT_GT(m->a_all.size(), 500u);
  // The residual flow the wrong terrain and pose leave, in centimetres: tens of them.
  EXPECT_GT(m->flow_cm, 10.0);

  auto errors = [&](const std::vector<Vec2>& a, const std::vector<Vec2>& b) {
    std::vector<double> e;
    for (size_t k = 0; k < a.size(); ++k) {
      const Vec2 t = true_match(f, 0, 1, a[k]);
      e.push_back(std::hypot(t.x - b[k].x, t.y - b[k].y));
    }
    return e;
  };
  EXPECT_LT(median(errors(m->a, m->b)), 0.5);
  const std::vector<double> all = errors(m->a_all, m->b_all);
  EXPECT_LT(median(all), 0.5);
  // Chosen ties are a subset of the candidates.
  for (const Vec2& p : m->a) {
    EXPECT_TRUE(std::any_of(m->a_all.begin(), m->a_all.end(), [&](const Vec2& q) { return q.x == p.x && q.y == p.y; }));
  }

  // The same pair and inputs give the same ties; a cap above the count keeps every candidate
  // in lattice order.
  auto again = dense_pair(ctx, 0);
  ASSERT_TRUE(again.has_value());
  ASSERT_EQ(again->a.size(), m->a.size());
  for (size_t k = 0; k < m->a.size(); ++k) {
    EXPECT_EQ(again->a[k].x, m->a[k].x);
    EXPECT_EQ(again->b[k].y, m->b[k].y);
  }
  DenseContext wide = ctx;
  wide.tie_cap = 1000000;
  auto every = dense_pair(wide, 0);
  ASSERT_TRUE(every.has_value());
  ASSERT_EQ(every->a.size(), every->a_all.size());
  for (size_t k = 0; k < every->a.size(); ++k) EXPECT_EQ(every->a[k].x, every->a_all[k].x);
}

// The loop gives the same pairs, in pair order, on one thread and on several.
TEST_F(GeneratedPair, FlowLoopIsIndependentOfThreads) {
  const test::TruthFlight& f = *flight_;
  ImageCache cache(1e9);
  const std::vector<PhotoPair> pairs = {{0, 1}, {0, 1}, {0, 1}};
  const Surface plane = Surface::plane(0.0);
  const DenseContext ctx = make_dense_context(pairs, {f.images, f.rotations, f.positions}, plane, cache, DenseOptions{});
  test::LogCapture log;
  const std::vector<PairMatch> one = run_dense_flow(ctx, 1);
  const std::vector<PairMatch> three = run_dense_flow(ctx, 3);
  ASSERT_EQ(one.size(), 3u);
  ASSERT_EQ(three.size(), 3u);
  for (size_t k = 0; k < 3; ++k) {
    ASSERT_EQ(one[k].a_all.size(), three[k].a_all.size());
    EXPECT_EQ(one[k].flow_cm, three[k].flow_cm);
    for (size_t t = 0; t < one[k].a.size(); ++t) EXPECT_EQ(one[k].b[t].x, three[k].b[t].x);
  }
  // The true poses over the true ground leave almost no flow.
  EXPECT_LT(one[0].flow_cm, 5.0);
}

}  // namespace
}  // namespace tsl
