#pragma once
// A FeatureSet as a disk-cache record of the kind "features", and the key it is stored under.
#include <optional>
#include <string>

#include "cache/record.h"
#include "meta/image_meta.h"
#include "sift/feature_set.h"

namespace tsl {

// The photo's lens items as the key names them: ('warp', 'vign'), ('vign',) for one, () for none.
std::string feature_lens_text(const ImageMeta& photo);

// The cache key of the photo's features at these settings; nothing when the cache is off or
// the file cannot be examined.
std::optional<std::string> feature_cache_key(const ImageMeta& photo, uint64_t match_px, uint64_t features);

// Entries "kp", "kp_m" (f32 pairs), "desc" (binary16), "hw", "thumb" (binary16), "thumb_wh",
// "tsc" and "msc" (f64 pairs), in that order.
CacheRecord encode_feature_record(const FeatureSet& features);

// The FeatureSet of a record, or nothing unless every entry is there and they agree with
// each other (kp and kp_m 2n values, desc 128 n, thumb thumb_w x thumb_h x 3, pairs of two):
// a damaged or foreign record is a miss, never a failure.
std::optional<FeatureSet> decode_feature_record(const CacheRecord& record);

}  // namespace tsl
