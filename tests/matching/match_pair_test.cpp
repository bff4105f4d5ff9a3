#include "matching/match_pair.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <set>

#include "matching/match_fixtures.h"
#include "matching/ratio_match.h"
#include "support/cpu_paths.h"

namespace tsl {
namespace {

MatchContext context_of(const test::SyntheticFlight& f, uint64_t min_inliers = 25, uint64_t max_ties = 60) {
  MatchOptions options;
  options.min_inliers = min_inliers;
  options.max_ties = max_ties;
  return make_match_context(f.pairs, f.features, {f.images, f.rotations, f.positions}, options);
}

// Distance in photo j between a tie's point and where the synthetic ground puts it: ties of a
// correct match are the same ground point, so photo j's point is photo i's moved by the
// baseline at that point's depth; with relief of +-1.5 m at 40 m that stays within 6 % of the
// baseline in pixels.
TEST(MatchPair, FindsTheSharedGroundPoints) {
  const test::SyntheticFlight f = test::make_flight(3, 1);
  const MatchContext ctx = context_of(f);
  for (size_t k = 0; k < f.pairs.size(); ++k) {
    SCOPED_TRACE(k);
    const auto [i, j] = f.pairs[k];
    std::optional<PairMatch> m = match_pair(ctx, k);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->i, i);
    EXPECT_EQ(m->j, j);
    EXPECT_GE(m->a_all.size(), ctx.min_inliers);
    EXPECT_EQ(m->a_all.size(), m->b_all.size());
    EXPECT_EQ(m->n, std::min<size_t>(m->a_all.size(), ctx.max_ties));
    ASSERT_EQ(m->a.size(), m->n);
    ASSERT_EQ(m->b.size(), m->n);
    const double shift_px = test::FLIGHT_STEP_M * static_cast<double>(j - i) * test::FLIGHT_F / test::FLIGHT_HEIGHT_M;
    for (size_t t = 0; t < m->a_all.size(); ++t) {
      EXPECT_NEAR(m->a_all[t].x - m->b_all[t].x, shift_px, 0.06 * shift_px);
      EXPECT_NEAR(m->a_all[t].y, m->b_all[t].y, 1e-6);
    }
    // Every kept tie is one of the inliers, with its own partner.
    std::set<std::pair<double, double>> all;
    for (size_t t = 0; t < m->a_all.size(); ++t) all.insert({m->a_all[t].x, m->b_all[t].x});
    for (size_t t = 0; t < m->n; ++t) EXPECT_TRUE(all.count({m->a[t].x, m->b[t].x}));
    ASSERT_TRUE(m->log_ratio);
    for (size_t ch = 0; ch < 3; ++ch)
      EXPECT_NEAR((*m->log_ratio)[ch], std::log(float(f.colour[j][ch])) - std::log(float(f.colour[i][ch])), 1e-6);
    EXPECT_FALSE(m->dense);
    EXPECT_EQ(m->flow_cm, 0.0);
  }
}

TEST(MatchPair, SameInputsGiveTheSameTies) {
  const test::SyntheticFlight f = test::make_flight(2, 5);
  const MatchContext ctx = context_of(f);
  auto m1 = match_pair(ctx, 0), m2 = match_pair(ctx, 0);
  ASSERT_TRUE(m1 && m2);
  ASSERT_EQ(m1->n, m2->n);
  for (size_t t = 0; t < m1->n; ++t) {
    EXPECT_EQ(m1->a[t].x, m2->a[t].x);
    EXPECT_EQ(m1->b[t].y, m2->b[t].y);
  }
  EXPECT_EQ(*m1->log_ratio, *m2->log_ratio);
}

TEST(MatchPair, PhotosThatDoNotOverlapGiveNothing) {
  test::SyntheticFlight f = test::make_flight(2, 2);
  f.positions[1][0] += 500.0;  // the metadata puts photo 1 far away
  EXPECT_FALSE(match_pair(context_of(f), 0));
}

// Damaged feature sets (a cache or injected file whose lists disagree) must never be read out
// of range: the pair has no ties and the stage names the photo.
TEST(MatchPair, DamagedFeatureSetsGiveNoTies) {
  struct Case {
    const char* name;
    void (*damage)(FeatureSet&);
  };
  const Case cases[] = {
      {"descriptors short by one value", [](FeatureSet& fs) { fs.desc.pop_back(); }},
      {"descriptors for one more keypoint", [](FeatureSet& fs) { fs.desc.resize(fs.desc.size() + 128, 0.5f); }},
      {"no descriptors", [](FeatureSet& fs) { fs.desc.clear(); }},
      {"thumbnail short", [](FeatureSet& fs) { fs.thumb.resize(10); }},
      {"thumbnail of width 0", [](FeatureSet& fs) { fs.thumb_w = 0; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::SyntheticFlight f = test::make_flight(2, 3);
    c.damage(f.features[1]);
    EXPECT_TRUE(feature_set_fault(f.features[1]));
    EXPECT_FALSE(match_pair(context_of(f), 0));
  }
}

// Keypoints at NaN or infinity are left out before matching: the pair still matches and no
// tie carries a non-finite coordinate.
TEST(MatchPair, NonFiniteKeypointsNeverReachAFit) {
  test::SyntheticFlight f = test::make_flight(2, 4);
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  for (size_t k = 0; k < 40; ++k) f.features[0].kp[k * 7] = k % 2 ? Vec2{nan, 10} : Vec2{inf, -inf};
  const MatchContext ctx = context_of(f);
  const std::vector<uint32_t> cand = overlap_candidates(ctx, 0, 1, f.features[0].kp);
  for (uint32_t k : cand) EXPECT_TRUE(std::isfinite(f.features[0].kp[k].x));
  auto m = match_pair(ctx, 0);
  ASSERT_TRUE(m);
  for (const Vec2& p : m->a_all) EXPECT_TRUE(std::isfinite(p.x) && std::isfinite(p.y));
}

TEST(MatchPair, PredictionFollowsThePoses) {
  const test::SyntheticFlight f = test::make_flight(2, 6, 10, 0);
  const MatchContext ctx = context_of(f);
  // Photo 0's centre is ground (0, 0, 0); photo 1 is 15 m east, so it sees it 562.5 px left.
  const Vec2 c = {(test::FLIGHT_W - 1) / 2.0, (test::FLIGHT_H - 1) / 2.0};
  auto uv = predict_in_other(ctx, 0, 1, c);
  ASSERT_TRUE(uv);
  EXPECT_NEAR(uv->x, c.x - 562.5, 1e-6);
  EXPECT_NEAR(uv->y, c.y, 1e-6);
  // A camera looking up sees nothing of the ground.
  test::SyntheticFlight up = f;
  up.rotations[1] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  EXPECT_FALSE(predict_in_other(context_of(up), 0, 1, c));
}

TEST(MatchPair, GateRadiusScalesWithHeight) {
  const test::SyntheticFlight f = test::make_flight(2, 7, 10, 0);
  MatchContext ctx = context_of(f);
  ctx.gate_dist = 2.0;
  ctx.gate_ang = 0.0;
  // g = 2 m x 1500 px / 40 m = 75 px, strictly.
  const Vec2 p = {500, 500};
  EXPECT_TRUE(gate_match(ctx, 1, p, {574.9, 500}));
  EXPECT_FALSE(gate_match(ctx, 1, p, {575.0, 500}));
  EXPECT_FALSE(gate_match(ctx, 1, std::nullopt, p));
}

TEST(MatchPair, OverlapMarginIsStrict) {
  const test::SyntheticFlight f = test::make_flight(2, 8, 10, 0);
  MatchContext ctx = context_of(f);
  ctx.margin_dist = 0.0;
  ctx.margin_ang = 0.0;
  // Photo 1 is 562.5 px to the east: photo 0's column x lands at x - 562.5.
  const std::vector<Vec2> pts = {{562.4, 10}, {562.6, 10}, {2562.4, 10}, {2562.6, 10}};
  EXPECT_EQ(overlap_candidates(ctx, 0, 1, pts), (std::vector<uint32_t>{1, 2}));
}

// Correspondences of a plane (a homography), with Gaussian noise of `noise_px` in photo b.
void planar_matches(size_t n, double noise_px, uint64_t seed, std::vector<Vec2>& a, std::vector<Vec2>& b) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> ux(0, 2000), uy(0, 1500);
  std::normal_distribution<double> noise(0.0, noise_px);
  a.clear();
  b.clear();
  for (size_t k = 0; k < n; ++k) {
    const Vec2 p = {ux(rng), uy(rng)};
    a.push_back(p);
    b.push_back({0.98 * p.x + 0.03 * p.y - 400 + noise(rng), -0.02 * p.x + 1.01 * p.y + 20 + noise(rng)});
  }
}

TEST(MatchPair, FundamentalMatrixNeedsFifteenMatchesAndEnoughInliers) {
  std::vector<Vec2> a, b;
  // 14 matches: the homography alone decides; 15: the fundamental matrix comes first.
  planar_matches(14, 0.0, 1, a, b);
  auto v = verify_matches(a, b, 77, 4, FTHR_DEFAULT);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->kind, TwoViewKind::Homography);
  planar_matches(15, 0.0, 1, a, b);
  v = verify_matches(a, b, 77, 4, FTHR_DEFAULT);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->kind, TwoViewKind::Fundamental);
  // With 1 px of noise the fundamental matrix keeps well under 35 of 40 within 0.6 px while
  // the homography keeps nearly all within 3 px: it falls back, and still gives the pair.
  planar_matches(40, 1.0, 2, a, b);
  v = verify_matches(a, b, 77, 35, FTHR_DEFAULT);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->kind, TwoViewKind::Homography);
  // Neither keeps 41 of 40.
  EXPECT_FALSE(verify_matches(a, b, 77, 41, FTHR_DEFAULT));
}

