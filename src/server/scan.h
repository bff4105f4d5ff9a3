#pragma once
// POST /api/scan: the metadata stage of a build run for the page, and the flight measured from
// metadata alone: footprints on flat ground at the take-off height, forward and side
// overlaps, covered area and the expected output size. No photo is decoded, nothing written.
#include <cstddef>
#include <expected>
#include <string>
#include <vector>

#include "geo/polygon.h"
#include "pipeline/collect_images.h"
#include "util/json.h"

namespace tsl {

// Footprint samples per image side in the scan's outlines.
inline constexpr size_t SCAN_FOOTPRINT_SAMPLES = 4;

struct ScanGeometry {
  std::vector<Polygon> footprints;  // 4 x SCAN_FOOTPRINT_SAMPLES points per photo
  std::vector<double> areas;        // hull areas, m^2
  std::vector<double> gsds;         // m per pixel at the take-off height
  std::vector<size_t> seq;          // place of each photo in capture order
  std::vector<double> forward;      // consecutive overlap ratios above 0.2, in capture order
  std::vector<double> side;         // one per photo that has a neighbour from another leg
  double area_m2 = 0.0;             // hull of all footprint points
  double gsd = 0.0;                 // median of `gsds`
};

// The overlap figures of an image set (every photo with its camera model).
ScanGeometry scan_geometry(const ImageSet& set);

// The reply object: log, origin, zone, south, epsg, skipped, camera, stats, shots. Numbers
// that are not finite stay in the object; the reply writer sends them as null.
JsonValue scan_reply(const ImageSet& set, const ScanGeometry& geometry, std::vector<std::string> log);

// The endpoint: settings object in, reply object or the parser's or metadata stage's message
// out. The stage's log lines go to the reply, not to the console or the log history.
std::expected<JsonValue, std::string> api_scan(const JsonValue& body);

}  // namespace tsl
