#include "seams/cut_seams.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <queue>
#include <utility>

#include "img/ops/components.h"
#include "img/ops/filter.h"
#include "img/ops/morph.h"
#include "img/ops/sample.h"
#include "linalg/stats.h"
#include "logx.h"
#include "render/output_grid.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {
namespace {

constexpr int64_t CHAMFER_FAR = (int64_t{1} << 61) - 1;
constexpr int64_t CHAMFER_ORTHO = 62587;  // 0.9550018 cells in 1/65536
constexpr int64_t CHAMFER_DIAG = 89738;   // 1.3692932 cells
constexpr size_t MIN_CELLS = 20;          // fewer allowed cells give no usable path

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

std::vector<int32_t> window_labels(const std::vector<int32_t>& labels, uint64_t nx, uint64_t x0, uint64_t x1,
                                   uint64_t y0, uint64_t y1) {
  std::vector<int32_t> out;
  out.reserve((x1 - x0) * (y1 - y0));
  for (uint64_t y = y0; y < y1; ++y)
    out.insert(out.end(), labels.begin() + static_cast<ptrdiff_t>(y * nx + x0),
               labels.begin() + static_cast<ptrdiff_t>(y * nx + x1));
  return out;
}

// 3 x 3 maximum inside the window; NaN values take no part.
std::vector<float> max_filter3(const std::vector<float>& v, size_t w, size_t h) {
  std::vector<float> out(v.size());
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) {
      float m = -std::numeric_limits<float>::infinity();
      for (size_t yy = y > 0 ? y - 1 : 0; yy <= std::min(y + 1, h - 1); ++yy)
        for (size_t xx = x > 0 ? x - 1 : 0; xx <= std::min(x + 1, w - 1); ++xx) {
          const float c = v[yy * w + xx];
          if (c > m) m = c;
        }
      out[y * w + x] = m;
    }
  return out;
}

std::vector<uint8_t> dilate3(const std::vector<uint8_t>& m, size_t w, size_t h) { return morph_mask(m, w, h, 3, true); }