TEST(MatchPair, FundamentalThresholdIsTheTextsNumber) {
  std::vector<Vec2> a, b;
  planar_matches(40, 1.0, 2, a, b);
  // A threshold of 5 px keeps every match under the fundamental matrix.
  auto wide = verify_matches(a, b, 77, 35, fundamental_threshold("5"));
  // Not a number as a whole: 0.6.
  auto blank = verify_matches(a, b, 77, 35, fundamental_threshold(" 5"));
  ASSERT_TRUE(wide && blank);
  EXPECT_EQ(wide->kind, TwoViewKind::Fundamental);
  EXPECT_EQ(blank->kind, TwoViewKind::Homography);
}

TEST(MatchContext, TakesTheSigmasOfTheOptions) {
  MatchOptions c;
  c.sigma_gps = 2.0;
  c.sigma_ang = 4.0;
  c.min_inliers = 30;
  c.max_ties = 70;
  c.fundamental_threshold = 1.5;
  const MatchContext ctx = make_match_context({}, {}, {}, c);
  EXPECT_EQ(ctx.gate_dist, 5.0);
  EXPECT_DOUBLE_EQ(ctx.gate_ang, 10.0 * 0.017453292519943295);
  EXPECT_EQ(ctx.margin_dist, 2.0);
  EXPECT_DOUBLE_EQ(ctx.margin_ang, 4.0 * 0.017453292519943295);
  EXPECT_EQ(ctx.ground_height, 0.0);
  EXPECT_EQ(ctx.min_inliers, 30u);
  EXPECT_EQ(ctx.max_ties, 70u);
  EXPECT_EQ(ctx.fundamental_threshold, 1.5);
}


