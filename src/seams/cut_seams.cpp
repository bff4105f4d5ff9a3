#include "seams/cut_seams.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <utility>

#include "grid/output_grid.h"
#include "img/ops/chamfer.h"
#include "img/ops/components.h"
#include "img/ops/filter.h"
#include "img/ops/least_cost_path.h"
#include "img/ops/luma.h"
#include "img/ops/morph.h"
#include "img/ops/sample.h"
#include "imageio/load_image.h"
#include "linalg/stats.h"
#include "logx.h"
#include "util/count.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {
namespace {

constexpr size_t MIN_CELLS = 20;  // fewer allowed cells give no usable path

// Bits of a cut window's edge masks.
constexpr uint8_t SIDE_A = 1;  // only photo a's cells outside the allowed ones
constexpr uint8_t SIDE_B = 2;  // likewise for photo b
constexpr uint8_t EDGE = 4;    // other photos' cells and the window's border

void add_boundary(std::map<std::pair<int32_t, int32_t>, SeamBoundary>& boundaries, int32_t p, int32_t q, uint64_t x,
                  uint64_t y) {
  if (p < 0 || q < 0 || p == q) return;
  const auto key = std::make_pair(std::min(p, q), std::max(p, q));
  auto [it, fresh] = boundaries.try_emplace(key);
  SeamBoundary& b = it->second;
  if (fresh) b = {key.first, key.second, x, x, y, y, 0};
  b.min_x = std::min(b.min_x, x), b.max_x = std::max(b.max_x, x);
  b.min_y = std::min(b.min_y, y), b.max_y = std::max(b.max_y, y);
  ++b.count;
}

// Buffers of one boundary's pass, kept from boundary to boundary: the windows run to millions
// of cells, and faulting fresh pages in for every buffer of every window cost more than the
// work done in them.
struct CutScratch {
  std::vector<int32_t> orig, work;
  std::vector<uint8_t> in_a, in_b, seeds, near, both, allowed;
  std::vector<uint8_t> flags, rows, sides;  // edge mask bits, their row dilation, their dilation
  std::vector<int64_t> chamfer;
  std::vector<float> dist;
  SeamPatch pa, pb;
  ImageF32 luma, diff;
  std::vector<double> cost;
  std::vector<size_t> order, first;  // allowed cells by component, and where each one starts
  std::vector<CellRect> boxes;       // each component's bounding box
  std::vector<uint8_t> ends, on_path, rest, part_a, part_b;
  std::vector<size_t> starts, goals;
  PathScratch path;
};

void window_labels(const std::vector<int32_t>& labels, uint64_t nx, uint64_t x0, uint64_t x1, uint64_t y0,
                   uint64_t y1, std::vector<int32_t>& out) {
  out.clear();
  out.reserve((x1 - x0) * (y1 - y0));
  for (uint64_t y = y0; y < y1; ++y)
    out.insert(out.end(), labels.begin() + static_cast<ptrdiff_t>(y * nx + x0),
               labels.begin() + static_cast<ptrdiff_t>(y * nx + x1));
}

std::string seam_cache_key(const ImageMeta& photo, double scale) {
  return format("seam|{}|{:.3}", photo.path.string(), scale);
}

// Decodes ahead, on the build's workers, the photos the boundaries will read, in the order they
// are first needed and while they fill at most half of the cache, so that the boundaries, which
// run one after another, find them decoded. A failed load is left for its boundary to report.
void prefetch_photos(const CutInputs& in, std::span<const SeamBoundary> boundaries) {
  const size_t n = std::min(in.scene.photos.images.size(), in.scales.size());
  std::vector<uint8_t> seen(n, 0);
  std::vector<size_t> photos;
  double bytes = 0.0;
  for (const SeamBoundary& bd : boundaries) {
    if (bd.count < 4) continue;
    for (const int32_t p : {bd.a, bd.b}) {
      const size_t k = static_cast<size_t>(p);
      if (k >= n || seen[k]) continue;
      seen[k] = 1;
      const ImageMeta& m = in.scene.photos.images[k];
      const double s = in.scales[k];
      // 3 channels of 2 bytes at the decoded size.
      bytes += 6.0 * std::ceil(static_cast<double>(m.width) * s) * std::ceil(static_cast<double>(m.height) * s);
      if (!(bytes <= 0.5 * in.cache->budget)) break;
      photos.push_back(k);
    }
  }
  const size_t workers = std::max<uint64_t>(in.workers, 1);
  par_map(photos.size(), workers, [&](size_t j) {
    const ImageMeta& m = in.scene.photos.images[photos[j]];
    const double s = in.scales[photos[j]];
    return in.cache->get(seam_cache_key(m, s), m, s).has_value();
  });
}

// The photo's patch over the window into `patch`, reusing its storage (render_seam_window).
std::expected<void, std::string> render_patch(const CutInputs& in, const SeamMap& map, size_t photo, uint64_t x0,
                                              uint64_t x1, uint64_t y0, uint64_t y1, std::span<const uint8_t> needed,
                                              SeamPatch& patch) {
  if (photo >= in.scales.size() || photo >= in.gains.size())
    internal_error(format("seam photo {} with {} scales and {} gains", photo, in.scales.size(), in.gains.size()));
  const size_t w = x1 - x0, h = y1 - y0, n = w * h;
  if (!needed.empty() && needed.size() != n)
    internal_error(format("seam window mask of {} bytes for {}x{} cells", needed.size(), w, h));
  const auto [px, py] =
      seam_proj_grid(in.scene, map.left_e, map.top_n, map.cell, SEAM_GRID_STEP, photo, x0, x1, y0, y1);
  const ImageMeta& meta = in.scene.photos.images[photo];
  const double scale = in.scales[photo];
  auto decoded = in.cache->get(seam_cache_key(meta, scale), meta, scale);
  if (!decoded) return std::unexpected(std::move(decoded.error()));
  const DecodedImage& src = **decoded;
  patch.rgb.width = w, patch.rgb.height = h, patch.rgb.channels = 3;
  patch.rgb.data.assign(3 * n, 0.0f);
  patch.valid.assign(n, 0);
  const float fw = static_cast<float>(meta.width), fh = static_cast<float>(meta.height);
  const float sx = static_cast<float>(src.scale_x), sy = static_cast<float>(src.scale_y);
  const float covered_rows = covered_photo_rows(src);
  std::array<float, 3> gain;
  for (int c = 0; c < 3; ++c) gain[c] = static_cast<float>(in.gains[photo][c]);
  // Each cell depends on its own projection only, so rows may run in any order.
  par_rows(h, 16, cpu_budget(), [&](size_t first, size_t last) {
    std::array<float, 4> s{};
    for (size_t i = first * w; i < last * w; ++i) {
      if (!needed.empty() && !needed[i]) continue;
      patch.valid[i] = px[i] > 1.0f && py[i] > 1.0f && px[i] < fw - 2.0f && py[i] < fh - 2.0f && py[i] < covered_rows;
      const float x = (px[i] + 0.5f) * sx - 0.5f, y = (py[i] + 0.5f) * sy - 0.5f;
      if (std::fabs(x) < 1e6f && std::fabs(y) < 1e6f) {
        sample_u16(src.image, x, y, false, BorderMode::Clamp, s);
      } else {
        s = {0, 0, 0, 0};
      }
      for (int c = 0; c < 3; ++c)
        patch.rgb.data[3 * i + c] = std::pow(std::clamp(s[c] / 65535.0f * gain[c], 0.0f, 1.0f), 0.45454544f);
    }
  });
  return {};
}

// 3 x 3 maximum at (x, y) inside the window; NaN values take no part.
float max3_at(const std::vector<float>& v, size_t w, size_t h, size_t x, size_t y) {
  float m = -std::numeric_limits<float>::infinity();
  for (size_t yy = y > 0 ? y - 1 : 0; yy <= std::min(y + 1, h - 1); ++yy)
    for (size_t xx = x > 0 ? x - 1 : 0; xx <= std::min(x + 1, w - 1); ++xx) {
      const float c = v[yy * w + xx];
      if (c > m) m = c;
    }
  return m;
}

// Each cell's bits ORed over its 3 x 3 neighbourhood inside the window: a 3 x 3 dilation of
// every bit plane at once.
void dilate3_bits(const std::vector<uint8_t>& m, size_t w, size_t h, std::vector<uint8_t>& rows,
                  std::vector<uint8_t>& out) {
  rows.resize(w * h);
  out.resize(w * h);
  for (size_t y = 0; y < h; ++y) {
    const uint8_t* src = m.data() + y * w;
    uint8_t* dst = rows.data() + y * w;
    for (size_t x = 0; x < w; ++x)
      dst[x] = static_cast<uint8_t>((x > 0 ? src[x - 1] : 0) | src[x] | (x + 1 < w ? src[x + 1] : 0));
  }
  for (size_t y = 0; y < h; ++y) {
    const uint8_t* mid = rows.data() + y * w;
    const uint8_t* up = y > 0 ? mid - w : mid;
    const uint8_t* down = y + 1 < h ? mid + w : mid;
    uint8_t* dst = out.data() + y * w;
    for (size_t x = 0; x < w; ++x) dst[x] = static_cast<uint8_t>(up[x] | mid[x] | down[x]);
  }
}

// The cells of each component of `comps` in ascending index (a counting sort) and each
// component's bounding box.
void group_components(const Components& comps, size_t w, CutScratch& s) {
  s.first.assign(comps.count + 1, 0);
  for (int32_t l : comps.labels)
    if (l > 0) ++s.first[static_cast<size_t>(l) + 1];
  for (size_t c = 1; c <= comps.count; ++c) s.first[c] += s.first[c - 1];
  s.order.resize(s.first[comps.count]);
  std::vector<size_t> next(s.first.begin(), s.first.end() - 1);
  std::vector<size_t> lo_x(comps.count, SIZE_MAX), hi_x(comps.count, 0), lo_y(comps.count, SIZE_MAX),
      hi_y(comps.count, 0);
  for (size_t i = 0; i < comps.labels.size(); ++i) {
    const int32_t l = comps.labels[i];
    if (l <= 0) continue;
    const size_t c = static_cast<size_t>(l), x = i % w, y = i / w;
    s.order[next[c]++] = i;
    lo_x[c] = std::min(lo_x[c], x), hi_x[c] = std::max(hi_x[c], x);
    lo_y[c] = std::min(lo_y[c], y), hi_y[c] = std::max(hi_y[c], y);
  }
  s.boxes.assign(comps.count, CellRect{});
  for (size_t c = 1; c < comps.count; ++c)
    if (lo_x[c] <= hi_x[c]) s.boxes[c] = {lo_x[c], lo_y[c], hi_x[c] - lo_x[c] + 1, hi_y[c] - lo_y[c] + 1};
}

// One allowed component of a boundary: the cut along its least-cost path, when the path
// separates the two photos' sides. Works on the component's bounding box only.
void cut_component(const SeamBoundary& bd, const Components& comps, size_t c, size_t w, CutScratch& s,
                   uint64_t& reassigned) {
  const std::span<const size_t> cc(s.order.data() + s.first[c], s.first[c + 1] - s.first[c]);
  if (cc.size() < MIN_CELLS) return;
  const auto touches = [&](uint8_t bit) {
    return std::any_of(cc.begin(), cc.end(), [&](size_t i) { return (s.sides[i] & bit) != 0; });
  };
  if (!touches(SIDE_A) || !touches(SIDE_B)) return;
  const CellRect r = s.boxes[c];
  const auto local = [&](size_t i) { return (i / w - r.y0) * r.w + (i % w - r.x0); };
  // Ends: where the component meets both sides, or the window's other labels and border.
  s.ends.assign(r.w * r.h, 0);
  for (size_t i : cc) {
    const uint8_t f = s.sides[i];
    s.ends[local(i)] = ((f & SIDE_A) && (f & SIDE_B)) || (f & EDGE);
  }
  const Components groups = label_components(s.ends, r.w, r.h, true);
  if (groups.count != 3) return;
  s.starts.clear(), s.goals.clear();
  for (size_t i : cc) {
    const int32_t g = groups.labels[local(i)];
    if (g == 1) s.starts.push_back(i);
    if (g == 2) s.goals.push_back(i);
  }
  const std::vector<size_t> path =
      least_cost_path_in_rect(comps.labels, static_cast<int32_t>(c), s.starts, s.goals, s.cost, w, r, s.path);
  if (path.empty()) return;
  // The end groups count as part of the path: their cells touch both sides by definition, so
  // one left in a part would make every cut that ends at a frame edge look unseparated.
  s.on_path.assign(r.w * r.h, 0);
  s.rest.assign(r.w * r.h, 0);
  for (size_t i : path) s.on_path[local(i)] = 1;
  for (size_t i : s.starts) s.on_path[local(i)] = 1;
  for (size_t i : s.goals) s.on_path[local(i)] = 1;
  for (size_t i : cc) s.rest[local(i)] = !s.on_path[local(i)];
  const Components parts = label_components(s.rest, r.w, r.h, false);
  s.part_a.assign(parts.count, 0);
  s.part_b.assign(parts.count, 0);
  for (size_t i : cc) {
    const int32_t p = parts.labels[local(i)];
    if (p <= 0) continue;
    s.part_a[static_cast<size_t>(p)] |= (s.sides[i] & SIDE_A) != 0;
    s.part_b[static_cast<size_t>(p)] |= (s.sides[i] & SIDE_B) != 0;
  }
  for (size_t p = 1; p < parts.count; ++p)
    if (s.part_a[p] && s.part_b[p]) return;
  for (size_t i : cc) {
    const size_t li = local(i);
    const int32_t p = parts.labels[li];
    int32_t label = s.work[i];
    if (s.on_path[li])
      label = s.orig[i];
    else if (p > 0 && s.part_a[static_cast<size_t>(p)])
      label = bd.a;
    else if (p > 0 && s.part_b[static_cast<size_t>(p)])
      label = bd.b;
    if (label != s.work[i]) {
      ++reassigned;
      s.work[i] = label;
    }
  }
}

// The boundary's pass over its window; changes `labels` of the map, counts changed cells.
std::expected<void, std::string> cut_boundary(const CutInputs& in, SeamMap& map, const SeamBoundary& bd, uint64_t band,
                                              CutScratch& s, uint64_t& reassigned) {
  const auto sub = [](uint64_t v, uint64_t d) { return v > d ? v - d : 0; };
  const uint64_t x0 = sub(bd.min_x, band + 3), x1 = std::min(bd.max_x + band + 5, map.nx);
  const uint64_t y0 = sub(bd.min_y, band + 3), y1 = std::min(bd.max_y + band + 5, map.ny);
  const size_t w = x1 - x0, h = y1 - y0, n = w * h;
  window_labels(map.labels, map.nx, x0, x1, y0, y1, s.orig);
  s.in_a.resize(n), s.in_b.resize(n);
  s.seeds.assign(n, 0);
  for (size_t i = 0; i < n; ++i) s.in_a[i] = s.orig[i] == bd.a, s.in_b[i] = s.orig[i] == bd.b;
  const auto pair_seed = [&](size_t p, size_t q) {
    if ((s.in_a[p] && s.in_b[q]) || (s.in_b[p] && s.in_a[q])) s.seeds[p] = s.seeds[q] = 1;
  };
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) {
      if (x + 1 < w) pair_seed(y * w + x, y * w + x + 1);
      if (y + 1 < h) pair_seed(y * w + x, (y + 1) * w + x);
    }
  if (std::count(s.seeds.begin(), s.seeds.end(), 1) < 4) return {};
  chamfer_distance_into(s.seeds, w, h, s.chamfer, s.dist);
  const std::vector<float>& dist = s.dist;