// The boundary's pass over its window; changes `labels` of the map, counts changed cells.
std::expected<void, std::string> cut_boundary(const CutInputs& in, SeamMap& map, const SeamBoundary& bd, uint64_t band,
                                              uint64_t& reassigned) {
  const auto sub = [](uint64_t v, uint64_t d) { return v > d ? v - d : 0; };
  const uint64_t x0 = sub(bd.min_x, band + 3), x1 = std::min(bd.max_x + band + 5, map.nx);
  const uint64_t y0 = sub(bd.min_y, band + 3), y1 = std::min(bd.max_y + band + 5, map.ny);
  const size_t w = x1 - x0, h = y1 - y0, n = w * h;
  const std::vector<int32_t> orig = window_labels(map.labels, map.nx, x0, x1, y0, y1);
  std::vector<int32_t> work = orig;
  std::vector<uint8_t> in_a(n), in_b(n), seeds(n, 0);
  for (size_t i = 0; i < n; ++i) in_a[i] = orig[i] == bd.a, in_b[i] = orig[i] == bd.b;
  const auto pair_seed = [&](size_t p, size_t q) {
    if ((in_a[p] && in_b[q]) || (in_b[p] && in_a[q])) seeds[p] = seeds[q] = 1;
  };
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) {
      if (x + 1 < w) pair_seed(y * w + x, y * w + x + 1);
      if (y + 1 < h) pair_seed(y * w + x, (y + 1) * w + x);
    }
  if (std::count(seeds.begin(), seeds.end(), 1) < 4) return {};
  const std::vector<float> dist = chamfer_distance(seeds, w, h);

  // Only cells within 3 of the band feed the masks and costs of allowed cells (erosion 1,
  // Laplacian 1, blur 1, maximum 1), so colours elsewhere are never read.
  const float band_f = static_cast<float>(band);
  std::vector<uint8_t> near(n);
  for (size_t i = 0; i < n; ++i) near[i] = dist[i] <= band_f;
  const std::vector<uint8_t> needed = morph_mask(near, w, h, 7, true);
  auto pa = render_seam_window(in, map, static_cast<size_t>(bd.a), x0, x1, y0, y1, needed);
  if (!pa) return std::unexpected(std::move(pa.error()));
  auto pb = render_seam_window(in, map, static_cast<size_t>(bd.b), x0, x1, y0, y1, needed);
  if (!pb) return std::unexpected(std::move(pb.error()));

  std::vector<uint8_t> both(n);
  for (size_t i = 0; i < n; ++i) both[i] = pa->valid[i] && pb->valid[i];
  const std::vector<uint8_t> eroded = morph_mask(both, w, h, 3, false);
  std::vector<uint8_t> allowed(n);
  size_t n_allowed = 0;
  for (size_t i = 0; i < n; ++i) {
    allowed[i] = dist[i] <= band_f && (in_a[i] || in_b[i]) && eroded[i];
    n_allowed += allowed[i];
  }
  if (n_allowed < MIN_CELLS) return {};

  // Matching cost: colour difference plus structure (Laplacian) difference, smoothed and
  // widened so that a path keeps clear of disagreeing cells.
  const ImageF32 lap_a = laplacian(rgb_to_luma(w, h, pa->rgb.data), 1);
  const ImageF32 lap_b = laplacian(rgb_to_luma(w, h, pb->rgb.data), 1);
  ImageF32 diff(w, h, 1);
  for (size_t i = 0; i < n; ++i) {
    const float* ra = pa->rgb.data.data() + 3 * i;
    const float* rb = pb->rgb.data.data() + 3 * i;
    diff.data[i] = (std::fabs(ra[0] - rb[0]) + std::fabs(ra[1] - rb[1]) + std::fabs(ra[2] - rb[2])) / 3.0f +
                   0.5f * std::fabs(lap_a.data[i] - lap_b.data[i]);
  }
  const std::vector<float> cost_m = max_filter3(box_blur(diff, 3).data, w, h);
  std::vector<double> k(n);
  for (size_t i = 0; i < n; ++i)
    k[i] = (static_cast<double>(cost_m[i]) + 0.01) + (static_cast<double>(dist[i]) * 0.02) / static_cast<double>(band);

  std::vector<uint8_t> only_a(n), only_b(n), outer(n);
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) {
      const size_t i = y * w + x;
      only_a[i] = in_a[i] && !allowed[i];
      only_b[i] = in_b[i] && !allowed[i];
      outer[i] = (!in_a[i] && !in_b[i]) || x == 0 || y == 0 || x + 1 == w || y + 1 == h;
    }
  const std::vector<uint8_t> side_a = dilate3(only_a, w, h), side_b = dilate3(only_b, w, h);
  const std::vector<uint8_t> edge = dilate3(outer, w, h);

  const Components comps = label_components(allowed, w, h, false);
  std::vector<std::vector<size_t>> cells(comps.count);
  for (size_t i = 0; i < n; ++i)
    if (comps.labels[i] > 0) cells[static_cast<size_t>(comps.labels[i])].push_back(i);
  for (size_t c = 1; c < comps.count; ++c) {
    const std::vector<size_t>& cc = cells[c];
    if (cc.size() < MIN_CELLS) continue;
    const auto touches = [&](const std::vector<uint8_t>& m) {
      return std::any_of(cc.begin(), cc.end(), [&](size_t i) { return m[i] != 0; });
    };
    if (!touches(side_a) || !touches(side_b)) continue;
    // Ends: where the component meets both sides, or the window's other labels and border.
    std::vector<uint8_t> ends(n, 0);
    for (size_t i : cc) ends[i] = (side_a[i] && side_b[i]) || edge[i];
    const Components groups = label_components(ends, w, h, true);
    if (groups.count != 3) continue;
    std::vector<size_t> starts, goals;
    for (size_t i : cc) {
      if (groups.labels[i] == 1) starts.push_back(i);
      if (groups.labels[i] == 2) goals.push_back(i);
    }
    const std::vector<size_t> path = least_cost_path(comps.labels, static_cast<int32_t>(c), starts, goals, k, w, h);
    if (path.empty()) continue;
    // The end groups count as part of the path: their cells touch both sides by definition, so
    // one left in a part would make every cut that ends at a frame edge look unseparated.
    std::vector<uint8_t> on_path(n, 0), rest(n, 0);
    for (size_t i : path) on_path[i] = 1;
    for (size_t i : starts) on_path[i] = 1;
    for (size_t i : goals) on_path[i] = 1;
    for (size_t i : cc) rest[i] = !on_path[i];
    const Components parts = label_components(rest, w, h, false);
    std::vector<uint8_t> part_a(parts.count, 0), part_b(parts.count, 0);
    for (size_t i : cc) {
      const int32_t p = parts.labels[i];
      if (p <= 0) continue;
      part_a[static_cast<size_t>(p)] |= side_a[i];
      part_b[static_cast<size_t>(p)] |= side_b[i];
    }
    bool separated = true;
    for (size_t p = 1; p < parts.count; ++p) separated = separated && !(part_a[p] && part_b[p]);
    if (!separated) continue;
    for (size_t i : cc) {
      const int32_t p = parts.labels[i];
      int32_t label = work[i];
      if (on_path[i])
        label = orig[i];
      else if (p > 0 && part_a[static_cast<size_t>(p)])
        label = bd.a;
      else if (p > 0 && part_b[static_cast<size_t>(p)])
        label = bd.b;
      if (label != work[i]) {
        ++reassigned;
        work[i] = label;
      }
    }
  }
  for (uint64_t y = y0; y < y1; ++y)
    std::copy(work.begin() + static_cast<ptrdiff_t>((y - y0) * w),
              work.begin() + static_cast<ptrdiff_t>((y - y0 + 1) * w),
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

std::vector<float> chamfer_distance(std::span<const uint8_t> seeds, size_t w, size_t h) {
  std::vector<int64_t> d(w * h);
  for (size_t i = 0; i < d.size(); ++i) d[i] = seeds[i] ? 0 : CHAMFER_FAR;
  const int64_t A = CHAMFER_ORTHO, B = CHAMFER_DIAG;
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) {
      int64_t& v = d[y * w + x];
      if (v == 0) continue;
      if (x > 0) v = std::min(v, d[y * w + x - 1] + A);
      if (y == 0) continue;
      const int64_t* up = d.data() + (y - 1) * w;
      v = std::min(v, up[x] + A);
      if (x > 0) v = std::min(v, up[x - 1] + B);
      if (x + 1 < w) v = std::min(v, up[x + 1] + B);
    }
  for (size_t y = h; y-- > 0;)
    for (size_t x = w; x-- > 0;) {
      int64_t& v = d[y * w + x];
      if (v == 0) continue;
      if (x + 1 < w) v = std::min(v, d[y * w + x + 1] + A);
      if (y + 1 == h) continue;
      const int64_t* down = d.data() + (y + 1) * w;
      v = std::min(v, down[x] + A);
      if (x + 1 < w) v = std::min(v, down[x + 1] + B);
      if (x > 0) v = std::min(v, down[x - 1] + B);
    }
  std::vector<float> out(d.size());
  for (size_t i = 0; i < d.size(); ++i)
    out[i] = d[i] >= CHAMFER_FAR ? std::numeric_limits<float>::max()
                                 : static_cast<float>(static_cast<double>(d[i]) / 65536.0);
  return out;
}

