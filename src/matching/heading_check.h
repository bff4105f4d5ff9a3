#pragma once
// The heading check: photos whose recorded heading is half a turn off. Such a photo predicts
// every keypoint mirrored through its centre, so the match gate turns its true matches away
// and it would be rendered mirrored through its nadir. The check weighs point correspondences
// of each pair (from the strongest keypoints before matching, or from injected ties) by how
// many land within the gate under the recorded headings and with a photo turned, and turns
// the photos whose overlaps clearly agree with the turn.
#include <cstddef>
#include <span>
#include <vector>

#include "geo/vec.h"
#include "matching/match_pair.h"
#include "matching/pair_match.h"

namespace tsl {

// The rotation of a camera turned by 180 degrees about its optical axis: the image's right and
// down directions reversed, the viewing direction kept.
Mat3 turned_half(const Mat3& r);

// Correspondences of one photo pair, full-resolution pixels: b[k] in photo j pairs with a[k]
// in photo i.
struct HeadingEvidence {
  size_t i = 0;
  size_t j = 0;
  std::vector<Vec2> a;
  std::vector<Vec2> b;
};

// Keypoints of each photo that the check matches: the strongest (the feature stage keeps them
// by response), few enough that matching them costs a small part of the matching stage.
inline constexpr size_t HEADING_KEYPOINTS = 800;

// Ratio-test matches between the first HEADING_KEYPOINTS keypoints of candidate pair k's
// photos, with no pose in the loop: the evidence does not depend on the headings it judges.
// Damaged features give none.
HeadingEvidence strong_keypoint_matches(const MatchContext& ctx, size_t k);

// The photos to turn, ascending. A pair's agreement under some headings is the largest number
// of its correspondences within the gate whose offsets from their predictions agree (true
// matches move together when the poses are off, chance matches scatter). Starting from the
// headings of `ctx`, the photo whose turn adds the most agreement over its pairs is turned
// while that turn raises its agreement by more than half and by at least 8; each photo turns
// once.
// Turning one photo of a flight line recorded backwards lets its neighbours' overlaps agree
// with their own turn, so such a line turns photo by photo. Logs nothing.
std::vector<size_t> find_turned_photos(const MatchContext& ctx, std::span<const HeadingEvidence> evidence);

// The evidence of tie pairs: their verified correspondences.
std::vector<HeadingEvidence> tie_evidence(std::span<const PairMatch> pairs);

}  // namespace tsl
