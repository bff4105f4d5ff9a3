#include "sift/binary16.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "support/py_oracle.h"

namespace tsl {
namespace {

// Every binary16 value, the float32 midpoints to its neighbour (ties), one float32 step to
// either side of each midpoint, and random floats over the whole range: checked against
// numpy's float32 -> float16 conversion bit for bit.
TEST(Binary16, RoundsLikeNumpyFloat16) {
  TSL_REQUIRE_PYTHON("numpy");
  std::vector<float> values;
  for (uint32_t h = 0; h < 0x7C00u; ++h) {
    for (uint32_t sign : {0u, 0x8000u}) {
      const float a = binary16_to_float(static_cast<uint16_t>(h | sign));
      const float b = binary16_to_float(static_cast<uint16_t>((h + 1) | sign));
      values.push_back(a);
      // a and b are exact in float32 and their mean is too (one more mantissa bit is enough).
      const float mid = (a + b) * 0.5f;
      values.push_back(mid);
      values.push_back(std::nextafter(mid, 0.0f));
      values.push_back(std::nextafter(mid, std::copysign(1e30f, mid)));
    }
  }
  std::mt19937 rng(7);
  for (int i = 0; i < 200000; ++i) {
    const float f = std::bit_cast<float>(static_cast<uint32_t>(rng()));
    if (!std::isnan(f)) values.push_back(f);
  }
  for (float f : {65504.0f, 65519.99f, 65520.0f, 1e10f, std::numeric_limits<float>::infinity(), 5.9604645e-08f,
                  2.9802322e-08f, 2.9802326e-08f, 1e-30f, 0.0f, -0.0f})
    values.insert(values.end(), {f, -f});

  std::vector<double> as_double(values.begin(), values.end());
  test::PyOracle py;
  py.put("v", as_double);
  ASSERT_EQ(py.run("save('h', load('v').astype(np.float32).astype(np.float16).view(np.uint16))\n"), "");
  const std::vector<double> expected = py.get("h");
  ASSERT_EQ(expected.size(), values.size());
  size_t wrong = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    const uint16_t ours = float_to_binary16(values[i]);
    if (ours != static_cast<uint16_t>(expected[i]) && ++wrong <= 10)
      ADD_FAILURE() << std::hexfloat << values[i] << ": ours 0x" << std::hex << ours << ", numpy 0x"
                    << static_cast<uint16_t>(expected[i]);
  }
  EXPECT_EQ(wrong, 0u) << "of " << values.size();
}

TEST(Binary16, NanStaysNanAndWideningIsExact) {
  EXPECT_TRUE(std::isnan(round_to_binary16(std::numeric_limits<float>::quiet_NaN())));
  EXPECT_TRUE(std::isnan(round_to_binary16(-std::numeric_limits<float>::quiet_NaN())));
  for (uint32_t h = 0; h < 0x10000u; ++h) {
    const float f = binary16_to_float(static_cast<uint16_t>(h));
    if (std::isnan(f)) continue;
    ASSERT_EQ(float_to_binary16(f), h) << std::hex << h;
  }
}

}  // namespace
}  // namespace tsl