  // Only cells within 3 of the band feed the masks and costs of allowed cells (erosion 1,
  // Laplacian 1, blur 1, maximum 1), so colours elsewhere are never read.
  const float band_f = static_cast<float>(band);
  s.near.resize(n);
  for (size_t i = 0; i < n; ++i) s.near[i] = dist[i] <= band_f;
  const std::vector<uint8_t> needed = morph_mask(s.near, w, h, 7, true);
  if (auto r = render_patch(in, map, static_cast<size_t>(bd.a), x0, x1, y0, y1, needed, s.pa); !r) return r;
  if (auto r = render_patch(in, map, static_cast<size_t>(bd.b), x0, x1, y0, y1, needed, s.pb); !r) return r;

  s.both.resize(n);
  for (size_t i = 0; i < n; ++i) s.both[i] = s.pa.valid[i] && s.pb.valid[i];
  const std::vector<uint8_t> eroded = morph_mask(s.both, w, h, 3, false);
  s.allowed.resize(n);
  size_t n_allowed = 0;
  for (size_t i = 0; i < n; ++i) {
    s.allowed[i] = dist[i] <= band_f && (s.in_a[i] || s.in_b[i]) && eroded[i];
    n_allowed += s.allowed[i];
  }
  if (n_allowed < MIN_CELLS) return {};

