#pragma once
// The terrain model and the seam lines saved beside a mosaic: the height grid as a NumPy
// archive (read back by a later reuse and the diagnostics) and as a float GeoTIFF, and the
// seam label grid as a NumPy archive (read back by the studio's preview). Coordinates in the
// files are UTM: local metres plus the build's origin. Each file is written whole; errors are
// the system's text, unchanged.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>

#include "grid/seam_map.h"
#include "surface/surface.h"

namespace tsl {

// Seam labels are stored in 16 bits, so a seam file holds at most this many photos.
inline constexpr uint64_t SEAM_FILE_MAX_PHOTOS = 32767;

// Writes the terrain archive alone ("z0", "E0", "N0", "cell", "Z") to `path`. A plane is a
// caller's bug (internal error).
std::expected<void, std::string> write_terrain_archive(const std::filesystem::path& path, const Surface& surface,
                                                       double origin_e, double origin_n);

// Writes the terrain archive ("z0", "E0", "N0", "cell" as float64 scalars, "Z" float32
// (ny, nx)) to `archive_path`, then the terrain raster (float32, one pixel per node, the node
// at the pixel's centre) to `raster_path`. A plane is a caller's bug (internal error).
std::expected<void, std::string> write_terrain_files(const std::filesystem::path& archive_path,
                                                     const std::filesystem::path& raster_path, const Surface& surface,
                                                     double origin_e, double origin_n, int32_t epsg);

// Writes the seam archive: "label" int16 (ny, nx) (-1 where no photo), "E0", "N0" (UTM of the
// grid's north-west corner), "gs" (cell size) as float64 scalars and "files" (the photo names).
// Error before anything is written when the map names more photos than 16-bit labels hold.
std::expected<void, std::string> write_seam_file(const std::filesystem::path& path, const SeamMap& map, double origin_e,
                                                 double origin_n);

}  // namespace tsl
