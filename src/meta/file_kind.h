#pragma once
// What a photo file is, decided by its extension alone.
#include <filesystem>
#include <string>

namespace tsl {

// The extension of the path's file name, lower-cased; empty when the name has no dot, when
// its only dot is its first character, or when there is no file name (a root, "..").
std::string lower_extension(const std::filesystem::path& path);

enum class PhotoKind { Jpeg, Tiff, Dng };

// "dng" is a DNG, "tif" / "tiff" a TIFF, anything else (no extension too) a JPEG.
PhotoKind photo_kind(const std::filesystem::path& path);

// The extension is one of jpg, jpeg, tif, tiff, dng in any letter case.
bool is_image_file(const std::filesystem::path& path);

bool is_dng_file(const std::filesystem::path& path);

}  // namespace tsl
