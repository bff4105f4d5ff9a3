#include "seams/nadir.h"

#include <algorithm>
#include <cmath>

#include "img/ops/grid.h"
#include "linalg/stats.h"
#include "render/proj_grid.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {

SeamGridSize seam_grid_size(std::span<const ImageMeta> images, std::span<const double> natives,
                            const OutputGrid& grid, uint64_t match_px, double seam_mpix) {
  const size_t m = std::min(images.size(), natives.size());
  std::vector<double> r(m);
  for (size_t i = 0; i < m; ++i)
    r[i] = static_cast<double>(std::max(images[i].width, images[i].height)) * natives[i] /
           static_cast<double>(match_px);
  const double c = 1.25 * median(r);
  SeamGridSize size;
  size.cell = std::isnan(c) ? grid.gsd : std::max(c, grid.gsd);
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
                                                                 double cell, uint64_t step, size_t photo,
                                                                 uint64_t x0, uint64_t x1, uint64_t y0, uint64_t y1) {
  const ImageMeta& image = in.images[photo];
  if (!image.lens) internal_error(format("photo {} has no camera model", image.path.string()));
  const CameraModel& cam = *image.lens;
  const double s = static_cast<double>(step);
  const uint64_t rows_g =
      std::max<uint64_t>(to_count(std::ceil((static_cast<double>(y1) - static_cast<double>(y0) - 1.0) / s)) + 1, 2);
  const uint64_t cols_g =
      std::max<uint64_t>(to_count(std::ceil((static_cast<double>(x1) - static_cast<double>(x0) - 1.0) / s)) + 1, 2);
  std::vector<float> gx(rows_g * cols_g, NO_PROJECTION), gy(rows_g * cols_g, NO_PROJECTION);
  const double r_max = cam.monotonic_radius();
  const Mat3& rot = in.rotations[photo];
  const Vec3& pos = in.positions[photo];
  for (uint64_t r = 0; r < rows_g; ++r) {
    const double north = top_n - (static_cast<double>(y0 + r * step) + 0.5) * cell;
    for (uint64_t c = 0; c < cols_g; ++c) {
      const double east = (static_cast<double>(x0 + c * step) + 0.5) * cell + left_e;
      const double z = in.surface->height_at(east, north);
      const auto px = project_ground_point(cam, rot, pos, east, north, z, r_max);
      if (!px) continue;
      gx[r * cols_g + c] = static_cast<float>(px->x);
      gy[r * cols_g + c] = static_cast<float>(px->y);
    }
  }
  return {upsample_grid(gx, rows_g, cols_g, y1 - y0, x1 - x0, step),
          upsample_grid(gy, rows_g, cols_g, y1 - y0, x1 - x0, step)};
}

std::optional<std::vector<float>> nadir_score_grid(const SeamInputs& in, const SeamMap& map,
                                                   std::span<const CellWindow> windows, size_t photo) {
  const CellWindow& w = windows[photo];
  if (!w.valid) return std::nullopt;
  const auto [px, py] =
      seam_proj_grid(in, map.left_e, map.top_n, map.cell, SEAM_GRID_STEP, photo, w.x0, w.x1, w.y0, w.y1);
  const ImageMeta& image = in.images[photo];
  const float sx = 2.0f / (static_cast<float>(image.width) - 1.0f);
  const float sy = 2.0f / (static_cast<float>(image.height) - 1.0f);
  const size_t n = std::min(px.size(), py.size());
  std::vector<float> score(n, 0.0f);
  for (size_t k = 0; k < n; ++k) {
    const float u = px[k] * sx - 1.0f, v = py[k] * sy - 1.0f;
    if (std::fabs(u) < 0.995f && std::fabs(v) < 0.995f) score[k] = (1.0f - v * v) * (1.0f - u * u) + 1e-6f;
  }
  return score;
}

void nadir_partition(const SeamInputs& in, SeamMap& map, std::span<const CellWindow> windows, uint64_t workers) {
  const size_t n = in.images.size();
  if (windows.size() < n) internal_error(format("{} cell windows for {} photos", windows.size(), n));
  workers = std::max<uint64_t>(workers, 1);
  const size_t batch = 2 * workers;
  std::vector<float> best(map.nx * map.ny, 0.0f);
  map.labels.assign(map.nx * map.ny, -1);
  for (size_t s = 0; s < n; s += batch) {
    const size_t len = std::min(batch, n - s);
    const size_t threads = std::min<size_t>(std::max<size_t>(len, 1), workers);
    auto grids = par_map(len, threads, [&](size_t k) { return nadir_score_grid(in, map, windows, s + k); });
    for (size_t k = 0; k < len; ++k) {
      if (!grids[k]) continue;
      const CellWindow& w = windows[s + k];
      const std::vector<float>& score = *grids[k];
      const uint64_t ww = w.x1 - w.x0;
      for (size_t j = 0; j < score.size(); ++j) {
        const size_t cell = (w.y0 + j / ww) * map.nx + w.x0 + j % ww;
        if (score[j] > best[cell]) {
          best[cell] = score[j];
          map.labels[cell] = static_cast<int32_t>(s + k);
        }
      }
    }
  }
}

}  // namespace tsl
