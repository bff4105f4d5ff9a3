#include "render/render.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <optional>

#include "grid/proj_grid.h"
#include "img/ops/morph.h"
#include "imageio/load_image.h"
#include "logx.h"
#include "render/multiband.h"
#include "render/warp_sample.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {
namespace {

using Clock = std::chrono::steady_clock;

// Node columns and rows of the contribution lattice, in output pixels.
struct Lattice {
  std::vector<double> xs;
  std::vector<double> ys;
};

// Part of a block a kept photo is warped over.
struct KeptWindow {
  uint64_t x0 = 0, x1 = 0, y0 = 0, y1 = 0;
};

int64_t trunc_i64(double v) { return static_cast<int64_t>(std::clamp(v, -9.2e18, 9.2e18)); }

// A photo's feather weights at the lattice nodes (rows outer), in f64, and where it is safely
// inside its frame.
struct NodeWeights {
  std::vector<double> weight;
  std::vector<uint8_t> safe;
};

// Weights count nodes up to `margin` beyond the frame (at least 2 %), so that a photo whose
// frame ends between nodes is not dropped; `safe` marks nodes at least `margin` inside it,
// where the photo covers every pixel of the node's neighbourhood. `margin` is 1.5 lattice
// spacings in the frame's normalised units.
NodeWeights feather_weight_grid(const RenderJob& job, size_t photo, const Lattice& lat, float feather, double margin) {
  const ImageMeta& meta = job.photos.images[photo];
  const CameraModel& cam = *meta.lens;
  const double r_max = cam.monotonic_radius();
  const double w1 = static_cast<double>(meta.width) - 1.0, h1 = static_cast<double>(meta.height) - 1.0;
  const double reach = 1.0 + std::max(margin, 0.02), inner = 1.0 - margin;
  const OutputGrid& g = *job.grid;
  NodeWeights out{std::vector<double>(lat.xs.size() * lat.ys.size(), 0.0),
                  std::vector<uint8_t>(lat.xs.size() * lat.ys.size(), 0)};
  size_t k = 0;
  for (double y : lat.ys) {
    const double north = g.top_n - (y + 0.5) * g.gsd;
    for (double x : lat.xs) {
      const double east = g.left_e + (x + 0.5) * g.gsd;
      const double z = job.surface->height_at(east, north);
      const auto px = project_ground_point(cam, job.photos.rotations[photo], job.photos.positions[photo], east, north, z, r_max);
      const double col = px ? px->x : 1e9, row = px ? px->y : 1e9;
      const double nx = std::fabs(2.0 * col / w1 - 1.0), ny = std::fabs(2.0 * row / h1 - 1.0);
      if (nx <= reach && ny <= reach) {
        const double base = std::clamp((1.0 - nx * nx) * (1.0 - ny * ny), 0.0, 1.0);
        out.weight[k] = std::max(std::pow(base, static_cast<double>(feather)), 9.999999682655225e-21);
        out.safe[k] = nx <= inner && ny <= inner;
      }
      ++k;
    }
  }
  return out;
}

// The photos of a block that are worth warping, each with the part of the block it is warped
// over (nothing = the whole block).
struct BlockPhoto {
  size_t index = 0;
  std::optional<KeptWindow> kept;
};

// Drops the candidates whose feather weight stays below contrib_thr times the best weight
// at every lattice node. Only photos safely inside their frame at a node set its best weight:
// a photo whose frame ends between nodes may not cover all pixels there, and the photo it
// would outweigh may be the only one that does.
std::vector<BlockPhoto> cull_block(const RenderJob& job, const std::vector<size_t>& candidates, uint64_t y0,
                                   uint64_t y1, float feather, const std::vector<double>& natives) {
  const RenderOptions& cfg = job.options;
  const uint64_t width = job.grid->width;
  std::vector<BlockPhoto> out;
  if (!(cfg.contrib_thr > 0.0)) {
    for (size_t i : candidates) out.push_back({i, std::nullopt});
    return out;
  }
  const double s = 2.0 * static_cast<double>(cfg.grid_step);
  Lattice lat;
  for (double x = 0; x < static_cast<double>(width) + s; x += s) lat.xs.push_back(x);
  for (double y = static_cast<double>(y0); y < static_cast<double>(y1) + s; y += s) lat.ys.push_back(y);
  const size_t workers = std::max<uint64_t>(cfg.workers, 1);
  const size_t threads = std::min(std::max<size_t>(candidates.size(), 1), workers);
  const double output_gsd = job.grid->gsd;
  const auto grids = par_map(candidates.size(), threads, [&](size_t k) {
    const ImageMeta& meta = job.photos.images[candidates[k]];
    const double side = static_cast<double>(std::min(meta.width, meta.height)) - 1.0;
    double margin = 3.0 * s * output_gsd / natives[candidates[k]] / side;
    if (!(margin >= 0.0)) margin = std::numeric_limits<double>::infinity();  // no native gsd: never safe
    return feather_weight_grid(job, candidates[k], lat, feather, margin);
  });
  const size_t nodes = lat.xs.size() * lat.ys.size();
  std::vector<double> best(nodes, 0.0);
  for (const auto& g : grids)
    for (size_t p = 0; p < nodes; ++p)
      if (g.safe[p] && g.weight[p] > best[p]) best[p] = g.weight[p];  // NaN never wins
  for (size_t k = 0; k < candidates.size(); ++k) {
    std::vector<uint8_t> keep(nodes, 0);
    bool any = false;
    for (size_t p = 0; p < nodes; ++p) {
      const double w = grids[k].weight[p];
      if (w > 0.0 && w >= best[p] * cfg.contrib_thr) keep[p] = 1, any = true;
    }
    if (!any) continue;
    const std::vector<uint8_t> grown = morph_mask(keep, lat.xs.size(), lat.ys.size(), 3, true);
    size_t cmin = SIZE_MAX, cmax = 0, rmin = SIZE_MAX, rmax = 0;
    for (size_t p = 0; p < nodes; ++p) {
      if (!grown[p]) continue;
      const size_t c = p % lat.xs.size(), r = p / lat.xs.size();
      cmin = std::min(cmin, c), cmax = std::max(cmax, c), rmin = std::min(rmin, r), rmax = std::max(rmax, r);
    }
    const int64_t si = static_cast<int64_t>(s), w = static_cast<int64_t>(width);
    KeptWindow kw;
    kw.x0 = static_cast<uint64_t>(std::max<int64_t>(trunc_i64(lat.xs[cmin]) - si, 0));
    kw.x1 = static_cast<uint64_t>(std::min(std::max<int64_t>(trunc_i64(lat.xs[cmax]) + si, 0), w));
    kw.y0 = static_cast<uint64_t>(std::max<int64_t>(trunc_i64(lat.ys[rmin]) - si, static_cast<int64_t>(y0)));
    kw.y1 =
        static_cast<uint64_t>(std::min(std::max<int64_t>(trunc_i64(lat.ys[rmax]) + si, 0), static_cast<int64_t>(y1)));
    out.push_back({candidates[k], kw});
  }
  return out;
}

// One photo's contribution to the rows of its range within a block.
struct RowContext {
  const ProjGrid* proj = nullptr;
  const DecodedImage* image = nullptr;
  uint64_t x_lo = 0, x_hi = 0;
  float full_w = 0, full_h = 0;  // the photo's full size
  float covered_rows = 0;        // photo rows holding decoded data (covered_photo_rows)
  float feather = 1;
  int feather_int = -1;         // the exponent when it is a whole number up to 64, else -1
  std::array<float, 3> gain{};  // per channel, divided by 65535
  bool cubic = true;
};

// base^n by repeated squaring: a whole exponent (the default is 20) costs a few multiplies
// instead of a power function, which was a sixth of a render's time.
float whole_power(float base, int n) {
  float result = 1.0f;
  for (; n > 0; n >>= 1, base *= base)
    if (n & 1) result *= base;
  return result;
}

// Adds the photo's weighted samples to one accumulator row (width x 4 floats: r w, g w, b w,
// w). Pixels outside the frame itself add nothing; inside it the weight is at least 1e-20, so
// a pixel seen by one photo shows exactly that photo.
void feather_accumulate_row(const RowContext& c, uint64_t r, float* acc) {
  thread_local std::vector<float> node_x, node_y;
  c.proj->row(r, node_x, node_y);
  const float step = static_cast<float>(c.proj->step);
  const uint64_t cols = c.proj->cols;
  const float sx = static_cast<float>(c.image->scale_x), sy = static_cast<float>(c.image->scale_y);
  std::array<float, 4> s{};
  for (uint64_t x = c.x_lo; x < c.x_hi; ++x) {
    const float col = interpolate_nodes(node_x.data(), cols, step, x - c.x_lo);
    const float row = interpolate_nodes(node_y.data(), cols, step, x - c.x_lo);
    const float nx = 2.0f * col / (c.full_w - 1.0f) - 1.0f, ny = 2.0f * row / (c.full_h - 1.0f) - 1.0f;
    if (!(std::fabs(nx) <= 1.0f && std::fabs(ny) <= 1.0f) || !(row < c.covered_rows)) continue;
    float base = std::clamp((1.0f - nx * nx) * (1.0f - ny * ny), 0.0f, 1.0f);
    if (c.feather != 1.0f) base = c.feather_int >= 0 ? whole_power(base, c.feather_int) : std::pow(base, c.feather);
    const float w = std::max(base, 1e-20f);
    warp_sample(c.image->image, sx * (col + 0.5f) - 0.5f, sy * (row + 0.5f) - 0.5f, c.cubic, s);
    float* a = acc + 4 * x;
    a[0] += s[0] * c.gain[0] * w;
    a[1] += s[1] * c.gain[1] * w;
    a[2] += s[2] * c.gain[2] * w;
    a[3] += w;
  }
}

}  // namespace

