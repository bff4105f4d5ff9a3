#include "drivers/dense_stage.h"

#include <algorithm>
#include <cmath>

#include "flow/optical_flow.h"
#include "geo/footprint.h"
#include "linalg/stats.h"
#include "logx.h"
#include "grid/output_grid.h"
#include "surface/surface.h"
#include "sysmon.h"
#include "util/error.h"
#include "util/par.h"

namespace tsl {

std::string_view flow_backend_label(FlowBackend backend) {
  return backend == FlowBackend::LucasKanade ? "Lucas-Kanade (CPU)" : "DIS (CPU)";
}

std::vector<double> dense_scales(std::span<const ImageMeta> images, uint64_t match_px) {
  std::vector<double> scales;
  scales.reserve(images.size());
  for (const ImageMeta& m : images) {
    const double s = static_cast<double>(match_px) / static_cast<double>(std::max(m.width, m.height));
    scales.push_back(std::isnan(s) ? 1.0 : std::min(s, 1.0));
  }
  return scales;
}

double dense_gsd(std::span<const ImageMeta> images, std::span<const Vec3> positions, const Surface& surface,
                 std::span<const double> scales) {
  const double ref = surface.z ? surface.z_median : surface.z0;
  std::vector<double> g = native_gsds(images, positions, ref);
  for (size_t k = 0; k < g.size() && k < scales.size(); ++k) g[k] /= scales[k];
  return median(g);
}

DenseContext make_dense_context(std::span<const PhotoPair> pairs, const PlacedPhotos& photos, const Surface& surface,
                                ImageCache& cache, const DenseOptions& options) {
  const auto& [images, rotations, positions] = photos;
  DenseContext ctx;
  ctx.pairs = pairs;
  ctx.photos = photos;
  ctx.surface = &surface;
  ctx.cache = &cache;
  ctx.scales = dense_scales(images, options.match_px);
  ctx.dense_gsd = dense_gsd(images, positions, surface, ctx.scales);
  ctx.footprints.reserve(images.size());
  const GroundHeights ground = ground_heights(surface);
  for (size_t p = 0; p < images.size(); ++p) {
    if (!images[p].lens) internal_error("lens");
    ctx.footprints.push_back(footprint(*images[p].lens, rotations[p], positions[p], ground, DENSE_FOOTPRINT_SAMPLES));
  }
  ctx.grid_cap_mp = 1.2;
  ctx.lattice_step = 6;
  ctx.tie_cap = options.ties;
  ctx.flow = options.flow;
  return ctx;
}

size_t dense_progress_step(size_t pairs) { return std::max<size_t>(pairs / 5, 1); }

std::vector<PairMatch> run_dense_flow(const DenseContext& ctx, uint64_t workers) {
  const size_t total = ctx.pairs.size();
  const size_t jobs = std::max<size_t>(jobs_within_ram(std::max<uint64_t>(workers, 1), DENSE_BYTES_PER_JOB, "dense flow"), 1);
  const size_t threads = std::min<size_t>(total >= 2 ? total : 1, jobs);
  std::vector<std::optional<PairMatch>> results = par_map_progress(
      total, threads, dense_progress_step(total), [&](size_t k) { return dense_pair(ctx, k); },
      [](size_t done, size_t n) { logf("  dense flow {}/{} pairs", done, n); });
  std::vector<PairMatch> dense;
  for (auto& r : results)
    if (r) dense.push_back(std::move(*r));
  return dense;
}

}  // namespace tsl
