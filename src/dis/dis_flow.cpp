#include "dis/dis_flow.h"

#include "dis/dis_pyramid.h"
#include "dis/patch_search.h"
#include "dis/refine.h"
#include "img/ops/resample.h"
#include "util/par.h"

namespace tsl {

namespace {

// The buffers of a thread's flows, kept from one call to the next: mapping fresh pages for
// the pyramid and the refinement planes costs more than the arithmetic that fills them, and
// a thread computes many flows of like sizes. Every buffer is written before it is read, so
// what an earlier call left in it never shows in a result.
struct DisWorkspace {
  std::vector<std::optional<DisLevel>> pyramid;
  DisRefineScratch scratch;
  std::vector<float> u, v;           // the current level's flow
  ImageF32 flow_in[2], flow_out[2];  // each flow component before and after resampling
};

// One flow component of a w x h level (held in `c`), resampled bilinearly to width x height
// and scaled by `factor`, into `c`. The channels of a packed two-channel image resample
// independently, so each component alone gives the same values without the interleaved copies.
void resample_component(std::vector<float>& c, size_t w, size_t h, size_t width, size_t height, float factor,
                        ImageF32& in, ImageF32& out) {
  in.data.swap(c);
  in.width = w;
  in.height = h;
  in.channels = 1;
  resize_bilinear(in, width, height, out);
  for (float& s : out.data) s *= factor;
  c.swap(out.data);
  out.data.swap(in.data);  // both buffers stay with the workspace
}

// Both components of a level's flow. Each takes a thread of its own, on which its
// resampling runs inline: a level's flow is too small to repay more threads.
void resample_flow(DisWorkspace& ws, size_t w, size_t h, size_t width, size_t height) {
  par_map(2, 2, [&](size_t i) {
    resample_component(i == 0 ? ws.u : ws.v, w, h, width, height, 2.0f, ws.flow_in[i], ws.flow_out[i]);
    return 0;
  });
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
  std::vector<float>& u = ws.u;
  std::vector<float>& v = ws.v;
  size_t cw = 0, ch = 0;  // size of the level that u and v belong to; 0 before the first
  for (size_t k = pyramid.size(); k-- > 0;) {
    if (!pyramid[k]) continue;
    const DisLevel& level = *pyramid[k];
    if (cw == 0) {
      u.assign(level.w * level.h, 0.0f);
      v.assign(level.w * level.h, 0.0f);
    } else if (cw != level.w || ch != level.h) {
      // Twice the coarser flow, not the size ratio, which differs from 2 for odd sizes.
      resample_flow(ws, cw, ch, level.w, level.h);
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
    ImageF32& in = ws.flow_in[0];
    in.data.swap(*c);
    in.width = cw;
    in.height = ch;
    in.channels = 1;
    ImageF32 full = resize_bilinear(in, W, H);
    in.data.swap(*c);
    for (float& s : full.data) s *= scale;
    *out = std::move(full.data);
  }
  return flow;
}

}  // namespace tsl
