#include "imageio/lens_corrections.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace tsl {
namespace {

ImageU16 flat(size_t w, size_t h, uint16_t r, uint16_t g, uint16_t b) {
  ImageU16 img(w, h, 3);
  for (size_t p = 0; p < w * h; ++p) {
    img.data[3 * p] = r;
    img.data[3 * p + 1] = g;
    img.data[3 * p + 2] = b;
  }
  return img;
}

GainOp map_op(uint64_t rows, uint64_t cols, uint64_t planes, std::vector<float> gains) {
  GainOp op;
  op.points_v = rows;
  op.points_h = cols;
  op.map_planes = planes;
  op.gains = std::move(gains);
  op.planes = 3;
  op.spacing_v = rows > 1 ? 1.0 / static_cast<double>(rows - 1) : 1.0;
  op.spacing_h = cols > 1 ? 1.0 / static_cast<double>(cols - 1) : 1.0;
  return op;
}

TEST(Vignette, ZeroCoefficientsChangeNothing) {
  ImageU16 img = flat(37, 21, 1000, 20000, 65535);
  const ImageU16 before = img;
  apply_vignette(img, VignOp{});
  EXPECT_EQ(img.data, before.data);
}

TEST(Vignette, GainFollowsThePolynomialOnTheNodeGrid) {
  // k0 = 0.5, k1 = 0.25: gain 1 + 0.5 r^2 + 0.25 r^4, r relative to the farthest corner,
  // evaluated at nodes every 16 pixels and spread over the image by bilinear resizing (pixel
  // centres onto pixel centres). Recomputed here in double precision: within one level.
  const size_t w = 161, h = 97;
  ImageU16 img = flat(w, h, 10000, 20000, 30000);
  VignOp op;
  op.k0 = 0.5;
  op.k1 = 0.25;
  op.cx = 0.3;
  apply_vignette(img, op);
  const double cx = 0.3 * (w - 1), cy = 0.5 * (h - 1);
  const double rmax = std::hypot(std::max(cx, w - 1 - cx), std::max(cy, h - 1 - cy));
  const size_t gw = (w + 15) / 16, gh = (h + 15) / 16;
  auto node = [&](size_t i, size_t j) {
    const double q = (std::pow(16.0 * i - cx, 2) + std::pow(16.0 * j - cy, 2)) / (rmax * rmax);
    return 1.0 + 0.5 * q + 0.25 * q * q;
  };
  auto axis = [](size_t out, size_t n_out, size_t n_in, size_t& i0, size_t& i1, double& f) {
    const double p = std::clamp((out + 0.5) * n_in / n_out - 0.5, 0.0, double(n_in - 1));
    i0 = static_cast<size_t>(p);
    i1 = std::min(i0 + 1, n_in - 1);
    f = p - i0;
  };
  int worst = 0;
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) {
      size_t x0, x1, y0, y1;
      double fx, fy;
      axis(x, w, gw, x0, x1, fx);
      axis(y, h, gh, y0, y1, fy);
      const double g = (node(x0, y0) * (1 - fx) + node(x1, y0) * fx) * (1 - fy) +
                       (node(x0, y1) * (1 - fx) + node(x1, y1) * fx) * fy;
      for (size_t c = 0; c < 3; ++c) {
        const double want = std::min(65535.0, (10000.0 * (c + 1)) * g);
        worst = std::max(worst, static_cast<int>(std::abs(img.row(y)[3 * x + c] - std::round(want))));
      }
    }
  EXPECT_LE(worst, 1);
  EXPECT_GT(img.row(0)[3 * (w - 1)], 15000);  // the far corner: 1 + 0.5 + 0.25
}

TEST(Vignette, SinglePixelAndClipping) {
  ImageU16 one = flat(1, 1, 1000, 2000, 65535);
  VignOp op;
  op.k0 = 3.0;
  apply_vignette(one, op);  // no radius: the gain is 1
  EXPECT_EQ(one.data, (std::vector<uint16_t>{1000, 2000, 65535}));
  ImageU16 bright = flat(40, 40, 60000, 60000, 60000);
  apply_vignette(bright, op);
  EXPECT_EQ(bright.row(0)[0], 65535);  // corner gain 4 clips
}

TEST(GainMap, FollowsTheInterpolationFormula) {
  // Two columns of nodes, 1.0 on the left edge and 3.0 on the right, one row: the column
  // position of pixel x is (x + 0.5) / w, so the gain is 1 + 2 (x + 0.5) / w.
  const size_t w = 10, h = 3;
  ImageU16 img = flat(w, h, 1000, 1000, 1000);
  apply_gain_map(img, map_op(1, 2, 1, {1.0f, 3.0f}));
  for (size_t x = 0; x < w; ++x) {
    const double g = 1.0 + 2.0 * (x + 0.5) / w;
    for (size_t c = 0; c < 3; ++c) EXPECT_EQ(img.row(1)[3 * x + c], std::lround(1000 * g)) << x;
  }
}

