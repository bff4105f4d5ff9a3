#include "matching/tie_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/test_util.h"
#include "util/text.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

PairMatch tie_pair(uint64_t i, uint64_t j, std::vector<Vec2> a, std::vector<Vec2> b) {
  PairMatch p;
  p.i = i;
  p.j = j;
  p.n = a.size();
  p.a_all = a;
  p.b_all = b;
  p.a = std::move(a);
  p.b = std::move(b);
  return p;
}

void expect_points(const std::vector<Vec2>& got, const std::vector<Vec2>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t k = 0; k < got.size(); ++k) {
    EXPECT_EQ(got[k].x, want[k].x) << "point " << k;
    EXPECT_EQ(got[k].y, want[k].y) << "point " << k;
  }
}

std::vector<PairMatch> parse_pairs(const std::string& text) {
  auto doc = json_parse(text);
  EXPECT_TRUE(doc.has_value()) << text;
  return read_matches_json(doc->as_array());
}

// A dump read back through injection gives the same pairs, ties and inliers, n from "a", and
// no colour ratios (a dump carries none). Coordinates survive exactly: the writer prints the
// shortest text that reads back as the same double.
TEST(TieFiles, DumpReadsBackToTheSameTies) {
  PairMatch p0 = tie_pair(0, 3, {{1.5, 2.25}, {1e-7, 4000.0 / 3.0}}, {{11.5, -0.5}, {0.1, 0.2}});
  p0.a_all.push_back({7, 8});
  p0.b_all.push_back({9, 10});
  p0.log_ratio = std::array<double, 3>{0.1, 0.2, 0.3};
  p0.flow_cm = 4.5;
  const std::vector<PairMatch> pairs = {p0, tie_pair(2, 1, {}, {})};
  test::TempDir dir;
  ASSERT_TRUE(write_tie_file(dir / "ties.json", pairs).has_value());
  EXPECT_FALSE(fs::exists(dir / "ties.partial.json"));
  auto back = read_tie_file(dir / "ties.json");
  ASSERT_TRUE(back.has_value()) << back.error();
  ASSERT_EQ(back->size(), pairs.size());
  for (size_t k = 0; k < pairs.size(); ++k) {
    SCOPED_TRACE(k);
    const PairMatch& g = (*back)[k];
    EXPECT_EQ(g.i, pairs[k].i);
    EXPECT_EQ(g.j, pairs[k].j);
    EXPECT_EQ(g.n, pairs[k].a.size());
    EXPECT_FALSE(g.log_ratio.has_value());
    EXPECT_EQ(g.flow_cm, 0.0);
    expect_points(g.a, pairs[k].a);
    expect_points(g.b, pairs[k].b);
    expect_points(g.a_all, pairs[k].a_all);
    expect_points(g.b_all, pairs[k].b_all);
  }
}

// The dump's exact text (compact, members in order), and Python's json module reads it.
TEST(TieFiles, DumpIsCompactJson) {
  test::TempDir dir;
  const std::vector<PairMatch> pairs = {tie_pair(0, 1, {{1.5, 2}}, {{3, 4.25}})};
  ASSERT_TRUE(write_tie_file(dir / "t.json", pairs).has_value());
  EXPECT_EQ(test::read_file_text(dir / "t.json"),
            R"([{"i": 0, "j": 1, "a": [[1.5, 2]], "b": [[3, 4.25]], "a_all": [[1.5, 2]], "b_all": [[3, 4.25]]}])");
  TSL_REQUIRE_PYTHON("json");
  auto r = test::run_command(test::python3() + " -c " +
                             test::shell_quote("import json,sys; d=json.load(open(sys.argv[1])); "
                                               "print(d[0]['i'], d[0]['j'], d[0]['b'][0][1], list(d[0]))") +
                             " " + test::shell_quote((dir / "t.json").string()));
  EXPECT_EQ(r.out, "0 1 4.25 ['i', 'j', 'a', 'b', 'a_all', 'b_all']\n") << r.err;
}

