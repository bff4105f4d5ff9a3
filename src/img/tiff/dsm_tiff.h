#pragma once
// The terrain model as a raster: a classic little-endian TIFF with one 32-bit float sample per
// pixel, one pixel per grid node, strips of 16 rows compressed with zlib (no predictor), and
// the GeoTIFF entries. The caller's GeoTiffRef puts the outer corner of pixel (0, 0) half a
// cell west and north of the north-west node, so every node is the centre of its pixel.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>

#include "img/tiff/tiff_directory_writer.h"

namespace tsl {

inline constexpr uint64_t DSM_ROWS_PER_STRIP = 16;

// The georeference of a terrain raster whose north-west node lies at (node_east, node_north)
// in UTM metres with nodes `cell` metres apart: the outer corner of pixel (0, 0) is half a
// cell west and north of that node.
GeoTiffRef dsm_georef(double node_east, double node_north, double cell, int32_t epsg);

// Writes `heights` (columns x rows f32 values, row-major, row 0 the northernmost; NaN where a
// node has no data) to `path`, replacing any earlier file. Sizes of 0 or a height list of the
// wrong length are a caller's bug (internal error). Error: the system's message.
std::expected<void, std::string> write_dsm_tiff(const std::filesystem::path& path, uint64_t columns, uint64_t rows,
                                                std::span<const float> heights, const GeoTiffRef& ref);

}  // namespace tsl
