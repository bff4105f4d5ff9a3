#pragma once
// Camera models shared by the geometry tests.
#include "geo/camera.h"

namespace tsl::test {

// The pinhole of the worked examples: 4000 x 3000 pixels, f = 3000 px, centred.
inline CameraModel pinhole_4000x3000() {
  CameraModel m;
  m.width = 4000;
  m.height = 3000;
  m.fx = m.fy = 3000.0;
  m.cx = 2000.0;
  m.cy = 1500.0;
  m.coeffs.assign(7, 0.0);
  return m;
}

}  // namespace tsl::test
