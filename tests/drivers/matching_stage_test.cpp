#include "drivers/matching_stage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <optional>
#include <string>

#include "matching/match_fixtures.h"
#include "support/log_capture.h"
#include "gains/gains.h"
#include "support/test_util.h"

namespace tsl {
namespace {

MatchOptions options_with(uint64_t workers) {
  MatchOptions o;
  o.workers = workers;
  return o;
}

std::vector<PairMatch> run(const test::SyntheticFlight& f, const MatchOptions& options) {
  auto r = run_matching_stage(f.pairs, f.features, {f.images, f.rotations, f.positions}, options);
  EXPECT_TRUE(r) << (r ? "" : r.error());
  return r ? *r : std::vector<PairMatch>{};
}

void expect_same_ties(const std::vector<PairMatch>& x, const std::vector<PairMatch>& y) {
  ASSERT_EQ(x.size(), y.size());
  for (size_t k = 0; k < x.size(); ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(x[k].i, y[k].i);
    EXPECT_EQ(x[k].j, y[k].j);
    EXPECT_EQ(x[k].n, y[k].n);
    auto same = [](const std::vector<Vec2>& p, const std::vector<Vec2>& q) {
      if (p.size() != q.size()) return false;
      for (size_t t = 0; t < p.size(); ++t)
        if (p[t].x != q[t].x || p[t].y != q[t].y) return false;
      return true;
    };
    EXPECT_TRUE(same(x[k].a, y[k].a));
    EXPECT_TRUE(same(x[k].b, y[k].b));
    EXPECT_TRUE(same(x[k].a_all, y[k].a_all));
    EXPECT_TRUE(same(x[k].b_all, y[k].b_all));
  }
}

TEST(MatchingStage, TiesDoNotDependOnTheThreadCount) {
  const test::SyntheticFlight f = test::make_flight(5, 11);
  test::LogCapture log;
  const std::vector<PairMatch> one = run(f, options_with(1));
  const std::vector<PairMatch> many = run(f, options_with(4));
  EXPECT_EQ(one.size(), f.pairs.size());
  expect_same_ties(one, many);
  for (size_t k = 0; k < one.size(); ++k) EXPECT_EQ(*one[k].log_ratio, *many[k].log_ratio);
}

// Candidate pairs that cannot match (no keypoints) still count for the progress lines.
TEST(MatchingStage, ProgressLinesAboutTenTimes) {
  struct Case {
    size_t pairs;
    uint64_t workers;
    std::vector<std::string> expected;
  };
  std::vector<std::string> lines25;
  for (size_t k = 2; k <= 24; k += 2) lines25.push_back(format("  pairs {}/25", k));
  lines25.push_back("  pairs 25/25");
  std::vector<std::string> lines9;
  for (size_t k = 1; k <= 9; ++k) lines9.push_back(format("  pairs {}/9", k));
  const Case cases[] = {{0, 4, {}}, {9, 1, lines9}, {25, 1, lines25}, {25, 4, lines25}};
  for (const Case& c : cases) {
    SCOPED_TRACE(format("{} pairs, {} workers", c.pairs, c.workers));
    test::SyntheticFlight f = test::make_flight(2, 1, 0, 0);
    f.pairs.assign(c.pairs, PhotoPair{0, 1});
    test::LogCapture log;
    auto r = run_matching_stage(f.pairs, f.features, {f.images, f.rotations, f.positions}, options_with(c.workers));
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->empty());
    std::vector<std::string> expected = c.expected;
    expected.push_back(format("  matched 0/{} pairs, 0 tie points", c.pairs));
    EXPECT_EQ(log.lines(), expected);
  }
}

TEST(MatchingStage, DamagedFeaturesAreNamedAndTheirPairsSkipped) {
  test::SyntheticFlight f = test::make_flight(3, 12);
  f.features[2].desc.resize(f.features[2].desc.size() - 128);
  test::LogCapture log;
  const std::vector<PairMatch> ties = run(f, options_with(2));
  ASSERT_EQ(ties.size(), 1u);  // (0, 1) only
  EXPECT_EQ(ties[0].j, 1u);
  const auto lines = log.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines[0].find("  warning: features of synthetic_2.jpg are damaged"), std::string::npos) << lines[0];
}