std::vector<size_t> least_cost_path(std::span<const int32_t> component, int32_t c, std::span<const size_t> starts,
                                    std::span<const size_t> goals, std::span<const double> cost, size_t w, size_t h) {
  constexpr size_t NONE = SIZE_MAX;
  const double INF = std::numeric_limits<double>::infinity();
  std::vector<double> dist(w * h, INF);
  std::vector<size_t> pred(w * h, NONE);
  using Item = std::pair<double, size_t>;  // (distance, cell): ties pop the lower cell first
  std::priority_queue<Item, std::vector<Item>, std::greater<Item>> heap;
  for (size_t s : starts) {
    dist[s] = 0.0;
    heap.push({0.0, s});
  }
  static constexpr int64_t DX[8] = {1, -1, 0, 0, 1, -1, 1, -1};
  static constexpr int64_t DY[8] = {0, 0, 1, -1, 1, -1, -1, 1};
  static constexpr double FACTOR[8] = {1, 1, 1, 1, 1.4142, 1.4142, 1.4142, 1.4142};
  while (!heap.empty()) {
    const auto [dt, i] = heap.top();
    heap.pop();
    if (dt > dist[i]) continue;
    const int64_t x = static_cast<int64_t>(i % w), y = static_cast<int64_t>(i / w);
    for (int m = 0; m < 8; ++m) {
      const int64_t xx = x + DX[m], yy = y + DY[m];
      if (xx < 0 || yy < 0 || xx >= static_cast<int64_t>(w) || yy >= static_cast<int64_t>(h)) continue;
      const size_t j = static_cast<size_t>(yy) * w + static_cast<size_t>(xx);
      if (component[j] != c) continue;
      const double cand = dt + 0.5 * (cost[i] + cost[j]) * FACTOR[m];
      if (dist[j] > cand) {
        dist[j] = cand;
        pred[j] = i;
        heap.push({cand, j});
      }
    }
  }
  size_t goal = NONE;
  for (size_t g : goals)
    if (goal == NONE || dist[g] < dist[goal]) goal = g;
  if (goal == NONE || !std::isfinite(dist[goal])) return {};
  std::vector<size_t> path;
  for (size_t i = goal; i != NONE; i = pred[i]) path.push_back(i);
  return path;
}

