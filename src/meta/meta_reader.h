#pragma once
// Reading one photograph's metadata record: size, EXIF facts, drone XMP, DNG lens
// corrections and processed-file detection, then the camera model. Only as much of the file
// is read as the metadata needs: 1 MiB of a JPEG (16 MiB when its frame header lies further
// in), 4 MiB of a DNG (read whole only when its raw directory lies further in), a TIFF whole.
// Files read whole are bounded by PHOTO_FILE_LIMIT.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "meta/image_meta.h"
#include "util/files.h"

namespace tsl {

inline constexpr uint64_t JPEG_HEAD_BYTES = 1 << 20;
inline constexpr uint64_t DNG_HEAD_BYTES = 4 << 20;
// Where a JPEG's frame header is looked for when it is not in the first MiB. Segments hold at
// most 64 KiB each, so only a file carrying hundreds of them (previews, maker notes) places
// its frame header further in; a larger search would read a whole damaged file for nothing.
inline constexpr uint64_t JPEG_SIZE_SEARCH_BYTES = 16 << 20;

// The record of one photo; the kind follows the extension (dng, tif/tiff, else JPEG). Fails
// only when the file cannot be read (the system's text), with "cannot read JPEG size", with
// the TIFF parser's message for a broken DNG or TIFF structure, "empty TIFF", "no width" or
// "no height". Everything else that is missing stays at its missing value; `lens` is absent
// when no focal length can be derived. Pure: safe to call on many threads at once.
std::expected<ImageMeta, std::string> read_image_meta(const std::filesystem::path& path,
                                                      std::optional<double> focal_override, ProcessedMode mode);

}  // namespace tsl