  // Matching cost: colour difference plus structure (Laplacian) difference, smoothed and
  // widened so that a path keeps clear of disagreeing cells.
  rgb_to_luma_into(w, h, s.pa.rgb.data, s.luma);
  const ImageF32 lap_a = laplacian(s.luma, 1);
  rgb_to_luma_into(w, h, s.pb.rgb.data, s.luma);
  const ImageF32 lap_b = laplacian(s.luma, 1);
  s.diff.width = w, s.diff.height = h, s.diff.channels = 1;
  s.diff.data.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const float* ra = s.pa.rgb.data.data() + 3 * i;
    const float* rb = s.pb.rgb.data.data() + 3 * i;
    s.diff.data[i] = (std::fabs(ra[0] - rb[0]) + std::fabs(ra[1] - rb[1]) + std::fabs(ra[2] - rb[2])) / 3.0f +
                     0.5f * std::fabs(lap_a.data[i] - lap_b.data[i]);
  }
  const std::vector<float> blurred = box_blur(s.diff, 3).data;
  // The search reads the path cost of allowed cells only.
  s.cost.assign(n, 0.0);
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) {
      const size_t i = y * w + x;
      if (!s.allowed[i]) continue;
      s.cost[i] = (static_cast<double>(max3_at(blurred, w, h, x, y)) + 0.01) +
                  (static_cast<double>(dist[i]) * 0.02) / static_cast<double>(band);
    }

  // Bits of the three edge masks: only a, only b, and outer (other labels and the border).
  s.flags.resize(n);
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) {
      const size_t i = y * w + x;
      const bool outer = (!s.in_a[i] && !s.in_b[i]) || x == 0 || y == 0 || x + 1 == w || y + 1 == h;
      s.flags[i] = static_cast<uint8_t>((s.in_a[i] && !s.allowed[i] ? SIDE_A : 0) |
                                        (s.in_b[i] && !s.allowed[i] ? SIDE_B : 0) | (outer ? EDGE : 0));
    }
  dilate3_bits(s.flags, w, h, s.rows, s.sides);

  s.work = s.orig;
  const Components comps = label_components(s.allowed, w, h, false);
  group_components(comps, w, s);
  for (size_t c = 1; c < comps.count; ++c) cut_component(bd, comps, c, w, s, reassigned);
  for (uint64_t y = y0; y < y1; ++y)
    std::copy(s.work.begin() + static_cast<ptrdiff_t>((y - y0) * w),
              s.work.begin() + static_cast<ptrdiff_t>((y - y0 + 1) * w),
              map.labels.begin() + static_cast<ptrdiff_t>(y * map.nx + x0));
  return {};
}

}  // namespace

