#include "dis/dis_flow.h"

#include "dis/dis_pyramid.h"
#include "dis/patch_search.h"
#include "dis/refine.h"
#include "img/ops/resample.h"

namespace tsl {

namespace {

// The buffers of a thread's flows, kept from one call to the next: mapping fresh pages for
// the pyramid and the refinement planes costs more than the arithmetic that fills them, and
// a thread computes many flows of like sizes. Every buffer is written before it is read, so
// what an earlier call left in it never shows in a result.
struct DisWorkspace {
  std::vector<std::optional<DisLevel>> pyramid;
  DisRefineScratch scratch;
  ImageF32 flow_in, flow_out;  // one flow component before and after resampling
};

// One flow component of a w x h level (held in `c`), resampled bilinearly to width x height
// and scaled by `factor`, into `c`. The channels of a packed two-channel image resample
// independently, so each component alone gives the same values without the interleaved copies.
void resample_component(std::vector<float>& c, size_t w, size_t h, size_t width, size_t height, float factor,
                        DisWorkspace& ws) {
  ws.flow_in.data.swap(c);
  ws.flow_in.width = w;
  ws.flow_in.height = h;
  ws.flow_in.channels = 1;
  resize_bilinear(ws.flow_in, width, height, ws.flow_out);
  for (float& s : ws.flow_out.data) s *= factor;
  c.swap(ws.flow_out.data);
  ws.flow_out.data.swap(ws.flow_in.data);  // both buffers stay with the workspace
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
  thread_local DisWorkspace ws;
  build_dis_pyramid(a, b, levels, ws.pyramid);
  const std::vector<std::optional<DisLevel>>& pyramid = ws.pyramid;
  // Planes sized for the finest level up front: the coarser levels use their beginnings.
  const size_t finest = levels >= 1 ? 1 : 0;
  const size_t most = (W >> finest) * (H >> finest);
  if (ws.scratch.plane_len < most) ws.scratch = make_dis_refine_scratch(most);
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
      resample_component(u, cw, ch, level.w, level.h, 2.0f, ws);
      resample_component(v, cw, ch, level.w, level.h, 2.0f, ws);
    }
    const DisPatchFlow patches = dis_inverse_search(level, u, v);
    dis_densify(level, patches, u, v);
    dis_refine(level, u, v, ws.scratch);
    cw = level.w;
    ch = level.h;
  }
  // The result is the caller's to keep, so it is resampled into fresh buffers.
  const float scale = static_cast<float>(1u << finest);
  for (auto [c, out] : {std::pair{&u, &flow.u}, std::pair{&v, &flow.v}}) {
    ImageF32 level;
    level.data = std::move(*c);
    level.width = cw;
    level.height = ch;
    level.channels = 1;
    ImageF32 full = resize_bilinear(level, W, H);
    for (float& s : full.data) s *= scale;
    *out = std::move(full.data);
  }
  return flow;
}

}  // namespace tsl
