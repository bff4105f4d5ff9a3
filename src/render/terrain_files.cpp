#include "render/terrain_files.h"

#include <vector>

#include "img/tiff/dsm_tiff.h"
#include "util/error.h"
#include "util/npy.h"
#include "util/text.h"

namespace tsl {
namespace {

NpyArray scalar(double v) { return NpyArray{std::vector<double>{v}, {}}; }

}  // namespace

std::expected<void, std::string> write_terrain_archive(const std::filesystem::path& path, const Surface& surface,
                                                       double origin_e, double origin_n) {
  if (!surface.z) internal_error("terrain archive of a plane");
  const std::vector<NamedArray> arrays = {
      {"z0", scalar(surface.z0)},
      {"E0", scalar(origin_e + surface.e0)},
      {"N0", scalar(origin_n + surface.n0)},
      {"cell", scalar(surface.cell)},
      {"Z", NpyArray{*surface.z, {surface.ny, surface.nx}}},
  };
  return write_npz(path, arrays);
}

std::expected<void, std::string> write_terrain_files(const std::filesystem::path& archive_path,
                                                     const std::filesystem::path& raster_path, const Surface& surface,
                                                     double origin_e, double origin_n, int32_t epsg) {
  if (!surface.z) internal_error("terrain files of a plane");
  const double east = origin_e + surface.e0, north = origin_n + surface.n0;
  if (auto r = write_terrain_archive(archive_path, surface, origin_e, origin_n); !r) return r;
  return write_dsm_tiff(raster_path, surface.nx, surface.ny, *surface.z, dsm_georef(east, north, surface.cell, epsg));
}

std::expected<void, std::string> write_seam_file(const std::filesystem::path& path, const SeamMap& map, double origin_e,
                                                 double origin_n) {
  if (map.names.size() > SEAM_FILE_MAX_PHOTOS)
    return std::unexpected(
        format("{} photos are too many for a seam file (at most {})", map.names.size(), SEAM_FILE_MAX_PHOTOS));
  if (map.labels.size() != map.nx * map.ny)
    internal_error(format("seam map of {}x{} cells with {} labels", map.nx, map.ny, map.labels.size()));
  std::vector<int16_t> labels(map.labels.size());
  for (size_t i = 0; i < labels.size(); ++i) {
    const int32_t l = map.labels[i];
    if (l < -1 || l >= static_cast<int64_t>(map.names.size()))
      internal_error(format("seam label {} with {} photos", l, map.names.size()));
    labels[i] = static_cast<int16_t>(l);
  }
  const std::vector<NamedArray> arrays = {
      {"label", NpyArray{std::move(labels), {map.ny, map.nx}}},
      {"E0", scalar(origin_e + map.left_e)},
      {"N0", scalar(origin_n + map.top_n)},
      {"gs", scalar(map.cell)},
      {"files", NpyArray{map.names, {map.names.size()}}},
  };
  return write_npz(path, arrays);
}

}  // namespace tsl
