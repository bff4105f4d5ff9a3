#include "geo/camera.h"

#include <bit>
#include <cmath>
#include <limits>

#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

constexpr double ZERO_TERMS[2] = {0.0, 0.0};

// NaN compares unequal to zero, so a NaN term counts as present.
bool any_nonzero(std::span<const double> terms) {
  for (double t : terms)
    if (t != 0.0) return true;
  return false;
}

void require_length(std::span<const double> values, size_t want, const char* what) {
  if (values.size() != want)
    internal_error(format("{} has {} values, expected {}", what, values.size(), want));
}

// L: lens-ideal normalised coordinates to pixels.
Vec2 lens_map(const CameraModel& m, double x, double y) {
  switch (m.kind) {
    case LensKind::None:
      return {m.fx * x + m.cx, m.fy * y + m.cy};
    case LensKind::Brown: {
      require_length(m.coeffs, 5, "brown coefficients");
      const double k1 = m.coeffs[0], k2 = m.coeffs[1], p1 = m.coeffs[2], p2 = m.coeffs[3], k3 = m.coeffs[4];
      const double r2 = x * x + y * y;
      const double rad = 1.0 + r2 * ((k3 * r2 + k2) * r2 + k1);
      const double xd = x * rad + 2.0 * p1 * x * y + p2 * (r2 + 2.0 * x * x);
      const double yd = y * rad + p1 * (r2 + 2.0 * y * y) + 2.0 * p2 * x * y;
      return {m.fx * xd + m.cx, m.fy * yd + m.cy};
    }
    case LensKind::DngWarp: {
      require_length(m.coeffs, 6, "dngwarp coefficients");
      const double kr0 = m.coeffs[0], kr1 = m.coeffs[1], kr2 = m.coeffs[2], kr3 = m.coeffs[3];
      const double kt0 = m.coeffs[4], kt1 = m.coeffs[5];
      const double px = m.fx * x + m.cx, py = m.fy * y + m.cy;
      const double bx = m.dng_center.x * (static_cast<double>(m.width) - 1.0);
      const double by = m.dng_center.y * (static_cast<double>(m.height) - 1.0);
      const double ax = static_cast<double>(m.width) - 1.0 - bx;
      const double ay = static_cast<double>(m.height) - 1.0 - by;
      // The warp's unit length is the distance from the centre to the farthest corner.
      const double scale = std::hypot(std::max(bx, ax), std::max(by, ay));
      const double qx = (px - bx) / scale, qy = (py - by) / scale;
      const double r2 = qx * qx + qy * qy;
      const double rad = ((kr3 * r2 + kr2) * r2 + kr1) * r2 + kr0;
      const double wx = qx * rad + 2.0 * kt0 * qx * qy + kt1 * (r2 + 2.0 * qx * qx);
      const double wy = qy * rad + kt0 * (r2 + 2.0 * qy * qy) + 2.0 * kt1 * qx * qy;
      return {wx * scale + bx, wy * scale + by};
    }
  }
  internal_error(format("lens kind {} unknown", static_cast<unsigned>(m.kind)));
}

// d(w)/d(q) of the radial-plus-tangential polynomial shared by both lens kinds:
// w = q rad(r2) + tangential(t0, t1), with g = d(rad)/d(r2).
struct Jacobian2 {
  double a = 0.0, b = 0.0, c = 0.0, d = 0.0;  // [[a, b], [c, d]]
};

Jacobian2 polynomial_jacobian(double qx, double qy, double rad, double g, double t0, double t1) {
  const double cross = 2.0 * qx * qy * g + 2.0 * t0 * qx + 2.0 * t1 * qy;
  return {rad + 2.0 * qx * qx * g + 2.0 * t0 * qy + 6.0 * t1 * qx, cross, cross,
          rad + 2.0 * qy * qy * g + 6.0 * t0 * qy + 2.0 * t1 * qx};
}

