#include "sift/feature_record.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "cache/cache_key.h"
#include "cache/disk_cache.h"
#include "sift/binary16.h"
#include "sift/descriptor.h"
#include "util/text.h"

namespace tsl {

namespace {

// Thumbnail long side; part of the key so that another size never reads these records.
constexpr const char* THUMB_SIDE_TEXT = "480";
constexpr uint64_t THUMB_SIDE_PX = 480;
// Keypoints kept beyond `features`: responses tied at the cut are all kept. Twice the count
// leaves room for that; a record past it is only read as a miss and made again.
constexpr uint64_t KEPT_FEATURES_FACTOR = 2;
// Bytes per keypoint (two f32 pairs, 128 binary16 values) and the record's names, kinds and
// lengths around its eight entries (at most 19 bytes each besides the data) and its header.
constexpr uint64_t BYTES_PER_KEYPOINT = 8 + 8 + 2 * DESC_LEN;
constexpr uint64_t RECORD_OVERHEAD_BYTES = 8 + 8 * 19 + 4 * 16;
// Keypoint positions on their content's pixel centres; records from detectors that placed
// them a quarter working pixel off lack this part and are never read back.
constexpr const char* POSITIONS_TEXT = "centred";

std::vector<float> pairs_f32(const std::vector<Vec2>& points) {
  std::vector<float> v;
  v.reserve(points.size() * 2);
  for (const Vec2& p : points) {
    v.push_back(static_cast<float>(p.x));
    v.push_back(static_cast<float>(p.y));
  }
  return v;
}

std::vector<uint16_t> to_binary16(const std::vector<float>& values) {
  std::vector<uint16_t> bits(values.size());
  for (size_t i = 0; i < values.size(); ++i) bits[i] = float_to_binary16(values[i]);
  return bits;
}

std::vector<float> from_binary16(const std::vector<uint16_t>& bits) {
  std::vector<float> values(bits.size());
  for (size_t i = 0; i < bits.size(); ++i) values[i] = binary16_to_float(bits[i]);
  return values;
}

// Float to count: truncated, negative and NaN give 0, too large saturates.
uint32_t to_count(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= static_cast<double>(std::numeric_limits<uint32_t>::max())) return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(v);
}

std::optional<Vec2> pair_of(const CacheRecord& record, const char* name, bool exactly_two) {
  auto v = record.get_f64s(name);
  if (!v || v->size() < 2 || (exactly_two && v->size() != 2)) return std::nullopt;
  return Vec2{(*v)[0], (*v)[1]};
}

bool all_finite(const std::vector<float>& v) {
  return std::all_of(v.begin(), v.end(), [](float x) { return std::isfinite(x); });
}

bool all_unit(const std::vector<float>& v) {
  return std::all_of(v.begin(), v.end(), [](float x) { return x >= 0.0f && x <= 1.0f; });
}

bool positive_finite(Vec2 v) { return std::isfinite(v.x) && std::isfinite(v.y) && v.x > 0.0 && v.y > 0.0; }

bool inside(const std::vector<Vec2>& points, double w, double h) {
  return std::all_of(points.begin(), points.end(),
                     [&](const Vec2& p) { return p.x >= -0.5 && p.x <= w - 0.5 && p.y >= -0.5 && p.y <= h - 0.5; });
}

// The size a scale gives for the photo's side agrees with the stored one.
bool scale_matches(double scale, uint64_t photo_side, uint32_t side) {
  return std::abs(scale * static_cast<double>(photo_side) - static_cast<double>(side)) <= 0.5;
}

std::vector<Vec2> points_of(const std::vector<float>& v) {
  std::vector<Vec2> points(v.size() / 2);
  for (size_t i = 0; i < points.size(); ++i) points[i] = Vec2{v[2 * i], v[2 * i + 1]};
  return points;
}

}  // namespace

std::string feature_lens_text(const ImageMeta& photo) {
  std::string text = "(";
  for (size_t i = 0; i < photo.lens_ops.size(); ++i) {
    if (i) text += ", ";
    text += format("'{}'", lens_op_name(photo.lens_ops[i]));
  }
  return text + (photo.lens_ops.size() == 1 ? ",)" : ")");
}

