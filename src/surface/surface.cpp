#include "surface/surface.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "linalg/stats.h"
#include "util/error.h"
#include "util/npy.h"
#include "util/text.h"

namespace tsl {
namespace {

std::vector<double> heights_f64(const std::vector<float>& z) { return std::vector<double>(z.begin(), z.end()); }

}  // namespace

Surface Surface::plane(double z0) {
  Surface s;
  s.z0 = z0;
  s.z_median = z0;
  return s;
}

Surface Surface::dsm(double z0, double e0, double n0, double cell, uint64_t nx, uint64_t ny, std::vector<float> z) {
  if (nx < 2 || ny < 2) internal_error(format("surface grid of {} x {} nodes, needs at least 2 x 2", nx, ny));
  if (z.size() / nx != ny || z.size() % nx != 0)
    internal_error(format("surface grid of {} x {} nodes given {} heights", nx, ny, z.size()));
  Surface s;
  s.z0 = z0;
  s.e0 = e0;
  s.n0 = n0;
  s.cell = cell;
  s.nx = nx;
  s.ny = ny;
  s.z_median = median(heights_f64(z));
  s.z = std::move(z);
  return s;
}

double Surface::height_at(double east, double north) const {
  if (!z) return z0;
  constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
  // Tested before the grid index is formed: converting a NaN or infinity to an integer is
  // undefined behaviour, and clamping an infinity would invent an edge height.
  if (!std::isfinite(east) || !std::isfinite(north)) return NaN;
  double gx = (east - e0) / cell;
  double gy = (n0 - north) / cell;
  if (std::isnan(gx) || std::isnan(gy)) return NaN;  // NaN origin or cell size
  gx = std::clamp(gx, 0.0, static_cast<double>(nx) + -1.0001);
  gy = std::clamp(gy, 0.0, static_cast<double>(ny) + -1.0001);
  const size_t i = static_cast<size_t>(gx);
  const size_t j = static_cast<size_t>(gy);
  const double fx = gx - static_cast<double>(i);
  const double fy = gy - static_cast<double>(j);
  const std::vector<float>& h = *z;
  const size_t v = i + nx * j;
  return (1.0 - fy) * (static_cast<double>(h[v + 1]) * fx + static_cast<double>(h[v]) * (1.0 - fx)) +
         fy * (static_cast<double>(h[v + nx + 1]) * fx + static_cast<double>(h[v + nx]) * (1.0 - fx));
}

JsonValue Surface::to_json() const {
  JsonValue out = JsonValue::empty_object();
  if (!z) {
    out.set_str("kind", "plane");
    out.set_f64("z0", z0);
    return out;
  }
  const std::vector<double> h = heights_f64(*z);
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  for (double v : h) {
    if (std::isnan(v)) continue;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  out.set_str("kind", "dsm");
  out.set_f64("cell_m", cell);
  out.set_f64("z_min", lo);
  out.set_f64("z_max", hi);
  out.set_f64("relief_m", percentile(h, 98.0) - percentile(h, 2.0));
  out.set_array("shape", {JsonValue(ny), JsonValue(nx)});
  return out;
}

namespace {

struct Thinned {
  std::vector<float> z;
  uint64_t nx = 0, ny = 0, step = 1;
};

// Every step-th node on both axes, the smallest step that brings the grid within
// TERRAIN_MAX_NODES; node (0, 0) stays where it was. Error when a side would keep fewer than
// 2 nodes (a grid thousands of times longer than wide).
std::expected<Thinned, std::string> thin_grid(std::vector<float> z, uint64_t nx, uint64_t ny) {
  auto kept = [](uint64_t n, uint64_t step) { return (n - 1) / step + 1; };
  uint64_t step = 1;
  while (kept(nx, step) * kept(ny, step) > TERRAIN_MAX_NODES) ++step;
  if (step == 1) return Thinned{std::move(z), nx, ny, 1};
  if (kept(nx, step) < 2 || kept(ny, step) < 2)
    return std::unexpected(format("surface Z of {} x {} nodes is too large", ny, nx));
  Thinned out{{}, kept(nx, step), kept(ny, step), step};
  out.z.reserve(out.nx * out.ny);
  for (uint64_t r = 0; r < out.ny; ++r)
    for (uint64_t c = 0; c < out.nx; ++c) out.z.push_back(z[r * step * nx + c * step]);
  return out;
}

}  // namespace

std::expected<Surface, std::string> load_surface(const std::filesystem::path& path, double origin_east,
                                                 double origin_north) {
  std::expected<std::vector<NamedArray>, std::string> arrays = read_npz(path, TERRAIN_FILE_LIMIT);
  if (!arrays) return std::unexpected(arrays.error());
  const double z0 = npz_scalar(*arrays, "z0");
  NpyArray* z = const_cast<NpyArray*>(npz_find(*arrays, "Z"));
  if (!z) return std::unexpected(std::string("surface Z missing"));
  const bool empty = std::ranges::any_of(z->shape, [](uint64_t d) { return d == 0; });
  if (z->shape.size() != 2 || empty) return Surface::plane(z0);
  const uint64_t ny = z->shape[0], nx = z->shape[1];
  // A lookup reads the four nodes around a point: a grid needs two of each.
  if (nx < 2 || ny < 2) return std::unexpected(format("surface Z of {} x {} nodes, needs at least 2 x 2", ny, nx));
  const double cell = npz_scalar(*arrays, "cell");
  if (!(std::isfinite(cell) && cell > 0.0))
    return std::unexpected(format("surface cell size {} is not a positive finite number", cell));
  // Heights are written as f32: take them as they are, and convert any other number type.
  std::vector<float> heights;
  if (auto* f32 = std::get_if<std::vector<float>>(&z->data)) {
    heights = std::move(*f32);
  } else {
    const std::vector<double> values = npy_to_f64(*z);
    heights.assign(values.begin(), values.end());
  }
  if (heights.empty()) return std::unexpected(std::string("surface Z holds no numbers"));
  if (heights.size() / nx != ny || heights.size() % nx != 0)
    return std::unexpected(format("surface Z of {} x {} nodes holds {} values", ny, nx, heights.size()));
  auto grid = thin_grid(std::move(heights), nx, ny);
  if (!grid) return std::unexpected(grid.error());
  return Surface::dsm(z0, npz_scalar(*arrays, "E0") - origin_east, npz_scalar(*arrays, "N0") - origin_north,
                      cell * static_cast<double>(grid->step), grid->nx, grid->ny, std::move(grid->z));
}

GroundHeights ground_heights(const Surface& surface) {
  if (!surface.z) return {.start_m = surface.z0, .height_at = nullptr};
  return {.start_m = surface.z_median,
          .height_at = [&surface](double east, double north) { return surface.height_at(east, north); }};
}

}  // namespace tsl
