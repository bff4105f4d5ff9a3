#include "dis/dis_flow.h"

#include <cstdint>

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

// The finest level's flow (cw x ch) resampled bilinearly to W x H and multiplied by `scale`:
// the values of resize_bilinear followed by the multiply, written straight into the caller's
// buffers (W x H each). Rows are shared among threads (inline in a worker), each forming the
// horizontal rows it needs.
void full_size_flow(const std::vector<float>& u, const std::vector<float>& v, size_t cw, size_t ch, size_t W,
                    size_t H, float scale, FlowField& flow) {
  const TapLists tx = bilinear_weights(cw, W), ty = bilinear_weights(ch, H);
  const size_t budget = dis_level_threads(W * H);
  par_rows(H, std::max<size_t>(H / (4 * budget), 8), budget, [&](size_t first, size_t last) {
    // Horizontal rows of both components for the last two source rows fetched: an output
    // row reads one source row and the next, and rows only grow down a band, so the older
    // of the two is the one to replace.
    std::vector<float> rows(4 * W);
    size_t held[2] = {SIZE_MAX, SIZE_MAX};
    auto horizontal = [&](size_t r) -> const float* {
      for (size_t k = 0; k < 2; ++k)
        if (held[k] == r) return rows.data() + k * 2 * W;
      const size_t k = held[0] == SIZE_MAX || (held[1] != SIZE_MAX && held[0] < held[1]) ? 0 : 1;
      held[k] = r;
      float* out = rows.data() + k * 2 * W;
      const float* su = u.data() + r * cw;
      const float* sv = v.data() + r * cw;
      for (size_t x = 0; x < W; ++x) {
        float au = 0.0f, av = 0.0f;
        for (const Tap& t : tx[x]) {
          au = au + t.weight * su[t.index];
          av = av + t.weight * sv[t.index];
        }
        out[x] = au;
        out[W + x] = av;
      }
      return out;
    };
    for (size_t y = first; y < last; ++y) {
      float* ou = flow.u.data() + y * W;
      float* ov = flow.v.data() + y * W;
      const std::vector<Tap>& taps = ty[y];
      const float* r0 = horizontal(taps[0].index);
      const float w0 = taps[0].weight;
      if (taps.size() == 1) {
        for (size_t x = 0; x < W; ++x) {
          ou[x] = (0.0f + w0 * r0[x]) * scale;
          ov[x] = (0.0f + w0 * r0[W + x]) * scale;
        }
        continue;
      }
      const float* r1 = horizontal(taps[1].index);
      const float w1 = taps[1].weight;
      for (size_t x = 0; x < W; ++x) {
        ou[x] = ((0.0f + w0 * r0[x]) + w1 * r1[x]) * scale;
        ov[x] = ((0.0f + w0 * r0[W + x]) + w1 * r1[W + x]) * scale;
      }
    }
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
  // The result's fresh memory is mapped while the pyramid is built: a page fault costs more
  // than the arithmetic that fills the page, and the pyramid's two chains leave threads idle.
  build_dis_pyramid(a, b, levels, ws.pyramid, 2,
                    [&](size_t i) { (i == 0 ? flow.u : flow.v) = make_zeroed<float>(W * H); });
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
  // The result is the caller's to keep, so it goes into the fresh buffers made above.
  full_size_flow(u, v, cw, ch, W, H, static_cast<float>(1u << finest), flow);
  return flow;
}

}  // namespace tsl
