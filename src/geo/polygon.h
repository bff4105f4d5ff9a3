#pragma once
// Ground polygons: (east, north) vertices in local metres, without a repeated first vertex.
#include <span>
#include <vector>

#include "geo/vec.h"

namespace tsl {

using Polygon = std::vector<Vec2>;

// The convex hull (monotone chain), counter-clockwise from the smallest (x, y), collinear
// and duplicate points removed. Points with a non-finite coordinate are dropped first; two
// or fewer distinct points come back as they are (sorted), none as an empty polygon.
Polygon convex_hull(std::span<const Vec2> points);

// The area of `subject` (any simple polygon) clipped by `clip`, which must be convex and
// counter-clockwise (a convex_hull result), in square metres. A clip of fewer than 3 vertices
// encloses nothing and gives 0.
double intersection_area(const Polygon& subject, const Polygon& clip);

// The shoelace area of a simple polygon in square metres; 0 below 3 vertices.
double polygon_area(const Polygon& polygon);

}  // namespace tsl
