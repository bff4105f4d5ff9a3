#pragma once
// Putting a build's photos into one local map frame: a UTM zone and hemisphere for the whole
// set, an origin on a 100 m raster near its middle, and per photo a position and a rotation
// from the drone's gimbal angles, its yaw turned from true to grid north.
#include <vector>

#include "geo/utm.h"
#include "geo/vec.h"
#include "meta/image_meta.h"

namespace tsl {

// The world-to-camera rotation of the drone's angles in degrees: yaw clockwise from (grid)
// north, pitch -90 looking straight down, roll about the viewing direction. Rows are the
// image's right, down and viewing directions in local (east, north, up): yaw 0, pitch -90,
// roll 0 gives (1, 0, 0), (0, -1, 0), (0, 0, -1).
Mat3 rotation_from_angles(double yaw_deg, double pitch_deg, double roll_deg);

struct Placement {
  UtmFrame frame;
  std::vector<Mat3> rotations;  // one per record, same order
  std::vector<Vec3> positions;  // (local east, local north, height above take-off), m
};

// Chooses the frame from the median longitude (zone) and latitude (hemisphere), sets every
// record's local_e, local_n and grid_yaw, and logs "  UTM zone ...". Every record must have
// finite lat, lon, rel_alt, gimbal_yaw and gimbal_pitch; an empty list is a caller's bug.
Placement place_images(std::vector<ImageMeta>& records);

}  // namespace tsl
