#pragma once
// A photo's ground outline: its border pixels cast through the lens onto the surface.
#include <cstddef>

#include "geo/camera.h"
#include "geo/polygon.h"
#include "geo/vec.h"
#include "meta/image_meta.h"
#include "surface/surface.h"

namespace tsl {

// The footprint of a photo taken with `camera` (its self-calibration included) from
// `position` (local east, north, height in metres), turned by `cam_from_world` (row-major;
// rows are the image's right, down and viewing directions in local east, north, up).
//
// 4n vertices, n per image side, in the order of the image's outline: the top edge left to
// right from pixel (0, 0), the right edge downwards, the bottom edge right to left, the left
// edge upwards; each corner appears twice (end of one edge, start of the next). A plane is
// cut directly; a grid from its median height with seven refinements through height_at.
// Rays are not tested against the ground: a horizontal ray gives a non-finite vertex and a
// ray pointing upwards a vertex behind the camera. n < 2 is a caller's bug (InternalError).
Polygon footprint(const CameraModel& camera, const Mat3& cam_from_world, const Vec3& position,
                  const Surface& surface, size_t n);

// The footprint of a photo through its record's camera model; a record without one is a
// caller's bug (InternalError).
Polygon footprint(const ImageMeta& meta, const Mat3& cam_from_world, const Vec3& position, const Surface& surface,
                  size_t n);

}  // namespace tsl