std::optional<std::string> feature_cache_key(const ImageMeta& photo, uint64_t match_px, uint64_t features) {
  if (!cache_enabled()) return std::nullopt;
  const std::optional<std::string> fingerprint = file_fingerprint(photo.path);
  if (!fingerprint) return std::nullopt;
  const std::string settings = format("rootsift{}c0.02", features);
  const std::string px = format("{}", match_px);
  const std::string lens = feature_lens_text(photo);
  return cache_key({"feat", *fingerprint, settings, px, lens, THUMB_SIDE_TEXT, POSITIONS_TEXT});
}

uint64_t feature_record_max_bytes(uint64_t match_px, uint64_t features) {
  const uint64_t side = std::min<uint64_t>(match_px, UINT32_MAX);
  const uint64_t keypoints = features > 0 ? std::min<uint64_t>(features, UINT32_MAX) * KEPT_FEATURES_FACTOR : side * side;
  const uint64_t thumb = THUMB_SIDE_PX * THUMB_SIDE_PX * 3 * 2;
  if (keypoints > (UINT64_MAX - thumb - RECORD_OVERHEAD_BYTES) / BYTES_PER_KEYPOINT) return UINT64_MAX;
  return keypoints * BYTES_PER_KEYPOINT + thumb + RECORD_OVERHEAD_BYTES;
}

CacheRecord encode_feature_record(const FeatureSet& f) {
  CacheRecord record;
  record.put_f32s("kp", pairs_f32(f.kp));
  record.put_f32s("kp_m", pairs_f32(f.kp_m));
  record.put_u16s("desc", to_binary16(f.desc));
  record.put_f64_pair("hw", static_cast<double>(f.work_h), static_cast<double>(f.work_w));
  record.put_u16s("thumb", to_binary16(f.thumb));
  record.put_f64_pair("thumb_wh", static_cast<double>(f.thumb_w), static_cast<double>(f.thumb_h));
  record.put_f64_pair("tsc", f.tsc.x, f.tsc.y);
  record.put_f64_pair("msc", f.msc.x, f.msc.y);
  return record;
}

std::optional<FeatureSet> decode_feature_record(const CacheRecord& record) {
  auto kp = record.get_f32s("kp");
  auto kp_m = record.get_f32s("kp_m");
  auto desc = record.get_u16s("desc");
  auto thumb = record.get_u16s("thumb");
  auto hw = pair_of(record, "hw", false);
  auto thumb_wh = pair_of(record, "thumb_wh", true);
  auto tsc = pair_of(record, "tsc", false);
  auto msc = pair_of(record, "msc", false);
  if (!kp || !kp_m || !desc || !thumb || !hw || !thumb_wh || !tsc || !msc) return std::nullopt;
  const size_t n = kp->size() / 2;
  if (kp->size() != 2 * n || kp_m->size() != 2 * n || desc->size() != DESC_LEN * n) return std::nullopt;
  FeatureSet f;
  f.work_h = to_count(hw->x);
  f.work_w = to_count(hw->y);
  f.thumb_w = to_count(thumb_wh->x);
  f.thumb_h = to_count(thumb_wh->y);
  // Both sides are below 2^32, so their product fits; the division keeps x 3 from overflowing.
  const uint64_t pixels = static_cast<uint64_t>(f.thumb_w) * static_cast<uint64_t>(f.thumb_h);
  if (pixels == 0 || thumb->size() % 3 != 0 || thumb->size() / 3 != pixels) return std::nullopt;
  if (f.work_w == 0 || f.work_h == 0 || !positive_finite(*tsc) || !positive_finite(*msc)) return std::nullopt;
  // binary16 holds NaN and infinities as well; the range checks refuse them.
  f.desc = from_binary16(*desc);
  f.thumb = from_binary16(*thumb);
  if (!all_finite(*kp) || !all_finite(*kp_m) || !all_unit(f.desc) || !all_unit(f.thumb)) return std::nullopt;
  f.channels = 3;
  f.kp = points_of(*kp);
  f.kp_m = points_of(*kp_m);
  f.tsc = *tsc;
  f.msc = *msc;
  return f;
}

bool features_fit_photo(const FeatureSet& f, const ImageMeta& photo) {
  return scale_matches(f.msc.x, photo.width, f.work_w) && scale_matches(f.msc.y, photo.height, f.work_h) &&
         scale_matches(f.tsc.x, photo.width, f.thumb_w) && scale_matches(f.tsc.y, photo.height, f.thumb_h) &&
         inside(f.kp, static_cast<double>(photo.width), static_cast<double>(photo.height)) &&
         inside(f.kp_m, static_cast<double>(f.work_w), static_cast<double>(f.work_h));
}

}  // namespace tsl
