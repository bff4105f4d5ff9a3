#pragma once
// Names taken from paths as the program shows and builds them. Both "\\" and "/" separate, so
// a path typed on either system gives the same name.
#include <filesystem>
#include <string>
#include <string_view>

namespace tsl {

// The last component of a path, repeated and trailing separators and "." components ignored;
// "" for a root, a drive or share prefix, or a path ending in "..". Invalid UTF-8 becomes
// U+FFFD.
std::string file_name_string(std::string_view path);

// The file name without its last extension; a leading dot alone does not start one
// (".hidden" stays whole, "name." gives "name", "..x" gives "."). "" without a file name.
std::string file_stem_string(std::string_view path);

// `path` with its file name replaced by its stem followed by `suffix`: ortho.tif with
// "_report.json" gives ortho_report.json; a path without a file name gets the suffix appended.
std::filesystem::path sibling_path(const std::filesystem::path& path, const std::string& suffix);

// The name a file is written under until it is complete: "ortho.tif" becomes
// "ortho.partial.tif" in the same folder, so the rename never crosses a file system.
std::filesystem::path partial_path(const std::filesystem::path& path);

}  // namespace tsl
