#include "img/ops/chamfer.h"

#include <algorithm>
#include <limits>

#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

// Far enough that adding steps across any grid cannot overflow.
constexpr int64_t CHAMFER_FAR = (int64_t{1} << 61) - 1;
constexpr int64_t CHAMFER_ORTHO = 62587;  // 0.9550018 cells in 1/65536
constexpr int64_t CHAMFER_DIAG = 89738;   // 1.3692932 cells

}  // namespace

void chamfer_distance_into(std::span<const uint8_t> seeds, size_t w, size_t h, std::vector<int64_t>& d,
                           std::vector<float>& out) {
  if (seeds.size() < w * h) internal_error(format("chamfer of {}x{} from {} seeds", w, h, seeds.size()));
  d.resize(w * h);
  for (size_t i = 0; i < d.size(); ++i) d[i] = seeds[i] ? 0 : CHAMFER_FAR;
  const int64_t A = CHAMFER_ORTHO, B = CHAMFER_DIAG;
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) {
      int64_t& v = d[y * w + x];
      if (v == 0) continue;
      if (x > 0) v = std::min(v, d[y * w + x - 1] + A);
      if (y == 0) continue;
      const int64_t* up = d.data() + (y - 1) * w;
      v = std::min(v, up[x] + A);
      if (x > 0) v = std::min(v, up[x - 1] + B);
      if (x + 1 < w) v = std::min(v, up[x + 1] + B);
    }
  for (size_t y = h; y-- > 0;)
    for (size_t x = w; x-- > 0;) {
      int64_t& v = d[y * w + x];
      if (v == 0) continue;
      if (x + 1 < w) v = std::min(v, d[y * w + x + 1] + A);
      if (y + 1 == h) continue;
      const int64_t* down = d.data() + (y + 1) * w;
      v = std::min(v, down[x] + A);
      if (x + 1 < w) v = std::min(v, down[x + 1] + B);
      if (x > 0) v = std::min(v, down[x - 1] + B);
    }
  out.resize(d.size());
  for (size_t i = 0; i < d.size(); ++i)
    out[i] = d[i] >= CHAMFER_FAR ? std::numeric_limits<float>::max()
                                 : static_cast<float>(static_cast<double>(d[i]) / 65536.0);
}

std::vector<float> chamfer_distance(std::span<const uint8_t> seeds, size_t w, size_t h) {
  std::vector<int64_t> d;
  std::vector<float> out;
  chamfer_distance_into(seeds, w, h, d, out);
  return out;
}

}  // namespace tsl
