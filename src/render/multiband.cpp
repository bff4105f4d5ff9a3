#include "render/multiband.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <optional>

#include "grid/proj_grid.h"
#include "img/ops/filter.h"
#include "img/ops/resample.h"
#include "imageio/load_image.h"
#include "logx.h"
#include "platform/system.h"
#include "render/warp_sample.h"
#include "util/count.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {
namespace {

using Clock = std::chrono::steady_clock;

// The multi-band math runs on at most this many threads.
constexpr uint64_t MAX_THREADS = 8;

// The working images of one photo's bands. One slot serves every photo of a render in turn:
// its buffers keep their size from photo to photo, so that they are not mapped and cleared
// afresh each time (which cost more than the blending itself). Only the first `pixels`
// values of a vector belong to the current photo.
struct BandSlot {
  std::vector<float> alpha;          // 1 inside the photo's frame
  std::vector<float> g_cur, g_next;  // two Gaussian levels; the first is the warp
  ImageF32 premult, seam;
  ImageF32 premult_blurred, seam_blurred;
  BlurScratch scratch;
};

// Per-level sums of one column window and its coverage.
struct WindowSums {
  uint64_t width = 0;
  std::vector<std::vector<float>> rgb;      // per level, 3 per pixel
  std::vector<std::vector<float>> weights;  // per level, 1 per pixel
  std::vector<uint8_t> covered;
};

// Grows a buffer to at least n values; the values are overwritten by the caller. New storage
// is fresh rather than grown (growth would copy values about to be overwritten) and mapped
// with large pages where the system allows, which saves most of the cost of first use.
void reserve_values(std::vector<float>& v, size_t n) {
  if (v.size() >= n) return;
  v = {};
  v = make_zeroed<float>(n);
}

// Where a photo owns seam cells in the extended window, relative to its first column and row.
struct LabelBox {
  bool seen = false;
  uint64_t minx = 0, maxx = 0, miny = 0, maxy = 0;
};

// Seam-grid coordinates of output pixels: the centre of seam cell (c, r) lies at (c, r).
struct SeamFrame {
  double ku = 1.0, ou = 0.0;  // u = x ku + ou
  double kv = 1.0, ov = 0.0;  // v = y kv + ov
};

SeamFrame seam_frame(const OutputGrid& g, const SeamMap& s) {
  SeamFrame f;
  f.ku = f.kv = g.gsd / s.cell;
  f.ou = (g.left_e - s.left_e) / s.cell + 0.5 * g.gsd / s.cell - 0.5;
  f.ov = (s.top_n - g.top_n) / s.cell + 0.5 * g.gsd / s.cell - 0.5;
  return f;
}

// What every photo of a window shares.
struct WindowContext {
  const RenderJob* job = nullptr;
  const std::vector<double>* scales = nullptr;
  const std::vector<LabelBox>* boxes = nullptr;
  const MultibandPlan* plan = nullptr;
  SeamFrame frame;
  uint64_t ex0 = 0, ex1 = 0, ey0 = 0, ey1 = 0;
  uint64_t threads = 1;  // for the row loops
};

int64_t floor_i64(double v) { return static_cast<int64_t>(std::floor(std::clamp(v, -9.2e18, 9.2e18))); }

// Output pixels a photo's bands cover in a window (half-open).
struct Region {
  uint64_t x0 = 0, x1 = 0, y0 = 0, y1 = 0;
  uint64_t pixels() const { return (x1 - x0) * (y1 - y0); }
};

// The photo's label box widened by the apron, within its output window and the extended
// window; nothing when that is empty.
std::optional<Region> photo_region(const WindowContext& ctx, size_t photo) {
  const LabelBox& box = (*ctx.boxes)[photo];
  const PixelWindow& win = ctx.job->grid->windows[photo];
  const int64_t a = static_cast<int64_t>(ctx.plan->apron);
  const int64_t ex0 = static_cast<int64_t>(ctx.ex0), ey0 = static_cast<int64_t>(ctx.ey0);
  const int64_t x_lo = std::max({static_cast<int64_t>(win.x0), ex0 + static_cast<int64_t>(box.minx) - a, ex0});
  const int64_t x_hi = std::min(
      {static_cast<int64_t>(win.x1), ex0 + static_cast<int64_t>(box.maxx) + 1 + a, static_cast<int64_t>(ctx.ex1)});
  const int64_t y_lo = std::max({static_cast<int64_t>(win.y0), ey0 + static_cast<int64_t>(box.miny) - a, ey0});
  const int64_t y_hi = std::min(
      {static_cast<int64_t>(win.y1), ey0 + static_cast<int64_t>(box.maxy) + 1 + a, static_cast<int64_t>(ctx.ey1)});
  if (x_lo >= x_hi || y_lo >= y_hi) return std::nullopt;
  return Region{static_cast<uint64_t>(x_lo), static_cast<uint64_t>(x_hi), static_cast<uint64_t>(y_lo),
                static_cast<uint64_t>(y_hi)};
}

// Readies the slot's vectors for regions of up to n pixels, so that the photos of a window do
// not grow them one after another (each growth maps fresh memory).
void reserve_slot(BandSlot& slot, size_t n) {
  reserve_values(slot.g_cur, n * 3);
  reserve_values(slot.g_next, n * 3);
  reserve_values(slot.alpha, n);
}

// Computes the photo's bands over its `region` and adds them to the window's sums, or returns
// the photo's loading error (the sums are then untouched). Photos are added one at a time in
// ascending order, each level straight into its sums: every sum receives the same values in
// the same order as if the bands were kept and added afterwards, and no photo's levels are
// held in memory.
std::expected<void, std::string> multiband_image_bands(const WindowContext& ctx, size_t photo, const Region& region,
                                                       BandSlot& slot, WindowSums& sums) {
  const RenderJob& job = *ctx.job;
  const MultibandPlan& plan = *ctx.plan;
  const uint64_t rx0 = region.x0, rx1 = region.x1, ry0 = region.y0, ry1 = region.y1;
  const size_t w = rx1 - rx0, h = ry1 - ry0, n = w * h;

  const ImageMeta& meta = job.photos.images[photo];
  const ProjGrid proj = build_proj_grid(meta, job.photos.rotations[photo], job.photos.positions[photo], *job.surface, *job.grid,
                                        job.options.grid_step, rx0, rx1, ry0, ry1);
  auto decoded = fetch_source_image(job, photo, (*ctx.scales)[photo]);
  if (!decoded) return std::unexpected(std::move(decoded.error()));
  const DecodedImage& src = **decoded;

  // One pass over the region's rows: the warp (filled beyond the frame too, from clamped edge
  // samples), the frame alpha, the premultiplied image (warp x alpha, alpha: every Gaussian
  // level blurs it, so that pixels outside the frame do not bleed their clamped colours into
  // the photo's levels) and the soft seam mask (the share of this photo's cells around each
  // pixel, bilinear).
  reserve_values(slot.g_cur, n * 3);
  reserve_values(slot.alpha, n);
  shape_for_overwrite(slot.premult, w, h, 4);
  shape_for_overwrite(slot.seam, w, h, 1);
  {
    float* warp = slot.g_cur.data();
    float* alpha = slot.alpha.data();
    float* premult = slot.premult.data.data();
    float* seam = slot.seam.data.data();
    const float fw = static_cast<float>(meta.width), fh = static_cast<float>(meta.height);
    const float sx = static_cast<float>(src.scale_x), sy = static_cast<float>(src.scale_y);
    const float covered_rows = covered_photo_rows(src);
    const float step = static_cast<float>(proj.step);
    std::array<float, 3> gain;
    for (int c = 0; c < 3; ++c) gain[c] = static_cast<float>(job.gains[photo][c]);
    const bool cubic = job.options.interp_cubic;
    const SeamMap& sm = *job.seam_map;
    const int64_t snx = static_cast<int64_t>(sm.nx), sny = static_cast<int64_t>(sm.ny);
    const int32_t me = static_cast<int32_t>(photo);
    par_rows(h, 1, ctx.threads, [&](size_t first, size_t last) {
      std::vector<float> nx, ny;
      std::array<float, 4> s{};
      for (size_t r = first; r < last; ++r) {
        proj.row(r, nx, ny);
        for (size_t x = 0; x < w; ++x) {
          const float col = interpolate_nodes(nx.data(), proj.cols, step, x);
          const float row = interpolate_nodes(ny.data(), proj.cols, step, x);
          const bool inside = std::fabs(2.0f * col / (fw - 1.0f) - 1.0f) <= 1.0f &&
                              std::fabs(2.0f * row / (fh - 1.0f) - 1.0f) <= 1.0f && row < covered_rows;
          const float px = (col + 0.5f) * sx - 0.5f, py = (row + 0.5f) * sy - 0.5f;
          const size_t p = r * w + x;
          if (std::fabs(px) < 1e6f && std::fabs(py) < 1e6f) {
            warp_sample(src.image, px, py, cubic, s);
            for (int c = 0; c < 3; ++c) warp[3 * p + c] = s[c] * gain[c] / 65535.0f;
          } else {
            warp[3 * p] = warp[3 * p + 1] = warp[3 * p + 2] = 0.0f;
          }
          alpha[p] = inside ? 1.0f : 0.0f;
          for (int c = 0; c < 3; ++c) premult[4 * p + c] = warp[3 * p + c] * alpha[p];
          premult[4 * p + 3] = alpha[p];
        }

        const double v = static_cast<double>(ry0 + r) * ctx.frame.kv + ctx.frame.ov;
        const int64_t r0 = floor_i64(v);
        const float fr = static_cast<float>(v - static_cast<double>(r0));
        const int64_t ra = std::clamp<int64_t>(r0, 0, sny - 1), rb = std::clamp<int64_t>(r0 + 1, 0, sny - 1);
        const int32_t* top = sm.labels.data() + ra * snx;
        const int32_t* bottom = sm.labels.data() + rb * snx;
        for (size_t x = 0; x < w; ++x) {
          const double u = static_cast<double>(rx0 + x) * ctx.frame.ku + ctx.frame.ou;
          const int64_t c0 = floor_i64(u);
          const float fc = static_cast<float>(u - static_cast<double>(c0));
          const int64_t ca = std::clamp<int64_t>(c0, 0, snx - 1), cb = std::clamp<int64_t>(c0 + 1, 0, snx - 1);
          const float i00 = top[ca] == me, i01 = top[cb] == me, i10 = bottom[ca] == me, i11 = bottom[cb] == me;
          seam[r * w + x] = (1.0f - fr) * ((1.0f - fc) * i00 + fc * i01) + fr * ((1.0f - fc) * i10 + fc * i11);
        }
      }
    });
  }
  decoded->reset();

  // Levels finest first, the Gaussian stack built one level ahead so that only two of its
  // levels are alive at a time.
  for (uint64_t k = 0; k < plan.levels; ++k) {
    const bool last = k + 1 == plan.levels;
    if (!last) {
      gaussian_blur_scaled(slot.premult, plan.sigmas[k], slot.premult_blurred, slot.scratch);
      reserve_values(slot.g_next, n * 3);
    }
    const double tau = k == 0 ? plan.seam_feather : plan.sigmas[k - 1];
    gaussian_blur_scaled(slot.seam, tau, slot.seam_blurred, slot.scratch);
    const ImageF32& m = slot.seam_blurred;
    const float* alpha = slot.alpha.data();
    const float* g_cur = slot.g_cur.data();
    float* g_next = slot.g_next.data();
    const float* q = slot.premult_blurred.data.data();
    par_rows(h, 16, ctx.threads, [&](size_t row0, size_t row1) {
      for (size_t r = row0; r < row1; ++r) {
        const size_t e = (ry0 + r - ctx.ey0) * sums.width + (rx0 - ctx.ex0);
        float* sum_rgb = sums.rgb[k].data() + 3 * e;
        float* sum_wt = sums.weights[k].data() + e;
        for (size_t x = 0, p = r * w; x < w; ++x, ++p) {
          // The next Gaussian level: the blurred premultiplied colour over its alpha.
          if (!last) {
            const float a = std::max(q[4 * p + 3], 1e-4f);
            for (int c = 0; c < 3; ++c) g_next[3 * p + c] = q[4 * p + c] / a;
          }
          const float wt = alpha[p] * 1e-7f + m.data[p] * alpha[p];
          sum_wt[x] += wt;
          for (int c = 0; c < 3; ++c) {
            const float v = last ? g_cur[3 * p + c] : g_cur[3 * p + c] - g_next[3 * p + c];
            sum_rgb[3 * x + c] += v * wt;
          }
          if (k == 0 && alpha[p] > 0.0f) sums.covered[e + x] = 1;
        }
      }
    });
    std::swap(slot.g_cur, slot.g_next);
  }
  return {};
}

// Gives `v` n zero values. Short storage is replaced rather than grown (growth would copy
// values about to be cleared) and large storage is cleared on all threads: the sums of a
// window run to hundreds of megabytes.
template <typename T>
void clear_values(std::vector<T>& v, size_t n) {
  if (v.capacity() < n) {
    v = {};
    v = make_zeroed<T>(n);
    return;
  }
  v.resize(n);
  constexpr size_t CHUNK = size_t{1} << 18;
  par_chunks(std::span<T>(v), CHUNK, cpu_budget(), [](size_t, std::span<T> c) { std::fill(c.begin(), c.end(), T{}); });
}

uint64_t saturating_mul(uint64_t a, uint64_t b) { return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b; }

}  // namespace

