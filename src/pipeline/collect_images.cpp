#include "pipeline/collect_images.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <numbers>
#include <string_view>
#include <optional>

#include "linalg/stats.h"
#include "logx.h"
#include "meta/intrinsics.h"
#include "meta/meta_reader.h"
#include "pipeline/file_pairing.h"
#include "pipeline/input_scan.h"
#include "pipeline/placement.h"
#include "pipeline/pose_from_originals.h"
#include "util/path.h"
#include "util/files.h"
#include "util/par.h"

namespace tsl {

namespace fs = std::filesystem;

namespace {

// Photos lower than this above the take-off point are take-off or landing shots.
constexpr double MIN_REL_ALT_M = 2.0;
// Fields of view across the long side that survey cameras have, from long telephoto to
// fisheye, degrees.
constexpr double MIN_FOV_DEG = 1.0;
constexpr double MAX_FOV_DEG = 170.0;

using Skipped = std::vector<std::pair<std::string, std::string>>;

std::string name_of(const fs::path& p) { return file_name_string(p.native()); }

// Logs "  skip {name}: {reason}"; a reason that already starts with the name (the lens
// derivation's message) does not repeat it.
void log_skip(const std::string& name, std::string_view reason) {
  if (!name.empty() && reason.size() > name.size() + 2 && reason.starts_with(name) &&
      reason.substr(name.size(), 2) == ": ")
    reason.remove_prefix(name.size() + 2);
  logf("  skip {}: {}", name, reason);
}

// The pairing of the inputs with the excluded files taken out of the read list and named in
// `skipped`; the pairs stay as the pairing made them.
PairedInputs pair_without_excluded(const Config& config, Skipped& skipped) {
  const std::vector<fs::path> inputs(config.input.begin(), config.input.end());
  PairedInputs paired = pair_inputs(inputs, config.prefer, config.use_originals);
  auto excluded = find_excluded(paired.read_list, config.exclude);
  std::erase_if(paired.read_list, [&](const fs::path& p) {
    const std::string name = name_of(p);
    return std::any_of(excluded.begin(), excluded.end(), [&](const auto& e) { return e.first == name; });
  });
  skipped.insert(skipped.end(), excluded.begin(), excluded.end());
  return paired;
}

// Entries of the input folders named like photos that the listing left out (folders, broken
// links, FIFOs): each gets a skip line with what opening it says, rather than vanishing.
void name_odd_entries(const Config& config, Skipped& skipped) {
  const std::vector<fs::path> inputs(config.input.begin(), config.input.end());
  for (const fs::path& p : odd_photo_entries(inputs)) {
    auto opened = read_file_head(p, 0);
    const std::string reason = opened ? std::string("not a regular file") : opened.error();
    log_skip(name_of(p), reason);
    skipped.emplace_back(name_of(p), "unreadable");
  }
}

// Reads every file in parallel; failures are logged by the worker that met them (in the
// order the reads finish) and named in `skipped` in read-list order.
std::vector<ImageMeta> read_records(const std::vector<fs::path>& read_list, const Config& config, ProcessedMode mode,
                                    Skipped& skipped) {
  auto read_meta_job = [&](size_t i) -> std::optional<ImageMeta> {
    auto meta = read_image_meta(read_list[i], config.focal_px, mode);
    if (meta) return std::move(*meta);
    log_skip(name_of(read_list[i]), meta.error());
    return std::nullopt;
  };
  auto results = par_map(read_list.size(), config.workers, read_meta_job);
  std::vector<ImageMeta> records;
  for (size_t i = 0; i < results.size(); ++i) {
    if (results[i])
      records.push_back(std::move(*results[i]));
    else
      skipped.emplace_back(name_of(read_list[i]), "unreadable");
  }
  return records;
}

// Why a photo's focal length is not a survey camera's: a field of view across the long side
// below MIN_FOV_DEG (a focal length of a million pixels maps the frame onto a speck of
// ground and the mosaic onto billions of pixels) or above MAX_FOV_DEG. Nothing when the
// size is unknown.
std::optional<std::string> field_of_view_reason(const ImageMeta& m) {
  const double long_side = static_cast<double>(std::max(m.width, m.height));
  if (!m.lens || long_side <= 0.0) return std::nullopt;
  const double fov = 2.0 * std::atan(long_side / (2.0 * m.lens->fx)) * 180.0 / std::numbers::pi;
  if (std::isfinite(fov) && fov >= MIN_FOV_DEG && fov <= MAX_FOV_DEG) return std::nullopt;
  return format("focal length {:.1} px gives a field of view of {:.3}° (outside {:.0}..{:.0}°)", m.lens->fx, fov, MIN_FOV_DEG,
                MAX_FOV_DEG);
}

// Derives the camera model of records that have none yet (their focal values may have come
// from an original since they were read); drops those without a focal length.
void complete_lenses(std::vector<ImageMeta>& records, std::optional<double> focal_px, Skipped& skipped) {
  std::vector<ImageMeta> kept;
  for (ImageMeta& m : records) {
    if (!m.lens) {
      auto cam = lens_from_meta(m, focal_px);
      if (!cam) {
        log_skip(name_of(m.path), cam.error());
        skipped.emplace_back(name_of(m.path), "no focal length");
        continue;
      }
      m.lens = std::move(*cam);
    }
    if (auto reason = field_of_view_reason(m)) {
      log_skip(name_of(m.path), *reason);
      skipped.emplace_back(name_of(m.path), "focal length out of range");
      continue;
    }
    kept.push_back(std::move(m));
  }
  records = std::move(kept);
}

void apply_lens_switches(std::vector<ImageMeta>& records, bool no_lens, bool no_vignette) {
  if (!no_lens && !no_vignette) return;
  for (ImageMeta& m : records) {
    std::erase_if(m.lens_ops, [&](const LensOp& op) {
      const bool warp = std::holds_alternative<WarpOp>(op);
      return (no_lens && warp) || (no_vignette && !warp);
    });
    if (no_lens && m.lens) {
      m.lens->kind = LensKind::None;
      std::fill(m.lens->coeffs.begin(), m.lens->coeffs.end(), 0.0);
    }
  }
}

// The first filter a record fails, or nothing. A tilt is measured from nadir on both sides:
// a gimbal pitched past straight down (-120) is as tilted as one at -60.
std::optional<std::string> filter_reason(const ImageMeta& m, double max_tilt) {
  if (!std::isfinite(m.lat) || !std::isfinite(m.lon)) return "no GPS";
  if (std::fabs(m.lat) > 90.0 || std::fabs(m.lon) > 180.0) return "GPS position out of range";
  if (!std::isfinite(m.rel_alt) || m.rel_alt < MIN_REL_ALT_M) return "no/low relative altitude";
  if (m.rel_alt > MAX_REL_ALT_M || std::isinf(m.abs_alt) || std::fabs(m.abs_alt) > MAX_ABS_ALT_M)
    return "altitude out of range";
  if (!std::isfinite(m.gimbal_pitch) || !std::isfinite(m.gimbal_yaw)) return "no gimbal angles";
  if (std::fabs(m.gimbal_pitch + 90.0) > max_tilt) return format("tilted {:.0}°", m.gimbal_pitch);
  return std::nullopt;
}

// Fills a missing relative altitude from the ground height when one is given, then drops
// the records that fail a filter.
void drop_unusable(std::vector<ImageMeta>& records, const Config& config, Skipped& skipped) {
  std::vector<ImageMeta> kept;
  for (ImageMeta& m : records) {
    if (std::isnan(m.rel_alt) && config.ground_amsl && std::isfinite(m.abs_alt))
      m.rel_alt = m.abs_alt - *config.ground_amsl;
    if (auto reason = filter_reason(m, config.max_tilt)) {
      log_skip(name_of(m.path), *reason);
      skipped.emplace_back(name_of(m.path), std::move(*reason));
      continue;
    }
    kept.push_back(std::move(m));
  }
  records = std::move(kept);
}

// Drops the photos lying far outside the rest of the flight (a damaged position that would
// stretch the mosaic over kilometres of nothing). Distances are taken on a local tangent
// plane around the median position, which is exact enough at the scale of the test.
void drop_far_photos(std::vector<ImageMeta>& records, Skipped& skipped) {
  if (records.size() < 3) return;
  constexpr double M_PER_DEG = 111320.0;
  std::vector<double> lats, lons;
  for (const ImageMeta& m : records) lats.push_back(m.lat), lons.push_back(m.lon);
  const double lat_c = median(lats), lon_c = median(lons);
  const double kx = M_PER_DEG * std::cos(lat_c * std::numbers::pi / 180.0);
  std::vector<Vec2> xy;
  for (const ImageMeta& m : records) {
    double dlon = m.lon - lon_c;
    if (dlon > 180.0) dlon -= 360.0;
    if (dlon < -180.0) dlon += 360.0;
    xy.push_back({dlon * kx, (m.lat - lat_c) * M_PER_DEG});
  }
  std::vector<double> from_centre, spacing;
  for (size_t i = 0; i < xy.size(); ++i) {
    from_centre.push_back(std::hypot(xy[i].x, xy[i].y));
    double nearest = std::numeric_limits<double>::infinity();
    for (size_t j = 0; j < xy.size(); ++j)
      if (j != i) nearest = std::min(nearest, std::hypot(xy[i].x - xy[j].x, xy[i].y - xy[j].y));
    spacing.push_back(nearest);
  }
  const double limit = std::max(FAR_PHOTO_FACTOR * std::max(median(from_centre), median(spacing)), FAR_PHOTO_MIN_M);
  std::vector<ImageMeta> kept;
  for (size_t i = 0; i < records.size(); ++i) {
    if (from_centre[i] > limit) {
      const std::string name = name_of(records[i].path);
      logf("  skip {}: far from the rest of the flight ({:.1} km from its centre)", name, from_centre[i] / 1000.0);
      skipped.emplace_back(name, "far from the rest of the flight");
      continue;
    }
    kept.push_back(std::move(records[i]));
  }
  records = std::move(kept);
}

// Keeps the records of the most frequent camera (the first one on a tie).
void keep_dominant_camera(std::vector<ImageMeta>& records, Skipped& skipped) {
  std::vector<std::pair<std::string, size_t>> counts;
  std::vector<std::string> keys;
  for (const ImageMeta& m : records) {
    keys.push_back(camera_key(m));
    auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == keys.back(); });
    if (it == counts.end())
      counts.emplace_back(keys.back(), 1);
    else
      ++it->second;
  }
  if (counts.size() < 2) return;
  size_t best = 0;
  for (size_t k = 1; k < counts.size(); ++k)
    if (counts[k].second > counts[best].second) best = k;
  std::string line = "  cameras found: {";
  for (size_t k = 0; k < counts.size(); ++k)
    line += format("{}'{}': {}", k == 0 ? "" : ", ", counts[k].first, counts[k].second);
  line += format("}} -> using '{}' (--all-cameras to mix)", counts[best].first);
  log(std::move(line));
  std::vector<ImageMeta> kept;
  for (size_t i = 0; i < records.size(); ++i) {
    if (keys[i] == counts[best].first)
      kept.push_back(std::move(records[i]));
    else
      skipped.emplace_back(name_of(records[i].path), "other camera " + keys[i]);
  }
  records = std::move(kept);
}

