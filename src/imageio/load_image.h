#pragma once
// Loading any input photo (JPEG, TIFF or DNG) as 3-channel linear-light 16-bit RGB at, or
// close to, a requested fraction of its full size, with the DNG's vignetting and gain-map
// corrections. Developed DNGs persist in the disk cache; JPEG and TIFF files are decoded
// every time. Safe to call from many threads at once.
#include <expected>
#include <string>

#include "img/image.h"
#include "meta/image_meta.h"

namespace tsl {

struct DecodedImage {
  ImageU16 image;        // 3 channels, linear light, 0..65535
  double scale_x = 1.0;  // image width / the photo's full width
  double scale_y = 1.0;  // image height / the photo's full height
  // Rows of `image` from the top that decoded from the file's data (UINT64_MAX: all). The rows
  // below, of a file cut short or with corrupt data, hold no picture and cover nothing.
  uint64_t valid_rows = UINT64_MAX;
  bool damaged = false;  // the file's image data ended early or was corrupt
};

// The photo rows, in full-resolution pixels from the top, that a sample of `image` may come
// from: its valid rows less the reach of the interpolation; infinity when every row is valid.
float covered_photo_rows(const DecodedImage& image);

// decode_image through the disk cache for DNG photos (keyed by the file's fingerprint, the
// scale to four decimals and the kinds of its lens items). Errors as decode_image.
std::expected<DecodedImage, std::string> load_image(const ImageMeta& photo, double scale);

// Decodes the photo at `scale` (a fraction of its full size; nothing is ever enlarged): the
// DNG developed at half size for scales up to 0.5, a JPEG decoded reduced by 2, 4 or 8 when
// that is within 2 % of the request, then reduced further only when the result is more than
// 5 % too large. A JPEG whose data ends early or is corrupt decodes as far as its data goes
// (`valid_rows`, `damaged`). Files are read up to PHOTO_FILE_LIMIT. Errors: "cannot read
// {path}: {reason}" for unreadable files and for TIFF or JPEG data the readers refuse; the DNG
// developer's message unchanged.
std::expected<DecodedImage, std::string> decode_image(const ImageMeta& photo, double scale);

// The disk-cache key text of a scale: rounded to four decimals, halves away from zero,
// shortest form ("1", "0.5", "0.1235").
std::string cache_scale_text(double scale);

// The lens items' kinds for the disk-cache key: "()", "('vign')", "('warp', 'vign', 'gain')".
std::string lens_kinds_text(const ImageMeta& photo);

}  // namespace tsl
