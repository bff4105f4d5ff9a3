// Reconstruction from coefficient blocks: the scaled inverse DCT, chroma sampling and the
// colour facts, on decoder states built by hand.
#include "img/jpeg/reconstruct.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace tsl {
namespace {

// A frame of the given size and components ({h, v} each, ids 1, 2, 3...) with zeroed
// coefficients and quantisation tables of all `q`.
JpegDecoder frame(size_t width, size_t height, std::vector<std::pair<uint32_t, uint32_t>> sampling, uint16_t q = 1) {
  JpegDecoder dec;
  dec.width = width;
  dec.height = height;
  for (auto [h, v] : sampling) {
    dec.hmax = std::max(dec.hmax, h);
    dec.vmax = std::max(dec.vmax, v);
  }
  dec.mcus_x = (width + 8 * dec.hmax - 1) / (8 * dec.hmax);
  dec.mcus_y = (height + 8 * dec.vmax - 1) / (8 * dec.vmax);
  uint8_t id = 1;
  for (auto [h, v] : sampling) {
    JpegComponent c;
    c.id = id++;
    c.h = h;
    c.v = v;
    c.blocks_w = h * dec.mcus_x;
    c.blocks_h = v * dec.mcus_y;
    const size_t n = c.blocks_w * c.blocks_h * 64;
    c.coeffs = std::make_unique<int16_t[]>(n);
    dec.components.push_back(std::move(c));
  }
  for (auto& t : dec.quant) t.fill(q);
  return dec;
}

TEST(IdctBasis, HoldsScaledCosinesAndZerosOutsideTheSize) {
  for (unsigned n : {1u, 2u, 4u, 8u}) {
    SCOPED_TRACE(n);
    const auto b = idct_basis(n);
    for (unsigned x = 0; x < 8; ++x)
      for (unsigned u = 0; u < 8; ++u) {
        if (x >= n || u >= n) {
          EXPECT_EQ(b[x * 8 + u], 0.0f);
          continue;
        }
        const double c = u == 0 ? std::sqrt(0.5) : 1.0;
        EXPECT_FLOAT_EQ(b[x * 8 + u], static_cast<float>(c * std::cos((2.0 * x + 1) * u * M_PI / (2.0 * n))));
      }
  }
  EXPECT_EQ(idct_basis(8)[0], 0.70710677f);
}

// The flat value of a DC-only block, computed as the transform does: two float products by
// C(0), a quarter, the level shift, rounding half away from zero, clamping.
uint8_t flat_value(int16_t dc, uint16_t q) {
  const float f = static_cast<float>(dc) * static_cast<float>(q);
  const float s = 0.70710677f * (0.70710677f * f);
  const float v = s * 0.25f + 128.0f;
  return static_cast<uint8_t>(std::clamp(std::round(v), 0.0f, 255.0f));
}

TEST(JpegReconstruct, DcOnlyBlockIsFlatAtEveryScale) {
  struct Case {
    int16_t dc;
    uint16_t q;
  };
  // 4 x 1 lands on 128.5 (rounds up); huge values clamp instead of wrapping.
  for (const auto& c : {Case{0, 1}, Case{4, 1}, Case{-4, 1}, Case{100, 3}, Case{-77, 5}, Case{32767, 65535},
                        Case{-32768, 65535}}) {
    SCOPED_TRACE(testing::Message() << c.dc << " x " << c.q);
    for (unsigned d : {1u, 2u, 4u, 8u}) {
      SCOPED_TRACE(d);
      JpegDecoder dec = frame(8, 8, {{1, 1}}, c.q);
      dec.components[0].coeffs[0] = c.dc;
      const ImageU8 img = jpeg_reconstruct(dec, d);
      ASSERT_EQ(img.width, 8u / d);
      for (uint8_t v : img.data) ASSERT_EQ(v, flat_value(c.dc, c.q));
    }
  }
}

TEST(JpegReconstruct, OneAcTermFollowsTheBasis) {
  // Coefficient (0, 1) alone: each column x gets C(0) x cos((2x + 1) pi / 16) x F / 4 + 128.
  JpegDecoder dec = frame(8, 8, {{1, 1}});
  dec.components[0].coeffs[1] = 200;
  const ImageU8 img = jpeg_reconstruct(dec, 1);
  for (size_t x = 0; x < 8; ++x) {
    const double expected = 128 + std::sqrt(0.5) * std::cos((2.0 * x + 1) * M_PI / 16) * 200 / 4;
    EXPECT_NEAR(img.data[x * 3], expected, 0.51) << x;
    EXPECT_EQ(img.data[(7 * 8 + x) * 3], img.data[x * 3]);  // every row alike
  }
}

TEST(JpegReconstruct, PlansChromaTapsPerSampling) {
  // 4:2:0 at full size: column 0 takes chroma 0, column 1 mixes 0 and 1 as 3/4 : 1/4, column 2
  // as 1/4 : 3/4.
  {
    const JpegDecoder dec = frame(32, 32, {{2, 2}, {1, 1}, {1, 1}});
    const auto plan = plan_jpeg_output(dec, 1);
    const auto& cb = plan.comps[1];
    ASSERT_FALSE(cb.direct);
    EXPECT_TRUE(cb.half_cols);
    EXPECT_EQ(cb.cols[0].i0, 0u);
    EXPECT_EQ(cb.cols[0].w, 0u);
    EXPECT_EQ(cb.cols[1].i0, 0u);
    EXPECT_EQ(cb.cols[1].w, 64u);
    EXPECT_EQ(cb.cols[2].i0, 0u);
    EXPECT_EQ(cb.cols[2].w, 192u);
    EXPECT_EQ(cb.cols[3].i0, 1u);
    EXPECT_EQ(cb.cols[3].w, 64u);
    EXPECT_TRUE(plan.comps[0].direct);
    // At 1/2 luma blocks give 4 samples and chroma blocks (covering 16 pixels) 8: the planes
    // have the output's size and need no taps.
    const auto half = plan_jpeg_output(dec, 2);
    EXPECT_TRUE(half.comps[1].direct);
    EXPECT_EQ(half.comps[1].block_w, 8u);
    EXPECT_EQ(half.comps[0].block_w, 4u);
  }
  // 4:2:2: rows map one to one, columns interpolate.
  {
    const JpegDecoder dec = frame(32, 16, {{2, 1}, {1, 1}, {1, 1}});
    const auto plan = plan_jpeg_output(dec, 1);
    const auto& cr = plan.comps[2];
    ASSERT_FALSE(cr.direct);
    for (size_t r = 0; r < 16; ++r) {
      EXPECT_EQ(cr.rows[r].i0, r);
      EXPECT_EQ(cr.rows[r].w, 0u);
    }
  }
}

// Output rows are upsampled from chroma with the planned taps: a chroma plane with a step
// between its columns 0 and 1 gives the 3/4 : 1/4 mix in output column 1.
TEST(JpegReconstruct, UpsamplesChromaBilinearly) {
  JpegDecoder dec = frame(16, 16, {{2, 2}, {1, 1}, {1, 1}});
  dec.jfif = true;
  // Cr block: coefficient (0, 1) only, so Cr varies along the row; luma flat at 128.
  dec.components[2].coeffs[1] = 300;
  const ImageU8 img = jpeg_reconstruct(dec, 1);
  // Red = Y + 1.402 (Cr - 128); blue and green follow Cb = 128 and Cr.
  auto red = [&](size_t x) { return int{img.data[(4 * 16 + x) * 3]}; };
  const double c0 = 128 + std::sqrt(0.5) * std::cos(M_PI / 16) * 300 / 4;      // chroma column 0
  const double c1 = 128 + std::sqrt(0.5) * std::cos(3 * M_PI / 16) * 300 / 4;  // chroma column 1
  EXPECT_NEAR(red(0), 128 + 1.402 * (std::round(c0) - 128), 1.5);
  EXPECT_NEAR(red(1), 128 + 1.402 * (0.75 * std::round(c0) + 0.25 * std::round(c1) - 128), 1.5);
  EXPECT_NEAR(red(2), 128 + 1.402 * (0.25 * std::round(c0) + 0.75 * std::round(c1) - 128), 1.5);
}

TEST(JpegReconstruct, DecidesRgbFromIdsAndAdobeSegment) {
  struct Case {
    const char* name;
    uint8_t ids[3];
    bool adobe, jfif;
    uint8_t transform;
    bool rgb;
  };
  const Case cases[] = {
      {"ids RGB", {'R', 'G', 'B'}, false, true, 1, true},
      {"ids RG and anything", {'R', 'G', 9}, false, false, 0, true},
      {"adobe transform 0", {1, 2, 3}, true, false, 0, true},
      {"adobe transform 1", {1, 2, 3}, true, false, 1, false},
      {"adobe 0 with jfif", {1, 2, 3}, true, true, 0, false},
      {"plain", {1, 2, 3}, false, false, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    JpegDecoder dec = frame(8, 8, {{1, 1}, {1, 1}, {1, 1}});
    for (int i = 0; i < 3; ++i) dec.components[static_cast<size_t>(i)].id = c.ids[i];
    dec.adobe = c.adobe;
    dec.jfif = c.jfif;
    dec.adobe_transform = c.transform;
    EXPECT_EQ(plan_jpeg_output(dec, 1).is_rgb, c.rgb);
    // A flat block of Y = 200 with Cb = Cr = 0 coefficients (level 128): RGB keeps (200, 128, 128).
    dec.components[0].coeffs[0] = static_cast<int16_t>((200 - 128) * 8);
    const ImageU8 img = jpeg_reconstruct(dec, 1);
    EXPECT_EQ(img.data[0], 200);
    EXPECT_EQ(img.data[1], c.rgb ? 128 : 200);
  }
}

TEST(JpegReconstruct, BandsReadOnlyNearbyMcuRows) {
  const JpegDecoder dec = frame(64, 100, {{2, 2}, {1, 1}, {1, 1}});
  const auto plan = plan_jpeg_output(dec, 1);
  ASSERT_EQ(plan.bands, 7u);
  for (size_t b = 0; b < plan.bands; ++b) {
    SCOPED_TRACE(b);
    EXPECT_LE(plan.first_mcu_row[b], b);
    EXPECT_GE(plan.first_mcu_row[b] + 1, b);
    EXPECT_GE(plan.last_mcu_row[b], b);
    EXPECT_LE(plan.last_mcu_row[b], std::min<size_t>(b + 1, dec.mcus_y - 1));
  }
}

}  // namespace
}  // namespace tsl
