#include "dis/dis_flow.h"

#include "dis/dis_pyramid.h"
#include "dis/patch_search.h"
#include "dis/refine.h"
#include "img/ops/resample.h"

namespace tsl {

namespace {

// One flow component of a w x h level, resampled bilinearly to width x height and scaled by
// `factor`. The channels of a packed two-channel image resample independently, so each
// component alone gives the same values without the interleaved copies.
std::vector<float> resample_component(std::vector<float>&& c, size_t w, size_t h, size_t width, size_t height,
                                      float factor) {
  ImageF32 level;
  level.data = std::move(c);
  level.width = w;
  level.height = h;
  level.channels = 1;
  ImageF32 out = resize_bilinear(level, width, height);
  for (float& s : out.data) s *= factor;
  return std::move(out.data);
}

}  // namespace

FlowField dis_flow(const ImageF32& a, const ImageF32& b) {
  const size_t W = a.width, H = a.height;
  FlowField flow;
  const int levels = dis_level_count(W, H);
  if (levels < 0) {
    flow.u.assign(W * H, 0.0f);
    flow.v.assign(W * H, 0.0f);
    return flow;
  }
  const std::vector<std::optional<DisLevel>> pyramid = build_dis_pyramid(a, b, levels);
  // Planes sized for the finest level up front: the coarser levels use their beginnings, so
  // every page is mapped once.
  const size_t finest = levels >= 1 ? 1 : 0;
  const size_t most = (W >> finest) * (H >> finest);
  DisRefineScratch scratch = make_dis_refine_scratch(most);
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
      u = resample_component(std::move(u), cw, ch, level.w, level.h, 2.0f);
      v = resample_component(std::move(v), cw, ch, level.w, level.h, 2.0f);
    }
    const DisPatchFlow patches = dis_inverse_search(level, u, v);
    dis_densify(level, patches, u, v);
    dis_refine(level, u, v, scratch);
    cw = level.w;
    ch = level.h;
  }
  const float scale = static_cast<float>(1u << finest);
  flow.u = resample_component(std::move(u), cw, ch, W, H, scale);
  flow.v = resample_component(std::move(v), cw, ch, W, H, scale);
  return flow;
}

}  // namespace tsl
