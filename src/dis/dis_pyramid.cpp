#include "dis/dis_pyramid.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>

#include "img/ops/resample.h"
#include "util/par.h"

namespace tsl {

namespace {

// trunc toward zero of a finite double that fits an int comfortably (logs of image sizes).
int trunc_int(double v) { return static_cast<int>(std::trunc(v)); }

// Whole numbers 0..255, halves away from zero; NaN becomes 0, so that a level never carries
// a non-finite sample into the search. Clamping before rounding gives the same numbers, and
// a clamped sample is non-negative, so its truncation plus one when the remainder is at
// least a half rounds it exactly.
using F32x4 = float __attribute__((vector_size(16)));
using I32x4 = int32_t __attribute__((vector_size(16)));

template <typename V, typename I>
inline V quantised(V s) {
  V c = s > 0.0f ? s : 0.0f;
  c = c < 255.0f ? c : 255.0f;
  const V t = __builtin_convertvector(__builtin_convertvector(c, I), V);
  return c - t >= 0.5f ? t + 1.0f : t;
}

inline float quantised(float s) {
  const float c = std::min(s > 0.0f ? s : 0.0f, 255.0f);
  const float t = static_cast<float>(static_cast<int32_t>(c));
  return c - t >= 0.5f ? t + 1.0f : t;
}

void quantise(std::vector<float>& img) {
  size_t i = 0;
  for (; i + 4 <= img.size(); i += 4) {
    F32x4 s;
    std::memcpy(&s, img.data() + i, sizeof s);
    s = quantised<F32x4, I32x4>(s);
    std::memcpy(img.data() + i, &s, sizeof s);
  }
  for (; i < img.size(); ++i) img[i] = quantised(img[i]);
}

void pad_replicated(const std::vector<float>& img, size_t w, size_t h, std::vector<float>& out) {
  const size_t pw = w + 2 * DIS_PAD, ph = h + 2 * DIS_PAD;
  out.resize(pw * ph);
  for (size_t r = 0; r < ph; ++r) {
    const size_t y = std::clamp<ptrdiff_t>(static_cast<ptrdiff_t>(r) - DIS_PAD, 0, static_cast<ptrdiff_t>(h) - 1);
    const float* src = img.data() + y * w;
    float* dst = out.data() + r * pw;
    std::fill(dst, dst + DIS_PAD, src[0]);
    std::copy(src, src + w, dst + DIS_PAD);
    std::fill(dst + DIS_PAD + w, dst + pw, src[w - 1]);
  }
}

}  // namespace

size_t dis_level_threads(size_t pixels) {
  // About 100k pixels: a level of a few milliseconds' work, where the threads' start and
  // the waits between the steps' phases stay a small part of it.
  constexpr size_t PARALLEL_PIXELS = 100000;
  return in_par_worker() || pixels < PARALLEL_PIXELS ? 1 : cpu_budget();
}

int dis_level_count(size_t width, size_t height) {
  if (width < DIS_PATCH || height < DIS_PATCH) return -1;
  const double m = static_cast<double>(std::max(width, height));
  const double n = static_cast<double>(std::min(width, height));
  const int a = trunc_int(std::log(m / 48.0) / std::numbers::ln2 + 0.5);
  const int b = trunc_int(std::log(n / 12.0) / std::numbers::ln2);
  return std::min(a, b);
}

void dis_sobel(const std::vector<float>& img, size_t w, size_t h, std::vector<float>& gx, std::vector<float>& gy) {
  // Every sample is written below; resizing keeps a reused buffer's pages as they are.
  gx.resize(w * h);
  gy.resize(w * h);
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
  std::vector<std::optional<DisLevel>> out;
  build_dis_pyramid(a, b, levels, out);
  return out;
}

void build_dis_pyramid(const ImageF32& a, const ImageF32& b, int levels, std::vector<std::optional<DisLevel>>& out,
                       size_t beside_items, const std::function<void(size_t)>& beside) {
  out.resize(static_cast<size_t>(levels) + 1);
  const size_t finest = levels >= 1 ? 1 : 0;
  // Each level image is resampled from the previous one; all stay here until the last is made.
  // A level's own buffers from an earlier pyramid take the samples, their pages already mapped.
  std::vector<ImageF32> ia(out.size()), ib(out.size());
  for (size_t k = 0; k < out.size(); ++k) {
    const size_t w = a.width >> k, h = a.height >> k;
    if (k < finest || w < DIS_PATCH || h < DIS_PATCH) {
      out[k].reset();
      continue;
    }
    DisLevel& level = out[k] ? *out[k] : out[k].emplace();
    ia[k].data = std::move(level.I0);
    ib[k].data = std::move(level.I1);
    level.w = w;
    level.h = h;
  }
  // The two images' chains are independent: each may take a thread (inline in a worker).
  // Each writes its own fields of the levels: a's the Sobel responses, b's the padded copy.
  auto chain = [&](size_t which) {
    if (which >= 2) {
      beside(which - 2);
      return 0;
    }
    std::vector<ImageF32>& imgs = which == 0 ? ia : ib;
    for (size_t k = finest; k < out.size(); ++k) {
      const size_t w = a.width >> k, h = a.height >> k;
      resize(k == finest ? (which == 0 ? a : b) : imgs[k - 1], w, h, imgs[k]);
      quantise(imgs[k].data);
      if (!out[k]) continue;
      if (which == 0)
        dis_sobel(imgs[k].data, w, h, out[k]->Ix, out[k]->Iy);
      else
        pad_replicated(imgs[k].data, w, h, out[k]->I1pad);
    }
    return 0;
  };
  const size_t items = 2 + beside_items;
  par_map(items, dis_level_threads(a.width * a.height) > 1 ? items : 1, chain);
  for (size_t k = finest; k < out.size(); ++k) {
    if (!out[k]) continue;
    out[k]->I0 = std::move(ia[k].data);
    out[k]->I1 = std::move(ib[k].data);
  }
}

}  // namespace tsl
