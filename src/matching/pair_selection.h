#pragma once
// Which photos overlap on the ground, predicted from the metadata poses before any pixel is
// looked at: the candidate pairs that matching and the dense stage work on.
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "geo/polygon.h"
#include "geo/vec.h"
#include "meta/placed_photos.h"

namespace tsl {

using PhotoPair = std::pair<size_t, size_t>;  // (i, j) with i < j

// A pair's overlap as a fraction of the smaller footprint must reach this to be a candidate.
inline constexpr double PAIR_MIN_RATIO = 0.08;
// Centres farther apart than this times the sum of the footprints' square-root areas cannot
// overlap enough to count; the test spares the polygon clipping for distant pairs.
inline constexpr double PAIR_CENTRE_FACTOR = 1.5;

// The candidate pairs among convex, counter-clockwise footprints (local metres): every photo
// keeps its `neighbors` best-overlapping partners (ties in ratio go to the larger index), and
// the union of those choices comes back in ascending (i, j) order without duplicates. A hull
// of fewer than 3 vertices has no area and pairs with nothing.
std::vector<PhotoPair> select_pairs_from_hulls(std::span<const Polygon> hulls, size_t neighbors);

// The candidate pairs of a flight: each photo's footprint (6 samples per side) on the plane at
// the take-off height, reduced to its convex hull, then select_pairs_from_hulls. Every photo
// needs its camera model and a pose (a caller's bug otherwise). Cannot fail.
std::vector<PhotoPair> select_pairs(const PlacedPhotos& photos, size_t neighbors);

}  // namespace tsl
