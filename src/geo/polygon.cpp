#include "geo/polygon.h"

#include <algorithm>
#include <cmath>

namespace tsl {
namespace {

double cross(Vec2 a, Vec2 b, Vec2 p) { return (b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x); }

// Appends points to a chain, dropping the last one while it does not turn left.
void extend_chain(Polygon& chain, Vec2 p) {
  while (chain.size() >= 2 && cross(chain[chain.size() - 2], chain.back(), p) <= 0.0) chain.pop_back();
  chain.push_back(p);
}

}  // namespace

Polygon convex_hull(std::span<const Vec2> points) {
  Polygon pts;
  pts.reserve(points.size());
  for (const Vec2& p : points)
    if (std::isfinite(p.x) && std::isfinite(p.y)) pts.push_back(p);
  std::sort(pts.begin(), pts.end(), [](Vec2 a, Vec2 b) { return a.x < b.x || (a.x == b.x && a.y < b.y); });
  pts.erase(std::unique(pts.begin(), pts.end(), [](Vec2 a, Vec2 b) { return a.x == b.x && a.y == b.y; }), pts.end());
  if (pts.size() <= 2) return pts;
  Polygon lower, upper;
  for (const Vec2& p : pts) extend_chain(lower, p);
  for (size_t k = pts.size(); k-- > 0;) extend_chain(upper, pts[k]);
  lower.pop_back();
  upper.pop_back();
  lower.insert(lower.end(), upper.begin(), upper.end());
  return lower;
}

double intersection_area(const Polygon& subject, const Polygon& clip) {
  // A hull of fewer than 3 points (for instance of a footprint whose rays all missed the
  // ground) encloses nothing; clipping by its degenerate edges would keep the whole subject.
  if (clip.size() < 3) return 0.0;
  Polygon current = subject;
  Polygon next;
  const size_t m = clip.size();
  for (size_t e = 0; e < m && !current.empty(); ++e) {
    const Vec2 a = clip[e];
    const Vec2 b = clip[(e + 1) % m];
    const Vec2 d{b.x - a.x, b.y - a.y};
    auto inside = [&](Vec2 p) { return (p.y - a.y) * d.x - (p.x - a.x) * d.y >= 0.0; };
    // The crossing of segment QP with the clip line; Q itself when they are nearly parallel.
    auto crossing = [&](Vec2 q, Vec2 p) {
      const double o = d.y * (p.x - q.x) - d.x * (p.y - q.y);
      if (std::fabs(o) < 1e-18) return q;
      const double r = ((a.x - q.x) * d.y - (a.y - q.y) * d.x) / o;
      return Vec2{q.x + r * (p.x - q.x), q.y + r * (p.y - q.y)};
    };
    next.clear();
    for (size_t k = 0; k < current.size(); ++k) {
      const Vec2 p = current[k];
      const Vec2 q = current[(k + current.size() - 1) % current.size()];
      const bool p_in = inside(p), q_in = inside(q);
      if (p_in) {
        if (!q_in) next.push_back(crossing(q, p));
        next.push_back(p);
      } else if (q_in) {
        next.push_back(crossing(q, p));
      }
    }
    std::swap(current, next);
  }
  return polygon_area(current);
}

double polygon_area(const Polygon& polygon) {
  if (polygon.size() < 3) return 0.0;
  double twice = 0.0;
  for (size_t k = 0; k < polygon.size(); ++k) {
    const Vec2 p = polygon[k], q = polygon[(k + 1) % polygon.size()];
    twice += p.x * q.y - q.x * p.y;
  }
  return std::fabs(0.5 * twice);
}

}  // namespace tsl