MultibandPlan multiband_plan(uint64_t levels, double cell, double gsd) {
  MultibandPlan p;
  p.levels = std::max<uint64_t>(levels, 2);
  const double base = std::max(cell / gsd, 1.5);
  for (uint64_t k = 0; k + 1 < p.levels; ++k) p.sigmas.push_back(base * std::pow(4.0, static_cast<double>(k)));
  p.apron = to_count(std::ceil(2.5 * p.sigmas.back())) + 2;
  p.seam_feather = std::max(0.35 * cell / gsd, 0.7);
  return p;
}

uint64_t multiband_window_bytes(uint64_t pixels, uint64_t levels) { return saturating_mul(pixels, 16 * levels + 1); }

uint64_t multiband_photo_bytes(uint64_t pixels, uint64_t levels) { return saturating_mul(pixels, 16 * levels + 96); }

uint64_t multiband_threads(uint64_t budget, uint64_t pixels, uint64_t levels, uint64_t free_bytes) {
  uint64_t t = std::max<uint64_t>(budget, 1);
  if (free_bytes == 0) return t;
  const uint64_t half = free_bytes / 2, fixed = multiband_window_bytes(pixels, levels);
  const uint64_t fit = half > fixed ? (half - fixed) / std::max<uint64_t>(multiband_photo_bytes(pixels, levels), 1) : 0;
  return std::max<uint64_t>(std::min(t, fit), 1);
}

