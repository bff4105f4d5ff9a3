#include "seams/nadir.h"

#include <algorithm>
#include <cmath>

#include "grid/proj_grid.h"
#include "img/ops/grid.h"
#include "linalg/stats.h"
#include "util/count.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {

namespace {

// Rows of the seam grid merged per work item: enough to amortise a pass over the photos, few
// enough that a build's grid spreads over all workers (16 megacells at about 4000 rows: ~60).
constexpr uint64_t NADIR_BAND_ROWS = 64;

// The score of a frame position (u, v) in -1..1.
float cell_score(float u, float v) {
  if (std::fabs(u) < 0.995f && std::fabs(v) < 0.995f) return (1.0f - v * v) * (1.0f - u * u) + 1e-6f;
  return 0.0f;
}

struct NodeGrid {
  std::vector<float> x, y;  // pixel column and row per node, row-major
  uint64_t rows = 0, cols = 0;
};

// The lattice nodes of seam_proj_grid: node (r, c) holds the photo's pixel position at cell
// (x0 + c step, y0 + r step), NO_PROJECTION where the cell does not project.
NodeGrid proj_nodes(const SeamInputs& in, double left_e, double top_n, double cell, uint64_t step, size_t photo,
                    uint64_t x0, uint64_t x1, uint64_t y0, uint64_t y1) {
  const ImageMeta& image = in.photos.images[photo];
  if (!image.lens) internal_error(format("photo {} has no camera model", image.path.string()));
  const CameraModel& cam = *image.lens;
  const double s = static_cast<double>(step);
  NodeGrid g;
  const auto nodes = [&](uint64_t lo, uint64_t hi) {
    const double span = static_cast<double>(hi) - static_cast<double>(lo) - 1.0;
    return std::max<uint64_t>(to_count(std::ceil(span / s)) + 1, 2);
  };
  g.rows = nodes(y0, y1);
  g.cols = nodes(x0, x1);
  g.x.assign(g.rows * g.cols, NO_PROJECTION);
  g.y.assign(g.rows * g.cols, NO_PROJECTION);
  const double r_max = cam.monotonic_radius();
  const Mat3& rot = in.photos.rotations[photo];
  const Vec3& pos = in.photos.positions[photo];
  for (uint64_t r = 0; r < g.rows; ++r) {
    const double north = top_n - (static_cast<double>(y0 + r * step) + 0.5) * cell;
    for (uint64_t c = 0; c < g.cols; ++c) {
      const double east = (static_cast<double>(x0 + c * step) + 0.5) * cell + left_e;
      const double z = in.surface->height_at(east, north);
      const auto px = project_ground_point(cam, rot, pos, east, north, z, r_max);
      if (!px) continue;
      g.x[r * g.cols + c] = static_cast<float>(px->x);
      g.y[r * g.cols + c] = static_cast<float>(px->y);
    }
  }
  return g;
}

// A photo ready to be scored row by row without its full projection grids.
struct ScoredPhoto {
  CellWindow window;
  NodeGrid nodes;
  std::vector<GridAxisPos> cols;  // per window column
  float sx = 0.0f, sy = 0.0f;
};

ScoredPhoto scored_photo(const SeamInputs& in, const SeamMap& map, const CellWindow& w, size_t photo) {
  ScoredPhoto p;
  p.window = w;
  if (!w.valid) return p;
  p.nodes = proj_nodes(in, map.left_e, map.top_n, map.cell, SEAM_GRID_STEP, photo, w.x0, w.x1, w.y0, w.y1);
  p.cols.resize(w.x1 - w.x0);
  for (size_t x = 0; x < p.cols.size(); ++x) p.cols[x] = grid_axis_pos(x, p.nodes.cols, SEAM_GRID_STEP);
  const ImageMeta& image = in.photos.images[photo];
  p.sx = 2.0f / (static_cast<float>(image.width) - 1.0f);
  p.sy = 2.0f / (static_cast<float>(image.height) - 1.0f);
  return p;
}

// Row y (a window row) of the photo's scores, the values nadir_score_grid gives: the pixel
// position interpolated with upsample_grid's arithmetic, then scored.
void score_row(const ScoredPhoto& p, size_t y, float* out) {
  const GridAxisPos r = grid_axis_pos(y, p.nodes.rows, SEAM_GRID_STEP);
  const float* top_x = p.nodes.x.data() + r.node * p.nodes.cols;
  const float* top_y = p.nodes.y.data() + r.node * p.nodes.cols;
  const float* bottom_x = top_x + p.nodes.cols;
  const float* bottom_y = top_y + p.nodes.cols;
  for (size_t x = 0; x < p.cols.size(); ++x) {
    const size_t c = p.cols[x].node;
    const float fx = p.cols[x].frac;
    const float px = grid_lerp(top_x, bottom_x, c, fx, r.frac);
    const float py = grid_lerp(top_y, bottom_y, c, fx, r.frac);
    out[x] = cell_score(px * p.sx - 1.0f, py * p.sy - 1.0f);
  }
}

}  // namespace

