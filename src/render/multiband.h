#pragma once
// Multi-band (Laplacian pyramid) blending along seam lines: every output pixel belongs to the
// photo the seam map gives it, and the switch between neighbours is wide for coarse structure
// (tone) and sharp for fine detail (edges, texture). Blocks of rows are rendered in column
// windows of 4096 pixels, each widened by an apron as wide as the largest blur needs.
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "img/image.h"
#include "render/band_sink.h"
#include "render/render_job.h"

namespace tsl {

// Core columns of one window.
inline constexpr uint64_t MULTIBAND_WINDOW_COLS = 4096;

// Most pyramid levels a render uses: the coarsest level's blur is then base x 4^4 (at least
// 384 output pixels); wider levels only spread one mean tone over the mosaic while their apron
// multiplies the window, its memory and its time.
inline constexpr uint64_t MAX_BLEND_BANDS = 6;

// The constants of one multi-band render (sizes in output pixels).
struct MultibandPlan {
  uint64_t levels = 2;         // L
  std::vector<double> sigmas;  // L - 1 blurs: base x 4^k, base = max(cell / gsd, 1.5)
  uint64_t apron = 0;          // ceil(2.5 x the largest sigma) + 2
  double seam_feather = 0.7;   // blur of the finest level's seam mask: max(0.35 cell / gsd, 0.7)
};

// The plan for `levels` levels (raised to 2) with seam cell `cell` and output `gsd`, in metres.
MultibandPlan multiband_plan(uint64_t levels, double cell, double gsd);

// Memory of one column window of `pixels` extended-window pixels: per level the band sums (3
// f32) and weight sums (1 f32), and a coverage byte.
uint64_t multiband_window_bytes(uint64_t pixels, uint64_t levels);

// Peak memory of one photo's bands over a region of `pixels` pixels while they are computed:
// the levels (16 bytes a pixel each) plus the working images, in bytes a pixel: two Gaussian
// levels 2 x 12 (the first is the warp), the premultiplied image and its blur 2 x 16, alpha,
// the seam mask and its blur 3 x 4, and the shrunk images of a blur above 4 pixels at most 16
// (84, taken as 96). The decoded photo is the cache's.
uint64_t multiband_photo_bytes(uint64_t pixels, uint64_t levels);

// Threads of the row loops in a window of `pixels` pixels: at most `budget`, and no more than
// half the free memory `free_bytes` holds beside the window's sums at one photo's working
// memory a thread (0 = unknown: the budget); at least 1. Photos are computed one at a time,
// so this errs on the safe side.
uint64_t multiband_threads(uint64_t budget, uint64_t pixels, uint64_t levels, uint64_t free_bytes);

// The levels a render uses for `requested` (blend_bands): raised to 2, at most MAX_BLEND_BANDS,
// and lowered while one window with one photo in flight would need more than half the free
// memory (0 = unknown: no lowering). The window is as large as the output allows.
uint64_t multiband_levels(uint64_t requested, double cell, double gsd, uint64_t width, uint64_t height,
                          uint64_t block_rows, uint64_t free_bytes);

// A copy for sigma < 0.3; gaussian_blur for sigma <= 4; otherwise blurred on the image shrunk
// by f = floor(sigma / 2.5) with sigma / f and enlarged back bilinearly, so the cost does not
// grow with sigma.
ImageF32 gaussian_blur_scaled(const ImageF32& image, double sigma);

// The working images of gaussian_blur_scaled, kept by a caller that blurs many images so that
// their storage is reused.
struct BlurScratch {
  ImageF32 small;          // the image shrunk
  ImageF32 small_blurred;  // the shrunk image blurred
};

// gaussian_blur_scaled into `out` (the same values), reusing the storage of `out` and
// `scratch`; `out` must not be `image`.
void gaussian_blur_scaled(const ImageF32& image, double sigma, ImageF32& out, BlurScratch& scratch);

// Renders a job that carries a seam map; errors and the sink contract as render_mosaic. A job
// without a seam map, a map without cells or a label beyond the photos is a caller's bug.
std::expected<void, std::string> render_multiband(const RenderJob& job, const BandSink& sink);

}  // namespace tsl
