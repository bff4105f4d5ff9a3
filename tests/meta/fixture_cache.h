#pragma once
// Photo fixtures written by a Python script with cjpeg, exiftool and tifffile. Writing them
// takes a second or two, and CTest runs every test in its own process, so the folder is made
// once per script version and shared through the system's temp folder.
#include <filesystem>
#include <string>

namespace tsl::test {

// The folder the script (a path under the repository) has filled, or empty when a tool it
// needs (cjpeg, exiftool, python3 with numpy and tifffile) is missing. A failing script is a
// test failure.
std::filesystem::path cached_fixture_dir(const std::string& script);

}  // namespace tsl::test
