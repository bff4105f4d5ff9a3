#include "dis/dis_flow.h"

#include "dis/dis_pyramid.h"
#include "dis/patch_search.h"
#include "dis/refine.h"
#include "img/ops/resample.h"

namespace tsl {

namespace {

// The flow of a w x h level, resampled bilinearly to width x height and scaled by `factor`.
void resample_flow(const std::vector<float>& u, const std::vector<float>& v, size_t w, size_t h, size_t width,
                   size_t height, float factor, std::vector<float>& out_u, std::vector<float>& out_v) {
  ImageF32 packed(w, h, 2);
  for (size_t p = 0; p < w * h; ++p) {
    packed.data[2 * p] = u[p];
    packed.data[2 * p + 1] = v[p];
  }
  const ImageF32 big = resize_bilinear(packed, width, height);
  out_u.resize(width * height);
  out_v.resize(width * height);
  for (size_t p = 0; p < width * height; ++p) {
    out_u[p] = big.data[2 * p] * factor;
    out_v[p] = big.data[2 * p + 1] * factor;
  }
}

}  // namespace

FlowField dis_flow(const ImageF32& a, const ImageF32& b) {
  const size_t W = a.width, H = a.height;
  FlowField flow;
  flow.u.assign(W * H, 0.0f);
  flow.v.assign(W * H, 0.0f);
  const int levels = dis_level_count(W, H);
  if (levels < 0) return flow;
  const std::vector<std::optional<DisLevel>> pyramid = build_dis_pyramid(a, b, levels);
  std::vector<float> u, v;
  size_t cw = 0, ch = 0;  // size of the level that u and v belong to; 0 before the first
  for (size_t k = pyramid.size(); k-- > 0;) {
    if (!pyramid[k]) continue;
    const DisLevel& level = *pyramid[k];
    if (cw == 0) {
      u.assign(level.w * level.h, 0.0f);
      v.assign(level.w * level.h, 0.0f);
    } else if (cw != level.w || ch != level.h) {
      // Twice the coarser flow, not the size ratio, which differs from 2 for odd sizes.
      resample_flow(u, v, cw, ch, level.w, level.h, 2.0f, u, v);
    }
    const DisPatchFlow patches = dis_inverse_search(level, u, v);
    dis_densify(level, patches, u, v);
    dis_refine(level, u, v);
    cw = level.w;
    ch = level.h;
  }
  const size_t finest = levels >= 1 ? 1 : 0;
  resample_flow(u, v, cw, ch, W, H, static_cast<float>(1u << finest), flow.u, flow.v);
  return flow;
}

}  // namespace tsl
