#include "img/ops/resample.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>

#include "img/ops/add_scaled.h"
#include "img/ops/buffer.h"
#include "img/ops/filter.h"
#include "img/ops/row_ring.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {

namespace {

// Tap lists flattened for the row loops: list x spans [start[x], start[x + 1]) of the
// index and weight arrays; indices are pre-multiplied by `stride`.
struct FlatTaps {
  std::vector<size_t> start;
  std::vector<size_t> index;
  std::vector<float> weight;
};

FlatTaps flatten(const TapLists& lists, uint64_t n_src, size_t stride, const char* axis) {
  FlatTaps flat;
  flat.start.reserve(lists.size() + 1);
  flat.start.push_back(0);
  for (const auto& list : lists) {
    for (const Tap& tap : list) {
      if (tap.index >= n_src)
        internal_error(format("{} tap index {} outside source of {} samples", axis, tap.index, n_src));
      flat.index.push_back(static_cast<size_t>(tap.index) * stride);
      flat.weight.push_back(tap.weight);
    }
    flat.start.push_back(flat.index.size());
  }
  return flat;
}

// The largest span of source rows that one output row reads.
size_t widest_span(const TapLists& lists) {
  size_t widest = 0;
  for (const auto& list : lists) {
    if (list.empty()) continue;
    auto [lo, hi] = std::minmax_element(list.begin(), list.end(),
                                        [](const Tap& a, const Tap& b) { return a.index < b.index; });
    widest = std::max(widest, static_cast<size_t>(hi->index - lo->index) + 1);
  }
  return widest;
}

// One output pixel of the horizontal pass; C > 0 fixes the channel count at compile time so
// that the per-channel accumulators stay in registers.
template <size_t C>
void resample_pixel_h(const float* src, float* o, size_t channels, const FlatTaps& taps, size_t b, size_t e) {
  if constexpr (C > 0) {
    float acc[C] = {};
    for (size_t t = b; t < e; ++t) {
      const float w = taps.weight[t];
      const float* s = src + taps.index[t];
      for (size_t c = 0; c < C; ++c) acc[c] = acc[c] + w * s[c];
    }
    for (size_t c = 0; c < C; ++c) o[c] = acc[c];
  } else {
    for (size_t c = 0; c < channels; ++c) {
      float acc = 0.0f;
      for (size_t t = b; t < e; ++t) acc = acc + taps.weight[t] * src[taps.index[t] + c];
      o[c] = acc;
    }
  }
}

using F32x4 = float __attribute__((vector_size(16)));

// Three or four channels: one four-float load per tap carries a pixel's channels in its first
// C lanes (for C = 3 the last lane reads the next pixel's first sample and is dropped). Each
// lane does the scalar loop's multiplies and adds in the same order, so the values are the
// same; only taps whose four floats lie inside the row (lanes_ok) take this road.
template <size_t C>
void resample_row_h_lanes(const float* src, float* out, size_t width, const FlatTaps& taps,
                          const std::vector<uint8_t>& lanes_ok) {
  for (size_t x = 0; x < width; ++x) {
    const size_t b = taps.start[x], e = taps.start[x + 1];
    if (!lanes_ok[x]) {
      resample_pixel_h<C>(src, out + x * C, C, taps, b, e);
      continue;
    }
    F32x4 acc = {0.0f, 0.0f, 0.0f, 0.0f};
    for (size_t t = b; t < e; ++t) {
      const float w = taps.weight[t];
      const F32x4 wv = {w, w, w, w};
      F32x4 v;
      std::memcpy(&v, src + taps.index[t], sizeof v);
      acc = acc + wv * v;
    }
    std::memcpy(out + x * C, &acc, C * sizeof(float));
  }
}

// Whether every tap of each output reads four whole floats inside a row of `row_floats`.
std::vector<uint8_t> lanes_inside(const FlatTaps& taps, size_t outputs, size_t row_floats) {
  std::vector<uint8_t> ok(outputs, 1);
  for (size_t x = 0; x < outputs; ++x)
    for (size_t t = taps.start[x]; t < taps.start[x + 1]; ++t)
      if (taps.index[t] + 4 > row_floats) ok[x] = 0;
  return ok;
}

void resample_row_h(const float* src, float* out, size_t width, size_t channels, const FlatTaps& taps,
                    const std::vector<uint8_t>& lanes_ok) {
  switch (channels) {
    case 3: resample_row_h_lanes<3>(src, out, width, taps, lanes_ok); return;
    case 4: resample_row_h_lanes<4>(src, out, width, taps, lanes_ok); return;
    default: break;
  }
  for (size_t x = 0; x < width; ++x) {
    float* o = out + x * channels;
    const size_t b = taps.start[x], e = taps.start[x + 1];
    if (channels == 1)
      resample_pixel_h<1>(src, o, 1, taps, b, e);
    else
      resample_pixel_h<0>(src, o, channels, taps, b, e);
  }
}

}  // namespace

TapLists area_weights(uint64_t n_src, uint64_t n_dst) {
  TapLists lists(n_dst);
  const double d = static_cast<double>(n_src) / static_cast<double>(n_dst);
  const double n = static_cast<double>(n_src);
  for (uint64_t i = 0; i < n_dst; ++i) {
    const double lo = static_cast<double>(i) * d;
    const double hi = std::min(static_cast<double>(i + 1) * d, n);
    for (uint64_t j = static_cast<uint64_t>(std::floor(lo)); j < n_src; ++j) {
      const double jd = static_cast<double>(j);
      const double overlap = std::min(hi, jd + 1.0) - std::max(lo, jd);
      if (overlap > 0.0) lists[i].push_back({j, static_cast<float>(overlap / d)});
      if (hi <= jd + 1.0) break;
    }
  }
  return lists;
}