std::string vignette_label(const ImageMeta& m) {
  auto has = [&](auto kind) {
    return std::any_of(m.lens_ops.begin(), m.lens_ops.end(),
                       [](const LensOp& op) { return std::holds_alternative<decltype(kind)>(op); });
  };
  if (has(GainOp{})) return "GainMap";
  if (has(VignOp{})) return "radial";
  return "none";
}

// "no usable images: 15 skipped (12 no GPS, 3 unreadable)": the commonest reasons first, so
// the person sees what to fix.
std::string no_usable_text(const std::vector<std::pair<std::string, std::string>>& skipped) {
  if (skipped.empty()) return "no usable images";
  std::vector<std::pair<std::string, size_t>> reasons;
  for (const auto& [name, reason] : skipped) {
    auto it = std::find_if(reasons.begin(), reasons.end(), [&](const auto& r) { return r.first == reason; });
    if (it == reasons.end())
      reasons.emplace_back(reason, 1);
    else
      ++it->second;
  }
  std::stable_sort(reasons.begin(), reasons.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  std::string text = format("no usable images: {} skipped (", skipped.size());
  for (size_t k = 0; k < reasons.size() && k < 3; ++k)
    text += format("{}{} {}", k == 0 ? "" : ", ", reasons[k].second, reasons[k].first);
  return text + (reasons.size() > 3 ? ", ...)" : ")");
}

}  // namespace

