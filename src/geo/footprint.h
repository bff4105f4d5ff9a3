#pragma once
// A photo's ground outline: its border pixels cast through the lens onto the ground.
#include <cstddef>
#include <functional>

#include "geo/camera.h"
#include "geo/polygon.h"
#include "geo/vec.h"

namespace tsl {

// The ground a footprint is cast onto, in the local frame (east, north, height in metres).
struct GroundHeights {
  double start_m = 0.0;  // the height every ray is first cut at: a plane's height, a grid's median
  // Height at a local (east, north); empty for flat ground at start_m, which is then cut once.
  std::function<double(double east, double north)> height_at;
};

// The footprint of a photo taken with `camera` (its self-calibration included) from
// `position` (local east, north, height in metres), turned by `cam_from_world` (row-major;
// rows are the image's right, down and viewing directions in local east, north, up).
//
// 4n vertices, n per image side, in the order of the image's outline: the top edge left to
// right from pixel (0, 0), the right edge downwards, the bottom edge right to left, the left
// edge upwards; each corner appears twice (end of one edge, start of the next). Flat ground is
// cut directly; otherwise from start_m with seven refinements through height_at.
// Rays are not tested against the ground: a horizontal ray gives a non-finite vertex and a
// ray pointing upwards a vertex behind the camera. n < 2 is a caller's bug (InternalError).
Polygon footprint(const CameraModel& camera, const Mat3& cam_from_world, const Vec3& position,
                  const GroundHeights& ground, size_t n);

}  // namespace tsl
