#include "drivers/feature_stage.h"

#include <algorithm>
#include <cmath>

#include "cache/disk_cache.h"
#include "imageio/load_image.h"
#include "img/ops/feature_image.h"
#include "img/ops/resample.h"
#include "logx.h"
#include "sift/binary16.h"
#include "sift/feature_record.h"
#include "sift/sift.h"
#include "sysmon.h"
#include "util/par.h"

namespace tsl {

namespace {

constexpr double THUMB_SIDE = 480.0;
// Working-image bytes one extraction needs at most: the detector's first octave holds eleven
// float layers of 4 pixels per working pixel (176 bytes) beside the base and the loaded image.
constexpr double BYTES_PER_WORK_PIXEL = 200.0;
// A DNG's full-size development (16-bit RGB plus the raw mosaic) per full-resolution pixel.
constexpr double BYTES_PER_DNG_PIXEL = 14.0;

// Half away from zero, saturating into size_t; at least 1 for an image side.
size_t round_side(double v) {
  const double r = std::round(v);
  if (!(r >= 1.0)) return 1;
  return static_cast<size_t>(r);
}

ImageF32 to_f32(const ImageU16& image) {
  ImageF32 out;
  out.data.assign(image.data.begin(), image.data.end());
  out.width = image.width;
  out.height = image.height;
  out.channels = image.channels;
  return out;
}

uint16_t to_u16(float v) { return static_cast<uint16_t>(std::min(std::max(std::round(v), 0.0f), 65535.0f)); }

double load_scale(const ImageMeta& photo, uint64_t match_px) {
  const double long_side = static_cast<double>(std::max(photo.width, photo.height));
  return std::min(static_cast<double>(match_px) / long_side, 1.0);
}

}  // namespace

std::expected<FeatureSet, std::string> extract_features(const ImageMeta& photo, const SiftOptions& options,
                                                        const std::optional<std::string>& key) {
  const uint64_t match_px = options.match_px;
  auto decoded = load_image(photo, load_scale(photo, match_px));
  if (!decoded) return std::unexpected(decoded.error());
  const double photo_w = static_cast<double>(photo.width), photo_h = static_cast<double>(photo.height);

  FeatureSet f;
  ImageU16 work;
  const size_t loaded_long = std::max(decoded->image.width, decoded->image.height);
  if (1.05 * static_cast<double>(match_px) >= static_cast<double>(loaded_long)) {
    work = std::move(decoded->image);
    f.msc = Vec2{decoded->scale_x, decoded->scale_y};
  } else {
    const double k = static_cast<double>(match_px) / static_cast<double>(loaded_long);
    const size_t w = round_side(static_cast<double>(decoded->image.width) * k);
    const size_t h = round_side(static_cast<double>(decoded->image.height) * k);
    const ImageF32 resized = resize(to_f32(decoded->image), w, h);
    decoded->image = {};
    work = ImageU16(w, h, resized.channels);
    for (size_t i = 0; i < resized.data.size(); ++i) work.data[i] = to_u16(resized.data[i]);
    f.msc = Vec2{static_cast<double>(w) / photo_w, static_cast<double>(h) / photo_h};
  }

  {
    const double k = THUMB_SIDE / static_cast<double>(std::max(work.width, work.height));
    f.thumb_w = static_cast<uint32_t>(round_side(static_cast<double>(work.width) * k));
    f.thumb_h = static_cast<uint32_t>(round_side(static_cast<double>(work.height) * k));
    const ImageF32 thumb = resize(to_f32(work), f.thumb_w, f.thumb_h);
    f.thumb.resize(thumb.data.size());
    for (size_t i = 0; i < thumb.data.size(); ++i)
      f.thumb[i] = round_to_binary16(static_cast<float>(to_u16(thumb.data[i])) / 65535.0f);
    f.tsc = Vec2{static_cast<double>(f.thumb_w) / photo_w, static_cast<double>(f.thumb_h) / photo_h};
  }

  const ImageU8 gray = prepare_feature_image(work);
  work = {};
  f.work_h = static_cast<uint32_t>(gray.height);
  f.work_w = static_cast<uint32_t>(gray.width);
  SiftFeatures sift = sift_extract(gray, options);
  f.kp_m.reserve(sift.keypoints.size());
  f.kp.reserve(sift.keypoints.size());
  for (const Keypoint& k : sift.keypoints) {
    const Vec2 m{static_cast<double>(k.x), static_cast<double>(k.y)};
    f.kp_m.push_back(m);
    f.kp.push_back(Vec2{(m.x + 0.5) / f.msc.x - 0.5, (m.y + 0.5) / f.msc.y - 0.5});
  }
  f.desc = std::move(sift.descriptors);
  if (key) cache_store("features", *key, encode_feature_record(f));
  return f;
}

std::expected<std::vector<FeatureSet>, std::string> extract_all_features(std::span<const ImageMeta> photos,
                                                                        const SiftOptions& options) {
  const size_t n = photos.size();
  std::vector<std::optional<std::string>> keys(n);
  for (size_t i = 0; i < n; ++i) keys[i] = feature_cache_key(photos[i], options.match_px, options.features);

  const uint64_t max_record_bytes = feature_record_max_bytes(options.match_px, options.features);
  std::vector<FeatureSet> out(n);
  std::vector<size_t> misses;
  size_t hits = 0;
  for (size_t i = 0; i < n; ++i) {
    std::optional<FeatureSet> hit;
    if (keys[i]) {
      if (auto record = cache_load("features", *keys[i], max_record_bytes)) {
        hit = decode_feature_record(*record);
        // A record with values no extraction of this photo gives is made again.
        if (hit && !features_fit_photo(*hit, photos[i])) hit.reset();
        if (!hit) cache_hit_unusable();
      }
    }
    if (hit) {
      out[i] = std::move(*hit);
      ++hits;
    } else {
      misses.push_back(i);
    }
  }
  if (hits > 0) logf("  features: {}/{} from cache", hits, n);
  if (misses.empty()) return out;

  const ImageMeta& first = photos[misses.front()];
  const double s = load_scale(first, options.match_px);
  const double pixels = static_cast<double>(first.width) * static_cast<double>(first.height);
  const double bytes =
      s * (s * pixels) * BYTES_PER_WORK_PIXEL + (first.is_dng ? pixels * BYTES_PER_DNG_PIXEL : 0.0);
  const size_t jobs = std::max<size_t>(jobs_within_ram(options.workers, bytes, "feature extraction"), 1);
  // Fewer photos than jobs: one photo after another, each spread over the workers.
  const size_t threads = misses.size() < jobs ? 1 : jobs;
  // Loading, resampling and the detector on this thread stay within the workers too.
  const BudgetCap cap(options.workers);

  auto job = [&](size_t k) {
    const size_t i = misses[k];
    return extract_features(photos[i], options, keys[i]);
  };
  auto progress = [&](size_t done, size_t total) { logf("  features {}/{}", done, total); };
  // Jobs that run on this thread leave the detector's images here; the workers' go with them.
  struct ReleaseScratch {
    ~ReleaseScratch() { release_sift_scratch(); }
  } release;
  std::vector<std::expected<FeatureSet, std::string>> results =
      par_map_progress(misses.size(), threads, 10, job, progress);

  for (size_t k = 0; k < misses.size(); ++k) {
    if (!results[k]) return std::unexpected(results[k].error());
    out[misses[k]] = std::move(*results[k]);
  }
  return out;
}

}  // namespace tsl
