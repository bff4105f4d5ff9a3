#include "dense/dense_pair.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "flow/fb_error.h"
#include "flow/optical_flow.h"
#include "img/ops/border.h"
#include "img/ops/filter.h"
#include "img/ops/grid.h"
#include "img/ops/luma.h"
#include "img/ops/morph.h"
#include "img/ops/sample.h"
#include "linalg/stats.h"
#include "logx.h"
#include "matching/xorshift.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

constexpr uint64_t NODE_STEP = 8;         // projections every 8th cell, interpolated between
constexpr float OFF_PHOTO = -1e7f;        // node value of a ground point the photo does not see
constexpr size_t MIN_CELLS = 16;          // grid side below which a pair gives nothing
constexpr size_t MIN_COMMON = 2000;       // common cells a pair needs
constexpr size_t MIN_LATTICE_TIES = 50;
constexpr float MAX_FB_ERROR = 0.4f;      // forward-backward disagreement, grid cells
constexpr float MIN_TEXTURE = 5.0f;
constexpr uint64_t TEXTURE_WINDOW = 7;
constexpr uint64_t EROSION_WINDOW = 7;

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

// trunc toward zero, saturating at the type's limits, NaN giving 0.
size_t to_size(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 1.8446744073709552e19) return std::numeric_limits<size_t>::max();
  return static_cast<size_t>(v);
}

int64_t to_i64(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
  if (v <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

struct Box {
  double e1 = std::numeric_limits<double>::infinity(), e2 = -std::numeric_limits<double>::infinity();
  double n1 = std::numeric_limits<double>::infinity(), n2 = -std::numeric_limits<double>::infinity();
};

Box finite_box(const Polygon& poly) {
  Box b;
  for (const Vec2& p : poly) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) continue;
    b.e1 = std::min(b.e1, p.x);
    b.e2 = std::max(b.e2, p.x);
    b.n1 = std::min(b.n1, p.y);
    b.n2 = std::max(b.n2, p.y);
  }
  return b;
}

struct Grid {
  double left = 0.0, top = 0.0, t = 0.0;  // west and north edges, cell side in metres
  size_t W = 0, H = 0;
};

// One photo seen through the grid: its masked full-resolution pixel maps, validity and luma.
struct PhotoOnGrid {
  std::vector<float> x, y;  // NaN where not valid
  std::vector<uint8_t> valid;
  std::vector<float> luma;  // 0..1, 0 where not valid
};

// The photo's full-resolution pixel at every grid cell, projected at the nodes and
// interpolated between them.
void project_maps(const DenseContext& ctx, size_t p, const Grid& g, std::vector<float>& mx, std::vector<float>& my) {
  const ImageMeta& meta = ctx.photos.images[p];
  if (!meta.lens) internal_error("lens");
  const CameraModel& cam = *meta.lens;
  const double r = cam.monotonic_radius();
  const double r2 = r * r;
  const Mat3& R = ctx.photos.rotations[p];
  const Vec3& P = ctx.photos.positions[p];
  const size_t nx = std::max<size_t>((g.W - 1 + NODE_STEP - 1) / NODE_STEP + 1, 2);
  const size_t ny = std::max<size_t>((g.H - 1 + NODE_STEP - 1) / NODE_STEP + 1, 2);
  std::vector<float> nodes_x(nx * ny, OFF_PHOTO), nodes_y(nx * ny, OFF_PHOTO);
  for (size_t rr = 0; rr < ny; ++rr) {
    const double N = g.top - (static_cast<double>(NODE_STEP * rr) + 0.5) * g.t;
    for (size_t c = 0; c < nx; ++c) {
      const double E = g.left + (static_cast<double>(NODE_STEP * c) + 0.5) * g.t;
      const double z = ctx.surface->height_at(E, N);
      const double d[3] = {E - P[0], N - P[1], z - P[2]};
      const double qx = R[0] * d[0] + R[1] * d[1] + R[2] * d[2];
      const double qy = R[3] * d[0] + R[4] * d[1] + R[5] * d[2];
      const double qz = R[6] * d[0] + R[7] * d[1] + R[8] * d[2];
      if (!(qz > 1e-6)) continue;
      const double u = qx / qz, v = qy / qz;
      if (!(u * u + v * v < r2)) continue;
      const Vec2 px = cam.project(u, v, cam.selfcal);
      const float fx = static_cast<float>(px.x), fy = static_cast<float>(px.y);
      if (!std::isfinite(fx) || !std::isfinite(fy)) continue;
      nodes_x[rr * nx + c] = fx;
      nodes_y[rr * nx + c] = fy;
    }
  }
  mx = upsample_grid(nodes_x, ny, nx, g.H, g.W, NODE_STEP);
  my = upsample_grid(nodes_y, ny, nx, g.H, g.W, NODE_STEP);
}