TEST(RatioMatch, EqualNearestDistancesAreRejected) {
  std::vector<float> di(128, 0.5f), dj(3 * 128, 0.0f);
  for (size_t d = 0; d < 128; ++d) {
    // Sixteenths throughout, so every sum is exact and the two distances tie exactly.
    dj[d] = d == 0 ? 0.75f : 0.5f;
    dj[128 + d] = d == 1 ? 0.75f : 0.5f;  // as far as candidate 0
    dj[256 + d] = 1.0f;
  }
  const std::vector<uint32_t> q = {0}, c = {0, 1, 2};
  for (const test::CpuPath& path : test::cpu_paths()) {
    SCOPED_TRACE(path.name);
    test::ScopedCpuFeatures on_path(path.features);
    EXPECT_TRUE(ratio_match(di, q, dj, c).empty());
    // Without its twin the first candidate passes the ratio.
    const std::vector<uint32_t> c2 = {0, 2};
    auto m = ratio_match(di, q, dj, c2);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].j, 0u);
  }
}

// The blocked kernel on each path against one plain dot product per comparison, on sizes that
// leave partial register and cache blocks. The ratios of this fixture stay clear of 0.8, so
// the rounding that fused multiply-adds change decides nothing and every path gives the same
// matches.
TEST(RatioMatch, BlockedKernelAgreesWithPlainDots) {
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<float> u(0.0f, 1.0f), small(-0.05f, 0.05f);
  const size_t ni = 301, nj = 611;
  std::vector<float> dj(nj * 128), di(ni * 128);
  for (float& v : dj) v = u(rng);
  for (size_t p = 0; p < ni; ++p)
    for (size_t d = 0; d < 128; ++d) di[p * 128 + d] = p % 3 ? u(rng) : dj[(p * 2) * 128 + d] + small(rng);
  std::vector<uint32_t> q, c;
  for (uint32_t p = 0; p < ni; ++p) q.push_back(p);
  for (uint32_t p = 0; p < nj; p += 1) c.push_back(p);
  const auto plain = ratio_match_plain(di, q, dj, c);
  ASSERT_GT(plain.size(), 50u);
  for (const test::CpuPath& path : test::cpu_paths()) {
    SCOPED_TRACE(path.name);
    test::ScopedCpuFeatures on_path(path.features);
    const auto fast = ratio_match(di, q, dj, c);
    ASSERT_EQ(fast.size(), plain.size());
    for (size_t k = 0; k < fast.size(); ++k) {
      EXPECT_EQ(fast[k].i, plain[k].i);
      EXPECT_EQ(fast[k].j, plain[k].j);
    }
  }
}