// The dump carries the ties but not the colour ratios, so an injected dump gives the same pairs
// and points while the gain solve falls back to the exposure prior.
TEST(MatchingStage, DumpedTiesInjectBackUnchanged) {
  test::TempDir dir;
  const std::string path = (dir / "ties.json").string();
  const test::SyntheticFlight f = test::make_flight(4, 13);
  std::vector<PairMatch> matched;
  {
    MatchOptions options = options_with(3);
    options.dump = path;
    test::LogCapture log;
    matched = run(f, options);
  }
  ASSERT_FALSE(matched.empty());
  ASSERT_TRUE(std::filesystem::exists(path));
  std::vector<PairMatch> injected;
  {
    MatchOptions options = options_with(3);
    options.inject = path;
    options.dump = dir / "second.json";
    test::LogCapture log;
    injected = run(f, options);
    EXPECT_EQ(log.lines(), std::vector<std::string>{format("  {} matches injected", matched.size())});
  }
  expect_same_ties(matched, injected);
  EXPECT_FALSE(std::filesystem::exists(dir / "second.json"));  // injection never dumps
  for (const PairMatch& p : injected) EXPECT_FALSE(p.log_ratio);

  // The same ties give the same gains once the colour ratios are set aside on both sides.
  std::vector<PairMatch> stripped = matched;
  for (PairMatch& p : stripped) p.log_ratio.reset();
  test::LogCapture log;
  EXPECT_EQ(solve_gains(f.images, stripped), solve_gains(f.images, injected));
}

// The colour ratios of matched pairs drive the gain solve: photos whose flat colours differ come
// out with gains that bring the colours together.
TEST(MatchingStage, ColourRatiosEvenOutTheGains) {
  const test::SyntheticFlight f = test::make_flight(4, 14);
  test::LogCapture log;
  const std::vector<PairMatch> ties = run(f, options_with(2));
  ASSERT_EQ(ties.size(), f.pairs.size());
  const std::vector<Gain> gains = solve_gains(f.images, ties);
  for (size_t ch : {0, 2}) {
    SCOPED_TRACE(ch);
    const double before = f.colour[3][ch] - f.colour[0][ch];
    const double after = gains[3][ch] * f.colour[3][ch] - gains[0][ch] * f.colour[0][ch];
    EXPECT_LT(std::fabs(after), 0.2 * std::fabs(before));
  }
  EXPECT_NEAR(gains[0][1], gains[3][1], 1e-6);  // green is the same everywhere
}

TEST(MatchingStage, MissingInjectionFileEndsTheStage) {
  const test::SyntheticFlight f = test::make_flight(2, 1, 0, 0);
  MatchOptions options = options_with(1);
  options.inject = "/nonexistent/tessaly/ties.json";
  test::LogCapture log;
  auto r = run_matching_stage(f.pairs, f.features, {f.images, f.rotations, f.positions}, options);
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().find("No such file"), std::string::npos) << r.error();
}

// Photos whose recorded heading is reversed: the gate turns their true matches away, so the
// stage alone leaves them (nearly) untied; the heading check turns exactly those photos and
// their pairs match. A correctly recorded flight turns nothing.
TEST(MatchingStage, HeadingCheckTurnsPhotosRecordedBackwards) {
  struct Case {
    std::vector<size_t> reversed;
  };
  const Case cases[] = {{{}}, {{2}}, {{0}}, {{2, 3}}, {{3, 4, 5}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(format("{} reversed", c.reversed.size()));
    test::SyntheticFlight f = test::make_flight(6, 21);
    std::vector<Mat3> recorded = f.rotations;
    for (size_t p : c.reversed) recorded[p] = turned_half(recorded[p]);
    test::LogCapture log;
    auto plain = run_matching_stage(f.pairs, f.features, {f.images, recorded, f.positions}, options_with(2));
    ASSERT_TRUE(plain);
    if (!c.reversed.empty()) {
      EXPECT_LT(plain->size(), f.pairs.size());
    }

    std::vector<size_t> turned;
    auto checked = run_matching_stage(f.pairs, f.features, {f.images, recorded, f.positions}, options_with(2), &turned);
    ASSERT_TRUE(checked);
    EXPECT_EQ(turned, c.reversed);
    EXPECT_EQ(checked->size(), f.pairs.size());
    for (size_t p : turned) recorded[p] = turned_half(recorded[p]);
    EXPECT_EQ(recorded, f.rotations);
    size_t named = 0;
    for (const std::string& line : log.lines()) named += line.starts_with("  heading check: synthetic_");
    EXPECT_EQ(named, c.reversed.size());
  }
}

// The check's matching is as deterministic as the stage's: the same ties whatever the threads.
TEST(MatchingStage, HeadingCheckDoesNotDependOnTheThreadCount) {
  test::SyntheticFlight f = test::make_flight(5, 22);
  for (size_t p : {1, 2}) f.rotations[p] = turned_half(f.rotations[p]);
  test::LogCapture log;
  std::vector<size_t> t1, t4;
  auto one = run_matching_stage(f.pairs, f.features, {f.images, f.rotations, f.positions}, options_with(1), &t1);
  auto many = run_matching_stage(f.pairs, f.features, {f.images, f.rotations, f.positions}, options_with(4), &t4);
  ASSERT_TRUE(one && many);
  EXPECT_EQ(t1, (std::vector<size_t>{1, 2}));
  EXPECT_EQ(t1, t4);
  expect_same_ties(*one, *many);
}

}  // namespace
}  // namespace tsl