// Steps for one photo: maps, validity, decoded photo and luma. None when the photo cannot be
// loaded (logged).
std::optional<PhotoOnGrid> photo_on_grid(const DenseContext& ctx, size_t p, const Grid& g) {
  PhotoOnGrid out;
  project_maps(ctx, p, g, out.x, out.y);
  const ImageMeta& meta = ctx.photos.images[p];
  const float wp = static_cast<float>(meta.width) - 4.0f, hp = static_cast<float>(meta.height) - 4.0f;
  const size_t n = g.W * g.H;
  out.valid.assign(n, 0);
  for (size_t c = 0; c < n; ++c) {
    const float X = out.x[c], Y = out.y[c];
    out.valid[c] = (3.0f < X && 3.0f < Y && X < wp && Y < hp) ? 1 : 0;
  }
  const double scale = ctx.scales[p];
  auto decoded = ctx.cache->get(format("dense|{}|{:.3}", meta.path.string(), scale), meta, scale);
  if (!decoded) {
    logf("  dense: {}", decoded.error());
    return std::nullopt;
  }
  const DecodedImage& d = **decoded;
  const float sx = static_cast<float>(d.scale_x), sy = static_cast<float>(d.scale_y);
  out.luma.assign(n, 0.0f);
  std::array<float, 4> rgb{};
  for (size_t c = 0; c < n; ++c) {
    if (!out.valid[c]) {
      out.x[c] = NaN;
      out.y[c] = NaN;
      continue;
    }
    sample_u16(d.image, (out.x[c] + 0.5f) * sx - 0.5f, (out.y[c] + 0.5f) * sy - 0.5f, false, BorderMode::Zero, rgb);
    out.luma[c] = std::round(luma(rgb[0], rgb[1], rgb[2])) / 65535.0f;
  }
  return out;
}

// The luma of a photo on a 0..255 display scale, its median under the common mask taken to
// mid grey, so that the flow compares like with like across exposures.
ImageF32 normalised(const std::vector<float>& luma, const std::vector<uint8_t>& common, const Grid& g) {
  const double m = masked_median(luma, common);
  ImageF32 img(g.W, g.H, 1);
  for (size_t c = 0; c < luma.size(); ++c) {
    const double v = std::min(std::max(static_cast<double>(luma[c]) / m * 0.18, 0.0), 1.0);
    img.data[c] = static_cast<float>(std::round(std::pow(v, 0.45454545454545453) * 255.0));
  }
  return img;
}

// A pixel of photo p as the pinhole of its true ray (lens and self-calibration removed) at
// the photo's decode scale, where the flow measured it.
Vec2 model_point(const DenseContext& ctx, size_t p, Vec2 px) {
  const CameraModel& cam = *ctx.photos.images[p].lens;
  const Vec2 ideal = cam.unproject(px.x, px.y);
  const Vec2 n = selfcal_distort(ideal.x, ideal.y, cam.selfcal);
  const double s = ctx.scales[p];
  return {s * (cam.fx * n.x + cam.cx + 0.5) - 0.5, s * (cam.fy * n.y + cam.cy + 0.5) - 0.5};
}

// Flow between unrelated textures (noise, glitter, foliage that moved) passes the
// forward-backward test here and there by chance, but such ties follow no geometry of the
// pair: keeps the ties that agree with one two-view model, as sparse ties must, and false
// when fewer than MIN_LATTICE_TIES do.
bool keep_verified(const DenseContext& ctx, PairMatch& m, std::vector<double>& flow_cm) {
  std::vector<Vec2> ma(m.a_all.size()), mb(m.b_all.size());
  for (size_t q = 0; q < ma.size(); ++q) {
    ma[q] = model_point(ctx, m.i, m.a_all[q]);
    mb[q] = model_point(ctx, m.j, m.b_all[q]);
  }
  const auto verified =
      verify_matches(ma, mb, static_cast<uint64_t>(m.i) * 7919 + m.j, MIN_LATTICE_TIES, ctx.fundamental_px);
  if (!verified) return false;
  size_t kept = 0;
  for (size_t q = 0; q < ma.size(); ++q) {
    if (!verified->mask[q]) continue;
    m.a_all[kept] = m.a_all[q];
    m.b_all[kept] = m.b_all[q];
    flow_cm[kept] = flow_cm[q];
    ++kept;
  }
  m.a_all.resize(kept);
  m.b_all.resize(kept);
  flow_cm.resize(kept);
  return true;
}

}  // namespace