std::vector<SeamBoundary> seam_boundaries(const SeamMap& map) {
  std::map<std::pair<int32_t, int32_t>, SeamBoundary> found;
  for (uint64_t y = 0; y < map.ny; ++y)
    for (uint64_t x = 0; x < map.nx; ++x) {
      const int32_t p = map.labels[y * map.nx + x];
      if (x + 1 < map.nx) add_boundary(found, p, map.labels[y * map.nx + x + 1], x, y);
      if (y + 1 < map.ny) add_boundary(found, p, map.labels[(y + 1) * map.nx + x], x, y);
    }
  std::vector<SeamBoundary> list;
  for (auto& [key, b] : found) list.push_back(b);
  std::stable_sort(list.begin(), list.end(),
                   [](const SeamBoundary& l, const SeamBoundary& r) { return l.count > r.count; });
  return list;
}

uint64_t seam_band_cells(std::span<const ImageMeta> images, std::span<const double> natives, double cell,
                         double seam_band) {
  const size_t m = std::min(images.size(), natives.size());
  std::vector<double> s(m);
  for (size_t i = 0; i < m; ++i) s[i] = static_cast<double>(std::min(images[i].width, images[i].height)) * natives[i];
  return std::max<uint64_t>(to_count(std::round(median(s) / cell * seam_band)), 3);
}

