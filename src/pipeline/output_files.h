#pragma once
// Where a build's files go and how they get there. Every file of a build but the world file is
// named by the output's stem plus a fixed suffix, so that one build's files sit side by side.
// Each file is written under a partial sibling name, and all of them are renamed into place
// together when the build is done: a failed or cancelled build leaves the previous build's
// files as they were, never a half-written file under a final name and never a mix of the
// two builds.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "util/files.h"
#include "util/path.h"

namespace tsl {

// The output path a configured one settles to, without touching the disk: when the path lies
// inside an existing file (a photo picked by mistake as the output folder), the output moves
// to a folder "tessaly" beside that file, named "{folder}_ortho.tif" after the folder holding
// it ("ortho" when there is none); `inside` then names that file.
struct SettledOutput {
  std::filesystem::path path;
  std::filesystem::path inside;  // empty unless redirected
};
SettledOutput plan_output_path(const std::filesystem::path& configured);

// Settles the output path before anything is written (see plan_output_path), logs a redirect,
// and creates the final path's folder with its missing parents. Error: "cannot create folder
// {folder}: {system's text}".
std::expected<std::filesystem::path, std::string> settle_output_path(const std::filesystem::path& configured);

// Checked before the first stage that takes time, so that a build that could never write its
// result fails at once: the settled output must not be a folder, device, FIFO or socket (it
// would be replaced by a regular file), and its folder must take a new file, which is found
// out by creating the folder and the output's partial file and removing that file again. An
// output without a file name ("", "out/") is refused too.
// Errors name the path at fault.
std::expected<void, std::string> check_output_target(const std::filesystem::path& configured);

// The files of one build in the order they are committed; each partial file is removed when
// the record goes unless it was committed.
struct BuildOutputs {
  std::vector<std::unique_ptr<PendingFile>> files;
};

// Reserves the partial file for `final_path` and returns its path, to be written by the
// caller. Error: reserve_partial's.
std::expected<std::filesystem::path, std::string> add_output(BuildOutputs& outputs,
                                                             const std::filesystem::path& final_path);

// Every file a build into `output` may write: the output itself, its world file, and the side
// files named by its stem (report, terrain, seams, previews, diagnostics archive).
std::vector<std::filesystem::path> build_output_paths(const std::filesystem::path& output);

// Renames every partial file into place, in order. Before the first rename every final name is
// checked to be free or a regular file, so that a folder in the way fails the commit before
// any earlier file was replaced. Then every other file of build_output_paths(output) is
// removed (a regular file or a link; a folder stays), so that no file of an earlier build
// stands beside the new result as if it were part of it, and so is every leftover partial
// file of those names that no running build holds. Error: "cannot write {final}: {system's
// text}".
std::expected<void, std::string> commit_outputs(BuildOutputs& outputs, const std::filesystem::path& output);

}  // namespace tsl