// d(pixel)/d(normalised) of L for the distorting kinds.
Jacobian2 lens_jacobian(const CameraModel& m, double x, double y) {
  if (m.kind == LensKind::Brown) {
    const double k1 = m.coeffs[0], k2 = m.coeffs[1], p1 = m.coeffs[2], p2 = m.coeffs[3], k3 = m.coeffs[4];
    const double r2 = x * x + y * y;
    const double rad = 1.0 + r2 * ((k3 * r2 + k2) * r2 + k1);
    const double g = k1 + r2 * (2.0 * k2 + 3.0 * k3 * r2);
    const Jacobian2 j = polynomial_jacobian(x, y, rad, g, p1, p2);
    return {m.fx * j.a, m.fx * j.b, m.fy * j.c, m.fy * j.d};
  }
  const double kr0 = m.coeffs[0], kr1 = m.coeffs[1], kr2 = m.coeffs[2], kr3 = m.coeffs[3];
  const double bx = m.dng_center.x * (static_cast<double>(m.width) - 1.0);
  const double by = m.dng_center.y * (static_cast<double>(m.height) - 1.0);
  const double ax = static_cast<double>(m.width) - 1.0 - bx;
  const double ay = static_cast<double>(m.height) - 1.0 - by;
  const double scale = std::hypot(std::max(bx, ax), std::max(by, ay));
  const double qx = (m.fx * x + m.cx - bx) / scale, qy = (m.fy * y + m.cy - by) / scale;
  const double r2 = qx * qx + qy * qy;
  const double rad = ((kr3 * r2 + kr2) * r2 + kr1) * r2 + kr0;
  const double g = kr1 + r2 * (2.0 * kr2 + 3.0 * kr3 * r2);
  // The centre offset and the scale cancel: d(pixel)/dq = scale, dq/d(normalised) = f/scale.
  const Jacobian2 j = polynomial_jacobian(qx, qy, rad, g, m.coeffs[4], m.coeffs[5]);
  return {m.fx * j.a, m.fy * j.b, m.fx * j.c, m.fy * j.d};
}

void append_bits(std::vector<uint64_t>& key, double v) { key.push_back(std::bit_cast<uint64_t>(v)); }

// Everything the radius depends on, lengths first so that word-by-word equality is exact.
std::vector<uint64_t> radius_key(const CameraModel& m) {
  std::vector<uint64_t> key;
  key.reserve(m.coeffs.size() + m.selfcal.size() + 9);
  key.push_back(m.coeffs.size());
  key.push_back(m.selfcal.size());
  for (double c : m.coeffs) append_bits(key, c);
  for (double t : m.selfcal) append_bits(key, t);
  append_bits(key, m.fx);
  key.push_back(m.width);
  key.push_back(m.height);
  key.push_back(static_cast<uint64_t>(m.kind));
  append_bits(key, m.cx);
  append_bits(key, m.cy);
  return key;
}

constexpr size_t RADIUS_SAMPLES = 1200;

double compute_monotonic_radius(const CameraModel& m) {
  const double w = static_cast<double>(m.width), h = static_cast<double>(m.height);
  // Radii out to 1.5 times the image diagonal in focal lengths: far beyond any usable ray.
  const double r_max = 3.0 * std::hypot(w, h) / (2.0 * m.fx);
  std::vector<double> radii(RADIUS_SAMPLES);
  for (size_t k = 0; k < RADIUS_SAMPLES; ++k)
    radii[k] = (static_cast<double>(k) * (r_max - 0.0001)) / static_cast<double>(RADIUS_SAMPLES - 1) + 0.0001;
  // A projected distance beyond 1.648 half-diagonals is already far outside the photo.
  const double threshold = std::hypot(w / 2.0, h / 2.0) * 1.03 * 1.6;
  const Vec2 centre = m.project(0.0, 0.0, m.selfcal);
  const Vec2 dirs[4] = {{1.0 / std::hypot(1.0, 1.0), 1.0 / std::hypot(1.0, 1.0)},
                        {1.0 / std::hypot(1.0, -1.0), -1.0 / std::hypot(1.0, -1.0)},
                        {1.0, 0.0},
                        {0.0, 1.0}};
  std::vector<double> dist(RADIUS_SAMPLES);
  double radius = std::numeric_limits<double>::infinity();
  for (const Vec2& e : dirs) {
    for (size_t k = 0; k < RADIUS_SAMPLES; ++k) {
      const Vec2 p = m.project(radii[k] * e.x, radii[k] * e.y, m.selfcal);
      dist[k] = std::hypot(p.x - centre.x, p.y - centre.y);
    }
    size_t k = 0;
    while (k < RADIUS_SAMPLES - 1 && dist[k + 1] <= threshold && dist[k + 1] > dist[k]) ++k;
    if (k == RADIUS_SAMPLES - 1) continue;
    if (radii[k] < radius) radius = radii[k];  // a NaN limit never wins
  }
  return radius;
}

}  // namespace

