#pragma once
// The matching stage of the full road: every candidate pair matched into tie points on the
// build's worker threads, or the tie pairs injected from the options' tie file. The matched
// pairs are written to the options' dump file, when it names one.
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "matching/heading_check.h"
#include "matching/match_pair.h"
#include "matching/pair_match.h"
#include "matching/pair_selection.h"
#include "meta/placed_photos.h"
#include "sift/feature_set.h"

namespace tsl {

// Matches the candidate pairs, with the metadata poses of `photos`, on up to `workers` threads
// with the progress line "  pairs {}/{}" about ten times, logs "  matched {}/{} pairs, {} tie
// points" and returns the matched pairs in candidate order. A photo whose features are damaged
// is named in a warning and its pairs get no ties. Photos left without ties get a second try
// when the options give retry features: "  {} photo(s) without ties: matched again from {}
// keypoints", their features extracted again and their unmatched pairs matched again. With a
// tie file to inject, the file's pairs come back instead. Errors: the tie file's read or parse
// error, unchanged, and ties too many for the free memory of the adjustment.
//
// With `turned` given, the heading check (find_turned_photos on strong_keypoint_matches) runs
// before matching, and the pairs are matched with the turned photos' headings. `turned`
// receives those photos in ascending order, each named in a log line; the caller turns their
// poses to match the returned ties. A dump records them by file name. Injected ties come with
// the turns their file records, or, when it records none, with the check run on their ties.
std::expected<std::vector<PairMatch>, std::string> run_matching_stage(std::span<const PhotoPair> pairs,
                                                                      std::span<const FeatureSet> features,
                                                                      const PlacedPhotos& photos,
                                                                      const MatchOptions& options,
                                                                      std::vector<size_t>* turned = nullptr);

}  // namespace tsl