std::expected<ImageSet, std::string> collect_images(const Config& config) {
  const ProcessedMode mode = processed_mode_from_text(config.processed);
  ImageSet set;
  const PairedInputs paired = pair_without_excluded(config, set.skipped);
  if (paired.read_list.empty()) return std::unexpected("no images found");
  logf("[1/6] metadata: {} files{}", paired.read_list.size(),
       paired.pairs.empty() ? std::string()
                            : format(" ({} processed, originals used for metadata)", paired.pairs.size()));

  name_odd_entries(config, set.skipped);
  std::vector<ImageMeta> records = read_records(paired.read_list, config, mode, set.skipped);
  pose_from_originals(records, paired.pairs, mode, config.meta_from);
  complete_lenses(records, config.focal_px, set.skipped);
  apply_lens_switches(records, config.no_lens, config.no_vignette);
  const auto processed = std::count_if(records.begin(), records.end(), [](const ImageMeta& m) { return m.processed; });
  if (processed > 0)
    logf("  {} pre-processed image(s) (e.g. DxO): metadata lens/vignette corrections disabled", processed);
  drop_unusable(records, config, set.skipped);
  drop_far_photos(records, set.skipped);
  if (!config.all_cameras && !records.empty()) keep_dominant_camera(records, set.skipped);
  if (records.empty()) return std::unexpected(no_usable_text(set.skipped));

  set.dng_count = static_cast<uint64_t>(
      std::count_if(records.begin(), records.end(), [](const ImageMeta& m) { return m.is_dng; }));
  const ImageMeta& first = records.front();
  set.vignette = vignette_label(first);
  logf("  {} usable ({} DNG) | {} {} {}x{} f={:.0}px lens={} vignette={}{}", records.size(), set.dng_count, first.make,
       first.model, first.width, first.height, first.lens->fx, lens_kind_name(first.lens->kind), set.vignette,
       first.processed ? " [pre-processed]" : "");

  Placement placed = place_images(records);
  set.images = std::move(records);
  set.rotations = std::move(placed.rotations);
  set.positions = std::move(placed.positions);
  set.origin_e = placed.frame.origin_e;
  set.origin_n = placed.frame.origin_n;
  set.zone = placed.frame.zone;
  set.south = placed.frame.south;
  return set;
}

}  // namespace tsl
