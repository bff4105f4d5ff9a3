#include "img/ops/filter.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "img/ops/add_scaled.h"
#include "img/ops/buffer.h"
#include "img/ops/row_ring.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {

namespace {

// Row segments sized to stay in the first-level cache while every tap is added.
constexpr size_t SEGMENT = 2048;

// Bounds gaussian_blur's kernel: a million taps means a sigma of about 125 000 pixels,
// which no caller asks for and which would take hours per image.
constexpr uint64_t MAX_GAUSS_TAPS = 1u << 20;

void check_image(const ImageF32& src, size_t planes) {
  if (src.data.size() < src.width * src.height * planes)
    internal_error(format("image data of {} floats is shorter than {}x{}x{}", src.data.size(), src.width,
                          src.height, planes));
}

// One row of the horizontal pass: the source row is copied with rx border pixels on either
// side (the rule decides what they hold), so that the tap loop has no border tests.
void convolve_row_h(const ImageF32& src, size_t y, std::span<const float> kernel, BorderMode border,
                    std::vector<float>& padded, float* __restrict out) {
  const size_t ch = src.channels, w = src.width, len = kernel.size();
  const size_t rx = len / 2;
  const size_t row_len = w * ch;
  padded.resize((w + 2 * rx) * ch);
  const float* s = src.data.data() + y * row_len;
  std::copy(s, s + row_len, padded.begin() + static_cast<ptrdiff_t>(rx * ch));
  for (size_t p = 0; p < rx; ++p) {
    const int64_t left = border_index(static_cast<int64_t>(p) - static_cast<int64_t>(rx),
                                      static_cast<int64_t>(w), border);
    const int64_t right = border_index(static_cast<int64_t>(w + p), static_cast<int64_t>(w), border);
    for (size_t c = 0; c < ch; ++c) {
      padded[p * ch + c] = left >= 0 ? s[static_cast<size_t>(left) * ch + c] : 0.0f;
      padded[(rx + w + p) * ch + c] = right >= 0 ? s[static_cast<size_t>(right) * ch + c] : 0.0f;
    }
  }
  const float* __restrict pad = padded.data();
  for (size_t s0 = 0; s0 < row_len; s0 += SEGMENT) {
    const size_t s1 = std::min(row_len, s0 + SEGMENT);
    // The first group of taps writes the segment, so `out` needs no zeroing beforehand.
    size_t i = 0;
    for (; i + 4 <= len; i += 4) {
      const float* in[4] = {pad + i * ch + s0, pad + (i + 1) * ch + s0, pad + (i + 2) * ch + s0,
                            pad + (i + 3) * ch + s0};
      if (i == 0)
        ops_detail::add_scaled4<true>(out + s0, in, kernel.data(), s1 - s0);
      else
        ops_detail::add_scaled4(out + s0, in, kernel.data() + i, s1 - s0);
    }
    for (; i < len; ++i) {
      if (i == 0)
        ops_detail::add_scaled<true>(out + s0, pad + s0, kernel[0], s1 - s0);
      else
        ops_detail::add_scaled(out + s0, pad + i * ch + s0, kernel[i], s1 - s0);
    }
  }
}

// One row of the vertical pass: each row under the kernel is resolved by the border rule (a
// row outside the image under Zero is dropped) and the weighted rows are summed across the
// row in segments. The first group of taps writes the segment (as a sum started from 0), so
// `out` needs no zeroing beforehand.
template <typename Fetch>
void convolve_row_v(size_t y, size_t height, size_t row_len, std::span<const float> kernel, BorderMode border,
                    Fetch& fetch, float* __restrict out) {
  const size_t len = kernel.size(), ry = len / 2;
  for (size_t s0 = 0; s0 < row_len; s0 += SEGMENT) {
    const size_t s1 = std::min(row_len, s0 + SEGMENT);
    // Taps are added four at a time in kernel order; dropped rows are skipped in between.
    const float* in[4];
    float k[4];
    int pending = 0;
    bool written = false;
    for (size_t j = 0; j < len; ++j) {
      const int64_t r = border_index(static_cast<int64_t>(y + j) - static_cast<int64_t>(ry),
                                     static_cast<int64_t>(height), border);
      if (r < 0) continue;
      in[pending] = fetch(static_cast<size_t>(r)) + s0;
      k[pending] = kernel[j];
      if (++pending == 4) {
        if (written)
          ops_detail::add_scaled4(out + s0, in, k, s1 - s0);
        else
          ops_detail::add_scaled4<true>(out + s0, in, k, s1 - s0);
        written = true;
        pending = 0;
      }
    }
    for (int p = 0; p < pending; ++p) {
      if (written)
        ops_detail::add_scaled(out + s0, in[p], k[p], s1 - s0);
      else
        ops_detail::add_scaled<true>(out + s0, in[p], k[p], s1 - s0);
      written = true;
    }
    if (!written) std::fill(out + s0, out + s1, 0.0f);
  }
}

void laplacian_row(const float* plane, size_t w, size_t h, size_t y, uint64_t aperture, float* __restrict out) {
  const size_t up_y = static_cast<size_t>(border_index(static_cast<int64_t>(y) - 1, static_cast<int64_t>(h),
                                                       BorderMode::Mirror));
  const size_t down_y = static_cast<size_t>(border_index(static_cast<int64_t>(y) + 1, static_cast<int64_t>(h),
                                                         BorderMode::Mirror));
  const float* up = plane + up_y * w;
  const float* mid = plane + y * w;
  const float* down = plane + down_y * w;
  auto at = [&](size_t x, size_t l, size_t r) {
    if (aperture == 1) return (((up[x] + down[x]) + mid[l]) + mid[r]) - 4.0f * mid[x];
    return 2.0f * (((up[l] + up[r]) + down[l]) + down[r]) - 8.0f * mid[x];
  };
  auto mirror_x = [&](int64_t x) {
    return static_cast<size_t>(border_index(x, static_cast<int64_t>(w), BorderMode::Mirror));
  };
  out[0] = at(0, mirror_x(-1), mirror_x(1));
  if (w == 1) return;
  if (aperture == 1) {
    for (size_t x = 1; x + 1 < w; ++x)
      out[x] = (((up[x] + down[x]) + mid[x - 1]) + mid[x + 1]) - 4.0f * mid[x];
  } else {
    for (size_t x = 1; x + 1 < w; ++x)
      out[x] = 2.0f * (((up[x - 1] + up[x + 1]) + down[x - 1]) + down[x + 1]) - 8.0f * mid[x];
  }
  out[w - 1] = at(w - 1, w - 2, mirror_x(static_cast<int64_t>(w)));
}

}  // namespace

