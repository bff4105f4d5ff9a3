#pragma once
// The matching stage of the full road: every candidate pair matched into tie points on the
// build's worker threads, or the tie pairs injected from a file named by TSL_MATCHES. The
// matched pairs are written to the file TSL_DUMP_MATCHES names, when set.
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "config/config.h"
#include "matching/match_pair.h"
#include "matching/pair_match.h"
#include "matching/pair_selection.h"
#include "meta/image_meta.h"
#include "sift/feature_set.h"

namespace tsl {

// The context the build gives match_pair: the metadata poses, the take-off height as the
// prediction plane, the gate at 2.5 sigmas and the overlap margin at one sigma of the
// position and angle priors, and the options min_inliers and max_ties.
MatchContext make_match_context(std::span<const PhotoPair> pairs, std::span<const FeatureSet> features,
                                std::span<const ImageMeta> images, std::span<const Mat3> rotations,
                                std::span<const Vec3> positions, const Config& config);

// The rotation of a camera turned by 180 degrees about its optical axis: the image's right and
// down directions reversed, the viewing direction kept.
Mat3 turned_half(const Mat3& r);

// Matches the candidate pairs on up to `workers` threads with the progress line
// "  pairs {}/{}" about ten times, logs "  matched {}/{} pairs, {} tie points" and returns the
// matched pairs in candidate order. A photo whose features are damaged is named in a warning
// and its pairs get no ties. With TSL_MATCHES set the file's pairs come back instead (the only
// error road: the file's read or parse error, unchanged).
//
// With `turned` given, the heading check runs before the dump and the count line: every photo
// that matched at most half of its pairs, or has a matched pair whose points sit where the
// poses predict them turned half around, is tried turned by 180 degrees (turned_half), and a
// turn that verifies more correspondences over its pairs than the recorded heading is kept.
// `turned` receives those photos in ascending order, each named in a log line; the caller
// turns their poses to match the returned ties. Injected ties skip the check.
std::expected<std::vector<PairMatch>, std::string> run_matching_stage(std::span<const PhotoPair> pairs,
                                                                      std::span<const FeatureSet> features,
                                                                      std::span<const ImageMeta> images,
                                                                      std::span<const Mat3> rotations,
                                                                      std::span<const Vec3> positions,
                                                                      const Config& config,
                                                                      std::vector<size_t>* turned = nullptr);

}  // namespace tsl
