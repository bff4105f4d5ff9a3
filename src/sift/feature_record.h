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

// The largest record extraction at these settings writes, in bytes: what a cache entry may
// hold before it is read. `features` 0 (keep all) allows one keypoint per working pixel.
uint64_t feature_record_max_bytes(uint64_t match_px, uint64_t features);

// The FeatureSet of a record, or nothing unless every entry is there and they agree with
// each other (kp and kp_m 2n values, desc 128 n, thumb thumb_w x thumb_h x 3, pairs of two)
// and every value is one extraction can give: finite positions, descriptor and thumbnail
// values in [0, 1], working and thumbnail sizes and scales above 0. A damaged or foreign
// record is a miss, never a failure.
std::optional<FeatureSet> decode_feature_record(const CacheRecord& record);

// Whether decoded features belong to a photo of this size: the scales are the working and
// thumbnail sizes over the photo's (within half a pixel), and every keypoint lies inside the
// photo and inside the working image (pixel centres at integers, so from -0.5 to size - 0.5).
bool features_fit_photo(const FeatureSet& features, const ImageMeta& photo);

}  // namespace tsl