TEST(TieFiles, LenientValueRules) {
  struct Case {
    std::string name;
    std::string json;
    uint64_t i, j;
    std::vector<Vec2> a, b, b_all;
    bool colour;
  };
  const Case cases[] = {
      {"indices as text, fraction and negative", R"([{"i": "3", "j": 2.7, "a": [], "b": []}])", 3, 2, {}, {}, {}, false},
      {"negative and NaN indices read 0", R"([{"i": -1, "j": NaN}])", 0, 0, {}, {}, {}, false},
      {"a huge index saturates", R"([{"i": 1e30, "j": true}])", UINT64_MAX, 1, {}, {}, {}, false},
      {"short and scalar points", R"([{"a": [[5], 7, ["2.5", "x"]], "b": [[1, 2, 3]]}])", 0, 0,
       {{5, 0}, {0, 0}, {2.5, 0}}, {{1, 2}}, {}, false},
      {"a missing or non-array member reads as no points", R"([{"a": 3, "b_all": {"x": 1}}])", 0, 0, {}, {}, {}, false},
      {"three log ratios give colour", R"([{"logratio": [0.1, -0.05, 0.2]}])", 0, 0, {}, {}, {}, true},
      {"two log ratios give none", R"([{"logratio": [0.1, -0.05]}])", 0, 0, {}, {}, {}, false},
      {"four log ratios give none", R"([{"logratio": [0.1, -0.05, 0.2, 0]}])", 0, 0, {}, {}, {}, false},
      {"an element that is not an object", R"([[1, 2]])", 0, 0, {}, {}, {}, false},
      {"the first of duplicate members counts", R"([{"i": 4, "i": 5, "b_all": [[1, 1]], "b_all": []}])", 4, 0, {}, {},
       {{1, 1}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<PairMatch> got = parse_pairs(c.json);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].i, c.i);
    EXPECT_EQ(got[0].j, c.j);
    expect_points(got[0].a, c.a);
    expect_points(got[0].b, c.b);
    expect_points(got[0].b_all, c.b_all);
    EXPECT_EQ(got[0].n, c.a.size());
    EXPECT_EQ(got[0].log_ratio.has_value(), c.colour);
  }
  const std::vector<PairMatch> coloured = parse_pairs(R"([{"logratio": [0.1, "-0.05", 0.2]}])");
  EXPECT_EQ(*coloured[0].log_ratio, (std::array<double, 3>{0.1, -0.05, 0.2}));
}

TEST(TieFiles, FileErrorsAndDocumentsThatHoldNoPairs) {
  test::TempDir dir;
  auto missing = read_tie_file(dir / "none.json");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), "No such file or directory (os error 2)");

  test::write_file_text(dir / "bad.json", "[{\"i\": 1,");
  auto bad = read_tie_file(dir / "bad.json");
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error(), "unexpected end");

  test::write_file_bytes(dir / "latin1.json", {'[', '"', 0xE9, '"', ']'});
  auto latin = read_tie_file(dir / "latin1.json");
  ASSERT_FALSE(latin.has_value());
  EXPECT_EQ(latin.error(), "stream did not contain valid UTF-8");

  for (const char* text : {"[]", "{\"i\": 0, \"j\": 1}", "42"}) {
    SCOPED_TRACE(text);
    test::write_file_text(dir / "t.json", text);
    auto r = read_tie_file(dir / "t.json");
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(r->empty());
  }
}

// Regression: injected pairs were taken as they came, and an index past the photos, a photo
// paired with itself or point lists of unequal length crashed the stages that read them.
TEST(TieFiles, UnusablePairsAreDroppedWithAWarning) {
  std::vector<PairMatch> pairs = {
      tie_pair(0, 1, {{1, 1}}, {{2, 2}}),                  // fine
      tie_pair(0, 3, {{1, 1}}, {{2, 2}}),                  // photo 3 of 3
      tie_pair(2, 2, {{1, 1}}, {{2, 2}}),                  // itself
      tie_pair(1, 2, {{1, 1}, {3, 3}}, {{2, 2}}),          // "a" longer than "b"
      tie_pair(2, 1, {{1, 1}}, {{2, 2}}),                  // "a_all" made longer below
      tie_pair(0, 2, {{NaN, 1}}, {{2, 2}}),                // NaN coordinate
  };
  pairs[4].a_all.push_back({5, 5});
  pairs.push_back(tie_pair(1, 0, {}, {}));  // fine: i > j and no points are allowed
  test::LogCapture log;
  const std::vector<PairMatch> kept = keep_usable_ties(pairs, 3);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].j, 1u);
  EXPECT_EQ(kept[1].i, 1u);
  EXPECT_EQ(kept[1].j, 0u);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "  warning: tie pair 1 (0, 3) dropped: photo index out of range (the build has 3 photos)",
                             "  warning: tie pair 2 (2, 2) dropped: pairs a photo with itself",
                             "  warning: tie pair 3 (1, 2) dropped: \"a\" has 2 points but \"b\" 1",
                             "  warning: tie pair 4 (2, 1) dropped: \"a_all\" has 2 points but \"b_all\" 1",
                             "  warning: tie pair 5 (0, 2) dropped: a point is not a finite number",
                         }));
}

std::vector<ImageMeta> photos(size_t n) {
  std::vector<ImageMeta> images(n);
  for (size_t k = 0; k < n; ++k) {
    images[k].path = format("/f/P{}.JPG", k);
    images[k].width = 1200;
    images[k].height = 900;
  }
  return images;
}

