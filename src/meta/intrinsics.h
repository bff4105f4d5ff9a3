#pragma once
// A photo's camera model from its metadata: the focal length from the best source the photo
// carries, the principal point, and the lens distortion (the DNG warp the camera recorded, or
// the drone's DewarpData calibration).
#include <expected>
#include <optional>
#include <string>

#include "geo/camera.h"
#include "meta/image_meta.h"

namespace tsl {

// Focal length, first source that gives a positive finite value: the override (`focal_px`;
// 0 counts as absent, NaN skips the calibrated value), XMP CalibratedFocalLength with its
// optical centre when that lies inside the image, focal-plane resolution x FocalLength when
// the sensor is 4 to 40 mm wide, then the 35 mm equivalent over the frame diagonal. Lens:
// the first "warp" item (principal point from its centre), else DewarpData with at least
// nine numbers unless DewarpFlag is "1" or the photo is processed (fx, fy and centre offsets
// from it), else none. Fails with "{file}: cannot determine focal length (use --focal-px)".
std::expected<CameraModel, std::string> lens_from_meta(const ImageMeta& meta, std::optional<double> focal_override);

}  // namespace tsl
