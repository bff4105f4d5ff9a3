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

#include "meta/image_meta.h"
#include "sift/feature_set.h"
#include "sift/sift.h"

namespace tsl {

// One FeatureSet per photo, in photo order, or the load error of the lowest-index photo that
// failed (after every other photo ran, their records cached). Logs "  features: {}/{} from
// cache" and "  features {}/{}" progress lines.
std::expected<std::vector<FeatureSet>, std::string> extract_all_features(std::span<const ImageMeta> photos,
                                                                        const SiftOptions& options);

// The features of one photo: loaded near match_px on its long side, a 480-pixel thumbnail,
// SIFT on the equalised gray image; stored in the cache under `key` when given. Errors are
// the image loader's.
std::expected<FeatureSet, std::string> extract_features(const ImageMeta& photo, const SiftOptions& options,
                                                        const std::optional<std::string>& key);

}  // namespace tsl