// A dump injected into a build of the same photos: the same ties, and the count line; an
// unusable pair is dropped before it is counted.
TEST(TieFiles, InjectionReadsTheDumpAndCountsWhatItKeeps) {
  test::TempDir dir;
  const std::vector<PairMatch> pairs = {tie_pair(0, 1, {{1, 2}}, {{3, 4}}), tie_pair(1, 2, {{5, 6}}, {{7, 8}}),
                                        tie_pair(2, 9, {{5, 6}}, {{7, 8}})};
  ASSERT_TRUE(write_tie_file(dir / "dump.json", pairs).has_value());
  test::LogCapture log;
  auto got = inject_tie_file(dir / "dump.json", photos(3), 60, 4000);
  ASSERT_TRUE(got.has_value()) << got.error();
  ASSERT_EQ(got->pairs.size(), 2u);
  EXPECT_FALSE(got->turned.has_value());  // an older dump: the build runs its heading check
  expect_points(got->pairs[1].b, {{7, 8}});
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "  warning: tie pair 2 (2, 9) dropped: photo index out of range (the build has 3 photos)",
                             "  2 matches injected"}));
  test::write_file_text(dir / "empty.json", "[]");
  auto none = inject_tie_file(dir / "empty.json", photos(3), 60, 4000);
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(log.lines().back(), "  0 matches injected");
  // The build prints this message alone: it names the file.
  EXPECT_EQ(inject_tie_file(dir / "missing.json", photos(3), 60, 4000).error(),
            "cannot read tie file " + (dir / "missing.json").string() + ": No such file or directory (os error 2)");
}

// The photos the heading check turned travel with the dump, by name, on its first pair; the
// injecting build gets them as indices and is warned of a name it does not have. An empty list
// is a record too (nothing turned), unlike a file without one.
TEST(TieFiles, TurnedPhotosTravelWithTheDump) {
  test::TempDir dir;
  const std::vector<PairMatch> pairs = {tie_pair(0, 1, {{1, 2}}, {{3, 4}}), tie_pair(1, 2, {{5, 6}}, {{7, 8}})};
  ASSERT_TRUE(write_tie_file(dir / "t.json", pairs, std::vector<std::string>{"P2.JPG", "P0.JPG", "GONE.JPG"}));
  EXPECT_TRUE(test::read_file_text(dir / "t.json").starts_with(R"([{"i": 0, "j": 1, )"));
  EXPECT_NE(test::read_file_text(dir / "t.json").find(R"("turned": ["P2.JPG", "P0.JPG", "GONE.JPG"]})"),
            std::string::npos);
  // Readers that do not know the member see the same pairs.
  auto plain = read_tie_file(dir / "t.json");
  ASSERT_TRUE(plain && plain->size() == 2u);
  test::LogCapture log;
  auto got = inject_tie_file(dir / "t.json", photos(3), 60, 4000);
  ASSERT_TRUE(got.has_value()) << got.error();
  EXPECT_EQ(got->turned, (std::vector<size_t>{0, 2}));
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"  2 matches injected",
                                                   "  warning: tie file turns GONE.JPG, which this build does not have"}));
  ASSERT_TRUE(write_tie_file(dir / "none.json", pairs, std::vector<std::string>{}));
  auto none = inject_tie_file(dir / "none.json", photos(3), 60, 4000);
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(none->turned, std::vector<size_t>{});
  // Hand-made files may name turns on any pair, and more than once.
  EXPECT_EQ(read_turned_json(json_parse(R"([{"turned": ["A"]}, {"turned": ["B", "A", 3]}, {}])")->as_array()),
            (std::vector<std::string>{"A", "B"}));
}

// A pair with more ties than matching keeps is thinned to its share, spread over the photo; so
// is its list of all correspondences. One line says how many pairs were thinned.
TEST(TieFiles, InjectedPairsAreThinnedToWhatMatchingKeeps) {
  test::TempDir dir;
  std::vector<Vec2> a, b;
  for (size_t k = 0; k < 5000; ++k) {
    a.push_back({static_cast<double>(k % 100) * 12.0, static_cast<double>(k / 100) * 18.0});
    b.push_back({a.back().x + 1, a.back().y});
  }
  const std::vector<PairMatch> pairs = {tie_pair(0, 1, a, b), tie_pair(1, 2, {{5, 6}}, {{7, 8}})};
  ASSERT_TRUE(write_tie_file(dir / "big.json", pairs));
  test::LogCapture log;
  auto got = inject_tie_file(dir / "big.json", photos(3), 60, 400);
  ASSERT_TRUE(got.has_value()) << got.error();
  const PairMatch& p = got->pairs[0];
  EXPECT_EQ(p.n, 60u);
  ASSERT_EQ(p.a.size(), 60u);
  ASSERT_EQ(p.b.size(), 60u);
  EXPECT_EQ(p.a_all.size(), 400u);
  EXPECT_EQ(p.b_all.size(), 400u);
  // Partners stay together, and the 60 kept ties fall in different cells of the 12 x 12 grid.
  std::set<std::pair<int, int>> cells;
  for (size_t t = 0; t < p.a.size(); ++t) {
    EXPECT_EQ(p.b[t].x, p.a[t].x + 1);
    EXPECT_EQ(p.b[t].y, p.a[t].y);
    cells.insert({static_cast<int>(p.a[t].x / 100), static_cast<int>(p.a[t].y / 75)});
  }
  EXPECT_EQ(cells.size(), 60u);
  EXPECT_EQ(got->pairs[1].n, 1u);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"  1 injected pair(s) thinned to 60 ties and 400 correspondences each",
                                                   "  2 matches injected"}));
}

}  // namespace
}  // namespace tsl
