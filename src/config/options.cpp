#include "config/options.h"

#include <algorithm>

#include "platform/system.h"

namespace tsl {

namespace {

JsonValue json_null_default() { return JsonValue(); }
JsonValue json_false_default() { return JsonValue(false); }
JsonValue json_empty_array_default() { return JsonValue::empty_array(); }
JsonValue wb_default() { return JsonValue::from_f64s({1.0, 1.0, 1.0}); }

constexpr std::string_view PREFER_CHOICES[] = {"dng", "jpg"};
constexpr std::string_view PROCESSED_CHOICES[] = {"auto", "yes", "no"};
constexpr std::string_view MATCHER_CHOICES[] = {"auto", "sift", "lightglue"};
constexpr std::string_view SELFCAL_CHOICES[] = {"auto", "on", "off"};
constexpr std::string_view SELFCAL_MODEL_CHOICES[] = {"full", "radial"};
constexpr std::string_view DENSE_CHOICES[] = {"on", "off"};
constexpr std::string_view SURFACE_CHOICES[] = {"dsm", "plane"};
constexpr std::string_view BA_JAC_CHOICES[] = {"analytic", "numeric"};
constexpr std::string_view BITS_CHOICES[] = {"8", "16"};
constexpr std::string_view BLEND_CHOICES[] = {"multiband", "feather"};
constexpr std::string_view SEAMS_CHOICES[] = {"cut", "nadir"};
constexpr std::string_view INTERP_CHOICES[] = {"linear", "cubic"};
constexpr std::string_view GPU_CHOICES[] = {"auto", "cuda", "cpu"};

}  // namespace

// clang-format off
constinit const std::array<OptionSpec, OPTION_COUNT> OPTION_TABLE = {{
    {OptionKind::Text, 0, "output", "--output", []() -> JsonValue { return "ortho.tif"; }, {}, "output GeoTIFF [ortho.tif]"},
    {OptionKind::Text, 0, "prefer", "--prefer", []() -> JsonValue { return "dng"; }, PREFER_CHOICES, "when JPG+DNG pairs exist [dng]"},
    {OptionKind::Text, 0, "processed", "--processed", []() -> JsonValue { return "auto"; }, PROCESSED_CHOICES, "images already lens/vignette-corrected (DxO PureRAW, Lightroom...). auto = detect"},
    {OptionKind::Flag, 0, "dxo", "--dxo", json_false_default, {}, "shortcut for --processed yes"},
    {OptionKind::Flag, 0, "no_lens", "--no-lens", json_false_default, {}, "ignore lens distortion data in metadata"},
    {OptionKind::Flag, 0, "no_vignette", "--no-vignette", json_false_default, {}, "ignore vignetting data in metadata"},
    {OptionKind::Append, 0, "meta_from", "--meta-from", json_empty_array_default, {}, "folder with the ORIGINAL drone files; pose metadata is taken from them when the processed files lack it (matched by file-name prefix)"},
    {OptionKind::Flag, 0, "use_originals", "--use-originals", json_false_default, {}, "also process originals that have a processed version next to them"},
    {OptionKind::Float, 0, "max_tilt", "--max-tilt", []() -> JsonValue { return 25.0; }, {}, "skip shots tilted > deg from nadir [25]"},
    {OptionKind::Flag, 0, "all_cameras", "--all-cameras", json_false_default, {}, "mix camera models (default: dominant only)"},
    {OptionKind::Float, 0, "focal_px", "--focal-px", json_null_default, {}, "override focal length in pixels"},
    {OptionKind::Float, 0, "ground_amsl", "--ground-amsl", json_null_default, {}, "ground MSL height if RelativeAltitude missing"},
    {OptionKind::Flag, 0, "no_refine", "--no-refine", json_false_default, {}, "metadata-only placement (no matching)"},
    {OptionKind::Text, 0, "matcher", "--matcher", []() -> JsonValue { return "auto"; }, MATCHER_CHOICES, ""},
    {OptionKind::Int, 0, "match_px", "--match-px", []() -> JsonValue { return 2000.0; }, {}, "long side used for matching [2000]"},
    {OptionKind::Int, 0, "features", "--features", []() -> JsonValue { return 4000.0; }, {}, "keypoints per image [4000]"},
    {OptionKind::Int, 0, "neighbors", "--neighbors", []() -> JsonValue { return 10.0; }, {}, ""},
    {OptionKind::Int, 0, "max_ties", "--max-ties", []() -> JsonValue { return 60.0; }, {}, "feature tie points kept per pair, evenly spread [60]"},
    {OptionKind::Int, 0, "min_inliers", "--min-inliers", []() -> JsonValue { return 25.0; }, {}, ""},
    {OptionKind::Text, 0, "selfcal", "--selfcal", []() -> JsonValue { return "auto"; }, SELFCAL_CHOICES, "estimate residual radial distortion from tie points (auto: on with >= 6 images)"},
    {OptionKind::Text, 0, "selfcal_model", "--selfcal-model", []() -> JsonValue { return "full"; }, SELFCAL_MODEL_CHOICES, "full: radial k1 k2 + principal point + tangential per camera; radial: k1 k2 only [full]"},
    {OptionKind::Float, 0, "sigma_gps", "--sigma-gps", []() -> JsonValue { return 3.0; }, {}, "GPS horizontal sigma m [3]"},
    {OptionKind::Float, 0, "sigma_alt", "--sigma-alt", []() -> JsonValue { return 2.0; }, {}, "relative altitude sigma m [2]"},
    {OptionKind::Float, 0, "sigma_ang", "--sigma-ang", []() -> JsonValue { return 3.0; }, {}, "yaw (rotation about image centre) sigma deg [3]"},
    {OptionKind::Float, 0, "sigma_tilt", "--sigma-tilt", []() -> JsonValue { return 0.5; }, {}, "tilt away from the gimbal's -90 deg nadir, sigma deg [0.5]; 0 = locked nadir (only position + yaw)"},
    {OptionKind::Float, 0, "sigma_ground", "--sigma-ground", []() -> JsonValue { return 30.0; }, {}, "ground height prior sigma m [30]"},
    {OptionKind::Text, 0, "dense", "--dense", []() -> JsonValue { return "on"; }, DENSE_CHOICES, "dense optical-flow tie points over every overlap + 2nd adjustment + finer DSM [on]"},
    {OptionKind::Int, 0, "dense_ties", "--dense-ties", []() -> JsonValue { return 80.0; }, {}, "dense tie points per pair used in the adjustment [80]"},
    {OptionKind::Text, 0, "surface", "--surface", []() -> JsonValue { return "dsm"; }, SURFACE_CHOICES, "dsm: per-tie-point heights -> terrain model -> true ortho (removes relief smearing); plane: single ground plane (faster, flat sites)"},
    {OptionKind::Float, 0, "dsm_cell", "--dsm-cell", json_null_default, {}, "DSM grid spacing in m (default: auto)"},
    {OptionKind::Float, 0, "sigma_relief", "--sigma-relief", []() -> JsonValue { return 20.0; }, {}, "height prior for tie points m [20]"},
    {OptionKind::Int, 0, "ba_iters", "--ba-iters", []() -> JsonValue { return 60.0; }, {}, ""},
    {OptionKind::Text, 0, "ba_jac", "--ba-jac", []() -> JsonValue { return "analytic"; }, BA_JAC_CHOICES, "bundle-adjustment Jacobian: analytic (fast) or finite differences (reference)"},
    {OptionKind::Int, 0, "ba_rounds", "--ba-rounds", []() -> JsonValue { return 3.0; }, {}, ""},
    {OptionKind::Float, 0, "gsd", "--gsd", json_null_default, {}, "output ground sampling distance in cm (default: native)"},
    {OptionKind::Float, 0, "max_mpix", "--max-mpix", []() -> JsonValue { return 2000.0; }, {}, "cap output size in megapixels [2000]"},
    {OptionKind::Int, 0, "bits", "--bits", json_null_default, BITS_CHOICES, "output bit depth (default: 16 for DNG, 8 for JPG)"},
    {OptionKind::Float, 0, "ev", "--ev", []() -> JsonValue { return 0.0; }, {}, "global exposure offset in EV"},
    {OptionKind::Flag, 0, "no_gains", "--no-gains", json_false_default, {}, "disable exposure/colour balancing"},
    {OptionKind::Text, 0, "blend", "--blend", []() -> JsonValue { return "multiband"; }, BLEND_CHOICES, "multiband: seam lines + multi-band blending (sharp, no ghosting); feather: nadir-weighted cross-fade [multiband]"},
    {OptionKind::Text, 0, "seams", "--seams", []() -> JsonValue { return "cut"; }, SEAMS_CHOICES, "cut: seams routed through areas where neighbouring images agree (around cars, people, walls, boats); nadir: plain closest-to-centre partition [cut]"},
    {OptionKind::Float, 0, "seam_band", "--seam-band", []() -> JsonValue { return 0.12; }, {}, "how far a seam may move away from the nadir line, fraction of the image footprint [0.12]"},
    {OptionKind::Int, 0, "blend_bands", "--blend-bands", []() -> JsonValue { return 4.0; }, {}, "multi-band levels, each 4x wider [4]"},
    {OptionKind::Float, 0, "seam_mpix", "--seam-mpix", []() -> JsonValue { return 16.0; }, {}, "max size of the seam grid in megapixels [16]"},
    {OptionKind::Float, 0, "feather", "--feather", []() -> JsonValue { return 20.0; }, {}, "feather blend: seam sharpness, higher = stronger nadir preference, narrower blend [20]"},
    {OptionKind::Text, 0, "interp", "--interp", []() -> JsonValue { return "cubic"; }, INTERP_CHOICES, ""},
    {OptionKind::Flag, 0, "no_preview", "--no-preview", json_false_default, {}, ""},
    {OptionKind::Int, 0, "preview_px", "--preview-px", []() -> JsonValue { return 4096.0; }, {}, "preview JPG long side [4096]"},
    {OptionKind::List, 4, "bounds", "--bounds", json_null_default, {}, "clip output to a UTM rectangle (metres, same zone as the mosaic)"},
    {OptionKind::List, 3, "wb", "--wb", wb_default, {}, "white-balance multipliers in linear light [1 1 1]"},
    {OptionKind::Float, 0, "saturation", "--saturation", []() -> JsonValue { return 1.0; }, {}, "saturation multiplier [1]"},
    {OptionKind::Float, 0, "contrast", "--contrast", []() -> JsonValue { return 0.0; }, {}, "-1..1 tone contrast [0]"},
    {OptionKind::Text, 0, "reuse", "--reuse", json_null_default, {}, "report.json of an earlier run: reuse its solved poses + gains (skips matching and adjustment; for re-rendering with new output settings)"},
    {OptionKind::Append, 0, "exclude", "--exclude", json_empty_array_default, {}, "file name to leave out (repeatable)"},
    {OptionKind::Flag, 0, "diagnostics", "--diagnostics", json_false_default, {}, "also write <output>_diagnostics.zip (report, log, DSM, seam analysis, 2048 px frames with metadata)"},
    {OptionKind::Text, 0, "gpu", "--gpu", []() -> JsonValue { return "auto"; }, GPU_CHOICES, "render backend (this build renders on the CPU)"},
    {OptionKind::Int, 0, "workers", "--workers", default_workers, {}, ""},
    {OptionKind::Float, 0, "cache_gb", "--cache-gb", []() -> JsonValue { return 6.0; }, {}, "RAM for decoded source images [6]"},
    {OptionKind::Float, 0, "disk_cache_gb", "--disk-cache-gb", []() -> JsonValue { return 20.0; }, {}, "persistent disk cache for features + decoded DNGs, shared by all projects [20]; 0 = off"},
    {OptionKind::Text, 0, "cache_dir", "--cache-dir", json_null_default, {}, "disk cache location (default: %LOCALAPPDATA%\\tessaly\\cache)"},
    {OptionKind::Int, 0, "block_rows", "--block-rows", []() -> JsonValue { return 1024.0; }, {}, "render block height, multiple of 512"},
    {OptionKind::Int, 0, "grid_step", "--grid-step", []() -> JsonValue { return 16.0; }, {}, "projection grid spacing px [16]"},
    {OptionKind::Float, 0, "contrib_thr", "--contrib-thr", []() -> JsonValue { return 0.001; }, {}, "skip image areas whose blend weight is below this fraction of the best image (~3x faster render, visually identical) [0 = exact, all images]"},
}};
// clang-format on

const OptionSpec* find_option_by_key(std::string_view key) {
  for (const OptionSpec& row : OPTION_TABLE)
    if (row.key == key) return &row;
  return nullptr;
}

const OptionSpec* find_option_by_flag(std::string_view flag) {
  for (const OptionSpec& row : OPTION_TABLE)
    if (row.flag == flag) return &row;
  return nullptr;
}

bool option_truthy(const JsonValue& value) {
  switch (value.kind()) {
    case JsonValue::Kind::Null:
      return false;
    case JsonValue::Kind::Bool:
      return value.as_bool();
    case JsonValue::Kind::Number:
      return value.as_f64() != 0.0;
    case JsonValue::Kind::String:
      return !value.as_string().empty();
    default:
      return value.size() != 0;
  }
}

JsonValue default_option_map() {
  JsonValue map = JsonValue::empty_object();
  map.set("input", JsonValue::empty_array());
  for (const OptionSpec& row : OPTION_TABLE) map.set(row.key, row.default_value());
  return map;
}

uint64_t workers_for_processors(unsigned processors) {
  // One processor is left for the rest of the machine (and the studio's threads).
  if (processors == 0) return 3;
  return std::max<uint64_t>(processors - 1, 1);
}

uint64_t server_worker_count() { return workers_for_processors(platform::logical_processors()); }

JsonValue default_workers() { return JsonValue(server_worker_count()); }

}  // namespace tsl
