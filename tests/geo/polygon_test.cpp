#include "geo/polygon.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "support/py_oracle.h"

namespace tsl {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

double signed_area(const Polygon& p) {
  double twice = 0.0;
  for (size_t k = 0; k < p.size(); ++k) {
    const Vec2 a = p[k], b = p[(k + 1) % p.size()];
    twice += a.x * b.y - b.x * a.y;
  }
  return 0.5 * twice;
}

std::vector<double> flatten(const Polygon& p) {
  std::vector<double> out;
  for (const Vec2& v : p) out.insert(out.end(), {v.x, v.y});
  return out;
}

void expect_vertices(const Polygon& got, const std::vector<Vec2>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t k = 0; k < want.size(); ++k) {
    EXPECT_EQ(got[k].x, want[k].x) << "vertex " << k;
    EXPECT_EQ(got[k].y, want[k].y) << "vertex " << k;
  }
}

TEST(ConvexHull, SmallPointSets) {
  struct Case {
    const char* name;
    std::vector<Vec2> points;
    std::vector<Vec2> want;
  };
  const Case cases[] = {
      {"square with centre and a duplicated corner",
       {{1, 1}, {0, 0}, {1, 0}, {0.5, 0.5}, {0, 1}, {1, 1}},
       {{0, 0}, {1, 0}, {1, 1}, {0, 1}}},
      {"collinear points keep their ends", {{2, 2}, {0, 0}, {1, 1}}, {{0, 0}, {2, 2}}},
      {"points on an edge are dropped", {{0, 0}, {2, 0}, {1, 0}, {2, 2}, {0, 2}, {0, 1}}, {{0, 0}, {2, 0}, {2, 2}, {0, 2}}},
      {"non-finite points are dropped", {{NaN, 0}, {0, 0}, {INF, 1}, {1, 0}, {0, -INF}, {0, 1}}, {{0, 0}, {1, 0}, {0, 1}}},
      {"nothing finite", {{NaN, NaN}, {INF, 0}, {0, -INF}}, {}},
      {"one point", {{3, 4}, {3, 4}}, {{3, 4}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expect_vertices(convex_hull(c.points), c.want);
  }
}

// Integer lattices make duplicates and collinear hull points common.
std::vector<Vec2> random_lattice_points(std::mt19937_64& rng, size_t count, int span) {
  std::uniform_int_distribution<int> u(-span, span);
  std::vector<Vec2> pts;
  for (size_t k = 0; k < count; ++k) pts.push_back({static_cast<double>(u(rng)), static_cast<double>(u(rng))});
  return pts;
}

TEST(ConvexHull, MatchesShapelyOnRandomPointSets) {
  TSL_REQUIRE_PYTHON("numpy shapely");
  std::mt19937_64 rng(17);
  test::PyOracle py;
  std::vector<Polygon> sets;
  for (size_t k = 0; k < 30; ++k) {
    sets.push_back(random_lattice_points(rng, 3 + k * 3, k % 2 == 0 ? 4 : 1000));
    py.put("p" + std::to_string(k), flatten(sets.back()));
  }
  ASSERT_EQ(py.run(R"(
import shapely.geometry as g
for k in range(30):
    h = g.MultiPoint(load(f'p{k}').reshape(-1, 2)).convex_hull
    save(f'a{k}', [h.area])
    ring = np.array(h.exterior.coords)[:-1] if h.geom_type == 'Polygon' else np.array(h.coords)
    save(f'h{k}', ring)
)"),
            "");
  for (size_t k = 0; k < sets.size(); ++k) {
    SCOPED_TRACE(testing::Message() << "set " << k << " of " << sets[k].size() << " points");
    const Polygon hull = convex_hull(sets[k]);
    EXPECT_DOUBLE_EQ(signed_area(hull), py.get("a" + std::to_string(k))[0]);  // positive: counter-clockwise
    const std::vector<double> ring = py.get("h" + std::to_string(k));
    std::vector<std::pair<double, double>> want, got;
    for (size_t i = 0; i + 1 < ring.size(); i += 2) want.emplace_back(ring[i], ring[i + 1]);
    for (const Vec2& v : hull) got.emplace_back(v.x, v.y);
    std::sort(want.begin(), want.end());
    want.erase(std::unique(want.begin(), want.end()), want.end());
    const auto first = got.empty() ? std::pair<double, double>{} : got.front();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want);
    if (!got.empty()) {
      EXPECT_EQ(first, got.front()) << "hull must start at the smallest (x, y)";
    }
  }
}

TEST(IntersectionArea, SmallCases) {
  const Polygon unit = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
  const Polygon shifted = {{0.5, 0.5}, {1.5, 0.5}, {1.5, 1.5}, {0.5, 1.5}};
  const Polygon far = {{5, 5}, {6, 5}, {6, 6}, {5, 6}};
  const Polygon l_shape = {{0, 0}, {3, 0}, {3, 1}, {1, 1}, {1, 3}, {0, 3}};
  struct Case {
    const char* name;
    Polygon subject, clip;
    double want;
  };
  const Case cases[] = {
      {"unit square by a square shifted by half", unit, shifted, 0.25},
      {"disjoint", unit, far, 0.0},
      {"a polygon with its own hull", l_shape, convex_hull(l_shape), 5.0},
      {"non-convex subject, convex clip", l_shape, {{0.5, 0.5}, {2.5, 0.5}, {2.5, 2.5}, {0.5, 2.5}}, 1.75},
      {"clockwise subject", {{0, 0}, {0, 1}, {1, 1}, {1, 0}}, shifted, 0.25},
      // A hull of footprints whose rays all missed the ground: the overlap is nothing, not
      // the whole subject.
      {"empty clip", unit, {}, 0.0},
      {"one-point clip", unit, {{0.5, 0.5}}, 0.0},
      {"two-point clip", unit, {{0, 0}, {1, 1}}, 0.0},
      {"empty subject", {}, unit, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(intersection_area(c.subject, c.clip), c.want, 1e-12);
  }
}

// A random simple polygon: points at random radii around a centre, one in each of `count`
// equal angle sectors, so that no edge spans half a turn or more.
Polygon random_star(std::mt19937_64& rng, size_t count, Vec2 centre, double radius) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Polygon p;
  for (size_t k = 0; k < count; ++k) {
    const double a = (static_cast<double>(k) + u(rng)) / static_cast<double>(count) * 2.0 * M_PI;
    const double r = radius * (0.3 + 0.7 * u(rng));
    p.push_back({centre.x + r * std::cos(a), centre.y + r * std::sin(a)});
  }
  return p;
}

TEST(IntersectionArea, MatchesShapelyOnRandomPolygons) {
  TSL_REQUIRE_PYTHON("numpy shapely");
  std::mt19937_64 rng(23);
  std::uniform_real_distribution<double> u(-50.0, 50.0);
  test::PyOracle py;
  std::vector<std::pair<Polygon, Polygon>> cases;
  for (size_t k = 0; k < 40; ++k) {
    Polygon subject = random_star(rng, 3 + k % 12, {u(rng), u(rng)}, 60.0);
    std::vector<Vec2> cloud;
    for (int i = 0; i < 12; ++i) cloud.push_back({u(rng), u(rng)});
    Polygon clip = convex_hull(cloud);
    if (k % 5 == 0) std::reverse(subject.begin(), subject.end());  // either orientation
    py.put("s" + std::to_string(k), flatten(subject));
    py.put("c" + std::to_string(k), flatten(clip));
    cases.emplace_back(std::move(subject), std::move(clip));
  }
  ASSERT_EQ(py.run(R"(
import shapely.geometry as g
for k in range(40):
    s = g.Polygon(load(f's{k}').reshape(-1, 2))
    c = g.Polygon(load(f'c{k}').reshape(-1, 2))
    save(f'a{k}', [s.intersection(c).area])
)"),
            "");
  for (size_t k = 0; k < cases.size(); ++k) {
    SCOPED_TRACE(testing::Message() << "case " << k);
    const double want = py.get("a" + std::to_string(k))[0];
    // Areas are up to 1e4 m^2; the two clip in different orders.
    EXPECT_NEAR(intersection_area(cases[k].first, cases[k].second), want, 1e-9 * (1.0 + want));
  }
}

}  // namespace
}  // namespace tsl
