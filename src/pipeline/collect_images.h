#pragma once
// The "[1/6] metadata" stage: from the build's inputs to the image set, the usable shots of
// one camera, each with its metadata record, metadata pose and a place in a local UTM frame,
// and every left-out input named with its reason.
#include <cstdint>
#include <expected>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "geo/vec.h"
#include "meta/image_meta.h"

namespace tsl {

// Heights no drone flies at: above the take-off point, and above sea level (the highest
// take-off sites lie near 6 km); beyond them a value is a damaged record, not a flight.
inline constexpr double MAX_REL_ALT_M = 10000.0;
inline constexpr double MAX_ABS_ALT_M = 12000.0;
// A photo further from the flight's centre than this many times the flight's own radius (the
// median distance of its photos from the centre, or the median spacing of neighbouring
// photos when larger), and further than FAR_PHOTO_MIN_M, belongs to no plan of this flight.
inline constexpr double FAR_PHOTO_FACTOR = 20.0;
inline constexpr double FAR_PHOTO_MIN_M = 500.0;

struct ImageSet {
  std::vector<ImageMeta> images;  // read-list order; each has a `lens` and its placement fields
  // (file name, reason): "excluded", "unreadable", "no focal length",
  // "focal length out of range", "no GPS",
  // "GPS position out of range", "no/low relative altitude", "altitude out of range",
  // "no gimbal angles", "tilted {pitch}°", "far from the rest of the flight",
  // "other camera {key}".
  std::vector<std::pair<std::string, std::string>> skipped;
  std::vector<Mat3> rotations;  // world-to-camera, one per image
  std::vector<Vec3> positions;  // (east - origin_e, north - origin_n, height above take-off), m
  std::string vignette;         // of the first image: "GainMap", "radial" or "none"
  double origin_e = 0.0;        // UTM origin, m, multiples of 100
  double origin_n = 0.0;
  uint64_t dng_count = 0;
  int32_t zone = 0;
  bool south = false;
};


// Runs the stage with its log lines. Fails only with "no images found" (nothing to read
// after pairing and exclusion; nothing logged) or "no usable images", followed by the count
// of skipped files and their commonest reasons when any were skipped.
std::expected<ImageSet, std::string> collect_images(const Config& config);

}  // namespace tsl
