#include "surface/terrain.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "geo/footprint.h"
#include "img/ops/components.h"
#include "img/ops/grid.h"
#include "img/ops/morph.h"
#include "linalg/cholesky.h"
#include "linalg/stats.h"
#include "logx.h"
#include "util/error.h"

namespace tsl {

namespace {

// 1 - cos^2(2 degrees): rays closer to parallel than this give no usable point.
constexpr double PARALLEL_LIMIT = 0.001217974870087876;

// The gap fill's notion of ground. The grey opening over OPEN_RADIUS_M removes whatever is
// narrower than twice that, 30 m: detached houses and tree crowns, but not a slope. A cell
// RAISED_M above the opened ground is raised: above the model's own scatter (the outlier test
// keeps points within four robust sigmas of the reference, at least 0.5 m) and below the
// eaves of a one-storey building (2.5 to 3 m). Raised data reaches EDGE_M over a gap beside it: about
// the strip of roof by a wall that no photo sees from above, so it has no points either.
constexpr double OPEN_RADIUS_M = 15.0;
constexpr double RAISED_M = 2.0;
constexpr double EDGE_M = 1.0;

// The gap fill's wide scales (sigma 24 and 64 cells) run on a grid this many cells coarser,
// where they are still 3 and 8 coarse cells wide, so block means lose nothing they would keep,
// at 1/64 of the cells.
constexpr size_t COARSE_STEP = 8;

struct Box {
  double min_e = std::numeric_limits<double>::infinity(), max_e = -std::numeric_limits<double>::infinity();
  double min_n = std::numeric_limits<double>::infinity(), max_n = -std::numeric_limits<double>::infinity();
};

const CameraModel& lens_of(const ImageMeta& photo) {
  if (!photo.lens) internal_error("lens");
  return *photo.lens;
}

Vec3 ray(const CameraModel& cam, const Mat3& r, const Vec2& pixel) {
  const Vec2 ideal = cam.unproject(pixel.x, pixel.y);
  const Vec2 n = selfcal_distort(ideal.x, ideal.y, cam.selfcal);
  // R^T (x, y, 1): the camera's direction in world coordinates.
  Vec3 d = {r[0] * n.x + r[3] * n.y + r[6], r[1] * n.x + r[4] * n.y + r[7], r[2] * n.x + r[5] * n.y + r[8]};
  const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
  for (double& c : d) c /= len;
  return d;
}

double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

int64_t reflect(int64_t i, int64_t n) {
  while (i < 0 || i >= n) i = i < 0 ? -i - 1 : 2 * n - i - 1;
  return i;
}

// smooth_grid at a wide sigma, taken on a grid COARSE_STEP times coarser (block means) and
// read back bilinearly at the cell centres: the wide fill scales need no finer detail, and
// on a large grid their full kernels would cost far more than the rest of the model.
std::vector<double> coarse_smooth(std::span<const double> grid, size_t nx, size_t ny, double sigma) {
  const size_t f = COARSE_STEP, cx = (nx + f - 1) / f, cy = (ny + f - 1) / f;
  std::vector<double> sum(cx * cy, 0.0), count(cx * cy, 0.0);
  for (size_t y = 0; y < ny; ++y) {
    for (size_t x = 0; x < nx; ++x) {
      sum[(y / f) * cx + x / f] += grid[y * nx + x];
      count[(y / f) * cx + x / f] += 1.0;
    }
  }
  for (size_t k = 0; k < sum.size(); ++k) sum[k] /= count[k];
  const std::vector<double> smooth = smooth_grid(sum, cx, cy, sigma / static_cast<double>(f));
  // Fine cell centre x + 0.5 lies at (x + 0.5) / f - 0.5 in coarse cells; clamped at the edges.
  const auto axis = [](size_t i, size_t n) {  // f, a constant, needs no capture
    const double t = std::clamp((static_cast<double>(i) + 0.5) / static_cast<double>(f) - 0.5, 0.0,
                                static_cast<double>(n - 1));
    const auto lo = std::min(static_cast<size_t>(t), n - 1);
    return std::pair{lo, t - static_cast<double>(lo)};
  };
  std::vector<std::pair<size_t, double>> cols(nx);
  for (size_t x = 0; x < nx; ++x) cols[x] = axis(x, cx);
  std::vector<double> out(nx * ny);
  for (size_t y = 0; y < ny; ++y) {
    const auto [r0, fy] = axis(y, cy);
    const size_t r1 = std::min(r0 + 1, cy - 1);
    for (size_t x = 0; x < nx; ++x) {
      const auto [c0, fx] = cols[x];
      const size_t c1 = std::min(c0 + 1, cx - 1);
      const double top = smooth[r0 * cx + c0] * (1.0 - fx) + smooth[r0 * cx + c1] * fx;
      const double bottom = smooth[r1 * cx + c0] * (1.0 - fx) + smooth[r1 * cx + c1] * fx;
      out[y * nx + x] = top * (1.0 - fy) + bottom * fy;
    }
  }
  return out;
}

// Cells where `known` is 0 take the value of the nearest cell where it is 1 (4-neighbour steps,
// the first reached in scan order on a tie); nothing changes when no cell is known.
void nearest_fill(std::vector<double>& u, std::vector<uint8_t>& known, size_t nx, size_t ny) {
  std::vector<size_t> queue;
  for (size_t k = 0; k < u.size(); ++k)
    if (known[k]) queue.push_back(k);
  for (size_t head = 0; head < queue.size(); ++head) {
    const size_t k = queue[head], x = k % nx, y = k / nx;
    const auto visit = [&](bool inside, size_t j) {
      if (!inside || known[j]) return;
      known[j] = 1;
      u[j] = u[k];
      queue.push_back(j);
    };
    visit(x > 0, k - 1), visit(x + 1 < nx, k + 1), visit(y > 0, k - nx), visit(y + 1 < ny, k + nx);
  }
}

// Heights where few or no ties reach follow what is measured nearby, never the trend plane:
// a cell takes the Gaussian normalised convolution of the residuals d over the cells where s
// is 1, from fine to coarse (where data is dense the finest average alone; sparser cells and
// gaps take the rest of their share from the coarser scales, out to a block's width), as the
// weighted mean of the scales that reach it; a cell beyond the widest scale's reach takes the
// nearest such cell's value. The plane is only the reference the residuals are taken from.
std::vector<double> fill_gaps(std::span<const double> d, std::span<const double> s, size_t nx, size_t ny) {
  const size_t cells = nx * ny;
  std::vector<double> ds(cells), u(cells, 0.0), acc(cells, 0.0);
  for (size_t k = 0; k < cells; ++k) ds[k] = d[k] * s[k];
  for (const double sigma : {1.0, 3.0, 8.0, 24.0, 64.0}) {
    const bool coarse = sigma > 8.0;
    const std::vector<double> num = coarse ? coarse_smooth(ds, nx, ny, sigma) : smooth_grid(ds, nx, ny, sigma);
    const std::vector<double> den = coarse ? coarse_smooth(s, nx, ny, sigma) : smooth_grid(s, nx, ny, sigma);
    for (size_t k = 0; k < cells; ++k) {
      if (!(den[k] > 0.001)) continue;
      const double a = (1.0 - acc[k]) * std::min(4.0 * den[k], 1.0);
      u[k] += a * num[k] / den[k];
      acc[k] += a;
    }
  }
  std::vector<uint8_t> reached(cells);
  for (size_t k = 0; k < cells; ++k) {
    reached[k] = acc[k] > 0.0 ? 1 : 0;
    if (reached[k]) u[k] /= acc[k];
  }
  nearest_fill(u, reached, nx, ny);
  return u;
}

// The Gaussian smoothing (sigma 1 cell) of u within each class of `ground` alone, so that a
// roof or crown edge keeps its height up to the edge instead of being averaged with the
// ground beside it.
std::vector<double> smooth_within_class(std::span<const double> u, std::span<const uint8_t> ground, size_t nx,
                                        size_t ny) {
  const size_t cells = nx * ny;
  std::vector<double> out(cells), w(cells), wu(cells);
  for (const uint8_t cls : {uint8_t{1}, uint8_t{0}}) {
    for (size_t k = 0; k < cells; ++k) {
      w[k] = ground[k] == cls ? 1.0 : 0.0;
      wu[k] = w[k] * u[k];
    }
    const std::vector<double> num = smooth_grid(wu, nx, ny, 1.0), den = smooth_grid(w, nx, ny, 1.0);
    for (size_t k = 0; k < cells; ++k)
      if (ground[k] == cls) out[k] = num[k] / den[k];
  }
  return out;
}

// Running minimum or maximum of the finite values within r cells along one line of a grid
// (NaN where the window holds none), by a monotonic queue of indices.
void line_extreme(const double* in, double* out, size_t n, size_t stride, size_t r, bool maximum,
                  std::vector<size_t>& queue) {
  queue.clear();
  size_t head = 0, next = 0;
  for (size_t i = 0; i < n; ++i) {
    for (; next < n && next <= i + r; ++next) {
      const double v = in[next * stride];
      if (!std::isfinite(v)) continue;
      while (queue.size() > head && (maximum ? v >= in[queue.back() * stride] : v <= in[queue.back() * stride]))
        queue.pop_back();
      queue.push_back(next);
    }
    while (queue.size() > head && queue[head] + r < i) ++head;
    out[i * stride] = queue.size() > head ? in[queue[head] * stride] : std::numeric_limits<double>::quiet_NaN();
  }
}

// Minimum or maximum over the (2r + 1)-cell square round each cell, finite values only.
std::vector<double> square_extreme(std::span<const double> grid, size_t nx, size_t ny, size_t r, bool maximum) {
  std::vector<double> rows(grid.size()), out(grid.size());
  std::vector<size_t> queue;
  for (size_t y = 0; y < ny; ++y) line_extreme(grid.data() + y * nx, rows.data() + y * nx, nx, 1, r, maximum, queue);
  for (size_t x = 0; x < nx; ++x) line_extreme(rows.data() + x, out.data() + x, ny, nx, r, maximum, queue);
  return out;
}

// Cells of the ground class (1) for the gap fill; the others are raised. A measured cell is
// raised when it stands more than RAISED_M above the ground under it (the grey opening over
// OPEN_RADIUS_M, which removes anything narrower, such as a house or a crown). A gap is raised
// when raised cells make most of its rim (a plain roof) or lie within EDGE_M of it.
std::vector<uint8_t> ground_fill_cells(std::span<const double> m2, size_t nx, size_t ny, double cell) {
  const size_t cells = nx * ny;
  const auto r = static_cast<size_t>(std::ceil(OPEN_RADIUS_M / cell));
  const std::vector<double> opened = square_extreme(square_extreme(m2, nx, ny, r, false), nx, ny, r, true);
  std::vector<uint8_t> ground(cells, 1), gap(cells, 0);
  for (size_t k = 0; k < cells; ++k) {
    if (!std::isfinite(m2[k])) gap[k] = 1;
    else if (m2[k] - opened[k] > RAISED_M) ground[k] = 0;
  }
  const Components parts = label_components(gap, nx, ny, false);
  // Per gap: rim edges to raised cells and to ground cells (the grid's edge counts as ground).
  std::vector<size_t> raised_rim(parts.count, 0), ground_rim(parts.count, 0);
  for (size_t y = 0; y < ny; ++y) {
    for (size_t x = 0; x < nx; ++x) {
      const size_t k = y * nx + x;
      if (!gap[k]) continue;
      const auto label = static_cast<size_t>(parts.labels[k]);
      const auto rim = [&](bool inside, size_t j) {
        if (!inside) ++ground_rim[label];
        else if (!gap[j]) ++(ground[j] ? ground_rim : raised_rim)[label];
      };
      rim(x > 0, k - 1), rim(x + 1 < nx, k + 1), rim(y > 0, k - nx), rim(y + 1 < ny, k + nx);
    }
  }
  // Gaps within EDGE_M of raised data are raised too.
  std::vector<uint8_t> raised(cells);
  for (size_t k = 0; k < cells; ++k) raised[k] = !gap[k] && !ground[k];
  const std::vector<uint8_t> near_raised =
      morph_mask(raised, nx, ny, 2 * static_cast<uint64_t>(std::ceil(EDGE_M / cell)) + 1, true);
  for (size_t k = 0; k < cells; ++k) {
    if (!gap[k]) continue;
    const auto label = static_cast<size_t>(parts.labels[k]);
    if (near_raised[k] || raised_rim[label] > ground_rim[label]) ground[k] = 0;
  }
  return ground;
}

// Cells of the grid over a width x height box at `cell`, as the model lays it out (2 cells of
// margin a side and one more), in doubles so that no size overflows.
double grid_cells(double cell, double width_m, double height_m) {
  return (std::ceil(width_m / cell + 4.0) + 1.0) * (std::ceil(height_m / cell + 4.0) + 1.0);
}

}  // namespace

double bounded_dsm_cell(double cell, double width_m, double height_m) {
  if (!std::isfinite(width_m) || !std::isfinite(height_m) || !std::isfinite(cell)) return std::numeric_limits<double>::quiet_NaN();
  const auto limit = static_cast<double>(DSM_MAX_CELLS);
  // Each step scales the cell by the square root of the excess; the margins make it fall
  // short by a little, so a few steps settle it.
  for (int step = 0; step < 64 && !(grid_cells(cell, width_m, height_m) <= limit); ++step)
    cell *= std::sqrt(grid_cells(cell, width_m, height_m) / limit) * 1.001;
  return cell;
}

std::vector<Vec3> triangulate_ties(const PlacedPhotos& photos, std::span<const PairMatch> ties) {
  const auto& [images, rotations, positions] = photos;
  std::vector<Vec3> points;
  for (const PairMatch& pair : ties) {
    if (pair.i >= images.size() || pair.j >= images.size()) internal_error("tie pair names a photo outside the set");
    if (pair.b_all.size() < pair.a_all.size()) internal_error("tie pair has fewer b than a points");
    if (pair.a_all.size() < 5) continue;
    const CameraModel& ci = lens_of(images[pair.i]);
    const CameraModel& cj = lens_of(images[pair.j]);
    const Vec3& pi = positions[pair.i];
    const Vec3& pj = positions[pair.j];
    const Vec3 w0 = {pi[0] - pj[0], pi[1] - pj[1], pi[2] - pj[2]};
    for (size_t q = 0; q < pair.a_all.size(); ++q) {
      const Vec3 di = ray(ci, rotations[pair.i], pair.a_all[q]);
      const Vec3 dj = ray(cj, rotations[pair.j], pair.b_all[q]);
      const double b = dot(di, dj);
      const double denom = 1.0 - b * b;
      if (!(denom > PARALLEL_LIMIT)) continue;
      const double d = dot(di, w0), e = dot(dj, w0);
      const double ti = (b * e - d) / denom;
      const double tj = (e - b * d) / denom;
      if (!(ti > 0.0 && tj > 0.0)) continue;
      const Vec3 xi = {pi[0] + ti * di[0], pi[1] + ti * di[1], pi[2] + ti * di[2]};
      const Vec3 xj = {pj[0] + tj * dj[0], pj[1] + tj * dj[1], pj[2] + tj * dj[2]};
      const double gap = std::sqrt((xi[0] - xj[0]) * (xi[0] - xj[0]) + (xi[1] - xj[1]) * (xi[1] - xj[1]) +
                                   (xi[2] - xj[2]) * (xi[2] - xj[2]));
      if (!(gap < 2.5 * ((ti + tj) / 2.0) / ci.fx)) continue;
      points.push_back({(xi[0] + xj[0]) / 2.0, (xi[1] + xj[1]) / 2.0, (xi[2] + xj[2]) / 2.0});
    }
  }
  return points;
}

std::vector<double> grid_median(std::span<const Vec3> points, double west, double south, double cell, size_t nx,
                                size_t ny) {
  // (cell, height) sorted by cell rather than a list per cell: a fine grid has far more
  // cells than points, and a list header per cell would outweigh the grid itself.
  std::vector<std::pair<size_t, double>> taken;
  taken.reserve(points.size());
  const double east = west + static_cast<double>(nx) * cell, top = south + static_cast<double>(ny) * cell;
  for (const Vec3& p : points) {
    if (p[0] < west || p[0] > east || p[1] < south || p[1] > top) continue;
    const auto col = std::min(static_cast<size_t>(std::floor((p[0] - west) / cell)), nx - 1);
    const auto r = static_cast<size_t>(std::floor((p[1] - south) / cell));
    const size_t row = r > ny - 1 ? 0 : ny - 1 - r;
    taken.emplace_back(row * nx + col, p[2]);
  }
  std::sort(taken.begin(), taken.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<double> out(nx * ny, std::numeric_limits<double>::quiet_NaN()), run;
  for (size_t start = 0, end = 0; start < taken.size(); start = end) {
    run.clear();
    for (end = start; end < taken.size() && taken[end].first == taken[start].first; ++end) run.push_back(taken[end].second);
    out[taken[start].first] = median(run);
  }
  return out;
}

std::vector<double> median_filter_5x5(std::span<const double> grid, size_t nx, size_t ny) {
  std::vector<double> out(nx * ny);
  std::array<double, 25> window{};
  const auto w = static_cast<int64_t>(nx), h = static_cast<int64_t>(ny);
  for (int64_t r = 0; r < h; ++r) {
    for (int64_t c = 0; c < w; ++c) {
      size_t k = 0;
      for (int64_t dr = -2; dr <= 2; ++dr)
        for (int64_t dc = -2; dc <= 2; ++dc)
          window[k++] = grid[static_cast<size_t>(reflect(r + dr, h) * w + reflect(c + dc, w))];
      std::nth_element(window.begin(), window.begin() + 12, window.end());
      out[static_cast<size_t>(r * w + c)] = window[12];
    }
  }
  return out;
}

Surface build_dsm_surface(const PlacedPhotos& photos, double ground, const std::optional<std::vector<Vec3>>& relief_points,
                          std::span<const PairMatch> ties, const DsmOptions& options) {
  const auto& [images, rotations, positions] = photos;
  // Scale figures from the footprints on the plane at the ground height.
  Box box;
  std::vector<double> widths, gsds;
  const Surface plane = Surface::plane(ground);
  for (size_t i = 0; i < images.size(); ++i) {
    const CameraModel& cam = lens_of(images[i]);
    for (const Vec2& p : footprint(cam, rotations[i], positions[i], ground_heights(plane), 6)) {
      if (!std::isfinite(p.x) || !std::isfinite(p.y)) continue;
      box.min_e = std::min(box.min_e, p.x), box.max_e = std::max(box.max_e, p.x);
      box.min_n = std::min(box.min_n, p.y), box.max_n = std::max(box.max_n, p.y);
    }
    const double above = positions[i][2] - ground;
    widths.push_back(static_cast<double>(images[i].width) * above / cam.fx);
    gsds.push_back(above / cam.fx);
  }
  const double F = median(widths), G = median(gsds);
  // A footprint running towards the horizon (a tilted or collapsed pose) would stretch the
  // grid over ground no tie reaches: the grid stays within one footprint width of the cameras.
  Box cameras;
  for (const Vec3& p : positions) {
    cameras.min_e = std::min(cameras.min_e, p[0]), cameras.max_e = std::max(cameras.max_e, p[0]);
    cameras.min_n = std::min(cameras.min_n, p[1]), cameras.max_n = std::max(cameras.max_n, p[1]);
  }
  box.min_e = std::max(box.min_e, cameras.min_e - F), box.max_e = std::min(box.max_e, cameras.max_e + F);
  box.min_n = std::max(box.min_n, cameras.min_n - F), box.max_n = std::min(box.max_n, cameras.max_n + F);

  std::vector<Vec3> points = triangulate_ties(photos, ties);
  if (relief_points && relief_points->size() >= points.size()) {
    points = *relief_points;
  } else if (options.verbose) {
    logf("  triangulation: {} points from all inlier correspondences", points.size());
  }

  const size_t N = points.size();
  const double area = (box.max_e - box.min_e) * (box.max_n - box.min_n);
  double cell =
      options.cell ? *options.cell
               : std::min(F / 20.0, std::max(std::round(100.0 * 2.5 * std::sqrt(area / static_cast<double>(std::max<size_t>(N, 1)))) / 100.0,
                                             std::max(8.0 * G, 0.15)));
  if (N < DSM_MIN_POINTS || !std::isfinite(area) || !(area >= 0.0) || !(box.max_e >= box.min_e) || !(cell > 0.0)) {
    if (options.verbose) log_str("  surface: too few tie points for a DSM -> plane");
    return plane;
  }
  const double asked = cell;
  cell = bounded_dsm_cell(asked, box.max_e - box.min_e, box.max_n - box.min_n);
  if (cell != asked && options.verbose)
    logf("  surface: a {:.3} m cell over {:.0} x {:.0} m exceeds {} cells -> {:.3} m", asked, box.max_e - box.min_e,
         box.max_n - box.min_n, DSM_MAX_CELLS, cell);

  const double west = box.min_e - 2.0 * cell, south = box.min_n - 2.0 * cell;
  const auto nx = static_cast<size_t>(std::ceil((box.max_e - box.min_e) / cell + 4.0)) + 1;
  const auto ny = static_cast<size_t>(std::ceil((box.max_n - box.min_n) / cell + 4.0)) + 1;
  const double top = south + static_cast<double>(ny) * cell;
  const size_t cells = nx * ny;

  // Outlier rejection against a 5 x 5 median reference.
  std::vector<double> heights(N);
  for (size_t k = 0; k < N; ++k) heights[k] = points[k][2];
  const double all_median = median(heights);
  std::vector<double> residual(N);
  {
    std::vector<double> m1 = grid_median(points, west, south, cell, nx, ny);
    for (double& v : m1)
      if (!std::isfinite(v)) v = all_median;
    const std::vector<double> reference = median_filter_5x5(m1, nx, ny);
    for (size_t k = 0; k < N; ++k) {
      const auto col = std::min(static_cast<size_t>(std::floor(std::max((points[k][0] - west) / cell, 0.0))), nx - 1);
      const auto row = std::min(static_cast<size_t>(std::floor(std::max((top - points[k][1]) / cell, 0.0))), ny - 1);
      residual[k] = points[k][2] - reference[row * nx + col];
    }
  }
  const double m = median(residual);
  std::vector<double> dev(N);
  for (size_t k = 0; k < N; ++k) dev[k] = std::abs(residual[k] - m);
  const double threshold = std::max(4.0 * (1.4826 * median(dev) + 0.001), 0.5);
  std::vector<Vec3> kept;
  for (size_t k = 0; k < N; ++k)
    if (std::abs(residual[k]) < threshold) kept.push_back(points[k]);
  const size_t rejected = N - kept.size();
  std::vector<double> m2 = grid_median(kept, west, south, cell, nx, ny);

  // One robust trend plane by reweighted least squares.
  const double ce = (box.min_e + box.max_e) / 2.0, cn = (box.min_n + box.max_n) / 2.0;
  std::array<double, 3> coef{all_median, 0.0, 0.0};
  std::vector<double> weight(kept.size(), 1.0), err(kept.size());
  for (int iter = 0; iter < 5; ++iter) {
    std::vector<double> a(9, 0.0), rhs(3, 0.0);
    for (size_t k = 0; k < kept.size(); ++k) {
      const double row[3] = {weight[k], weight[k] * (kept[k][0] - ce) / 50.0, weight[k] * (kept[k][1] - cn) / 50.0};
      for (int p = 0; p < 3; ++p) {
        for (int q = 0; q < 3; ++q) a[3 * p + q] += row[p] * row[q];
        rhs[p] += row[p] * weight[k] * kept[k][2];
      }
    }
    const double eps = 1e-12 * std::max((a[0] + a[4] + a[8]) / 3.0, 1e-300);
    for (int p = 0; p < 3; ++p) a[4 * p] += eps;
    if (cholesky_factor(a, 3)) {
      const std::vector<double> x = cholesky_solve(a, 3, rhs);
      coef = {x[0], x[1], x[2]};
    }
    for (size_t k = 0; k < kept.size(); ++k)
      err[k] = std::abs(kept[k][2] - (coef[0] + coef[1] * (kept[k][0] - ce) / 50.0 + coef[2] * (kept[k][1] - cn) / 50.0));
    const double s = 1.5 * (1.4826 * median(err) + 0.001);
    for (size_t k = 0; k < kept.size(); ++k) weight[k] = std::sqrt(std::min(s / std::max(err[k], 1e-9), 1.0));
  }

  // Residuals to the plane, filled over gaps by normalised convolution: ground cells and open
  // gaps from ground cells alone, so a roof does not spread over the empty field round it;
  // raised cells and the gaps they enclose from raised cells alone, so a plain roof stays up.
  // Grids are dropped as soon as they are used up: on the largest grid each is 200 MB.
  const auto plane_at = [&](size_t k) {
    const double e = west + (static_cast<double>(k % nx) + 0.5) * cell;
    const double n = top - (static_cast<double>(k / nx) + 0.5) * cell;
    return coef[0] + coef[1] * (e - ce) / 50.0 + coef[2] * (n - cn) / 50.0;
  };
  std::vector<double> d(cells), s_ground(cells), s_raised(cells, 0.0);
  const std::vector<uint8_t> ground_fill = ground_fill_cells(m2, nx, ny, cell);
  bool any_raised = false;
  for (size_t k = 0; k < cells; ++k) {
    const bool measured = std::isfinite(m2[k]);
    d[k] = measured ? m2[k] - plane_at(k) : 0.0;
    s_ground[k] = measured && ground_fill[k] ? 1.0 : 0.0;
    if (measured && !ground_fill[k]) s_raised[k] = 1.0, any_raised = true;
  }
  m2 = {};
  std::vector<double> u = fill_gaps(d, s_ground, nx, ny);
  s_ground = {};
  if (any_raised) {
    const std::vector<double> u_raised = fill_gaps(d, s_raised, nx, ny);
    for (size_t k = 0; k < cells; ++k)
      if (!ground_fill[k]) u[k] = u_raised[k];
  }
  d = {};
  s_raised = {};
  for (size_t k = 0; k < cells; ++k) u[k] += plane_at(k);
  const std::vector<double> z = smooth_within_class(u, ground_fill, nx, ny);
  std::vector<float> z32(cells);
  for (size_t k = 0; k < cells; ++k) z32[k] = static_cast<float>(z[k]);

  Surface surface = Surface::dsm(ground, west + cell / 2.0, top - cell / 2.0, cell, nx, ny, std::move(z32));
  if (options.verbose) {
    const JsonValue info = surface.to_json();
    logf("  surface: DSM {}x{} @ {:.2} m from {} points ({} rejected), relief {:.2} m ({:+.2} .. {:+.2} m)", nx, ny,
         cell, kept.size(), rejected, info["relief_m"].as_f64(), info["z_min"].as_f64(), info["z_max"].as_f64());
  }
  return surface;
}

}  // namespace tsl
