#pragma once
// Small fixed-size geometry values shared by the camera, footprint and pose code.
#include <array>

namespace tsl {

// A 2-D point or vector: normalised camera coordinates, a pixel (x = column, y = row), or a
// ground point (x = east, y = north in local metres).
struct Vec2 {
  double x = 0.0;
  double y = 0.0;
};

// A 3-D vector in local (east, north, up) metres.
using Vec3 = std::array<double, 3>;

// A row-major 3 x 3 matrix: element (i, j) at index 3 i + j. A rotation is world-to-camera:
// its rows are the image's right, down and viewing directions in local (east, north, up).
using Mat3 = std::array<double, 9>;

}  // namespace tsl