SeamGridSize seam_grid_size(std::span<const ImageMeta> images, std::span<const double> natives, const OutputGrid& grid,
                            uint64_t match_px, double seam_mpix) {
  const size_t m = std::min(images.size(), natives.size());
  std::vector<double> r(m);
  for (size_t i = 0; i < m; ++i)
    r[i] =
        static_cast<double>(std::max(images[i].width, images[i].height)) * natives[i] / static_cast<double>(match_px);
  const double c = 1.25 * median(r);
  SeamGridSize size;
  // A photo hung at an absurd height can make the median infinite; like NaN it says nothing.
  size.cell = std::isfinite(c) ? std::max(c, grid.gsd) : grid.gsd;
  if (!(seam_mpix >= MIN_SEAM_MPIX)) seam_mpix = MIN_SEAM_MPIX;
  const double w = static_cast<double>(grid.width), h = static_cast<double>(grid.height);
  double ex = w * grid.gsd / size.cell, ey = h * grid.gsd / size.cell;
  if (ex * ey > seam_mpix * 1e6) {
    size.cell = std::sqrt(w * h / (seam_mpix * 1e6)) * grid.gsd;
    ex = w * grid.gsd / size.cell;
    ey = h * grid.gsd / size.cell;
  }
  size.nx = to_count(std::ceil(ex));
  size.ny = to_count(std::ceil(ey));
  return size;
}

std::vector<double> seam_decode_scales(std::span<const double> natives, double cell) {
  std::vector<double> out(natives.size());
  for (size_t i = 0; i < natives.size(); ++i) {
    const double s = 1.25 * natives[i] / cell;
    out[i] = s > 0.02 ? std::min(s, 1.0) : 0.02;  // NaN too: the smallest scale
  }
  return out;
}

std::vector<CellWindow> cell_windows(const OutputGrid& grid, const SeamGridSize& size) {
  const double f = grid.gsd / size.cell;
  std::vector<CellWindow> out(grid.windows.size());
  for (size_t i = 0; i < grid.windows.size(); ++i) {
    const PixelWindow& w = grid.windows[i];
    if (w.x1 <= w.x0) continue;
    const uint64_t tx = to_count(std::trunc(static_cast<double>(w.x0) * f));
    const uint64_t ty = to_count(std::trunc(static_cast<double>(w.y0) * f));
    CellWindow c;
    c.x0 = tx == 0 ? 0 : tx - 1;
    c.y0 = ty == 0 ? 0 : ty - 1;
    c.x1 = std::min(to_count(std::ceil(static_cast<double>(w.x1) * f)) + 1, size.nx);
    c.y1 = std::min(to_count(std::ceil(static_cast<double>(w.y1) * f)) + 1, size.ny);
    c.valid = c.x0 < c.x1 && c.y0 < c.y1;
    out[i] = c;
  }
  return out;
}

std::pair<std::vector<float>, std::vector<float>> seam_proj_grid(const SeamInputs& in, double left_e, double top_n,
                                                                 double cell, uint64_t step, size_t photo, uint64_t x0,
                                                                 uint64_t x1, uint64_t y0, uint64_t y1) {
  const NodeGrid g = proj_nodes(in, left_e, top_n, cell, step, photo, x0, x1, y0, y1);
  return {upsample_grid(g.x, g.rows, g.cols, y1 - y0, x1 - x0, step),
          upsample_grid(g.y, g.rows, g.cols, y1 - y0, x1 - x0, step)};
}

std::optional<std::vector<float>> nadir_score_grid(const SeamInputs& in, const SeamMap& map,
                                                   std::span<const CellWindow> windows, size_t photo) {
  const CellWindow& w = windows[photo];
  if (!w.valid) return std::nullopt;
  const auto [px, py] =
      seam_proj_grid(in, map.left_e, map.top_n, map.cell, SEAM_GRID_STEP, photo, w.x0, w.x1, w.y0, w.y1);
  const ImageMeta& image = in.photos.images[photo];
  const float sx = 2.0f / (static_cast<float>(image.width) - 1.0f);
  const float sy = 2.0f / (static_cast<float>(image.height) - 1.0f);
  const size_t n = std::min(px.size(), py.size());
  std::vector<float> score(n, 0.0f);
  for (size_t k = 0; k < n; ++k) {
    score[k] = cell_score(px[k] * sx - 1.0f, py[k] * sy - 1.0f);
  }
  return score;
}

void nadir_partition(const SeamInputs& in, SeamMap& map, std::span<const CellWindow> windows, uint64_t workers) {
  const size_t n = in.photos.images.size();
  if (windows.size() < n) internal_error(format("{} cell windows for {} photos", windows.size(), n));
  workers = std::max<uint64_t>(workers, 1);
  map.labels.assign(map.nx * map.ny, -1);
  const std::vector<ScoredPhoto> photos = par_map(
      n, workers, [&](size_t k) { return scored_photo(in, map, windows[k], k); });
  // Bands of rows are independent: within one, photos are merged in ascending index exactly as
  // a merge of whole score grids would, and no score grid is ever held in full.
  const size_t bands = (map.ny + NADIR_BAND_ROWS - 1) / NADIR_BAND_ROWS;
  par_map(bands, workers, [&](size_t b) {
    const uint64_t first = b * NADIR_BAND_ROWS, last = std::min<uint64_t>(first + NADIR_BAND_ROWS, map.ny);
    std::vector<float> best((last - first) * map.nx, 0.0f);
    std::vector<float> score;
    for (size_t k = 0; k < n; ++k) {
      const ScoredPhoto& p = photos[k];
      const CellWindow& w = p.window;
      if (!w.valid || w.y1 <= first || w.y0 >= last) continue;
      score.resize(w.x1 - w.x0);
      for (uint64_t y = std::max(first, w.y0); y < std::min(last, w.y1); ++y) {
        score_row(p, y - w.y0, score.data());
        float* best_row = best.data() + (y - first) * map.nx + w.x0;
        int32_t* label_row = map.labels.data() + y * map.nx + w.x0;
        for (size_t x = 0; x < score.size(); ++x)
          if (score[x] > best_row[x]) {
            best_row[x] = score[x];
            label_row[x] = static_cast<int32_t>(k);
          }
      }
    }
    return 0;
  });
}

}  // namespace tsl
