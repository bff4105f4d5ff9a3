#pragma once
// The ground surface every ray of a build is cut with: a horizontal plane, or a grid of
// heights (a terrain model). Immutable once made; shared read-only across threads.
//
// Frame: local east and north in metres (UTM relative to the build's origin), heights above
// the take-off point. Grid node (i, j), column i and row j, lies at (e0 + i cell, n0 - j cell):
// row 0 is the northernmost. A NaN height marks a node without data.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "geo/footprint.h"
#include "util/json.h"

namespace tsl {

struct Surface {
  std::optional<std::vector<float>> z;  // ny rows of nx heights, row 0 north; absent for a plane
  double z0 = 0.0;        // a plane's height; for a grid the reference height its builder gave
  double e0 = 0.0;        // local east and north of node (0, 0), the north-west node
  double n0 = 0.0;
  double cell = 1.0;      // node spacing, metres
  uint64_t nx = 0;        // columns and rows; a grid has at least 2 of each
  uint64_t ny = 0;
  double z_median = 0.0;  // median of the grid's non-NaN heights (NaN if none); z0 for a plane

  // A plane at height z0.
  static Surface plane(double z0);
  // A height grid; z holds nx * ny heights. A grid under 2 x 2 or a list of the wrong length
  // is a caller's bug (InternalError): height_at needs a cell's four corners.
  static Surface dsm(double z0, double e0, double n0, double cell, uint64_t nx, uint64_t ny, std::vector<float> z);

  // The ground height at a local (east, north): z0 for a plane; for a grid, bilinear
  // between the four nodes around the point, with grid coordinates clamped to
  // [0, size - 1.0001] so that points beyond the grid take the height at its edge. A NaN node
  // makes every height touching it NaN. On a grid a NaN or infinite coordinate gives NaN.
  double height_at(double east, double north) const;

  // The report object: {"kind": "plane", "z0"} or {"kind": "dsm", "cell_m", "z_min", "z_max",
  // "relief_m" (98th minus 2nd percentile), "shape": [ny, nx]}. A grid without any height
  // reports z_min +infinity, z_max -infinity and relief_m NaN.
  JsonValue to_json() const;
};

// The surface as footprints read it: a plane's height, or a grid's median refined through
// height_at. The function borrows `surface`, which must outlive it.
GroundHeights ground_heights(const Surface& surface);

// A terrain file holds at most this much (the file, and apart its inflated arrays): room for
// a grid of twice TERRAIN_MAX_NODES.
inline constexpr uint64_t TERRAIN_FILE_LIMIT = 250'000'000;
// A loaded terrain grid keeps at most this many nodes. The terrain model's cells are at least
// 8 output pixels wide, so the 2000-megapixel output cap gives it about 31 million nodes; a
// larger grid is thinned to every k-th node on both axes.
inline constexpr uint64_t TERRAIN_MAX_NODES = uint64_t{1} << 25;

// Reads a terrain file written for a build: an npz archive with the 0-dimensional arrays
// "z0", "E0", "N0" (absolute UTM of node (0, 0)), "cell" and the 2-dimensional heights "Z"
// (rows from the north). The grid's corner is made relative to the given UTM origin. A "Z"
// that is empty or not 2-dimensional gives a plane at z0; a grid of more than
// TERRAIN_MAX_NODES nodes keeps every k-th node (k as small as fits) with a k times larger
// cell. Errors: a file larger than TERRAIN_FILE_LIMIT, the archive reader's
// message, "surface Z missing", and messages for a grid under 2 x 2, heights that are not
// numbers or do not fill the shape, and a cell size that is not a positive finite number.
std::expected<Surface, std::string> load_surface(const std::filesystem::path& path, double origin_east,
                                                 double origin_north);

}  // namespace tsl
