#include "drivers/stage_options.h"

namespace tsl {
namespace {

// Photos fewer than this keep their lens as calibrated with "auto".
constexpr size_t AUTO_SELFCAL_PHOTOS = 6;
// A photo left without ties is extracted again with this many times the keypoints: where a
// textured part of the frame (a forest) takes the keypoint budget, the strips that overlap
// the neighbours (a road, a lawn) get their share.
constexpr uint64_t RETRY_FEATURE_FACTOR = 2;

}  // namespace

bool selfcal_enabled(const Config& config, size_t photos) {
  if (config.selfcal == "auto") return photos >= AUTO_SELFCAL_PHOTOS;
  return config.selfcal == "on" || config.selfcal == "true" || config.selfcal == "True";
}

SiftOptions sift_options(const Config& config, const Environment& env) {
  SiftOptions o;
  o.match_px = config.match_px;
  o.features = config.features;
  o.workers = config.workers;
  o.profile = env.sift_profile;
  return o;
}

MatchOptions match_options(const Config& config, const Environment& env) {
  MatchOptions o;
  o.neighbors = config.neighbors;
  o.sigma_gps = config.sigma_gps;
  o.sigma_ang = config.sigma_ang;
  o.min_inliers = config.min_inliers;
  o.max_ties = config.max_ties;
  o.max_inliers = config.features;
  o.retry_features = sift_options(config, env);
  o.retry_features->features = RETRY_FEATURE_FACTOR * config.features;
  o.fundamental_threshold = fundamental_threshold(env.fthr ? env.fthr->c_str() : nullptr);
  o.workers = config.workers;
  o.inject = env.matches;
  o.dump = env.dump_matches;
  return o;
}

AdjustOptions adjust_options(const Config& config, const Environment& env, size_t photos) {
  AdjustOptions o;
  o.match_px = config.match_px;
  o.selfcal = selfcal_enabled(config, photos);
  o.selfcal_full = config.selfcal_full;
  o.sigma_gps = config.sigma_gps;
  o.sigma_alt = config.sigma_alt;
  o.sigma_ang = config.sigma_ang;
  o.sigma_tilt = config.sigma_tilt;
  o.sigma_ground = config.sigma_ground;
  o.sigma_relief = config.sigma_relief;
  o.iterations = config.ba_iters;
  o.rounds = config.ba_rounds;
  // With the dense stage ahead, tie heights wait for its second adjustment.
  o.relief = config.surface_dsm && !config.dense_on;
  o.jacobian_check = env.jacobian_check;
  return o;
}

FlowOptions flow_options(const Environment& env) {
  FlowOptions o;
  if (flow_backend_is_lk(env.flow)) o.backend = FlowBackend::LucasKanade;
  return o;
}

DenseOptions dense_options(const Config& config, const Environment& env) {
  DenseOptions o;
  o.match_px = config.match_px;
  o.ties = config.dense_ties;
  o.workers = config.workers;
  o.flow = flow_options(env);
  return o;
}

DsmOptions dsm_options(const Config& config) {
  DsmOptions o;
  o.cell = config.dsm_cell;
  return o;
}

SeamOptions seam_options(const Config& config) {
  SeamOptions o;
  o.match_px = config.match_px;
  o.seam_mpix = config.seam_mpix;
  o.cut = config.seams_cut;
  o.seam_band = config.seam_band;
  o.workers = config.workers;
  return o;
}

RenderOptions render_options(const Config& config) {
  RenderOptions o;
  o.blend = config.blend;
  o.feather = config.feather;
  o.interp_cubic = config.interp_cubic;
  o.blend_bands = config.blend_bands;
  o.block_rows = config.block_rows;
  o.grid_step = config.grid_step;
  o.contrib_thr = config.contrib_thr;
  o.workers = config.workers;
  return o;
}

StageOptions stage_options(const Config& config, const Environment& env, size_t photos) {
  return {sift_options(config, env),   match_options(config, env),   adjust_options(config, env, photos),
          dense_options(config, env),  dsm_options(config),          seam_options(config),
          render_options(config)};
}

}  // namespace tsl