TapLists bilinear_weights(uint64_t n_src, uint64_t n_dst) {
  TapLists lists(n_dst);
  if (n_src == 0) return lists;
  const double s = static_cast<double>(n_src) / static_cast<double>(n_dst);
  for (uint64_t i = 0; i < n_dst; ++i) {
    const double p = std::max((static_cast<double>(i) + 0.5) * s - 0.5, 0.0);
    const uint64_t j0 = std::min(static_cast<uint64_t>(std::floor(p)), n_src - 1);
    const uint64_t j1 = std::min(j0 + 1, n_src - 1);
    if (j1 == j0) {
      lists[i].push_back({j0, 1.0f});
    } else {
      const float f = static_cast<float>(p - static_cast<double>(j0));
      lists[i].push_back({j0, 1.0f - f});
      lists[i].push_back({j1, f});
    }
  }
  return lists;
}

ImageF32 resample_separable(const ImageF32& src, size_t width, size_t height, const TapLists& taps_x,
                            const TapLists& taps_y) {
  ImageF32 out;
  resample_separable(src, width, height, taps_x, taps_y, out);
  return out;
}

void resample_separable(const ImageF32& src, size_t width, size_t height, const TapLists& taps_x,
                        const TapLists& taps_y, ImageF32& out) {
  if (&out == &src) internal_error("resample_separable into its own source");
  const size_t ch = src.channels;
  if (src.data.size() < src.width * src.height * ch)
    internal_error(format("image data of {} floats is shorter than {}x{}x{}", src.data.size(), src.width,
                          src.height, ch));
  if (taps_x.size() != width || taps_y.size() != height)
    internal_error(format("tap lists {}x{} do not match the target {}x{}", taps_x.size(), taps_y.size(), width,
                          height));
  const FlatTaps fx = flatten(taps_x, src.width, ch, "column");
  const FlatTaps fy = flatten(taps_y, src.height, 1, "row");
  shape_for_overwrite(out, width, height, ch);
  const size_t len = out.row_len();
  const std::vector<uint8_t> lanes_ok = lanes_inside(fx, width, src.width * ch);
  auto h_row = [&](size_t r, float* dst) { resample_row_h(src.row(r), dst, width, ch, fx, lanes_ok); };
  // Each output row adds whole weighted rows, so the inner loop runs over contiguous floats,
  // in segments that stay in the first-level cache across the taps. The first group of taps
  // writes the segment (as a sum started from 0), so `out` needs no zeroing beforehand.
  auto v_row = [&](size_t y, float* o, auto& fetch) {
    constexpr size_t SEGMENT = 2048;
    const size_t b = fy.start[y], e = fy.start[y + 1];
    if (b == e) {
      std::fill(o, o + len, 0.0f);
      return;
    }
    for (size_t s0 = 0; s0 < len; s0 += SEGMENT) {
      const size_t s1 = std::min(len, s0 + SEGMENT);
      size_t t = b;
      for (; t + 4 <= e; t += 4) {
        const float* in[4] = {fetch(fy.index[t]) + s0, fetch(fy.index[t + 1]) + s0, fetch(fy.index[t + 2]) + s0,
                              fetch(fy.index[t + 3]) + s0};
        if (t == b)
          ops_detail::add_scaled4<true>(o + s0, in, fy.weight.data() + t, s1 - s0);
        else
          ops_detail::add_scaled4(o + s0, in, fy.weight.data() + t, s1 - s0);
      }
      for (; t < e; ++t) {
        if (t == b)
          ops_detail::add_scaled<true>(o + s0, fetch(fy.index[t]) + s0, fy.weight[t], s1 - s0);
        else
          ops_detail::add_scaled(o + s0, fetch(fy.index[t]) + s0, fy.weight[t], s1 - s0);
      }
    }
  };
  ops_detail::run_two_pass(std::span<float>(out.data), len, src.height, len, widest_span(taps_y), h_row, v_row);
}

namespace {

TapLists resize_axis(size_t n_src, size_t n_dst) {
  return n_src > 0 && n_src < n_dst ? bilinear_weights(n_src, n_dst) : area_weights(n_src, n_dst);
}

}  // namespace

ImageF32 resize(const ImageF32& src, size_t width, size_t height) {
  if (width == src.width && height == src.height) return src;
  return resample_separable(src, width, height, resize_axis(src.width, width), resize_axis(src.height, height));
}

void resize(const ImageF32& src, size_t width, size_t height, ImageF32& out) {
  if (&out == &src) internal_error("resize into its own source");
  if (width == src.width && height == src.height) {
    out.data.assign(src.data.begin(), src.data.end());
    out.width = src.width, out.height = src.height, out.channels = src.channels;
    return;
  }
  resample_separable(src, width, height, resize_axis(src.width, width), resize_axis(src.height, height), out);
}

ImageF32 resize_bilinear(const ImageF32& src, size_t width, size_t height) {
  return resample_separable(src, width, height, bilinear_weights(src.width, width),
                            bilinear_weights(src.height, height));
}

void resize_bilinear(const ImageF32& src, size_t width, size_t height, ImageF32& out) {
  resample_separable(src, width, height, bilinear_weights(src.width, width), bilinear_weights(src.height, height),
                     out);
}

}  // namespace tsl