std::string_view lens_kind_name(LensKind kind) {
  switch (kind) {
    case LensKind::None:
      return "none";
    case LensKind::Brown:
      return "brown";
    case LensKind::DngWarp:
      return "dngwarp";
  }
  internal_error(format("lens kind {} unknown", static_cast<unsigned>(kind)));
}

RadiusMemo::RadiusMemo(const RadiusMemo& other) {
  std::lock_guard lock(other.mutex);
  key = other.key;
  radius = other.radius;
}

RadiusMemo& RadiusMemo::operator=(const RadiusMemo& other) {
  if (this == &other) return *this;
  std::scoped_lock lock(mutex, other.mutex);
  key = other.key;
  radius = other.radius;
  return *this;
}

Vec2 selfcal_distort(double x, double y, std::span<const double> terms) {
  if (!any_nonzero(terms)) return {x, y};
  if (terms.size() != 2 && terms.size() != 6)
    internal_error(format("self-calibration has {} terms, expected 0, 2 or 6", terms.size()));
  const double k1 = terms[0], k2 = terms[1];
  const double r2 = x * x + y * y;
  const double s = (k2 * r2 + k1) * r2 + 1.0;
  if (terms.size() == 2) return {x * s, y * s};
  const double dx = terms[2], dy = terms[3], p1 = terms[4], p2 = terms[5];
  return {x * s + p2 * (2.0 * x * x + r2) + 2.0 * p1 * x * y + dx,
          y * s + 2.0 * p2 * x * y + p1 * (2.0 * y * y + r2) + dy};
}

Vec2 CameraModel::project(double x, double y, std::span<const double> terms) const {
  if (!any_nonzero(terms)) return lens_map(*this, x, y);
  // Fixed-point inversion of S: the terms are small corrections, so ten steps converge far
  // inside the monotonic radius; a fixed count keeps the cost and the result predictable.
  Vec2 z{x, y};
  for (int i = 0; i < 10; ++i) {
    const Vec2 s = selfcal_distort(z.x, z.y, terms);
    z.x += x - s.x;
    z.y += y - s.y;
  }
  return lens_map(*this, z.x, z.y);
}

Vec2 CameraModel::unproject(double u, double v) const {
  Vec2 d{(u - cx) / fx, (v - cy) / fy};
  if (kind == LensKind::None) return d;
  for (int i = 0; i < 12; ++i) {
    const Vec2 p = project(d.x, d.y, ZERO_TERMS);
    d.x -= (p.x - u) / fx;
    d.y -= (p.y - v) / fy;
  }
  // The undamped steps converge only linearly, at a rate near 1 - dL/d(ray): for a strong
  // real lens (k1 near -0.27) they leave about a pixel at the image corners. Newton steps
  // polish the result; a step is taken only when it lowers the residual, so the answer is
  // never worse than the plain iteration's, even where the lens folds over.
  Vec2 p = lens_map(*this, d.x, d.y);
  double err = std::hypot(p.x - u, p.y - v);
  for (int i = 0; i < 8 && err > 1e-9; ++i) {
    const Jacobian2 j = lens_jacobian(*this, d.x, d.y);
    const double det = j.a * j.d - j.b * j.c;
    const double rx = p.x - u, ry = p.y - v;
    const Vec2 next{d.x - (j.d * rx - j.b * ry) / det, d.y - (j.a * ry - j.c * rx) / det};
    const Vec2 q = lens_map(*this, next.x, next.y);
    const double next_err = std::hypot(q.x - u, q.y - v);
    if (!(next_err < err)) break;  // also stops on a singular Jacobian (NaN)
    d = next;
    p = q;
    err = next_err;
  }
  return d;
}

double CameraModel::monotonic_radius() const {
  std::vector<uint64_t> key = radius_key(*this);
  {
    std::lock_guard lock(radius_cache.mutex);
    if (radius_cache.radius && radius_cache.key == key) return *radius_cache.radius;
  }
  // Computed without the lock: two threads may both compute, and both store the same value.
  const double radius = compute_monotonic_radius(*this);
  std::lock_guard lock(radius_cache.mutex);
  radius_cache.key = std::move(key);
  radius_cache.radius = radius;
  return radius;
}

}  // namespace tsl
