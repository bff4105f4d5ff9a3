#include "grid/output_grid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "logx.h"
#include "support/render_fixtures.h"
#include "util/error.h"

namespace tsl {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

// Photos with their poses, all nadir over the plane z = 0.
struct Flight {
  std::vector<ImageMeta> images;
  std::vector<Mat3> rotations;
  std::vector<Vec3> positions;

  // A photo whose footprint is the ground rectangle [e0, e1] x [n0, n1], seen from `altitude`.
  void add(double e0, double e1, double n0, double n1, double altitude = 100.0) {
    images.push_back(test::nadir_photo("p.jpg", 101, 101, altitude, e1 - e0, n1 - n0));
    rotations.push_back(test::nadir_rotation());
    positions.push_back({(e0 + e1) / 2, (n0 + n1) / 2, altitude});
  }
};

// Runs the planner with the log lines captured.
struct Planned {
  std::expected<OutputGrid, std::string> grid;
  std::vector<std::string> lines;
};

Planned plan(const Flight& f, std::optional<double> gsd, double max_mpix, std::optional<GroundBounds> bounds,
             Surface surface = Surface::plane(0.0)) {
  auto capture = std::make_shared<CaptureList>();
  const LogContext before = log_context();
  set_log_capture(capture);
  Planned p{plan_output_grid({f.images, f.rotations, f.positions}, surface, gsd, max_mpix, bounds, true), {}};
  set_log_context(before);
  p.lines = capture->lines;
  return p;
}

TEST(PlanOutputGrid, NativeGsdSizeAndCornerOfOnePhoto) {
  Flight f;
  f.add(0, 100, 0, 50);  // 101 px over 100 m: native gsd 1 m, altitude 100 / fx 100
  const Planned p = plan(f, std::nullopt, 2000, std::nullopt);
  ASSERT_TRUE(p.grid.has_value()) << p.grid.error();
  EXPECT_NEAR(p.grid->gsd, 1.0, 1e-12);
  EXPECT_EQ(p.grid->width, 100u);
  EXPECT_EQ(p.grid->height, 50u);
  EXPECT_NEAR(p.grid->left_e, 0.0, 1e-9);
  EXPECT_NEAR(p.grid->top_n, 50.0, 1e-9);
  ASSERT_EQ(p.grid->windows.size(), 1u);
  // Margins of 2 before and 3 after the footprint's extremes, clamped to the size.
  EXPECT_EQ(p.grid->windows[0].x0, 0u);
  EXPECT_EQ(p.grid->windows[0].x1, 100u);
  EXPECT_TRUE(p.lines.empty());
}

TEST(PlanOutputGrid, BoundsClipAndLog) {
  struct Case {
    const char* name;
    GroundBounds bounds;
    std::optional<std::string> error;  // else the expected "clipped to" line
    double left_e, top_n;
  };
  const Case cases[] = {
      // Larger than the mosaic: nothing changes, the line still shows the full box.
      {"larger", {-500, -500, 500, 500}, "  clipped to 100 x 50 m area of interest", 0, 50},
      // A NaN side does not clip.
      {"nan sides", {NaN, 10, NaN, NaN}, "  clipped to 100 x 40 m area of interest", 0, 50},
      {"inner", {20, 10, 60, 30}, "  clipped to 40 x 20 m area of interest", 20, 30},
      // Touching only along the west edge is no overlap.
      {"edge", {-50, 0, 0, 50}, std::nullopt, 0, 0},
      {"beside", {200, 0, 300, 50}, std::nullopt, 0, 0},
  };
  Flight f;
  f.add(0, 100, 0, 50);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Planned p = plan(f, 1.0, 2000, c.bounds);
    if (c.error) {
      ASSERT_TRUE(p.grid.has_value()) << p.grid.error();
      ASSERT_EQ(p.lines.size(), 1u);
      EXPECT_EQ(p.lines[0], *c.error);
      EXPECT_NEAR(p.grid->left_e, c.left_e, 1e-9);
      EXPECT_NEAR(p.grid->top_n, c.top_n, 1e-9);
    } else {
      ASSERT_FALSE(p.grid.has_value());
      EXPECT_EQ(p.grid.error(), "bounds do not overlap the mosaic");
      EXPECT_TRUE(p.lines.empty());
    }
  }
}

