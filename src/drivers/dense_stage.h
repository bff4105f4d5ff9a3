#pragma once
// The dense stage's flow loop and its set-up: the shared context of every pair (decode
// scales, dense ground sampling distance, footprints on the preliminary terrain) and the
// memory-capped parallel run of dense_pair over the candidate pairs.
#include <span>
#include <string_view>
#include <vector>

#include "dense/dense_pair.h"
#include "flow/optical_flow.h"

namespace tsl {

// Memory one dense_pair job may take: 1.2e6 cells (the pair grid's cap, grid_cap_mp) x 240
// bytes. A pair holds 43 bytes a cell of its own at the flow's peak: per photo two float
// coordinate maps and a validity byte (18), the common mask (1), the two normalised images (8)
// and the flows both ways (16). DIS adds about 37 (its pyramid from half size down and 20
// refinement planes at half size), Lucas-Kanade about 100 (unit-scaled copies, its reduced
// levels and the full-size iteration buffers: two gradient pairs, five products, five sums,
// the warped, filtered and smoothed images and the flow). 240 holds the heavier total, about
// 145, with two thirds again for the allocator's slack and the texture and mask passes.
inline constexpr double DENSE_BYTES_PER_JOB = 2.88e8;
// Footprint samples per frame side: the pair's overlap box needs the outline, not detail.
inline constexpr size_t DENSE_FOOTPRINT_SAMPLES = 8;

// The options of the dense stage.
struct DenseOptions {
  uint64_t match_px = 2000;  // photos are decoded with about this long side (never enlarged)
  uint64_t ties = 80;        // ties kept per pair at most
  uint64_t workers = 1;      // flow threads at most; free memory may allow fewer
  FlowOptions flow;
};

// "Lucas-Kanade (CPU)" or "DIS (CPU)".
std::string_view flow_backend_label(FlowBackend backend);

// Per photo min(match_px / its longer side, 1); 1 when that is not a number.
std::vector<double> dense_scales(std::span<const ImageMeta> images, uint64_t match_px);

// The median over the photos of native gsd / decode scale at the surface's reference height
// (a plane's z0, a grid's median height): metres per pixel of the decoded photos.
double dense_gsd(std::span<const ImageMeta> images, std::span<const Vec3> positions, const Surface& surface,
                 std::span<const double> scales);

// The context of one stage over `pairs`, with the photos' current poses and the preliminary
// terrain. Borrows every argument but the options; they must outlive the context.
DenseContext make_dense_context(std::span<const PhotoPair> pairs, const PlacedPhotos& photos, const Surface& surface,
                                ImageCache& cache, const DenseOptions& options);

// Progress step of the loop: a line every fifth of the pairs.
size_t dense_progress_step(size_t pairs);

// dense_pair over every pair of the context on up to `workers` threads (fewer when free
// memory is short), logging "  dense flow {}/{} pairs"; the pairs with ties, in pair order.
std::vector<PairMatch> run_dense_flow(const DenseContext& ctx, uint64_t workers);

}  // namespace tsl
