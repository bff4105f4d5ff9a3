#pragma once
// The typed, flat configuration of one build, made from an option map. Every stage reads its
// settings from here, never from the command line; a Config is read-only once made.
//
// from_options never fails: members that are missing, Null or of the wrong type fall back to
// the table defaults, counts are raised to their lower bounds, optional numbers are absent when
// unset, and the text options that choose a behaviour become bools that are true for every
// text but the one that turns them off, so a misspelt stored value selects the default.
// The default member values below are the table defaults (workers aside, which depends on the
// machine).
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/blend_mode.h"
#include "util/json.h"

namespace tsl {

struct Config {
  std::vector<std::string> input;
  std::string output = "ortho.tif";
  std::string prefer = "dng";
  std::string processed = "auto";  // "yes" whenever dxo is set
  bool dxo = false;
  bool no_lens = false;
  bool no_vignette = false;
  std::vector<std::string> meta_from;
  bool use_originals = false;
  double max_tilt = 25;  // degrees from nadir
  bool all_cameras = false;
  std::optional<double> focal_px;     // absent when unset or 0
  std::optional<double> ground_amsl;  // metres
  bool no_refine = false;
  uint64_t match_px = 2000;   // at least 64
  uint64_t features = 4000;   // at least 100
  uint64_t neighbors = 10;    // at least 1
  uint64_t max_ties = 60;     // at least 1
  uint64_t min_inliers = 25;  // at least 4
  std::string selfcal = "auto";  // Bool true / false in a stored map give "on" / "off"
  bool selfcal_on = false;       // selfcal is "on", "true" or "True"
  bool selfcal_full = true;      // selfcal_model is not "radial"
  double sigma_gps = 3;     // metres
  double sigma_alt = 2;     // metres
  double sigma_ang = 3;     // degrees
  double sigma_tilt = 0.5;  // degrees
  double sigma_ground = 30;  // metres
  bool dense_on = true;      // dense is not "off"
  uint64_t dense_ties = 80;  // at least 1
  bool surface_dsm = true;   // surface is not "plane"
  std::optional<double> dsm_cell;  // metres; present only when > 0
  double sigma_relief = 20;        // metres
  uint64_t ba_iters = 60;          // at least 1
  uint64_t ba_rounds = 3;          // at least 1
  std::optional<double> gsd;       // centimetres; present only when > 0
  double max_mpix = 2000;
  std::optional<uint64_t> bits;  // no range check here
  double ev = 0;
  bool no_gains = false;
  BlendMode blend = BlendMode::Multiband;  // Feather when blend is "feather"
  bool seams_cut = true;        // seams is not "nadir"
  double seam_band = 0.12;
  uint64_t blend_bands = 4;  // no lower bound
  double seam_mpix = 16;
  double feather = 20;
  bool interp_cubic = true;  // interp is not "linear"
  bool no_preview = false;
  uint64_t preview_px = 4096;  // at least 64
  std::optional<std::array<double, 4>> bounds;  // UTM metres; present only with exactly 4 values
  std::array<double, 3> wb = {1, 1, 1};          // 1, 1, 1 unless exactly 3 values were given
  double saturation = 1;
  double contrast = 0;
  std::optional<std::string> reuse;  // present only as a non-empty text
  std::vector<std::string> exclude;
  bool diagnostics = false;
  uint64_t workers = 1;  // at least 1
  double cache_gb = 6;
  double disk_cache_gb = 20;
  std::optional<std::string> cache_dir;  // present only as a non-empty text
  uint64_t block_rows = 1024;  // a multiple of 512, at least 512
  uint64_t grid_step = 16;     // at least 2
  double contrib_thr = 0.001;
  JsonValue options;  // an unchanged copy of the map this was made from

  // Reads any value as an option map (see above); never fails.
  static Config from_options(const JsonValue& map);
};

}  // namespace tsl
