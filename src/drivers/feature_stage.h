#pragma once
// The feature stage: every photo of a build gets its FeatureSet at the working scale (the
// long side near `match_px`), from the disk cache or extracted on worker threads whose number
// the free memory caps.
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config/config.h"
#include "meta/image_meta.h"
#include "sift/feature_set.h"

namespace tsl {

// One FeatureSet per photo, in photo order, or the load error of the lowest-index photo that
// failed (after every other photo ran, their records cached). Reads `match_px`, `features`
// and `workers`; logs "  features: {}/{} from cache" and "  features {}/{}" progress lines.
std::expected<std::vector<FeatureSet>, std::string> extract_all_features(std::span<const ImageMeta> photos,
                                                                        const Config& config);

// The features of one photo: loaded near match_px on its long side, a 480-pixel thumbnail,
// SIFT on the equalised gray image with `features` keypoints; stored in the cache under
// `key` when given. Errors are the image loader's.
std::expected<FeatureSet, std::string> extract_features(const ImageMeta& photo, uint64_t match_px,
                                                        uint64_t features, const std::optional<std::string>& key);

}  // namespace tsl