std::optional<PairMatch> dense_pair(const DenseContext& ctx, size_t k) {
  const auto [i, j] = ctx.pairs[k];
  const Box bi = finite_box(ctx.footprints[i]), bj = finite_box(ctx.footprints[j]);
  Grid g;
  g.left = std::max(bi.e1, bj.e1);
  g.top = std::min(bi.n2, bj.n2);
  const double de = std::min(bi.e2, bj.e2) - g.left;
  const double dn = g.top - std::max(bi.n1, bj.n1);
  const double X = ctx.dense_gsd;
  // Negated so that a NaN extent or gsd also gives nothing.
  if (!(de >= 10.0 * X) || !(dn >= 10.0 * X)) return std::nullopt;
  g.t = std::max(std::sqrt(dn * de / (X * X) / (ctx.grid_cap_mp * 1e6)), 1.0) * X;
  g.W = to_size(de / g.t);
  g.H = to_size(dn / g.t);
  if (g.W < MIN_CELLS || g.H < MIN_CELLS) return std::nullopt;
  const size_t W = g.W, H = g.H, n = W * H;

  auto pi = photo_on_grid(ctx, i, g);
  if (!pi) return std::nullopt;
  auto pj = photo_on_grid(ctx, j, g);
  if (!pj) return std::nullopt;

  std::vector<uint8_t> common(n);
  size_t common_cells = 0;
  for (size_t c = 0; c < n; ++c) {
    common[c] = pi->valid[c] & pj->valid[c];
    common_cells += common[c];
  }
  if (common_cells < MIN_COMMON) return std::nullopt;

  const ImageF32 A = normalised(pi->luma, common, g);
  const ImageF32 B = normalised(pj->luma, common, g);
  pi->luma = {};
  pj->luma = {};
  const FlowField ab = optical_flow(A, B, ctx.flow);
  std::vector<float> fb;
  {
    const FlowField ba = optical_flow(B, A, ctx.flow);
    fb = flow_fb_error(ab, ba, W, H);
  }

  ImageF32 texture = laplacian(A, 3);
  for (float& v : texture.data) v = std::fabs(v);
  texture = box_blur(texture, TEXTURE_WINDOW);

  std::vector<uint8_t> keep(n);
  for (size_t c = 0; c < n; ++c)
    keep[c] = (common[c] && fb[c] < MAX_FB_ERROR && texture.data[c] > MIN_TEXTURE) ? 1 : 0;
  keep = morph_mask(keep, W, H, EROSION_WINDOW, false);

  PairMatch m;
  m.i = i;
  m.j = j;
  m.dense = true;
  std::vector<double> flow_cm;
  const size_t s = std::max<uint64_t>(ctx.lattice_step, 1);
  for (size_t y = s / 2; y < H; y += s) {
    for (size_t x = s / 2; x < W; x += s) {
      const size_t c = y * W + x;
      if (!keep[c]) continue;
      const float u = ab.u[c], v = ab.v[c];
      const Vec2 a{pi->x[c], pi->y[c]};
      const float x2 = static_cast<float>(x) + u, y2 = static_cast<float>(y) + v;
      const Vec2 b{sample_bilinear_nan(pj->x, W, H, x2, y2), sample_bilinear_nan(pj->y, W, H, x2, y2)};
      if (!std::isfinite(a.x) || !std::isfinite(a.y) || !std::isfinite(b.x) || !std::isfinite(b.y)) continue;
      m.a_all.push_back(a);
      m.b_all.push_back(b);
      flow_cm.push_back(std::hypot(static_cast<double>(u), static_cast<double>(v)) * g.t * 100.0);
    }
  }
  if (m.a_all.size() < MIN_LATTICE_TIES) return std::nullopt;
  if (!keep_verified(ctx, m, flow_cm)) return std::nullopt;

  const std::vector<size_t> chosen = balanced_subsample(m.a_all, ctx.tie_cap, static_cast<uint64_t>(i) * 7919 + j);
  m.a = gather_points(m.a_all, chosen);
  m.b = gather_points(m.b_all, chosen);
  m.n = m.a.size();
  m.flow_cm = median(flow_cm);
  return m;
}