void shape_for_overwrite(ImageF32& image, size_t width, size_t height, size_t channels) {
  const size_t n = width * height * channels;
  if (image.data.capacity() >= n) {
    image.data.resize(n);
  } else {
    // Fresh storage rather than growth, which would copy values about to be overwritten.
    image.data = {};
    image.data = make_buffer<float>(n);
  }
  image.width = width;
  image.height = height;
  image.channels = channels;
}

std::vector<float> gaussian_kernel(double sigma, uint64_t n) {
  const uint64_t k = n / 2;
  const double two_sigma2 = (sigma + sigma) * sigma;
  std::vector<double> e(2 * k + 1);
  for (uint64_t i = 0; i < e.size(); ++i) {
    const int64_t o = static_cast<int64_t>(i) - static_cast<int64_t>(k);
    // exp(0) = 1 whatever sigma is; the division would give NaN for a zero sigma.
    e[i] = o == 0 ? 1.0 : std::exp(-static_cast<double>(o * o) / two_sigma2);
  }
  double sum = 0.0;
  for (double v : e) sum += v;
  std::vector<float> kernel(e.size());
  for (size_t i = 0; i < e.size(); ++i) kernel[i] = static_cast<float>(e[i] / sum);
  return kernel;
}

ImageF32 gaussian_blur(const ImageF32& src, double sigma) {
  if (!(sigma > 0.0)) return src;
  ImageF32 out;
  gaussian_blur(src, sigma, out);
  return out;
}

void gaussian_blur(const ImageF32& src, double sigma, ImageF32& out) {
  if (&out == &src) internal_error("gaussian_blur into its own source");
  if (!(sigma > 0.0)) {
    out.data.assign(src.data.begin(), src.data.end());
    out.width = src.width, out.height = src.height, out.channels = src.channels;
    return;
  }
  const double taps = std::round(8.0 * sigma + 1.0);
  if (taps > static_cast<double>(MAX_GAUSS_TAPS)) internal_error(format("gaussian sigma {} too large", sigma));
  const uint64_t n = static_cast<uint64_t>(taps) | 1u;
  const std::vector<float> k = gaussian_kernel(sigma, n);
  convolve_separable(src, k, k, BorderMode::Clamp, out);
}

ImageF32 convolve_separable(const ImageF32& src, std::span<const float> kernel_x, std::span<const float> kernel_y,
                            BorderMode border) {
  ImageF32 out;
  convolve_separable(src, kernel_x, kernel_y, border, out);
  return out;
}

void convolve_separable(const ImageF32& src, std::span<const float> kernel_x, std::span<const float> kernel_y,
                        BorderMode border, ImageF32& out) {
  if (&out == &src) internal_error("convolve_separable into its own source");
  check_image(src, src.channels);
  shape_for_overwrite(out, src.width, src.height, src.channels);
  if (out.data.empty()) return;
  if (kernel_y.empty()) {
    std::fill(out.data.begin(), out.data.end(), 0.0f);
    return;
  }
  const size_t row_len = out.row_len();
  auto h_row = [&](size_t r, float* dst) {
    if (kernel_x.empty()) {
      std::fill(dst, dst + row_len, 0.0f);
      return;
    }
    thread_local std::vector<float> padded;
    convolve_row_h(src, r, kernel_x, border, padded, dst);
  };
  auto v_row = [&](size_t y, float* o, auto& fetch) {
    convolve_row_v(y, src.height, row_len, kernel_y, border, fetch, o);
  };
  // The rows one output row reads lie within kernel_y.size() consecutive rows, also where
  // the border rule folds them back into the image.
  ops_detail::run_two_pass(std::span<float>(out.data), row_len, src.height, row_len, kernel_y.size(), h_row, v_row);
}

ImageF32 box_blur(const ImageF32& src, uint64_t n) {
  const std::vector<float> k(n, 1.0f / static_cast<float>(n));
  return convolve_separable(src, k, k, BorderMode::Mirror);
}

ImageF32 laplacian(const ImageF32& src, uint64_t aperture) {
  check_image(src, 1);
  ImageF32 out = make_image<float>(src.width, src.height, 1);
  if (out.data.empty()) return out;
  par_chunks(std::span<float>(out.data), src.width, cpu_budget(), [&](size_t y, std::span<float> row) {
    laplacian_row(src.data.data(), src.width, src.height, y, aperture, row.data());
  });
  return out;
}

}  // namespace tsl
