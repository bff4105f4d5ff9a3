#pragma once
// Files that a raw developer has corrected often lose the drone's pose metadata. Such a photo
// borrows the pose of its original: one the pairing found next to it, or one found by name
// in the `meta_from` folders, in its own folder or in the folder above.
#include <filesystem>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "meta/image_meta.h"
#include "pipeline/file_pairing.h"

namespace tsl {

// lat, lon, rel_alt, gimbal_yaw and gimbal_pitch are all finite.
bool has_pose(const ImageMeta& meta);

// Folder listings made during one metadata stage; each folder is listed at most once.
using FolderCache = std::vector<std::pair<std::filesystem::path, std::vector<std::filesystem::path>>>;

// Files that may be the record's original, best first: a file named as the record's
// `original_name` (any case), then files with the same DJI capture key whose stem is the key
// or the key plus "_" and a letter, or, for names without a DJI key, files whose stem the
// record's stem continues past a separator (IMG_1234 for IMG_1234-Enhanced-NR); DNG files
// first within each part. Searched: the `folders`, then the record's folder and its parent.
std::vector<std::filesystem::path> original_candidates(const ImageMeta& meta, std::span<const std::string> folders,
                                                       FolderCache& cache);

// In mode Auto first marks every paired processed file as processed (dropping its lens
// corrections and its lens model, which is derived again later). Then each record without a
// complete pose takes position, altitudes and angles from the first candidate that reads
// with a complete pose, plus exposure, focal values, make, model and time where its own are
// missing, and names it in `meta_from`. Paired files search only their pair's originals.
// Logs "  pose metadata taken from originals for {} image(s)" and returns that count.
size_t pose_from_originals(std::vector<ImageMeta>& records, std::span<const ProcessedPair> pairs, ProcessedMode mode,
                           std::span<const std::string> folders);

}  // namespace tsl