TEST(PlanOutputGrid, CapRaisesTheGsdOnce) {
  // 50 km x 50 km at 2 cm is 6.25e12 pixels; the 2000 MP cap raises the gsd to
  // 0.02 x sqrt(6.25e12 / 2e9) = 1.1180 m and the size to ceil(50000 / 1.1180) = 44722.
  Flight f;
  f.add(-25000, 25000, -25000, 25000, 1000.0);
  const Planned p = plan(f, 0.02, 2000, std::nullopt);
  ASSERT_TRUE(p.grid.has_value()) << p.grid.error();
  EXPECT_NEAR(p.grid->gsd, 0.02 * std::sqrt(6.25e12 / 2e9), 1e-9);
  EXPECT_EQ(p.grid->width, 44722u);
  EXPECT_EQ(p.grid->height, 44722u);
  // Rounding each side up leaves the size just above the cap.
  EXPECT_GT(p.grid->width * p.grid->height, 2'000'000'000u);
  ASSERT_EQ(p.lines.size(), 1u);
  EXPECT_EQ(p.lines[0], "  output capped at 2000 MP -> GSD raised to 111.80 cm");
}

TEST(PlanOutputGrid, CapIsComputedWithoutIntegerOverflow) {
  // 50 km at 1 micrometre is 5e10 pixels a side: the product 2.5e21 does not fit 64 bits,
  // and a wrapped product would slip under the cap of 1e18 pixels.
  Flight f;
  f.add(-25000, 25000, -25000, 25000, 1000.0);
  const Planned p = plan(f, 1e-6, 1e12, std::nullopt);
  ASSERT_TRUE(p.grid.has_value()) << p.grid.error();
  EXPECT_NEAR(p.grid->gsd, 5e-5, 1e-12);
  EXPECT_LE(static_cast<double>(p.grid->width) * static_cast<double>(p.grid->height), 1.00001e18);
}

TEST(PlanOutputGrid, RejectsGsdAndCapThatAreNotPositive) {
  struct Case {
    const char* name;
    double altitude;  // camera height over the plane z = 0 (native gsd = altitude / fx)
    std::optional<double> gsd;
    double max_mpix;
    const char* error;
  };
  const Case cases[] = {
      {"gsd 0", 100, 0.0, 2000, "output gsd 0 m is not a positive number"},
      {"gsd negative", 100, -0.05, 2000, "output gsd -0.05 m is not a positive number"},
      {"gsd NaN", 100, NaN, 2000, "output gsd NaN m is not a positive number"},
      {"gsd infinite", 100, INF, 2000, "output gsd inf m is not a positive number"},
      {"cap 0", 100, std::nullopt, 0, "max_mpix 0 is not a positive number"},
      {"cap negative", 100, 0.5, -3, "max_mpix -3 is not a positive number"},
      {"cap NaN", 100, 0.5, NaN, "max_mpix NaN is not a positive number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Flight f;
    f.add(0, 100, 0, 50, c.altitude);
    const Planned p = plan(f, c.gsd, c.max_mpix, std::nullopt);
    ASSERT_FALSE(p.grid.has_value()) << p.grid->width << "x" << p.grid->height;
    EXPECT_EQ(p.grid.error(), c.error);
  }
}

// Regression: sizes were converted to integers before the cap, saturating at 2^64 - 1 where no
// cap could bring them back, and a cap below one pixel gave an infinite gsd. Every size is now
// checked in floating point, and what does not fit is a clear error, never a grid.
TEST(PlanOutputGrid, RejectsSizesThatDoNotFit) {
  struct Case {
    const char* name;
    double e1, n1;            // the footprint [0, e1] x [0, n1] in metres
    std::optional<double> gsd;
    double max_mpix;
    const char* error;        // the start of the message
  };
  const Case cases[] = {
      {"cap below one pixel", 100, 50, 0.5, 5e-324, "max_mpix 5e-324 is less than one pixel"},
      // 1e13 x 0.001 m: the cap leaves a strip 1.4e11 px long, one pixel high.
      {"strip longer than a TIFF side", 1e13, 0.001, 1.0, 2000,
       "mosaic of 1.4142135623"},
      {"extent past the largest gsd", 1e300, 1e300, 1e-300, 2000, "mosaic of 1e+300 x 1e+300 m at 1e-300 m per pixel does not fit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Flight f;
    f.add(0, c.e1, 0, c.n1);
    const Planned p = plan(f, c.gsd, c.max_mpix, std::nullopt);
    ASSERT_FALSE(p.grid.has_value()) << p.grid->width << "x" << p.grid->height << " @ " << p.grid->gsd;
    EXPECT_TRUE(p.grid.error().starts_with(c.error)) << p.grid.error();
  }
}

TEST(PlanOutputGrid, RejectsCamerasAtOrBelowTheGround) {
  // The photos hang 100 m up, but the ground plane is raised to their height or above them:
  // the native gsd is 0 or negative.
  Flight f;
  f.add(0, 100, 0, 50);
  for (double ground : {100.0, 150.0}) {
    SCOPED_TRACE(ground);
    const Planned p = plan(f, std::nullopt, 2000, std::nullopt, Surface::plane(ground));
    ASSERT_FALSE(p.grid.has_value()) << p.grid->width << "x" << p.grid->height;
    EXPECT_NE(p.grid.error().find("cameras at or below the ground"), std::string::npos) << p.grid.error();
  }
}

// Regression: poses that put the ground at the cameras planned a mosaic of a few metres at a
// hundredth of a millimetre per pixel, capped at a thousand megapixels; and a gsd asked far
// below the photos' was planned just the same.
TEST(PlanOutputGrid, RejectsGsdFarBelowThePhotosAtTheirRecordedHeight) {
  struct Case {
    const char* name;
    double camera_height;  // over the plane z = 0; every photo records 100 m (native gsd 1 m)
    std::optional<double> gsd;
    const char* error;  // empty: planned
  };
  const Case cases[] = {
      {"native", 100, std::nullopt, ""},
      {"ten times finer", 100, 0.1, ""},
      {"asked far below", 100, 0.05, "output gsd 0.05 m is far below the finest native gsd of the photos (1 m)"},
      {"ground at the cameras", 0.5, std::nullopt,
       "output gsd 0.005 m is far below the finest native gsd of the photos (1 m)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Flight f;
    f.add(0, 100, 0, 50, c.camera_height);
    f.add(50, 150, 0, 50, c.camera_height);
    for (ImageMeta& m : f.images) {
      m.lens->fx = m.lens->fy = 100.0;  // the flight's camera, whatever height it is placed at
      m.rel_alt = 100.0;
    }
    const Planned p = plan(f, c.gsd, 2000, std::nullopt);
    if (*c.error == '\0') {
      EXPECT_TRUE(p.grid.has_value()) << p.grid.error();
      continue;
    }
    ASSERT_FALSE(p.grid.has_value()) << p.grid->width << "x" << p.grid->height << " @ " << p.grid->gsd;
    EXPECT_EQ(p.grid.error(), c.error);
  }
}

TEST(PlanOutputGrid, RejectsPhotosThatSeeNoGround) {
  // A degenerate pose casts every border ray nowhere: no footprint point is finite, which
  // would otherwise plan an empty 1 x 1 mosaic.
  Flight f;
  f.add(0, 100, 0, 50);
  f.rotations[0] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
  const Planned p = plan(f, 1.0, 2000, std::nullopt);
  ASSERT_FALSE(p.grid.has_value()) << p.grid->width << "x" << p.grid->height;
  EXPECT_EQ(p.grid.error(), "no photo footprint reaches the ground");
}

TEST(PlanOutputGrid, WindowsKeepMarginsAndDropFarPhotos) {
  Flight f;
  f.add(0, 100, 0, 50);
  f.add(-5.7, 10.2, 0, 50);  // u from -5.7 to 10.2: x0 = max(-5 - 2, 0) = 0, x1 = 10 + 3 = 13
  f.add(103, 150, 0, 50);    // more than 2 px beyond the right edge of the clipped grid
  f.add(101.5, 150, 0, 50);  // 1.5 px beyond: kept, clamped to the width
  const Planned p = plan(f, 1.0, 2000, GroundBounds{0, 0, 100, 50});
  ASSERT_TRUE(p.grid.has_value()) << p.grid.error();
  ASSERT_EQ(p.grid->width, 100u);
  const auto& w = p.grid->windows;
  EXPECT_EQ(w[1].x0, 0u);
  EXPECT_EQ(w[1].x1, 13u);
  EXPECT_EQ(w[2].x0, 0u);
  EXPECT_EQ(w[2].x1, 0u);
  EXPECT_EQ(w[2].y0, 0u);
  EXPECT_EQ(w[2].y1, 0u);
  EXPECT_EQ(w[3].x0, 99u);
  EXPECT_EQ(w[3].x1, 100u);
}

TEST(PlanOutputGrid, PhotoWithoutCameraModelIsAnInternalError) {
  Flight f;
  f.add(0, 100, 0, 100);
  f.images[0].lens.reset();
  EXPECT_THROW(plan_output_grid({f.images, f.rotations, f.positions}, Surface::plane(0.0), std::nullopt, 100.0,
                                std::nullopt, false),
               InternalError);
}

TEST(NativeGsds, HeightOverFocalLengthUnclamped) {
  Flight f;
  f.add(0, 100, 0, 50, 100.0);  // fx 100
  f.add(0, 100, 0, 50, 40.0);   // fx 40
  const std::vector<double> g = native_gsds(f.images, f.positions, 60.0);
  ASSERT_EQ(g.size(), 2u);
  EXPECT_DOUBLE_EQ(g[0], 0.4);
  EXPECT_DOUBLE_EQ(g[1], -0.5);
  // Only as many as there are positions.
  EXPECT_EQ(native_gsds(f.images, std::span<const Vec3>(f.positions).first(1), 0.0).size(), 1u);
}

}  // namespace
}  // namespace tsl
