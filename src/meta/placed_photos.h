#pragma once
// The photos of a build with the poses they stand at: one view over the three per-photo lists
// that every stage after the metadata reads together, so that they travel as one.
#include <span>

#include "geo/vec.h"
#include "meta/image_meta.h"

namespace tsl {

// Borrows the caller's lists for the call; entry k of each belongs to photo k. The stages
// check the lengths they rely on (a list shorter than `images` is a caller's bug).
struct PlacedPhotos {
  std::span<const ImageMeta> images;  // each with its camera model once the metadata stage ran
  std::span<const Mat3> rotations;    // world-to-camera
  std::span<const Vec3> positions;    // local east, north and height, metres
};

}  // namespace tsl