uint64_t multiband_levels(uint64_t requested, double cell, double gsd, uint64_t width, uint64_t height,
                          uint64_t block_rows, uint64_t free_bytes) {
  uint64_t levels = std::clamp<uint64_t>(requested, 2, MAX_BLEND_BANDS);
  for (; levels > 2 && free_bytes != 0; --levels) {
    const uint64_t a = multiband_plan(levels, cell, gsd).apron;
    const uint64_t pixels =
        saturating_mul(std::min(MULTIBAND_WINDOW_COLS + 2 * a, width), std::min(block_rows + 2 * a, height));
    const uint64_t need = multiband_window_bytes(pixels, levels) + multiband_photo_bytes(pixels, levels);
    if (need <= free_bytes / 2) break;
  }
  return levels;
}

ImageF32 gaussian_blur_scaled(const ImageF32& image, double sigma) {
  ImageF32 out;
  BlurScratch scratch;
  gaussian_blur_scaled(image, sigma, out, scratch);
  return out;
}

void gaussian_blur_scaled(const ImageF32& image, double sigma, ImageF32& out, BlurScratch& scratch) {
  if (&out == &image) internal_error("gaussian_blur_scaled into its own source");
  if (sigma < 0.3) {
    out.data.assign(image.data.begin(), image.data.end());
    out.width = image.width, out.height = image.height, out.channels = image.channels;
    return;
  }
  if (sigma <= 4.0) return gaussian_blur(image, sigma, out);
  const double f = std::max(std::floor(sigma / 2.5), 1.0);
  const size_t sw = std::max<size_t>(static_cast<size_t>(std::ceil(static_cast<double>(image.width) / f)), 1);
  const size_t sh = std::max<size_t>(static_cast<size_t>(std::ceil(static_cast<double>(image.height) / f)), 1);
  // A factor of 1 keeps the size, where the shrunk image would be a copy of the image.
  if (sw == image.width && sh == image.height) {
    gaussian_blur(image, sigma / f, scratch.small_blurred);
  } else {
    resize(image, sw, sh, scratch.small);
    gaussian_blur(scratch.small, sigma / f, scratch.small_blurred);
  }
  resize_bilinear(scratch.small_blurred, image.width, image.height, out);
}

