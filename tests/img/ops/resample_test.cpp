#include "img/ops/resample.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "img/ops/ops_test_util.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {
namespace {

using test::random_image;

struct TapCase {
  std::string name;
  bool bilinear;
  uint64_t n_src, n_dst;
  TapLists expected;
};

TEST(ResampleWeights, MatchWorkedExamples) {
  const TapCase cases[] = {
      {"area 4 to 2 averages pairs", false, 4, 2, {{{0, 0.5f}, {1, 0.5f}}, {{2, 0.5f}, {3, 0.5f}}}},
      {"area 3 to 2 splits the middle", false, 3, 2,
       {{{0, 2.0f / 3.0f}, {1, 1.0f / 3.0f}}, {{1, 1.0f / 3.0f}, {2, 2.0f / 3.0f}}}},
      {"area equal lengths is the identity", false, 3, 3, {{{0, 1.0f}}, {{1, 1.0f}}, {{2, 1.0f}}}},
      {"bilinear 2 to 4 clamps both ends", true, 2, 4,
       {{{0, 1.0f}, {1, 0.0f}}, {{0, 0.75f}, {1, 0.25f}}, {{0, 0.25f}, {1, 0.75f}}, {{1, 1.0f}}}},
      {"empty source has no taps", false, 0, 2, {{}, {}}},
      {"empty source is never enlarged", true, 0, 3, {{}, {}, {}}},
  };
  for (const TapCase& c : cases) {
    SCOPED_TRACE(c.name);
    const TapLists got = c.bilinear ? bilinear_weights(c.n_src, c.n_dst) : area_weights(c.n_src, c.n_dst);
    ASSERT_EQ(got.size(), c.expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(got[i].size(), c.expected[i].size()) << "output " << i;
      for (size_t t = 0; t < got[i].size(); ++t) {
        EXPECT_EQ(got[i][t].index, c.expected[i][t].index) << "output " << i << " tap " << t;
        EXPECT_FLOAT_EQ(got[i][t].weight, c.expected[i][t].weight) << "output " << i << " tap " << t;
      }
    }
  }
}

TEST(ResampleWeights, AreaTapsSumToOneAndStayInside) {
  const std::pair<uint64_t, uint64_t> sizes[] = {{10, 3}, {7, 7}, {1000, 333}, {5472, 1368}, {97, 96}, {3, 1}};
  for (auto [n_src, n_dst] : sizes) {
    SCOPED_TRACE(format("{} -> {}", n_src, n_dst));
    const TapLists taps = area_weights(n_src, n_dst);
    for (size_t i = 0; i < taps.size(); ++i) {
      double sum = 0.0;
      for (const Tap& t : taps[i]) {
        EXPECT_LT(t.index, n_src);
        sum += t.weight;
      }
      // f32 weights: each is off by at most half an ulp of 1.
      EXPECT_NEAR(sum, 1.0, 1e-6 * static_cast<double>(taps[i].size())) << "output " << i;
    }
  }
}

TEST(Resize, SameSizeReturnsTheSourceValues) {
  const ImageF32 src = random_image(13, 7, 3, 1);
  EXPECT_EQ(resize(src, 13, 7).data, src.data);
  EXPECT_EQ(resize_bilinear(src, 13, 7).data, src.data);
}

TEST(Resize, ZeroTargetOrEmptySourceGivesEmptyOrZeroImage) {
  const ImageF32 src = random_image(5, 4, 2, 2);
  EXPECT_TRUE(resize(src, 0, 3).data.empty());
  EXPECT_TRUE(resize(src, 3, 0).data.empty());
  const ImageF32 empty(0, 4, 2);
  const ImageF32 widened = resize(empty, 6, 4);
  EXPECT_EQ(widened.width, 6u);
  EXPECT_EQ(widened.data, std::vector<float>(6 * 4 * 2, 0.0f));
}

TEST(Resize, EachAxisChoosesItsOwnMethod) {
  // Wider but shorter: columns interpolate, rows average.
  const ImageF32 src = random_image(9, 12, 3, 3);
  const ImageF32 expected = resample_separable(src, 20, 5, bilinear_weights(9, 20), area_weights(12, 5));
  EXPECT_EQ(resize(src, 20, 5).data, expected.data);
}

TEST(Resize, BadTapsAndShortDataAreInternalErrors) {
  const ImageF32 src = random_image(4, 4, 1, 4);
  TapLists bad = area_weights(4, 2);
  bad[1].push_back({4, 1.0f});
  EXPECT_THROW(resample_separable(src, 2, 2, bad, area_weights(4, 2)), InternalError);
  EXPECT_THROW(resample_separable(src, 3, 2, area_weights(4, 2), area_weights(4, 2)), InternalError);
  ImageF32 short_data = src;
  short_data.data.pop_back();
  EXPECT_THROW(resize(short_data, 2, 2), InternalError);
}

// The overloads that write into a kept image must give the allocating results bit for bit
// whatever the image held before (NaN, which no comparison lets pass; larger or smaller
// storage). Empty tap lists are the rows that have to write zeros themselves.
TEST(Resize, IntoAKeptImageMatchesTheAllocatingResult) {
  struct Case {
    std::string name;
    size_t w, h, c;  // source
    size_t tw, th;   // target
  };
  const Case cases[] = {
      {"shrink rgba", 40, 30, 4, 13, 9},     {"enlarge rgb", 7, 5, 3, 30, 21},
      {"same size copies", 11, 6, 2, 11, 6}, {"wider and shorter, one channel", 9, 12, 1, 20, 5},
      {"empty source widened", 0, 4, 2, 6, 4},
  };
  const size_t stale_sizes[] = {0, 5, 5000};
  for (const Case& c : cases) {
    const ImageF32 src = c.w == 0 ? ImageF32(0, c.h, c.c) : random_image(c.w, c.h, c.c, 3);
    const ImageF32 by_resize = resize(src, c.tw, c.th);
    const ImageF32 by_bilinear = resize_bilinear(src, c.tw, c.th);
    for (size_t stale : stale_sizes) {
      SCOPED_TRACE(format("{}, stale storage of {} values", c.name, stale));
      ImageF32 out(stale, 1, 1);
      std::fill(out.data.begin(), out.data.end(), std::nanf(""));
      resize(src, c.tw, c.th, out);
      EXPECT_EQ(out.width, c.tw);
      EXPECT_EQ(out.height, c.th);
      EXPECT_EQ(out.channels, c.c);
      EXPECT_EQ(out.data, by_resize.data);
      std::fill(out.data.begin(), out.data.end(), std::nanf(""));
      resize_bilinear(src, c.tw, c.th, out);
      EXPECT_EQ(out.data, by_bilinear.data);
    }
  }
}

TEST(Resize, IntoAKeptImageWithEmptyTapListsWritesZeros) {
  const ImageF32 src = random_image(6, 8, 3, 4);
  const TapLists rows = {{{1, 0.5f}, {7, 0.5f}}, {}, {{2, 1.0f}, {3, 1.0f}, {4, 1.0f}, {5, 1.0f}, {6, -1.0f}}};
  const TapLists cols = {{{0, 1.0f}}, {}, {{5, 0.25f}}};
  ImageF32 out(100, 1, 1);
  std::fill(out.data.begin(), out.data.end(), std::nanf(""));
  resample_separable(src, 3, 3, cols, rows, out);
  EXPECT_EQ(out.data, resample_separable(src, 3, 3, cols, rows).data);
  ImageF32 self = src;
  EXPECT_THROW(resize(self, 3, 3, self), InternalError);
}

// Output rows whose taps lie far apart: the rows are recomputed or, past the ring's memory
// bound, taken from a written-out intermediate; the values must be the same either way.
TEST(Resize, ScatteredRowTapsGiveTheWeightedRows) {
  struct Case {
    std::string name;
    size_t w, h;
  };
  const Case cases[] = {{"within the row ring", 8, 300}, {"past the ring's memory bound", 2000, 4200}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ImageF32 src = random_image(c.w, c.h, 1, 8);
    const size_t last = c.h - 1, mid = c.h / 2;
    const TapLists rows = {{{0, 0.5f}, {last, 0.25f}}, {{mid, 1.0f}}, {{5, 1.0f}, {4, 2.0f}, {last, -1.0f}}, {}};
    const ImageF32 out = resample_separable(src, c.w, rows.size(), area_weights(c.w, c.w), rows);
    for (size_t y = 0; y < rows.size(); ++y) {
      for (size_t x = 0; x < c.w; ++x) {
        float expected = 0.0f;
        for (const Tap& t : rows[y]) expected = expected + t.weight * src.data[t.index * c.w + x];
        ASSERT_EQ(out.data[y * c.w + x], expected) << "row " << y << " column " << x;
      }
    }
  }
}

// The plain two-pass definition, summing in f32 in tap-list order: the oracle for the fused,
// vectorised passes, which must match it bit for bit.
ImageF32 plain_resample(const ImageF32& src, size_t w, size_t h, const TapLists& tx, const TapLists& ty) {
  const size_t ch = src.channels;
  ImageF32 mid(w, src.height, ch), out(w, h, ch);
  for (size_t y = 0; y < src.height; ++y)
    for (size_t x = 0; x < w; ++x)
      for (size_t c = 0; c < ch; ++c) {
        float acc = 0.0f;
        for (const Tap& t : tx[x]) acc = acc + t.weight * src.data[(y * src.width + t.index) * ch + c];
        mid.data[(y * w + x) * ch + c] = acc;
      }
  for (size_t y = 0; y < h; ++y)
    for (size_t i = 0; i < w * ch; ++i) {
      float acc = 0.0f;
      for (const Tap& t : ty[y]) acc = acc + t.weight * mid.data[t.index * w * ch + i];
      out.data[y * w * ch + i] = acc;
    }
  return out;
}

TEST(Resize, MatchesThePlainDefinitionBitForBit) {
  for (size_t ch = 1; ch <= 5; ++ch) {
    const ImageF32 src = random_image(53, 29, ch, 60 + static_cast<uint32_t>(ch));
    const struct {
      size_t w, h;
    } targets[] = {{13, 7}, {20, 11}, {53, 29}, {80, 61}, {31, 40}};
    for (const auto& t : targets) {
      SCOPED_TRACE(format("{} channels to {}x{}", ch, t.w, t.h));
      const TapLists tx = t.w <= 53 ? area_weights(53, t.w) : bilinear_weights(53, t.w);
      const TapLists ty = t.h <= 29 ? area_weights(29, t.h) : bilinear_weights(29, t.h);
      ASSERT_EQ(resize(src, t.w, t.h).data, plain_resample(src, t.w, t.h, tx, ty).data);
      ASSERT_EQ(resize_bilinear(src, t.w, t.h).data,
                plain_resample(src, t.w, t.h, bilinear_weights(53, t.w), bilinear_weights(29, t.h)).data);
    }
  }
}

TEST(Resize, ResultDoesNotDependOnThreads) {
  const ImageF32 src = random_image(301, 203, 3, 5);
  const ImageF32 threaded = resize(src, 97, 61);
  // Inside a parallel worker the operation runs inline on one thread.
  auto inline_run = par_map(2, 2, [&](size_t) { return resize(src, 97, 61).data; });
  EXPECT_EQ(inline_run[0], threaded.data);
}

struct OracleCase {
  std::string name;
  size_t w, h, c, dw, dh;
  std::string method;  // "area", "linear" (resize_bilinear), "resize" (enlarging resize)
};

TEST(Resize, AgreesWithOpenCv) {
  TSL_REQUIRE_OPS_ORACLE();
  const OracleCase cases[] = {
      {"area by an integer factor", 64, 48, 3, 16, 12, "area"},
      {"area by a fraction", 61, 47, 1, 20, 15, "area"},
      {"area with four channels", 50, 40, 4, 33, 27, "area"},
      {"enlarging resize is bilinear", 17, 13, 3, 40, 31, "resize"},
      {"bilinear shrink skips samples", 64, 48, 3, 23, 17, "linear"},
      {"bilinear enlarge", 15, 9, 1, 31, 20, "linear"},
  };
  test::TempDir dir;
  std::string code = "cases = [\n";
  std::vector<ImageF32> ours;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const OracleCase& c = cases[i];
    const ImageF32 src = random_image(c.w, c.h, c.c, 100 + static_cast<uint32_t>(i));
    test::save_raw<float>(dir / format("in{}.f32", i), src.data);
    ours.push_back(c.method == "linear" ? resize_bilinear(src, c.dw, c.dh) : resize(src, c.dw, c.dh));
    code += format("  ({}, {}, {}, {}, {}, {}, '{}'),\n", i, c.w, c.h, c.c, c.dw, c.dh, c.method);
  }
  code +=
      "]\n"
      "for i, w, h, c, dw, dh, m in cases:\n"
      "    a = np.fromfile(f'in{i}.f32', np.float32).reshape(h, w, c)\n"
      "    interp = cv2.INTER_AREA if m == 'area' else cv2.INTER_LINEAR\n"
      "    r = cv2.resize(a, (dw, dh), interpolation=interp)\n"
      "    r.astype(np.float32).tofile(f'out{i}.f32')\n";
  ASSERT_TRUE(test::run_python_oracle(dir.path(), code));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    const std::vector<float> want = test::load_raw<float>(dir / format("out{}.f32", i));
    ASSERT_EQ(want.size(), ours[i].data.size());
    double worst = 0.0;
    for (size_t k = 0; k < want.size(); ++k) worst = std::max(worst, std::fabs(double(want[k]) - ours[i].data[k]));
    // OpenCV rounds each source position to f32 before taking its fraction: up to 4e-6 of a
    // pixel at positions near 64, times neighbours up to 1000 apart, on each axis.
    EXPECT_LT(worst, 1e-2) << "largest difference " << worst;
  }
}

}  // namespace
}  // namespace tsl