std::vector<size_t> balanced_subsample(std::span<const Vec2> points, size_t cap, uint64_t seed) {
  const size_t n = points.size();
  std::vector<size_t> out;
  if (cap >= n) {
    out.resize(n);
    std::iota(out.begin(), out.end(), size_t{0});
    return out;
  }
  double x_min = std::numeric_limits<double>::infinity(), x_max = -x_min;
  double y_min = x_min, y_max = -x_min;
  for (const Vec2& p : points) {
    if (!std::isnan(p.x)) {
      x_min = std::min(x_min, p.x);
      x_max = std::max(x_max, p.x);
    }
    if (!std::isnan(p.y)) {
      y_min = std::min(y_min, p.y);
      y_max = std::max(y_max, p.y);
    }
  }
  std::vector<int64_t> cell(n);
  for (size_t k = 0; k < n; ++k) {
    const int64_t cx = to_i64(std::floor((points[k].x - x_min) / ((x_max + 1e-6) - x_min) * 10.0));
    const int64_t cy = to_i64(std::floor((points[k].y - y_min) / ((y_max + 1e-6) - y_min) * 10.0));
    cell[k] = 11 * cx + cy;
  }
  uint64_t state = (seed * 0x9E3779B97F4A7C15ull) | 1u;
  std::vector<double> key(n);
  for (size_t k = 0; k < n; ++k) key[k] = unit_random(xorshift64(state));

  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (cell[a] != cell[b]) return cell[a] < cell[b];
    return key[a] < key[b];
  });
  std::vector<uint8_t> taken(n, 0);
  int64_t last = std::numeric_limits<int64_t>::min();
  for (size_t k : order) {
    if (cell[k] == last) continue;
    out.push_back(k);
    taken[k] = 1;
    last = cell[k];
  }
  if (out.size() < cap) {
    std::vector<size_t> rest;
    rest.reserve(n - out.size());
    for (size_t k = 0; k < n; ++k)
      if (!taken[k]) rest.push_back(k);
    if (rest.size() >= 2) {
      for (size_t c = rest.size() - 1; c >= 1; --c) {
        const uint64_t r = xorshift64(state) % (c + 1);
        std::swap(rest[c], rest[r]);
      }
    }
    const size_t more = std::min(cap - out.size(), rest.size());
    out.insert(out.end(), rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(more));
  }
  if (out.size() > cap) out.resize(cap);
  return out;
}

float sample_bilinear_nan(std::span<const float> plane, size_t W, size_t H, float x, float y) {
  if (W == 0 || H == 0 || std::isnan(x) || std::isnan(y)) return NaN;
  if (x < 0.0f || y < 0.0f || x > static_cast<float>(W - 1) || y > static_cast<float>(H - 1)) return NaN;
  const size_t x0 = std::min(static_cast<size_t>(std::floor(x)), W - 1);
  const size_t y0 = std::min(static_cast<size_t>(std::floor(y)), H - 1);
  const size_t x1 = std::min(x0 + 1, W - 1), y1 = std::min(y0 + 1, H - 1);
  const float f = x - static_cast<float>(x0), g = y - static_cast<float>(y0);
  auto v = [&](size_t xx, size_t yy) { return plane[yy * W + xx]; };
  return ((1.0f - f) * v(x0, y0) + f * v(x1, y0)) * (1.0f - g) + ((1.0f - f) * v(x0, y1) + f * v(x1, y1)) * g;
}

double masked_median(std::span<const float> plane, std::span<const uint8_t> mask) {
  std::vector<double> values;
  const size_t n = std::min(plane.size(), mask.size());
  for (size_t c = 0; c < n; ++c)
    if (mask[c] == 1) values.push_back(plane[c]);
  if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
  return median(values) + 1e-4;
}

std::vector<Vec2> gather_points(std::span<const Vec2> points, std::span<const size_t> keep) {
  std::vector<Vec2> out;
  out.reserve(keep.size());
  for (size_t k : keep) {
    if (k >= points.size()) internal_error("dense tie index out of range");
    out.push_back(points[k]);
  }
  return out;
}

}  // namespace tsl
