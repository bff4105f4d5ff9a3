#pragma once
// Where a build's files go and how they get there. Every file of a build but the world file is
// named by the output's stem plus a fixed suffix, so that one build's files sit side by side.
// Each file is written under a temporary sibling name and renamed into place only when it is
// complete: a failed or cancelled build never leaves a half-written file under a final name,
// and the previous build's file stays until its successor is whole.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>

#include "util/files.h"
#include "util/path.h"

namespace tsl {

// Settles the output path before anything is written. When the configured path lies inside an
// existing file (a photo picked by mistake as the output folder), the output moves to a folder
// "tessaly" beside that file, named "{folder}_ortho.tif" after the folder holding it ("ortho"
// when there is none), and the move is logged. The final path's folder is then created with
// its missing parents. Error: the system's text.
std::expected<std::filesystem::path, std::string> settle_output_path(const std::filesystem::path& configured);

}  // namespace tsl
