#include "flow/fb_error.h"

#include <array>
#include <cmath>

#include "img/ops/sample.h"
#include "util/error.h"

namespace tsl {

std::vector<float> flow_fb_error(const FlowField& forward, const FlowField& backward, size_t W, size_t H) {
  const size_t n = W * H;
  if (forward.u.size() != n || forward.v.size() != n || backward.u.size() != n || backward.v.size() != n)
    internal_error("flow_fb_error: flows do not hold width x height values");
  ImageF32 back(W, H, 2);
  for (size_t p = 0; p < n; ++p) {
    back.data[2 * p] = backward.u[p];
    back.data[2 * p + 1] = backward.v[p];
  }
  std::vector<float> out(n);
  std::array<float, 4> s{};
  for (size_t y = 0; y < H; ++y) {
    for (size_t x = 0; x < W; ++x) {
      const size_t p = y * W + x;
      const float u = forward.u[p], v = forward.v[p];
      sample_bilinear(back, static_cast<float>(x) + u, static_cast<float>(y) + v, s);
      out[p] = std::hypot(u + s[0], v + s[1]);
    }
  }
  return out;
}

}  // namespace tsl
