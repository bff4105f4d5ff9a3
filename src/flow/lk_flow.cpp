#include "flow/lk_flow.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "img/ops/border.h"
#include "img/ops/filter.h"
#include "img/ops/resample.h"

namespace tsl {

namespace {

constexpr int LEVELS = 3;
constexpr int ITERATIONS = 4;
constexpr float MAX_STEP = 2.0f;        // pixels of the level, per iteration
constexpr float MIN_DETERMINANT = 1e-9f;  // flatter windows keep their flow
constexpr float ONE_NINTH = 0.11111111f;

// A copy with every non-finite sample replaced by 0, or nothing when all are finite: one
// NaN would otherwise spread through the running window sums over the whole image.
std::optional<ImageF32> finite_copy(const ImageF32& img) {
  if (std::all_of(img.data.begin(), img.data.end(), [](float s) { return std::isfinite(s); })) return std::nullopt;
  ImageF32 out = img;
  for (float& s : out.data)
    if (!std::isfinite(s)) s = 0.0f;
  return out;
}

// Integer tap of a position, clamped to 0..n-1 in float so that far or NaN positions stay
// defined.
inline size_t clamp_tap(float f, size_t n) {
  return static_cast<size_t>(std::fmin(std::fmax(f, 0.0f), static_cast<float>(n - 1)));
}

// B at (x + u, y + v) into `out`: taps clamped to the image, weights from the unclamped
// fractions.
void warp(const ImageF32& B, const ImageF32& flow, ImageF32& out) {
  const size_t w = B.width, h = B.height;
  shape_for_overwrite(out, w, h, 1);
  for (size_t y = 0; y < h; ++y) {
    for (size_t x = 0; x < w; ++x) {
      const size_t p = y * w + x;
      const float X = static_cast<float>(x) + flow.data[2 * p], Y = static_cast<float>(y) + flow.data[2 * p + 1];
      const float fx0 = std::floor(X), fy0 = std::floor(Y);
      const float fx = X - fx0, fy = Y - fy0;
      const size_t x0 = clamp_tap(fx0, w), x1 = clamp_tap(fx0 + 1.0f, w);
      const size_t y0 = clamp_tap(fy0, h), y1 = clamp_tap(fy0 + 1.0f, h);
      const float* r0 = B.data.data() + y0 * w;
      const float* r1 = B.data.data() + y1 * w;
      out.data[p] = (1.0f - fy) * ((1.0f - fx) * r0[x0] + fx * r0[x1]) + fy * ((1.0f - fx) * r1[x0] + fx * r1[x1]);
    }
  }
}

struct Gradients {
  ImageF32 gx, gy;
};

void gradients(const ImageF32& img, Gradients& out) {
  static constexpr std::array<float, 3> DIFF = {-0.125f, 0.0f, 0.125f};
  static constexpr std::array<float, 3> SMOOTH = {1.0f, 2.0f, 1.0f};
  convolve_separable(img, DIFF, SMOOTH, BorderMode::Clamp, out.gx);
  convolve_separable(img, SMOOTH, DIFF, BorderMode::Clamp, out.gy);
}

// box_filter9 into `out`, with `mid` for the row pass; storage is reused when large enough.
void box_filter9_into(const ImageF32& src, ImageF32& mid, ImageF32& out) {
  const size_t w = src.width, h = src.height;
  shape_for_overwrite(mid, w, h, 1);
  shape_for_overwrite(out, w, h, 1);
  if (w == 0 || h == 0) return;
  const int64_t iw = static_cast<int64_t>(w), ih = static_cast<int64_t>(h);
  auto clampi = [](int64_t i, int64_t n) { return static_cast<size_t>(std::clamp<int64_t>(i, 0, n - 1)); };
  for (size_t y = 0; y < h; ++y) {
    const float* r = src.data.data() + y * w;
    float* o = mid.data.data() + y * w;
    float sum = 0.0f;
    for (int64_t k = -4; k <= 4; ++k) sum += r[clampi(k, iw)];
    for (int64_t x = 0; x < iw; ++x) {
      o[x] = ONE_NINTH * sum;
      sum += r[clampi(x + 5, iw)] - r[clampi(x - 4, iw)];
    }
  }
  // Columns: one running sum per column, carried down the rows together, in bands of 256
  // columns whose sums stay in the first-level cache.
  std::array<float, 256> sum_buf;
  for (size_t b = 0; b < w; b += 256) {
    const size_t n = std::min<size_t>(256, w - b);
    float* sum = sum_buf.data();
    std::fill(sum, sum + n, 0.0f);
    for (int64_t k = -4; k <= 4; ++k) {
      const float* r = mid.data.data() + clampi(k, ih) * w + b;
      for (size_t x = 0; x < n; ++x) sum[x] += r[x];
    }
    for (int64_t y = 0; y < ih; ++y) {
      float* o = out.data.data() + static_cast<size_t>(y) * w + b;
      const float* enter = mid.data.data() + clampi(y + 5, ih) * w + b;
      const float* leave = mid.data.data() + clampi(y - 4, ih) * w + b;
      for (size_t x = 0; x < n; ++x) {
        o[x] = ONE_NINTH * sum[x];
        sum[x] += enter[x] - leave[x];
      }
    }
  }
}

// Buffers of one level's iterations, allocated once per call: fresh full-size images in
// every iteration would cost more in page faults than the arithmetic.
struct LkBuffers {
  Gradients ga, gb;
  ImageF32 bw, mid, smoothed;
  std::array<ImageF32, 5> products, sums;  // xx, xy, yy, xe, ye
};

// Four Lucas-Kanade iterations on one level, updating `flow` (2 channels, u then v).
void refine_level(const ImageF32& A, const ImageF32& B, ImageF32& flow, std::span<const float> smooth,
                  LkBuffers& buf) {
  const size_t w = A.width, h = A.height, n = w * h;
  gradients(A, buf.ga);
  for (ImageF32& p : buf.products) shape_for_overwrite(p, w, h, 1);
  for (int it = 0; it < ITERATIONS; ++it) {
    warp(B, flow, buf.bw);
    gradients(buf.bw, buf.gb);
    float* __restrict pxx = buf.products[0].data.data();
    float* __restrict pxy = buf.products[1].data.data();
    float* __restrict pyy = buf.products[2].data.data();
    float* __restrict pxe = buf.products[3].data.data();
    float* __restrict pye = buf.products[4].data.data();
    for (size_t p = 0; p < n; ++p) {
      const float gx = (buf.ga.gx.data[p] + buf.gb.gx.data[p]) * 0.5f;
      const float gy = (buf.ga.gy.data[p] + buf.gb.gy.data[p]) * 0.5f;
      const float e = buf.bw.data[p] - A.data[p];
      pxx[p] = gx * gx;
      pxy[p] = gx * gy;
      pyy[p] = gy * gy;
      pxe[p] = gx * e;
      pye[p] = gy * e;
    }
    for (size_t k = 0; k < 5; ++k) box_filter9_into(buf.products[k], buf.mid, buf.sums[k]);
    for (size_t p = 0; p < n; ++p) {
      const float xx = buf.sums[0].data[p], xy = buf.sums[1].data[p], yy = buf.sums[2].data[p];
      const float xe = buf.sums[3].data[p], ye = buf.sums[4].data[p];
      const float d = xx * yy - xy * xy;
      const float k = d > MIN_DETERMINANT ? 1.0f / d : 0.0f;
      const float du = -(yy * xe - xy * ye) * k, dv = -(xx * ye - xy * xe) * k;
      flow.data[2 * p] += std::clamp(du, -MAX_STEP, MAX_STEP);
      flow.data[2 * p + 1] += std::clamp(dv, -MAX_STEP, MAX_STEP);
    }
    convolve_separable(flow, smooth, smooth, BorderMode::Clamp, buf.smoothed);
    std::swap(flow, buf.smoothed);
  }
}

}  // namespace

ImageF32 pyr_down(const ImageF32& src) {
  static constexpr float K[5] = {1.0f / 16, 1.0f / 4, 3.0f / 8, 1.0f / 4, 1.0f / 16};
  const size_t w = src.width, h = src.height, ow = (w + 1) / 2, oh = (h + 1) / 2;
  const int64_t iw = static_cast<int64_t>(w), ih = static_cast<int64_t>(h);
  ImageF32 mid(ow, h, 1), out(ow, oh, 1);
  if (w == 0 || h == 0) return out;
  for (size_t y = 0; y < h; ++y) {
    const float* r = src.data.data() + y * w;
    float* o = mid.data.data() + y * ow;
    for (size_t i = 0; i < ow; ++i) {
      float acc = 0.0f;
      for (int t = 0; t < 5; ++t)
        acc += K[t] * r[border_index(2 * static_cast<int64_t>(i) - 2 + t, iw, BorderMode::Mirror)];
      o[i] = acc;
    }
  }
  for (size_t j = 0; j < oh; ++j) {
    const float* rows[5];
    for (int t = 0; t < 5; ++t)
      rows[t] = mid.data.data() + border_index(2 * static_cast<int64_t>(j) - 2 + t, ih, BorderMode::Mirror) * ow;
    float* o = out.data.data() + j * ow;
    for (size_t i = 0; i < ow; ++i)
      o[i] = K[0] * rows[0][i] + K[1] * rows[1][i] + K[2] * rows[2][i] + K[3] * rows[3][i] + K[4] * rows[4][i];
  }
  return out;
}

ImageF32 box_filter9(const ImageF32& src) {
  ImageF32 mid, out;
  box_filter9_into(src, mid, out);
  return out;
}

FlowField lk_flow(const ImageF32& a, const ImageF32& b) {
  const size_t W = a.width, H = a.height;
  FlowField result;
  if (W == 0 || H == 0) return result;
  const std::optional<ImageF32> fa = finite_copy(a), fb = finite_copy(b);
  // Level 0 is the input itself (or its finite copy); levels 1 and 2 are reduced.
  std::array<const ImageF32*, LEVELS> pa{fa ? &*fa : &a}, pb{fb ? &*fb : &b};
  std::array<ImageF32, LEVELS - 1> ra, rb;
  for (int k = 1; k < LEVELS; ++k) {
    ra[k - 1] = pyr_down(*pa[k - 1]);
    rb[k - 1] = pyr_down(*pb[k - 1]);
    pa[k] = &ra[k - 1];
    pb[k] = &rb[k - 1];
  }
  LkBuffers buffers;
  const std::vector<float> smooth = gaussian_kernel(1.5, 13);
  ImageF32 flow;
  for (int k = LEVELS - 1; k >= 0; --k) {
    const size_t w = pa[k]->width, h = pa[k]->height;
    if (k == LEVELS - 1) {
      flow = ImageF32(w, h, 2);
    } else {
      flow = resize_bilinear(flow, w, h);
      for (float& f : flow.data) f *= 2.0f;
    }
    refine_level(*pa[k], *pb[k], flow, smooth, buffers);
  }
  result.u.resize(W * H);
  result.v.resize(W * H);
  for (size_t p = 0; p < W * H; ++p) {
    result.u[p] = flow.data[2 * p];
    result.v[p] = flow.data[2 * p + 1];
  }
  return result;
}

}  // namespace tsl