TEST(GainMap, TwoDimensionsAndOrigin) {
  // A 2 x 2 map offset by half the image: pixels before the origin clamp to the first node.
  GainOp op = map_op(2, 2, 1, {1.0f, 2.0f, 3.0f, 4.0f});
  op.origin_v = 0.5;
  op.origin_h = 0.5;
  op.spacing_v = 0.5;
  op.spacing_h = 0.5;
  const size_t w = 8, h = 8;
  ImageU16 img = flat(w, h, 100, 100, 100);
  apply_gain_map(img, op);
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) {
      const double b = std::clamp(((y + 0.5) / h - 0.5) / 0.5, 0.0, 1.0);
      const double d = std::clamp(((x + 0.5) / w - 0.5) / 0.5, 0.0, 1.0);
      const double g = (4 * d + 3 * (1 - d)) * b + (2 * d + 1 * (1 - d)) * (1 - b);
      EXPECT_EQ(img.row(y)[3 * x], std::lround(100 * g)) << x << ", " << y;
    }
}

TEST(GainMap, PlanesSelectTheChannels) {
  // Plane 1, Planes 1: only green.
  GainOp green = map_op(1, 1, 1, {2.0f});
  green.plane = 1;
  green.planes = 1;
  ImageU16 img = flat(4, 4, 100, 100, 100);
  apply_gain_map(img, green);
  EXPECT_EQ(img.row(2)[3 * 1 + 0], 100);
  EXPECT_EQ(img.row(2)[3 * 1 + 1], 200);
  EXPECT_EQ(img.row(2)[3 * 1 + 2], 100);
  // Two map planes for three channels: blue reuses the last plane. Plane 3 corrects nothing.
  ImageU16 two = flat(3, 2, 100, 100, 100);
  apply_gain_map(two, map_op(1, 1, 2, {2.0f, 3.0f}));
  EXPECT_EQ(two.row(1)[0], 200);
  EXPECT_EQ(two.row(1)[1], 300);
  EXPECT_EQ(two.row(1)[2], 300);
  GainOp none = map_op(1, 1, 1, {2.0f});
  none.plane = 3;
  ImageU16 same = flat(3, 2, 100, 100, 100);
  apply_gain_map(same, none);
  EXPECT_EQ(same.data, flat(3, 2, 100, 100, 100).data);
  // Samples clip at 65535 and a negative gain gives 0.
  ImageU16 clip = flat(2, 1, 40000, 40000, 40000);
  apply_gain_map(clip, map_op(1, 2, 1, {-3.0f, 4.0f}));
  EXPECT_EQ(clip.row(0)[0], 0);  // gain 4 x 0.25 - 3 x 0.75 = -1.25
  EXPECT_EQ(clip.row(0)[3], 65535);
}

TEST(GainMap, BadItemsAreRecognised) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* name;
    GainOp op;
    bool bad;
  };
  GainOp ok = map_op(2, 2, 1, {1, 1, 1, 1});
  auto with = [&](auto edit) {
    GainOp g = ok;
    edit(g);
    return g;
  };
  const Case cases[] = {
      {"valid", ok, false},
      {"no rows", with([](GainOp& g) { g.points_v = 0, g.gains.clear(); }), true},
      {"no columns", with([](GainOp& g) { g.points_h = 0, g.gains.clear(); }), true},
      {"no planes", with([](GainOp& g) { g.map_planes = 0, g.gains.clear(); }), true},
      {"values short of the grid", with([](GainOp& g) { g.gains.pop_back(); }), true},
      {"zero spacing", with([](GainOp& g) { g.spacing_h = 0.0; }), true},
      {"negative spacing", with([](GainOp& g) { g.spacing_v = -1.0; }), true},
      {"infinite origin", with([](GainOp& g) { g.origin_h = INFINITY; }), true},
      {"NaN gain", with([&](GainOp& g) { g.gains[2] = nan; }), true},
      {"grid size overflows", with([](GainOp& g) { g.points_v = g.points_h = uint64_t{1} << 33; }), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(gain_map_problem(c.op).has_value(), c.bad);
  }
  VignOp v;
  EXPECT_FALSE(vignette_problem(v));
  v.k2 = NAN;
  EXPECT_TRUE(vignette_problem(v));
}

}  // namespace
}  // namespace tsl