std::expected<void, std::string> render_mosaic(const RenderJob& job, const BandSink& sink) {
  if (!job.options.quiet) log_str("render: CPU");
  check_render_job(job);
  const RenderOptions& cfg = job.options;
  if (job.seam_map && cfg.blend == BlendMode::Multiband) return render_multiband(job, sink);

  const std::vector<double> scales = source_load_scales(job);
  const std::vector<double> natives = native_gsds(job.photos.images, job.photos.positions, surface_reference_height(*job.surface));
  if (scales.size() < job.photos.images.size()) internal_error("fewer positions than photos");
  const auto start = Clock::now();
  const OutputGrid& grid = *job.grid;
  const uint64_t width = grid.width, height = grid.height, block_rows = cfg.block_rows;
  const uint64_t blocks = (height + block_rows - 1) / block_rows;
  const size_t workers = std::max<uint64_t>(cfg.workers, 1);
  const float feather = static_cast<float>(cfg.feather);

  // One accumulator, band and mask serve every block: mapping fresh pages for each block costs
  // more than the clearing.
  const uint64_t max_rows = std::min(block_rows, height);
  std::vector<float> acc = make_zeroed<float>(max_rows * width * 4);
  ImageF32 band(width, max_rows, 3);
  std::vector<uint8_t> mask(max_rows * width, 0);
  for (uint64_t b = 0; b < blocks; ++b) {
    const uint64_t y0 = b * block_rows, rows = std::min(block_rows, height - y0), y1 = y0 + rows;
    if (b > 0) std::fill(acc.begin(), acc.end(), 0.0f);
    acc.resize(rows * width * 4);
    band.data.resize(rows * width * 3);
    band.height = rows;
    mask.resize(rows * width);
    std::vector<size_t> candidates;
    for (size_t i = 0; i < job.photos.images.size(); ++i) {
      const PixelWindow& w = grid.windows[i];
      if (w.y0 < y1 && w.x0 < w.x1 && w.y1 > y0) candidates.push_back(i);
    }
    const std::vector<BlockPhoto> list = cull_block(job, candidates, y0, y1, feather, natives);

    for (const BlockPhoto& bp : list) {
      // A block of a large mosaic takes long; a stop request need not wait for its log line.
      check_cancel();
      const PixelWindow& w = grid.windows[bp.index];
      uint64_t x_lo = w.x0, x_hi = w.x1, y_lo = std::max(w.y0, y0), y_hi = std::min(w.y1, y1);
      if (bp.kept) {
        x_lo = std::max(x_lo, bp.kept->x0), x_hi = std::min(x_hi, bp.kept->x1);
        y_lo = std::max(y_lo, bp.kept->y0), y_hi = std::min(y_hi, bp.kept->y1);
      }
      if (y_lo >= y_hi || x_lo >= x_hi) continue;
      const ProjGrid proj = build_proj_grid(job.photos.images[bp.index], job.photos.rotations[bp.index], job.photos.positions[bp.index],
                                            *job.surface, grid, cfg.grid_step, x_lo, x_hi, y_lo, y_hi);
      auto image = fetch_source_image(job, bp.index, scales[bp.index]);
      if (!image) return std::unexpected(std::move(image.error()));
      RowContext ctx;
      ctx.proj = &proj;
      ctx.image = image->get();
      ctx.x_lo = x_lo;
      ctx.x_hi = x_hi;
      ctx.full_w = static_cast<float>(job.photos.images[bp.index].width);
      ctx.full_h = static_cast<float>(job.photos.images[bp.index].height);
      ctx.covered_rows = covered_photo_rows(**image);
      ctx.feather = feather;
      if (feather >= 0.0f && feather <= 64.0f && feather == std::floor(feather))
        ctx.feather_int = static_cast<int>(feather);
      for (int c = 0; c < 3; ++c) ctx.gain[c] = static_cast<float>(job.gains[bp.index][c]) / 65535.0f;
      ctx.cubic = cfg.interp_cubic;
      const uint64_t n_rows = y_hi - y_lo;
      const size_t threads = std::min<size_t>(std::max<uint64_t>(n_rows, 1), workers);
      const std::span<float> part(acc.data() + (y_lo - y0) * width * 4, n_rows * width * 4);
      par_chunks(part, width * 4, threads,
                 [&](size_t r, std::span<float> acc_row) { feather_accumulate_row(ctx, r, acc_row.data()); });
    }

    for (size_t p = 0; p < rows * width; ++p) {
      const float a = acc[4 * p + 3];
      float* out = band.data.data() + 3 * p;
      if (!(a > 0.0f)) {
        out[0] = out[1] = out[2] = 0.0f;
        mask[p] = 0;
        continue;
      }
      const float d = std::max(a, 1e-23f);
      for (int c = 0; c < 3; ++c) out[c] = acc[4 * p + c] / d;
      mask[p] = 1;
    }
    if (!job.options.quiet) {
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      logf("  block row {}/{}  ({} images)  {:.0}s elapsed, ~{:.0}s left", b + 1, blocks, list.size(), elapsed,
           static_cast<double>(blocks - b - 1) * elapsed / static_cast<double>(b + 1));
    }
    if (auto r = sink(y0, band, mask); !r) return r;
  }
  return {};
}

}  // namespace tsl
