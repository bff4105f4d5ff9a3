#pragma once
// The hidden "__sifttest IN" command: times the feature image and SIFT on one JPEG file.
#include <string>
#include <vector>

namespace tsl {

// Decodes the JPEG at full size and returns the lines "gray+clahe {:.0} ms" and "sift {} kps
// {:.0} ms" (at most 4000 keypoints) for stderr. An unreadable or undecodable file is an
// internal error.
std::vector<std::string> sift_test_command(const std::string& path);

}  // namespace tsl