ImageF32 rgb_to_luma(size_t w, size_t h, std::span<const float> rgb) {
  ImageF32 out(w, h, 1);
  for (size_t i = 0; i < w * h; ++i)
    out.data[i] = (rgb[3 * i] * 0.299f + rgb[3 * i + 1] * 0.587f) + rgb[3 * i + 2] * 0.114f;
  return out;
}

std::expected<SeamPatch, std::string> render_seam_window(const CutInputs& in, const SeamMap& map, size_t photo,
                                                         uint64_t x0, uint64_t x1, uint64_t y0, uint64_t y1,
                                                         std::span<const uint8_t> needed) {
  if (photo >= in.scales.size() || photo >= in.gains.size())
    internal_error(format("seam photo {} with {} scales and {} gains", photo, in.scales.size(), in.gains.size()));
  const size_t w = x1 - x0, h = y1 - y0, n = w * h;
  if (!needed.empty() && needed.size() != n)
    internal_error(format("seam window mask of {} bytes for {}x{} cells", needed.size(), w, h));
  const auto [px, py] =
      seam_proj_grid(in.photos, map.left_e, map.top_n, map.cell, SEAM_GRID_STEP, photo, x0, x1, y0, y1);
  const ImageMeta& meta = in.photos.images[photo];
  const double scale = in.scales[photo];
  auto decoded = in.cache->get(format("seam|{}|{:.3}", meta.path.string(), scale), meta, scale);
  if (!decoded) return std::unexpected(std::move(decoded.error()));
  const DecodedImage& src = **decoded;
  SeamPatch patch{ImageF32(w, h, 3), std::vector<uint8_t>(n, 0)};
  const float fw = static_cast<float>(meta.width), fh = static_cast<float>(meta.height);
  const float sx = static_cast<float>(src.scale_x), sy = static_cast<float>(src.scale_y);
  std::array<float, 3> gain;
  for (int c = 0; c < 3; ++c) gain[c] = static_cast<float>(in.gains[photo][c]);
  // Each cell depends on its own projection only, so rows may run in any order.
  par_rows(h, 16, cpu_budget(), [&](size_t first, size_t last) {
    std::array<float, 4> s{};
    for (size_t i = first * w; i < last * w; ++i) {
      if (!needed.empty() && !needed[i]) continue;
      patch.valid[i] = px[i] > 1.0f && py[i] > 1.0f && px[i] < fw - 2.0f && py[i] < fh - 2.0f;
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
  return patch;
}

std::expected<void, std::string> cut_seams(const CutInputs& in, SeamMap& map) {
  const uint64_t band = seam_band_cells(in.photos.images, in.natives, map.cell, in.config->seam_band);
  const std::vector<SeamBoundary> boundaries = seam_boundaries(map);
  uint64_t reassigned = 0;
  for (const SeamBoundary& bd : boundaries) {
    check_cancel();
    if (bd.count < 4) continue;
    if (auto r = cut_boundary(in, map, bd, band, reassigned); !r) return r;
  }
  logf("  seams: {} cell boundaries optimised on {}x{} grid @ {:.1} cm, band +-{:.1} m, {:.0} m2 reassigned",
       boundaries.size(), map.nx, map.ny, map.cell * 100.0, static_cast<double>(band) * map.cell,
       static_cast<double>(reassigned) * map.cell * map.cell);
  return {};
}

}  // namespace tsl
