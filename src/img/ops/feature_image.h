#pragma once
// The 8-bit grey image that keypoints are detected on: luma of the linear RGB photo, display
// gamma 1/2.2, and contrast-limited adaptive histogram equalisation over 8 x 8 tiles, so
// that dark and bright parts of a photo yield features alike.
#include "img/image.h"

namespace tsl {

// A 3-channel linear-light image (0..65535, red, green, blue) as an equalised one-channel
// 8-bit image of the same size. Data other than width x height x 3 samples is an internal
// error; a width or height of 0 gives an empty image. Row-parallel.
ImageU8 prepare_feature_image(const ImageU16& image);

// CLAHE with clip limit 2 over an 8 x 8 tile grid (tiles ceil(width / 8) x ceil(height / 8),
// reaching past the right and bottom edges by mirrored reads) of a one-channel 8-bit image,
// tables blended bilinearly between tile centres. Data other than width x height samples
// is an internal error. Row-parallel.
ImageU8 equalize_clahe(const ImageU8& grey);

}  // namespace tsl
