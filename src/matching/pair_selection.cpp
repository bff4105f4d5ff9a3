#include "matching/pair_selection.h"

#include <algorithm>
#include <cmath>

#include "geo/footprint.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

// Footprint samples per image side: enough for a lens's bowed edges at pair-selection accuracy.
constexpr size_t FOOTPRINT_SAMPLES = 6;
// Keeps a degenerate smaller footprint from dividing by zero.
constexpr double AREA_FLOOR_M2 = 1e-9;

Vec2 hull_centre(const Polygon& hull) {
  Vec2 c;
  for (const Vec2& v : hull) {
    c.x += v.x;
    c.y += v.y;
  }
  const double count = static_cast<double>(std::max<size_t>(hull.size(), 1));
  return {c.x / count, c.y / count};
}

double hull_area(const Polygon& hull) {
  if (hull.size() < 3) return 0.0;
  double twice = 0.0;
  for (size_t k = 0; k < hull.size(); ++k) {
    const Vec2& p = hull[k];
    const Vec2& q = hull[(k + 1) % hull.size()];
    twice += p.x * q.y - q.x * p.y;
  }
  return 0.5 * std::abs(twice);
}

struct Neighbour {
  double ratio = 0.0;
  size_t other = 0;
};

}  // namespace

std::vector<PhotoPair> select_pairs_from_hulls(std::span<const Polygon> hulls, size_t neighbors) {
  const size_t n = hulls.size();
  std::vector<Vec2> centre(n);
  std::vector<double> area(n), root(n);
  for (size_t i = 0; i < n; ++i) {
    centre[i] = hull_centre(hulls[i]);
    area[i] = hull_area(hulls[i]);
    root[i] = std::sqrt(area[i]);
  }
  std::vector<std::vector<Neighbour>> lists(n);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = i + 1; j < n; ++j) {
      const double d = std::hypot(centre[i].x - centre[j].x, centre[i].y - centre[j].y);
      if (!(d < PAIR_CENTRE_FACTOR * (root[i] + root[j]))) continue;
      const double overlap = intersection_area(hulls[i], hulls[j]);
      const double ratio = overlap / std::max(std::min(area[i], area[j]), AREA_FLOOR_M2);
      if (!(ratio >= PAIR_MIN_RATIO)) continue;
      lists[i].push_back({ratio, j});
      lists[j].push_back({ratio, i});
    }
  }
  std::vector<PhotoPair> pairs;
  for (size_t i = 0; i < n; ++i) {
    std::vector<Neighbour>& list = lists[i];
    std::stable_sort(list.begin(), list.end(), [](const Neighbour& p, const Neighbour& q) {
      if (p.ratio != q.ratio) return p.ratio > q.ratio;
      return p.other > q.other;
    });
    const size_t keep = std::min(neighbors, list.size());
    for (size_t k = 0; k < keep; ++k) pairs.emplace_back(std::min(i, list[k].other), std::max(i, list[k].other));
  }
  std::sort(pairs.begin(), pairs.end());
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  return pairs;
}

std::vector<PhotoPair> select_pairs(const PlacedPhotos& photos, size_t neighbors) {
  const auto& [images, rotations, positions] = photos;
  if (rotations.size() < images.size() || positions.size() < images.size())
    internal_error("select_pairs: fewer poses than photos");
  const GroundHeights ground{.start_m = 0.0, .height_at = nullptr};
  std::vector<Polygon> hulls;
  hulls.reserve(images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    if (!images[i].lens)
      internal_error(format("footprint of {} without a camera model", images[i].path.filename().string()));
    hulls.push_back(convex_hull(footprint(*images[i].lens, rotations[i], positions[i], ground, FOOTPRINT_SAMPLES)));
  }
  return select_pairs_from_hulls(hulls, neighbors);
}

}  // namespace tsl
