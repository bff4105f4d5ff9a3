#pragma once
// Turning the user's input paths (files and folders) into the list of photo files.
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace tsl {

// The image files (jpg, jpeg, tif, tiff, dng in any case) directly inside `folder`, links
// followed, sub-folders not entered, sorted by path order. A folder that cannot be listed
// gives nothing.
std::vector<std::filesystem::path> list_image_files(const std::filesystem::path& folder);

// Each input in order: a folder contributes its listing; anything else (a file, or a path
// that does not exist) is kept unchanged when its extension is an image one, so that a
// missing photo is reported by the reader instead of vanishing.
std::vector<std::filesystem::path> scan_inputs(std::span<const std::filesystem::path> inputs);

// The entries of the input folders named like image files that are no regular files (folders,
// dangling or looping links, FIFOs, devices), folder by folder in path order: the listing
// leaves them out, and the metadata stage names each one.
std::vector<std::filesystem::path> odd_photo_entries(std::span<const std::filesystem::path> inputs);

// Paths compare component by component, each component by its bytes, so separator style and
// doubled separators do not matter.
bool same_path(const std::filesystem::path& a, const std::filesystem::path& b);

// A text that is equal for exactly the paths that `same_path` calls equal, for hashing.
std::string path_identity(const std::filesystem::path& path);

}  // namespace tsl
