#include "diag/seam_analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "img/jpeg/encode.h"
#include "support/flight_fixture.h"
#include "support/test_util.h"

namespace tsl {
namespace {

constexpr double DEG = std::numbers::pi / 180.0;

JsonValue grid_report(std::vector<double> origin, std::vector<double> size, std::optional<double> gsd) {
  JsonValue r = JsonValue::empty_object();
  r.set_f64s("origin_utm", std::move(origin));
  r.set_f64s("size_px", std::move(size));
  if (gsd) r.set_f64("gsd_m", *gsd);
  return r;
}

// The studio runs in another folder than the build did: a relative surface file must be found
// beside the report, not in the studio's folder (it fell back to a flat plane).
TEST(ReportNamedFile, RelativePathsAreTakenBesideTheReport) {
  struct Case {
    std::string stored, report_dir, expected;
  };
  const Case cases[] = {
      {"out/ortho_surface.npz", "/data/run/out", "/data/run/out/ortho_surface.npz"},
      {"ortho_surface.npz", "/data/run", "/data/run/ortho_surface.npz"},
      {"/abs/ortho_surface.npz", "/data/run", "/abs/ortho_surface.npz"},
      {"out/ortho_surface.npz", "", "out/ortho_surface.npz"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(report_named_file(c.stored, c.report_dir).string(), c.expected) << c.stored << " in " << c.report_dir;
}

TEST(SeamGrid, CellGrowsWithTheRasterAreaAndIsNeverFinerThanFiveCentimetresOrTheOutputPixel) {
  struct Case {
    std::vector<double> size;
    std::optional<double> gsd;
    double cell;
    uint64_t nx, ny;
  };
  const Case cases[] = {
      {{1000, 1000}, std::nullopt, 0.05, 1000, 1000},  // gsd missing: 0.05 m
      {{50000, 50000}, 0.1, 1.0, 5000, 5000},           // 25 km2: exactly 1 m
      {{0, 700}, 0.02, 0.05, 0, 280},                   // an empty raster side gives 0 cells
      {{1000, 1000}, 0.02, 0.05, 400, 400},             // output finer than 5 cm: 5 cm cells
      {{1000, 1000}, 0.125, 0.125, 1000, 1000},         // output coarser than 5 cm: its pixel
  };
  for (const Case& c : cases) {
    auto g = analysis_grid(grid_report({500100, 4000200}, c.size, c.gsd), 500000, 4000000);
    ASSERT_TRUE(g) << g.error();
    EXPECT_DOUBLE_EQ(g->cell, c.cell);
    EXPECT_EQ(g->nx, c.nx);
    EXPECT_EQ(g->ny, c.ny);
    EXPECT_DOUBLE_EQ(g->left_e, 100);
    EXPECT_DOUBLE_EQ(g->top_n, 200);
  }
}

TEST(SeamGrid, MissingPlacementIsAnErrorNotAGuess) {
  EXPECT_FALSE(analysis_grid(grid_report({500100}, {10, 10}, 0.1), 0, 0));
  EXPECT_FALSE(analysis_grid(grid_report({500100, 1}, {10}, 0.1), 0, 0));
  auto missing = analysis_grid(JsonValue::empty_object(), 0, 0);
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.error().find("origin_utm"), std::string::npos);
}

TEST(SeamPairs, KindByHeadingAndDistanceAcrossTheLine) {
  struct Case {
    double hi, hj, de, dn;
    const char* kind;
  };
  // Photo i flies north (heading 2 deg): "across" is east.
  const Case cases[] = {
      {2, 179, 3, 10, "same line"},   // antiparallel, 3 m across
      {2, 179, 5, 10, "cross line"},  // 5 m across
      {2, 157, 0, 10, "cross line"},  // 155 deg apart: 25 deg from antiparallel
      {0, 15, 0, 20, "same line"},
      {0, 25, 0, 20, "cross line"},
      {350, 5, -1, 20, "same line"},  // across the 0/360 wrap
  };
  for (const Case& c : cases)
    EXPECT_EQ(pair_kind(c.hi * DEG, c.hj * DEG, c.de, c.dn), c.kind) << c.hi << " " << c.hj << " " << c.de;
}

TEST(SeamHeat, TurboKnotsAndMixing) {
  const std::pair<float, std::array<uint8_t, 3>> knots[] = {
      {0.0f, {34, 23, 27}}, {0.25f, {37, 188, 224}}, {0.5f, {150, 250, 79}}, {0.75f, {255, 127, 29}}, {1.0f, {144, 12, 0}}};
  for (const auto& [t, rgb] : knots) {
    const auto q = heat_colour(t);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(q[c], rgb[c], 1) << "t " << t << " channel " << c;
  }
  // 30 cm or more on grey 100 mixes to (124, 51, 45).
  const auto q = heat_colour(1.0f);
  const uint8_t mixed[3] = {124, 51, 45};
  for (int c = 0; c < 3; ++c)
    EXPECT_EQ(static_cast<int>(std::clamp(static_cast<float>(q[c]) * 0.55f + 100.0f * 0.45f, 0.0f, 255.0f)), mixed[c]);
}

TEST(SeamMedians, ByKindIgnoringOthersAndNonNumbers) {
  JsonArray pairs;
  auto add = [&](const char* kind, JsonValue median) {
    JsonValue p = JsonValue::empty_object();
    p.set_str("kind", kind);
    p.set("median_cm", std::move(median));
    pairs.push_back(std::move(p));
  };
  add("same line", 1.0);
  add("same line", 3.0);
  add("same line", nullptr);
  add("cross line", 10.0);
  EXPECT_DOUBLE_EQ(median_cm_of_kind(pairs, "same line"), 2.0);
  EXPECT_DOUBLE_EQ(median_cm_of_kind(pairs, "cross line"), 10.0);
  EXPECT_TRUE(std::isnan(median_cm_of_kind(pairs, "other")));
}

// A nadir camera without distortion 100 m above flat ground: 200 x 150 px at fx 200 sees
// 100 m x 75 m, one metre per pixel.
struct NadirPhoto {
  test::TempDir dir;
  ImageMeta photo;
  ShotPose pose;
  Surface ground = Surface::plane(0.0);

  explicit NadirPhoto(uint8_t grey) {
    ImageU8 img(200, 150, 3);
    std::fill(img.data.begin(), img.data.end(), grey);
    auto jpeg = encode_jpeg(img, 95);
    photo.path = dir / "uniform.jpg";
    test::write_file_bytes(photo.path, *jpeg);
    photo.width = 200;
    photo.height = 150;
    CameraModel cam;
    cam.width = 200;
    cam.height = 150;
    cam.fx = cam.fy = 200;
    cam.cx = 100;
    cam.cy = 75;
    photo.lens = cam;
    pose.present = true;
    pose.rotation = {1, 0, 0, 0, -1, 0, 0, 0, -1};
    pose.h = 100;
  }

  std::optional<SeamSample> sample(const AnalysisGrid& grid) const {
    const SamplingContext ctx{std::span(&pose, 1), std::span(&photo, 1), &ground, grid};
    return diag_sample_image(ctx, 0);
  }
};

TEST(SeamSampling, UniformLinearGreyGivesItsSrgbValueEverywhereValid) {
  NadirPhoto p(118);  // sRGB 118 is linear 0.18
  const AnalysisGrid grid{-60, 50, 1.0, 120, 100};
  auto s = p.sample(grid);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->x0, 10u);  // pixel 0 sees east -50 m
  EXPECT_EQ(s->y0, 12u);
  size_t valid = 0;
  for (size_t k = 0; k < s->valid.size(); ++k) {
    if (!s->valid[k]) {
      EXPECT_EQ(s->radial[k], 9.0f);
      continue;
    }
    ++valid;
    ASSERT_EQ(s->grey[k], 118.0f) << k;
    EXPECT_LE(s->radial[k], 1.0f);
  }
  EXPECT_GT(valid, 90u * 65u);
  // The cell over the photo centre (east 0, north 0: column 60, row 50).
  const size_t centre = (50 - s->y0) * s->width + (60 - s->x0);
  EXPECT_LT(s->radial[centre], 0.02f);
}

TEST(SeamSampling, WindowsUnderNineCellsGiveNothing) {
  NadirPhoto p(118);
  // The footprint's east edge lies at 49.5 m: a grid starting at 41.5 m holds 9 columns of it.
  EXPECT_TRUE(p.sample({41.5, 50, 1.0, 120, 100}));
  EXPECT_FALSE(p.sample({42.5, 50, 1.0, 120, 100}));
  ShotPose none;
  EXPECT_FALSE((diag_sample_image({std::span(&none, 1), std::span(&p.photo, 1), &p.ground, {-60, 50, 1.0, 120, 100}}, 0)));
  ImageMeta gone = p.photo;
  gone.path = p.dir / "deleted.jpg";
  EXPECT_FALSE((diag_sample_image({std::span(&p.pose, 1), std::span(&gone, 1), &p.ground, {-60, 50, 1.0, 120, 100}}, 0)));
}

// A generated flight over flat ground seen with its true poses: the seams agree; one photo
// moved by 10 cm shows that shift in its pairs and only there.
TEST(SeamAnalysisFlight, KnownShiftIsMeasured) {
  TSL_REQUIRE_PYTHON("numpy PIL");
  auto flight = test::shared_truth_flight(test::source_dir(),
                                 "--seed 3 --photos 6 --legs 2 --altitude 20 --width 600 --height 450 --terrain flat "
                                 "--gps none --buildings 0 --trees 0 --attitude-jitter 1 --exposure-ev 0 --vignetting 0");
  ASSERT_TRUE(flight) << flight.error();
  const size_t n = flight->images.size();
  double min_e = 1e9, max_e = -1e9, min_n = 1e9, max_n = -1e9;
  for (const Vec3& p : flight->positions) {
    min_e = std::min(min_e, p[0]), max_e = std::max(max_e, p[0]);
    min_n = std::min(min_n, p[1]), max_n = std::max(max_n, p[1]);
  }
  const double gsd = 0.05, margin = 40;
  auto report_with_shift = [&](size_t moved, double shift) {
    JsonValue r = grid_report({flight->origin_e + min_e - margin, flight->origin_n + max_n + margin},
                              {(max_e - min_e + 2 * margin) / gsd, (max_n - min_n + 2 * margin) / gsd}, gsd);
    std::vector<JsonValue> shots;
    for (size_t i = 0; i < n; ++i) {
      JsonValue s = JsonValue::empty_object();
      s.set_string("file", flight->images[i].path.filename().string());
      s.set_f64("E", flight->origin_e + flight->positions[i][0] + (i == moved ? shift : 0.0));
      s.set_f64("N", flight->origin_n + flight->positions[i][1]);
      s.set_f64("h", flight->positions[i][2]);
      std::vector<JsonValue> rows;
      for (int a = 0; a < 3; ++a)
        rows.push_back(JsonValue::from_f64s({flight->rotations[i][3 * a], flight->rotations[i][3 * a + 1],
                                             flight->rotations[i][3 * a + 2]}));
      s.set_array("R", std::move(rows));
      shots.push_back(std::move(s));
    }
    r.set_array("shots", std::move(shots));
    return r;
  };

  auto truth =
      analyse_seams(flight->images, report_with_shift(n, 0), flight->origin_e, flight->origin_n, 4, FlowOptions{});
  ASSERT_TRUE(truth) << truth.error();
  const JsonValue& pairs0 = truth->seams["pairs"];
  ASSERT_GE(pairs0.size(), 3u) << "too few measured pairs";
  bool same = false, cross = false;
  for (const JsonValue& p : pairs0.as_array()) {
    EXPECT_LT(p["median_cm"].as_f64(), 2.0) << p["a"].as_string() << " " << p["b"].as_string();
    same |= p["kind"].as_string() == "same line";
    cross |= p["kind"].as_string() == "cross line";
  }
  EXPECT_TRUE(same && cross);

  const size_t moved = 2;
  const std::string moved_name = flight->images[moved].path.filename().string();
  auto shifted =
      analyse_seams(flight->images, report_with_shift(moved, 0.10), flight->origin_e, flight->origin_n, 1, FlowOptions{});
  ASSERT_TRUE(shifted) << shifted.error();
  size_t with_moved = 0;
  for (const JsonValue& p : shifted->seams["pairs"].as_array()) {
    const bool involved = p["a"].as_string() == moved_name || p["b"].as_string() == moved_name;
    with_moved += involved;
    if (involved) EXPECT_NEAR(p["median_cm"].as_f64(), 10.0, 2.0) << p["a"].as_string() << " " << p["b"].as_string();
    else EXPECT_LT(p["median_cm"].as_f64(), 2.0);
  }
  EXPECT_GE(with_moved, 1u);

  // The thread count changes nothing.
  auto again =
      analyse_seams(flight->images, report_with_shift(moved, 0.10), flight->origin_e, flight->origin_n, 4, FlowOptions{});
  ASSERT_TRUE(again);
  std::string x, y;
  json_write(shifted->seams, x, false);
  json_write(again->seams, y, false);
  EXPECT_EQ(x, y);
  EXPECT_EQ(shifted->heat_map.data, again->heat_map.data);
}

}  // namespace
}  // namespace tsl
