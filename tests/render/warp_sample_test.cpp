#include "render/warp_sample.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>

namespace tsl {
namespace {

TEST(WarpSample, SameBitsAsTheGeneralSamplerEverywhere) {
  // The general sampler with clamped borders is the oracle: positions inside, on and beyond
  // the edges, far away and not finite.
  std::mt19937 rng(5);
  ImageU16 img(37, 23, 3);
  for (auto& v : img.data) v = static_cast<uint16_t>(rng());
  std::uniform_real_distribution<float> ux(-3.0f, 40.0f), uy(-3.0f, 26.0f);
  std::vector<std::pair<float, float>> at = {{1.0f, 1.0f},   {33.999f, 19.999f}, {34.0f, 20.0f}, {0.5f, 0.5f},
                                             {-1e9f, 5.0f},  {5.0f, 1e30f},      {NAN, 3.0f},    {2.0f, INFINITY},
                                             {35.5f, 21.5f}, {0.0f, 0.0f}};
  for (int k = 0; k < 20000; ++k) at.push_back({ux(rng), uy(rng)});
  for (bool cubic : {true, false})
    for (const auto& [x, y] : at) {
      std::array<float, 4> want{}, got{};
      sample_u16(img, x, y, cubic, BorderMode::Clamp, want);
      warp_sample(img, x, y, cubic, got);
      ASSERT_EQ(std::memcmp(want.data(), got.data(), 3 * sizeof(float)), 0)
          << x << "," << y << (cubic ? " cubic" : " linear") << ": " << want[0] << " vs " << got[0];
    }
}

}  // namespace
}  // namespace tsl