// One pair spread over threads: the queries are cut into ranges, and each query's match
// must be the same whatever the number of threads (sizes leave a short last range).
TEST(RatioMatch, SameMatchesWhateverTheThreads) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<float> u(0.0f, 1.0f), small(-0.05f, 0.05f);
  const size_t ni = 1013, nj = 777;
  std::vector<float> dj(nj * 128), di(ni * 128);
  for (float& v : dj) v = u(rng);
  for (size_t p = 0; p < ni; ++p)
    for (size_t d = 0; d < 128; ++d) di[p * 128 + d] = p % 2 ? u(rng) : dj[(p % nj) * 128 + d] + small(rng);
  std::vector<uint32_t> q(ni), c(nj);
  std::iota(q.begin(), q.end(), 0u);
  std::iota(c.begin(), c.end(), 0u);
  const auto one = ratio_match(di, q, dj, c, 1);
  ASSERT_GT(one.size(), 300u);
  for (size_t threads : {2, 3, 8}) {
    SCOPED_TRACE(threads);
    const auto many = ratio_match(di, q, dj, c, threads);
    ASSERT_EQ(many.size(), one.size());
    for (size_t k = 0; k < one.size(); ++k) {
      EXPECT_EQ(many[k].i, one[k].i);
      EXPECT_EQ(many[k].j, one[k].j);
    }
  }
}

