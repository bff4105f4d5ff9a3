#pragma once
// The matching stage of the full road: every candidate pair matched into tie points on the
// build's worker threads, or the tie pairs injected from the options' tie file. The matched
// pairs are written to the options' dump file, when it names one.
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "matching/match_pair.h"
#include "matching/pair_match.h"
#include "matching/pair_selection.h"
#include "meta/placed_photos.h"
#include "sift/feature_set.h"

namespace tsl {

// The rotation of a camera turned by 180 degrees about its optical axis: the image's right and
// down directions reversed, the viewing direction kept.
Mat3 turned_half(const Mat3& r);

// Matches the candidate pairs, with the metadata poses of `photos`, on up to `workers` threads
// with the progress line "  pairs {}/{}" about ten times, logs "  matched {}/{} pairs, {} tie
// points" and returns the matched pairs in candidate order. A photo whose features are damaged
// is named in a warning and its pairs get no ties. With a tie file to inject, the file's pairs
// come back instead (the only error road: the file's read or parse error, unchanged).
//
// With `turned` given, the heading check runs before the dump and the count line: every photo
// that matched at most half of its pairs, or has a matched pair whose points sit where the
// poses predict them turned half around, is tried turned by 180 degrees (turned_half), and a
// turn that verifies more correspondences over its pairs than the recorded heading is kept.
// `turned` receives those photos in ascending order, each named in a log line; the caller
// turns their poses to match the returned ties. Injected ties skip the check.
std::expected<std::vector<PairMatch>, std::string> run_matching_stage(std::span<const PhotoPair> pairs,
                                                                      std::span<const FeatureSet> features,
                                                                      const PlacedPhotos& photos,
                                                                      const MatchOptions& options,
                                                                      std::vector<size_t>* turned = nullptr);

}  // namespace tsl
