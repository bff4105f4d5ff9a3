#include "pipeline/pose_from_originals.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <unordered_map>

#include "logx.h"
#include "meta/file_kind.h"
#include "meta/meta_reader.h"
#include "pipeline/input_scan.h"
#include "util/lower_case.h"
#include "util/path.h"

namespace tsl {

namespace fs = std::filesystem;

namespace {

const std::vector<fs::path>& listing(const fs::path& folder, FolderCache& cache) {
  for (const auto& [path, files] : cache)
    if (same_path(path, folder)) return files;
  std::error_code ec;
  std::vector<fs::path> files;
  if (fs::is_directory(folder, ec)) files = list_image_files(folder);
  cache.emplace_back(folder, std::move(files));
  return cache.back().second;
}

std::vector<fs::path> search_folders(const fs::path& photo, std::span<const std::string> meta_from) {
  std::vector<fs::path> folders(meta_from.begin(), meta_from.end());
  const fs::path parent = photo.parent_path();
  if (parent.empty() || parent == photo) return folders;
  folders.push_back(parent);
  const fs::path grandparent = parent.parent_path();
  if (!grandparent.empty() && grandparent != parent) folders.push_back(grandparent);
  return folders;
}

bool stem_is_key_or_key_letter(const std::string& stem, const std::string& key) {
  if (stem == key) return true;
  return stem.size() == key.size() + 2 && stem.starts_with(key) && stem[key.size()] == '_' && stem.back() >= 'a' &&
         stem.back() <= 'z';
}

void borrow_pose(ImageMeta& m, const ImageMeta& original) {
  m.lat = original.lat;
  m.lon = original.lon;
  m.rel_alt = original.rel_alt;
  m.abs_alt = original.abs_alt;
  m.gimbal_yaw = original.gimbal_yaw;
  m.gimbal_pitch = original.gimbal_pitch;
  m.gimbal_roll = original.gimbal_roll;
  m.flight_yaw = original.flight_yaw;
  if (!std::isfinite(m.exposure)) m.exposure = original.exposure;
  if (!std::isfinite(m.focal_35mm)) {
    m.focal_mm = original.focal_mm;
    m.focal_35mm = original.focal_35mm;
  }
  if (m.make.empty()) m.make = original.make;
  if (m.model.empty()) m.model = original.model;
  if (m.time.empty()) m.time = original.time;
  m.meta_from = file_name_string(original.path.native());
}

}  // namespace

bool has_pose(const ImageMeta& m) {
  return std::isfinite(m.lat) && std::isfinite(m.lon) && std::isfinite(m.rel_alt) && std::isfinite(m.gimbal_yaw) &&
         std::isfinite(m.gimbal_pitch);
}

std::vector<fs::path> original_candidates(const ImageMeta& meta, std::span<const std::string> folders,
                                          FolderCache& cache) {
  const std::string wanted_name = lower_unicode(meta.original_name);
  const std::string own_name = file_name_string(meta.path.native());
  const std::optional<std::string> own_key = dji_name_key(own_name);
  const std::string own_stem = normalised_stem(meta.path);
  auto is_name_match = [&](const fs::path& c) {
    return !wanted_name.empty() && lower_unicode(file_name_string(c.native())) == wanted_name;
  };
  std::vector<fs::path> found;
  for (const fs::path& folder : search_folders(meta.path, folders)) {
    for (const fs::path& c : listing(folder, cache)) {
      if (same_path(c, meta.path)) continue;
      if (is_name_match(c)) {
        found.insert(found.begin(), c);
        continue;
      }
      const std::string name = file_name_string(c.native());
      const std::optional<std::string> key = dji_name_key(name);
      if (own_key && key) {
        if (*key == *own_key && stem_is_key_or_key_letter(lower_unicode(file_stem_string(name)), *key))
          found.push_back(c);
      } else if (!own_key && !key) {
        // Mended rule: the photo's name must continue the candidate's past a separator, so
        // photo10 never borrows the pose of photo1.
        if (key_continues(own_stem, normalised_stem(c))) found.push_back(c);
      }
    }
  }
  std::stable_sort(found.begin(), found.end(), [&](const fs::path& a, const fs::path& b) {
    const bool na = is_name_match(a), nb = is_name_match(b);
    if (na != nb) return na;
    return is_dng_file(a) && !is_dng_file(b);
  });
  return found;
}

size_t pose_from_originals(std::vector<ImageMeta>& records, std::span<const ProcessedPair> pairs, ProcessedMode mode,
                           std::span<const std::string> folders) {
  std::unordered_map<std::string, const ProcessedPair*> pair_of;
  for (const ProcessedPair& p : pairs) pair_of.try_emplace(path_identity(p.processed), &p);
  auto find_pair = [&](const ImageMeta& m) -> const ProcessedPair* {
    auto it = pair_of.find(path_identity(m.path));
    return it == pair_of.end() ? nullptr : it->second;
  };
  if (mode == ProcessedMode::Auto) {
    for (ImageMeta& m : records) {
      if (m.processed || find_pair(m) == nullptr) continue;
      m.processed = true;
      m.lens_ops.clear();
      // The model may hold the distortion the developer already removed; it is derived
      // again, now for a processed photo, by the stage's lens step.
      m.lens.reset();
    }
  }
  FolderCache cache;
  size_t count = 0;
  for (ImageMeta& m : records) {
    if (has_pose(m)) continue;
    const ProcessedPair* pair = find_pair(m);
    const std::vector<fs::path> candidates = pair ? pair->originals : original_candidates(m, folders, cache);
    for (const fs::path& c : candidates) {
      auto original = read_image_meta(c, std::nullopt, ProcessedMode::No);
      if (!original || !has_pose(*original)) continue;
      borrow_pose(m, *original);
      ++count;
      break;
    }
  }
  if (count >= 1) logf("  pose metadata taken from originals for {} image(s)", count);
  return count;
}

}  // namespace tsl