std::expected<void, std::string> render_multiband(const RenderJob& job, const BandSink& sink) {
  check_render_job(job);
  if (!job.seam_map) internal_error("multi-band render without a seam map");
  const SeamMap& sm = *job.seam_map;
  if (sm.nx == 0 || sm.ny == 0 || sm.labels.size() != sm.nx * sm.ny)
    internal_error(format("seam map of {}x{} cells with {} labels", sm.nx, sm.ny, sm.labels.size()));
  for (int32_t l : sm.labels)
    if (l < -1 || l >= static_cast<int64_t>(job.photos.images.size()))
      internal_error(format("seam label {} for {} photos", l, job.photos.images.size()));
  const RenderOptions& cfg = job.options;
  const OutputGrid& grid = *job.grid;
  const uint64_t width = grid.width, height = grid.height, block_rows = cfg.block_rows;
  const uint64_t requested = std::max<uint64_t>(cfg.blend_bands, 2);
  const uint64_t levels =
      multiband_levels(requested, sm.cell, grid.gsd, width, height, block_rows, platform::available_memory_bytes());
  const MultibandPlan plan = multiband_plan(levels, sm.cell, grid.gsd);
  const uint64_t t0 = std::min<uint64_t>(std::max<uint64_t>(cfg.workers, 1), MAX_THREADS);

  const std::vector<double> scales = source_load_scales(job);
  if (scales.size() < job.photos.images.size()) internal_error("fewer positions than photos");
  const auto start = Clock::now();
  if (!job.options.quiet) {
    // Above the cap the request is cut first; only a further cut is memory's doing.
    const uint64_t allowed = std::min<uint64_t>(requested, MAX_BLEND_BANDS);
    if (requested > allowed) logf("  warning: multi-band blend capped at {} bands ({} requested)", allowed, requested);
    if (levels < allowed)
      logf("  warning: multi-band blend lowered from {} to {} bands to fit in memory", allowed, levels);
    std::string sigmas;
    for (double s : plan.sigmas) sigmas += (sigmas.empty() ? "" : ", ") + format("{:.0}", s * grid.gsd * 100.0);
    logf("  multi-band blend: {} bands, sigmas {} cm, seams from a {:.1} cm grid", plan.levels, sigmas,
         sm.cell * 100.0);
    logf("  multi-band math on {} CPU threads", t0);
  }

  const SeamFrame frame = seam_frame(grid, sm);
  // Seam column of every output column and seam row of every output row, -1 outside the map.
  std::vector<int64_t> seam_col(width);
  for (uint64_t x = 0; x < width; ++x) {
    const double c = std::floor(static_cast<double>(x) * frame.ku + frame.ou + 0.5);
    seam_col[x] = c >= 0.0 && c < static_cast<double>(sm.nx) ? static_cast<int64_t>(c) : -1;
  }
  const uint64_t blocks = (height + block_rows - 1) / block_rows;
  std::vector<LabelBox> boxes(job.photos.images.size());
  // Buffers that serve every block and window, so that their pages are mapped once.
  std::vector<int32_t> labels;
  // Two bands and masks: the sink takes one block row while the next is drawn into the other.
  std::array<ImageF32, 2> bands;
  std::array<std::vector<uint8_t>, 2> masks;
  WindowSums sums;
  BandSlot slot;
  const auto draw = [&](uint64_t b) -> std::expected<void, std::string> {
    ImageF32& band = bands[b % 2];
    std::vector<uint8_t>& mask = masks[b % 2];
    band.width = width, band.channels = 3;
    const uint64_t y0 = b * block_rows, rows = std::min(block_rows, height - y0);
    const uint64_t ey0 = y0 > plan.apron ? y0 - plan.apron : 0;
    const uint64_t ey1 = std::min(y0 + rows + plan.apron, height);
    labels.assign((ey1 - ey0) * width, -1);
    for (uint64_t y = ey0; y < ey1; ++y) {
      const double r = std::floor(static_cast<double>(y) * frame.kv + frame.ov + 0.5);
      if (!(r >= 0.0 && r < static_cast<double>(sm.ny))) continue;
      const int32_t* src = sm.labels.data() + static_cast<uint64_t>(r) * sm.nx;
      int32_t* dst = labels.data() + (y - ey0) * width;
      for (uint64_t x = 0; x < width; ++x)
        if (seam_col[x] >= 0) dst[x] = src[seam_col[x]];
    }
    clear_values(band.data, rows * width * 3);
    band.height = rows;
    clear_values(mask, rows * width);
    uint64_t image_windows = 0;

    for (uint64_t wx0 = 0; wx0 < width; wx0 += MULTIBAND_WINDOW_COLS) {
      const uint64_t wx1 = std::min(wx0 + MULTIBAND_WINDOW_COLS, width);
      const uint64_t ex0 = wx0 > plan.apron ? wx0 - plan.apron : 0, ex1 = std::min(wx1 + plan.apron, width);
      const uint64_t ew = ex1 - ex0, eh = ey1 - ey0, pixels = ew * eh;
      std::vector<size_t> photos;
      for (uint64_t y = 0; y < eh; ++y) {
        const int32_t* row = labels.data() + y * width + ex0;
        for (uint64_t x = 0; x < ew; ++x) {
          if (row[x] < 0) continue;
          LabelBox& bx = boxes[static_cast<size_t>(row[x])];
          if (!bx.seen) {
            bx = {true, x, x, y, y};
            photos.push_back(static_cast<size_t>(row[x]));
          } else {
            bx.minx = std::min(bx.minx, x), bx.maxx = std::max(bx.maxx, x), bx.maxy = y;
          }
        }
      }
      std::sort(photos.begin(), photos.end());
      if (photos.empty()) continue;  // nothing covers the window: its output stays 0

      sums.width = ew;
      sums.rgb.resize(plan.levels);
      sums.weights.resize(plan.levels);
      for (uint64_t k = 0; k < plan.levels; ++k) {
        clear_values(sums.rgb[k], pixels * 3);
        clear_values(sums.weights[k], pixels);
      }
      clear_values(sums.covered, pixels);
      const uint64_t t = multiband_threads(t0, pixels, plan.levels, platform::available_memory_bytes());

      // One photo at a time, each with all threads, added in ascending order.
      WindowContext ctx{&job, &scales, &boxes, &plan, frame, ex0, ex1, ey0, ey1, t};
      std::vector<std::pair<size_t, Region>> work;
      uint64_t largest = 0;
      for (size_t i : photos) {
        if (auto region = photo_region(ctx, i)) {
          work.emplace_back(i, *region);
          largest = std::max(largest, region->pixels());
        }
      }
      reserve_slot(slot, largest);
      for (const auto& [i, region] : work) {
        check_cancel();
        if (auto r = multiband_image_bands(ctx, i, region, slot, sums); !r) return r;
        ++image_windows;
      }
      for (size_t i : photos) boxes[i] = {};

      par_rows(rows, 8, t, [&](size_t first, size_t last) {
        for (uint64_t y = y0 + first; y < y0 + last; ++y) {
          const uint64_t er = (y - ey0) * ew;
          for (uint64_t x = wx0; x < wx1; ++x) {
            const uint64_t e = er + (x - ex0);
            if (!sums.covered[e]) continue;
            const uint64_t o = (y - y0) * width + x;
            mask[o] = 1;
            for (int c = 0; c < 3; ++c) {
              float v = 0.0f;
              for (uint64_t k = 0; k < plan.levels; ++k)
                v += sums.rgb[k][3 * e + c] / std::max(sums.weights[k][e], 1e-12f);
              band.data[3 * o + c] = v > 0.0f ? v : 0.0f;  // NaN too
            }
          }
        }
      });
    }
    if (!job.options.quiet) {
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      logf("  block row {}/{}  ({} image windows)  {:.0}s elapsed, ~{:.0}s left", b + 1, blocks, image_windows, elapsed,
           static_cast<double>(blocks - b - 1) * elapsed / static_cast<double>(b + 1));
    }
    return {};
  };
  const auto sink_block = [&](uint64_t b) { return sink(b * block_rows, bands[b % 2], masks[b % 2]); };
  for (uint64_t b = 0; b < blocks; ++b) {
    std::expected<void, std::string> drawn, sunk;
    if (b == 0 || t0 < 2) {
      if (b > 0) sunk = sink_block(b - 1);
      if (sunk) drawn = draw(b);
    } else {
      // The previous block row goes through the sink (tone mapping, tile encoding, writing) on
      // a thread of its own while this one is drawn: run in turn, the workers idled meanwhile.
      par_detail::run_workers_with_reporter(1, log_context(), [&] { sunk = sink_block(b - 1); }, [&] { drawn = draw(b); });
    }
    if (!sunk) return sunk;
    if (!drawn) return drawn;
  }
  return blocks > 0 ? sink_block(blocks - 1) : std::expected<void, std::string>{};
}

}  // namespace tsl
