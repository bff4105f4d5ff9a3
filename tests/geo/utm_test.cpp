#include "geo/utm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>
#include <vector>

#include "support/test_util.h"
#include "util/text.h"

namespace tsl {
namespace {

struct ProjPoint {
  double easting = NAN, northing = NAN, convergence_deg = NAN;
};

struct ProjQuery {
  double lat, lon;
  int zone;
  bool south;
};

// PROJ's own transverse Mercator for each point: easting, northing and convergence from
// proj -V, one call per zone and hemisphere (PROJ takes a while to start).
std::vector<ProjPoint> proj_utm(const std::vector<ProjQuery>& queries) {
  std::map<std::pair<int, bool>, std::vector<size_t>> groups;
  for (size_t i = 0; i < queries.size(); ++i) groups[{queries[i].zone, queries[i].south}].push_back(i);
  std::vector<ProjPoint> out(queries.size());
  for (const auto& [target, members] : groups) {
    std::string points;
    for (size_t i : members)
      points += format("{} {}\\n", shortest_positional(queries[i].lon), shortest_positional(queries[i].lat));
    auto r = test::run_command(format("printf -- '{}' | proj -V -f %.6f +proj=utm +zone={} {}+ellps=WGS84", points,
                                      target.first, target.second ? "+south " : ""));
    std::istringstream lines(r.out);
    size_t k = 0;
    for (std::string line; std::getline(lines, line) && k < members.size();) {
      ProjPoint& p = out[members[k]];
      const auto value_after = [&](char c) { return std::stod(line.substr(line.find(c) + 1)); };
      if (line.starts_with("Easting")) p.easting = value_after(':');
      if (line.starts_with("Northing")) p.northing = value_after(':');
      if (line.starts_with("Convergence")) {
        p.convergence_deg = value_after('[');
        ++k;
      }
    }
  }
  return out;
}

TEST(UtmForward, AgreesWithProj) {
  TSL_REQUIRE_TOOL("proj");
  struct Case {
    const char* name;
    double lat, lon;
    int zone;
    bool south;
  } cases[] = {
      {"zone 32 north", 47.0, 8.5, 32, false},
      {"real flight, west longitude", 46.8426070833, -91.9945598889, 15, false},
      {"south, east of the meridian", -33.9249, 18.4241, 34, true},
      {"on the central meridian at the equator", 0.0, 3.0, 31, false},
      {"north latitude in a south frame", 0.1, 9.2, 32, true},
      {"just west of a zone border, projected into the zone east of it", 50.0, 5.9999, 32, false},
      {"just east of a zone border, projected into the zone west of it", 50.0, 6.0001, 31, false},
      {"a degree past the zone edge", 60.0, 16.0, 32, false},
      {"far south, zone edge", -54.8, -71.99, 18, true},
      {"high north", 78.2, 15.6, 33, false},
  };
  std::vector<ProjQuery> queries;
  for (const auto& c : cases) queries.push_back({c.lat, c.lon, c.zone, c.south});
  const std::vector<ProjPoint> proj = proj_utm(queries);
  ASSERT_EQ(proj.size(), queries.size());
  for (size_t i = 0; i < queries.size(); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.name);
    const UtmPoint got = utm_forward(c.lat, c.lon, c.zone, c.south);
    const ProjPoint& want = proj[i];
    EXPECT_NEAR(got.easting, want.easting, 1e-3);
    EXPECT_NEAR(got.northing, want.northing, 1e-3);
    // The convergence is the spherical formula atan(tan dlon sin lat), which leaves out the
    // ellipsoid's e'^2 term (up to about 1e-5 degrees inside a zone). A 1e-6 rad yaw error
    // moves a point 1 km from the camera by 1 mm, far beyond any photo's footprint.
    EXPECT_NEAR(got.convergence, want.convergence_deg * M_PI / 180.0, 1e-6);
  }
}

TEST(UtmZone, ZoneOfLongitude) {
  struct Case {
    double lon;
    int32_t want;
  } cases[] = {
      {8.0, 32},  {6.0, 32},  {5.999999, 31}, {-180.0, 1}, {179.9, 60},
      {180.0, 60},  // +180 would be zone 61, which does not exist
      {-91.99, 15}, {NAN, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lon);
    EXPECT_EQ(utm_zone(c.lon), c.want);
  }
}

TEST(UtmFrame, EpsgCode) {
  EXPECT_EQ(utm_epsg(UtmFrame{32, false, 0, 0}), 32632);
  EXPECT_EQ(utm_epsg(UtmFrame{15, true, 0, 0}), 32715);
}

TEST(RoundHalfEven, TiesGoToTheEvenNeighbour) {
  struct Case {
    double x, want;
  } cases[] = {{2.5, 2}, {3.5, 4}, {-2.5, -2}, {0.5, 0}, {-0.5, -0.0}, {2.4999, 2}, {2.5001, 3}, {-3.7, -4}, {4610.5, 4610}, {4611.5, 4612}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.x);
    EXPECT_EQ(round_half_even(c.x), c.want);
  }
}

}  // namespace
}  // namespace tsl
