#include "dis/dis_pyramid.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "img/ops/resample.h"

namespace tsl {

namespace {

// trunc toward zero of a finite double that fits an int comfortably (logs of image sizes).
int trunc_int(double v) { return static_cast<int>(std::trunc(v)); }

// Whole numbers 0..255, halves away from zero; NaN becomes 0, so that a level never carries
// a non-finite sample into the search.
void quantise(ImageF32& img) {
  for (float& s : img.data) s = std::fmin(std::fmax(std::round(s), 0.0f), 255.0f);
}

std::vector<float> pad_replicated(const std::vector<float>& img, size_t w, size_t h) {
  const size_t pw = w + 2 * DIS_PAD, ph = h + 2 * DIS_PAD;
  std::vector<float> out(pw * ph);
  for (size_t r = 0; r < ph; ++r) {
    const size_t y = std::clamp<ptrdiff_t>(static_cast<ptrdiff_t>(r) - DIS_PAD, 0, static_cast<ptrdiff_t>(h) - 1);
    const float* src = img.data() + y * w;
    float* dst = out.data() + r * pw;
    std::fill(dst, dst + DIS_PAD, src[0]);
    std::copy(src, src + w, dst + DIS_PAD);
    std::fill(dst + DIS_PAD + w, dst + pw, src[w - 1]);
  }
  return out;
}

}  // namespace

int dis_level_count(size_t width, size_t height) {
  if (width < DIS_PATCH || height < DIS_PATCH) return -1;
  const double m = static_cast<double>(std::max(width, height));
  const double n = static_cast<double>(std::min(width, height));
  const int a = trunc_int(std::log(m / 48.0) / std::numbers::ln2 + 0.5);
  const int b = trunc_int(std::log(n / 12.0) / std::numbers::ln2);
  return std::min(a, b);
}

void dis_sobel(const std::vector<float>& img, size_t w, size_t h, std::vector<float>& gx, std::vector<float>& gy) {
  gx.assign(w * h, 0.0f);
  gy.assign(w * h, 0.0f);
  for (size_t y = 0; y < h; ++y) {
    const size_t ya = y == 0 ? 1 : y - 1, yb = y + 1 == h ? h - 2 : y + 1;
    const float* up = img.data() + ya * w;
    const float* mid = img.data() + y * w;
    const float* dn = img.data() + yb * w;
    float* ox = gx.data() + y * w;
    float* oy = gy.data() + y * w;
    auto at = [&](size_t x) {
      const size_t l = x == 0 ? 1 : x - 1, r = x + 1 == w ? w - 2 : x + 1;
      ox[x] = (up[r] - up[l]) + 2.0f * (mid[r] - mid[l]) + (dn[r] - dn[l]);
      oy[x] = (dn[l] - up[l]) + 2.0f * (dn[x] - up[x]) + (dn[r] - up[r]);
    };
    at(0);
    for (size_t x = 1; x + 1 < w; ++x) {
      ox[x] = (up[x + 1] - up[x - 1]) + 2.0f * (mid[x + 1] - mid[x - 1]) + (dn[x + 1] - dn[x - 1]);
      oy[x] = (dn[x - 1] - up[x - 1]) + 2.0f * (dn[x] - up[x]) + (dn[x + 1] - up[x + 1]);
    }
    at(w - 1);
  }
}

std::vector<std::optional<DisLevel>> build_dis_pyramid(const ImageF32& a, const ImageF32& b, int levels) {
  std::vector<std::optional<DisLevel>> out(static_cast<size_t>(levels) + 1);
  const size_t finest = levels >= 1 ? 1 : 0;
  ImageF32 ia, ib;
  for (size_t k = finest; k < out.size(); ++k) {
    const size_t w = a.width >> k, h = a.height >> k;
    if (k == finest) {
      ia = resize(a, w, h);
      ib = resize(b, w, h);
    } else {
      ia = resize(ia, w, h);
      ib = resize(ib, w, h);
    }
    quantise(ia);
    quantise(ib);
    if (w < DIS_PATCH || h < DIS_PATCH) continue;
    DisLevel& level = out[k].emplace();
    level.w = w;
    level.h = h;
    level.I0 = ia.data;
    level.I1 = ib.data;
    level.I1pad = pad_replicated(level.I1, w, h);
    dis_sobel(level.I0, w, h, level.Ix, level.Iy);
  }
  return out;
}

}  // namespace tsl