std::expected<SeamPatch, std::string> render_seam_window(const CutInputs& in, const SeamMap& map, size_t photo,
                                                         uint64_t x0, uint64_t x1, uint64_t y0, uint64_t y1,
                                                         std::span<const uint8_t> needed) {
  SeamPatch patch;
  if (auto r = render_patch(in, map, photo, x0, x1, y0, y1, needed, patch); !r) return std::unexpected(r.error());
  return patch;
}

std::expected<void, std::string> cut_seams(const CutInputs& in, SeamMap& map) {
  const uint64_t band = seam_band_cells(in.scene.photos.images, in.natives, map.cell, in.seam_band);
  const std::vector<SeamBoundary> boundaries = seam_boundaries(map);
  prefetch_photos(in, boundaries);
  uint64_t reassigned = 0;
  CutScratch scratch;
  for (const SeamBoundary& bd : boundaries) {
    check_cancel();
    if (bd.count < 4) continue;
    if (auto r = cut_boundary(in, map, bd, band, scratch, reassigned); !r) return r;
  }
  logf("  seams: {} cell boundaries optimised on {}x{} grid @ {:.1} cm, band +-{:.1} m, {:.0} m2 reassigned",
       boundaries.size(), map.nx, map.ny, map.cell * 100.0, static_cast<double>(band) * map.cell,
       static_cast<double>(reassigned) * map.cell * map.cell);
  return {};
}

}  // namespace tsl
