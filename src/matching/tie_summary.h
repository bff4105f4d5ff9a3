#pragma once
// What the full road records about its ties once the first adjustment has run: the report's
// tie counts per photo, matched pairs and unconnected photos, and the tie-pair list.
#include <cstddef>
#include <span>

#include "matching/pair_match.h"
#include "meta/image_meta.h"
#include "util/json.h"

namespace tsl {

// Appends to `adjustment` (an Object): "ties_per_image" (the tie counts of every pair that
// holds the photo, per photo), "pairs_matched" ([tie pairs, candidate pairs]) and
// "unconnected" (file names of the photos without ties), which settle_unconnected replaces
// once the final solution is known.
void add_tie_summary(JsonValue& adjustment, std::span<const PairMatch> tie_pairs, size_t candidate_pairs,
                     std::span<const ImageMeta> images);

// Sets "unconnected" of `adjustment` to the photos without a tie in `solved_ties`, the ties the
// final adjustment solved from (sparse and dense: a photo placed by dense ties is aligned), and
// when there are any logs "  warning: {} image(s) had no tie points (metadata pose used): {}"
// naming the first 8.
void settle_unconnected(JsonValue& adjustment, std::span<const PairMatch> solved_ties,
                        std::span<const ImageMeta> images);

// [[i, j, n], ...], one entry per tie pair in list order.
JsonValue tie_pair_list(std::span<const PairMatch> tie_pairs);

}  // namespace tsl