TEST(MatchPair, ThresholdFromEnvironmentText) {
  struct Case {
    const char* text;
    double expected;
  };
  const Case cases[] = {
      {nullptr, 0.6}, {"", 0.6},     {"0.5", 0.5},  {" 0.5", 0.6}, {"0.5 ", 0.6},
      {"1e-1", 0.1},  {"abc", 0.6},  {"2", 2.0},    {"0,5", 0.6},  {"+1.5", 1.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(unset)");
    EXPECT_EQ(fundamental_threshold(c.text), c.expected);
  }
}

FeatureSet flat_thumb(double r, double g, double b, uint32_t w = 120, uint32_t h = 90) {
  FeatureSet fs;
  fs.thumb_w = w;
  fs.thumb_h = h;
  for (size_t k = 0; k < size_t{w} * h; ++k) fs.thumb.insert(fs.thumb.end(), {float(r), float(g), float(b)});
  fs.tsc = {w / 1200.0, h / 900.0};
  return fs;
}

TEST(MatchPair, ColourRatiosNeedElevenSamples) {
  const FeatureSet fi = flat_thumb(0.2, 0.3, 0.4), fj = flat_thumb(0.4, 0.3, 0.2);
  std::vector<Vec2> pts(10, Vec2{100, 100});
  EXPECT_FALSE(colour_log_ratios(fi, fj, pts, pts));
  pts.push_back({500, 500});
  auto r = colour_log_ratios(fi, fj, pts, pts);
  ASSERT_TRUE(r);
  EXPECT_NEAR((*r)[0], std::log(2.0), 1e-6);
  EXPECT_NEAR((*r)[1], 0.0, 1e-12);
  // Clipped or near-black colours never count.
  const FeatureSet dark = flat_thumb(0.005, 0.3, 0.4), bright = flat_thumb(0.95, 0.3, 0.4);
  EXPECT_FALSE(colour_log_ratios(dark, fj, pts, pts));
  EXPECT_FALSE(colour_log_ratios(fi, bright, pts, pts));
}

TEST(MatchPair, ThumbColourClampsToTheThumbnail) {
  FeatureSet fs = flat_thumb(0.1, 0.1, 0.1, 4, 3);
  fs.tsc = {0.01, 0.01};
  for (size_t k = 0; k < fs.thumb.size(); k += 3) fs.thumb[k] = static_cast<float>(k / 3);
  EXPECT_EQ(thumb_color(fs, {-1e9, -1e9})[0], 0.0);
  EXPECT_EQ(thumb_color(fs, {1e30, 1e30})[0], 11.0);
  EXPECT_EQ(thumb_color(fs, {std::numeric_limits<double>::quiet_NaN(), 0})[0], 0.0);
  // (149.5 + 0.5) x 0.01 - 0.5 = 1.0 -> column 1; 99.5 gives 0.5, rounded away from zero to 1.
  EXPECT_EQ(thumb_color(fs, {149.5, 0})[0], 1.0);
  EXPECT_EQ(thumb_color(fs, {99.5, 0})[0], 1.0);
}

TEST(MatchPair, ThinningTakesOnePointPerCellFirst) {
  FeatureSet fi = flat_thumb(0.5, 0.5, 0.5, 120, 120);  // photo 1200 x 1200: cells of 100 px
  fi.tsc = {0.1, 0.1};
  // 30 points in 15 cells, two per cell; the cells in descending order of listing.
  std::vector<Vec2> pts;
  for (int c = 14; c >= 0; --c) {
    pts.push_back({c * 100.0 + 10, 50});
    pts.push_back({c * 100.0 + 60, 50});
  }
  // More cells than ties: firsts only, in ascending cell order.
  std::vector<size_t> order = thin_order(fi, pts, 10, 42);
  ASSERT_EQ(order.size(), 10u);
  for (size_t k = 0; k < order.size(); ++k) {
    const int64_t cell = static_cast<int64_t>(pts[order[k]].x / 100.0);
    EXPECT_EQ(cell, static_cast<int64_t>(k));
  }
  // More ties than cells: every cell once, then the rest, each index once.
  order = thin_order(fi, pts, 25, 42);
  ASSERT_EQ(order.size(), 25u);
  std::set<size_t> seen(order.begin(), order.end());
  EXPECT_EQ(seen.size(), 25u);
  std::set<int64_t> first_cells;
  for (size_t k = 0; k < 15; ++k) first_cells.insert(static_cast<int64_t>(pts[order[k]].x / 100.0));
  EXPECT_EQ(first_cells.size(), 15u);
  EXPECT_EQ(thin_order(fi, pts, 25, 42), order);
}

}  // namespace
}  // namespace tsl
