#pragma once
// The EXIF facts the metadata record takes from one TIFF directory and its Exif and GPS
// sub-directories.
#include <array>
#include <cstdint>

#include "img/tiff/tiff_file.h"
#include "meta/image_meta.h"

namespace tsl {

// ExposureTime, FNumber and ISO speed; each NaN when absent.
using ExposureTriple = std::array<double, 3>;

// Make, Model and Software from `dir` (each only while still empty); with an Exif
// directory: exposure triple, FocalLength, FocalLengthIn35mmFilm (both NaN when absent), the
// focal-plane resolution as pixels per mm, DateTimeOriginal; with a GPS directory: latitude,
// longitude (NaN when absent) and GPSAltitude, negated below sea level (GPSAltitudeRef 1).
ExposureTriple read_exif_tags(ImageMeta& meta, const Ifd& dir, bool little_endian);

// Make, Model and Software of `dir`, each only while the record's is still empty.
void read_camera_names(ImageMeta& meta, const Ifd& dir);

// Degrees from the degree, minute, second rationals of `value_tag`, negative when
// `ref_tag` is exactly "S" or "W"; NaN when the tag is absent or has fewer than 3 values.
double gps_dms_to_deg(const Ifd& gps, bool little_endian, uint16_t value_tag, uint16_t ref_tag);

// ExposureTime x ISO / FNumber^2; NaN when FNumber is 0 or NaN or another value is missing.
double relative_exposure(const ExposureTriple& triple);

}  // namespace tsl
