#pragma once
// One pyramid level of the dense inverse search: a displacement per 12 x 12 patch by
// inverse-compositional Gauss-Newton with propagation from neighbouring patches, then a
// per-pixel flow blended from the patches covering each pixel.
#include <cstddef>
#include <vector>

#include "dis/dis_pyramid.h"

namespace tsl {

// Patch grid of a w x h level (w, h >= 12): nx columns and ny rows, patch (i, j) with its
// top-left pixel at (8 i, 8 j), numbered j * nx + i.
struct DisPatchGrid {
  size_t nx = 0;
  size_t ny = 0;
};

DisPatchGrid dis_patch_grid(size_t w, size_t h);

// Mean-normalised sum of squared differences between the patch of I0 at (x0, y0) and the
// window of I1pad displaced by (u, v), its corner clamped so the window stays inside I1pad.
float dis_patch_residual(const DisLevel& level, size_t x0, size_t y0, float u, float v);

// Patch displacements in pixels of the level, nx * ny each.
struct DisPatchFlow {
  std::vector<float> pu;
  std::vector<float> pv;
};

// The patch displacements of a level, searched from its initial dense flow (w * h values of
// u and v, read at each patch centre). Patch rows fall into 8 self-contained bands, each
// swept forward then backward before the next.
DisPatchFlow dis_inverse_search(const DisLevel& level, const std::vector<float>& u0, const std::vector<float>& v0);

// The level's dense flow: at each pixel the average of the covering patches' displacements,
// each weighted by 1 / max(|photometric error|, 1). Writes w * h values into u and v.
void dis_densify(const DisLevel& level, const DisPatchFlow& patches, std::vector<float>& u, std::vector<float>& v);

}  // namespace tsl
