#pragma once
// The one place the configuration and the environment become the stages' options: a build
// makes them once, after the metadata stage, and the stages read nothing else.
#include <cstddef>

#include "adjust/bundle_adjust.h"
#include "config/config.h"
#include "config/environment.h"
#include "drivers/dense_stage.h"
#include "flow/optical_flow.h"
#include "matching/match_pair.h"
#include "render/render_job.h"
#include "seams/compute_seams.h"
#include "sift/sift.h"
#include "surface/terrain.h"

namespace tsl {

struct StageOptions {
  SiftOptions sift;
  MatchOptions match;
  AdjustOptions adjust;  // the first adjustment's; the dense road's second one allows the relief stage
  DenseOptions dense;
  DsmOptions dsm;
  SeamOptions seams;
  RenderOptions render;
};

// Self-calibration is on for "on", "true" and "True", and with "auto" from 6 photos on.
bool selfcal_enabled(const Config& config, size_t photos);

SiftOptions sift_options(const Config& config, const Environment& env);
MatchOptions match_options(const Config& config, const Environment& env);
// The adjustment of `photos` photos; the relief stage runs with a terrain model unless the
// dense stage (and its second adjustment) is ahead.
AdjustOptions adjust_options(const Config& config, const Environment& env, size_t photos);
FlowOptions flow_options(const Environment& env);
DenseOptions dense_options(const Config& config, const Environment& env);
DsmOptions dsm_options(const Config& config);
SeamOptions seam_options(const Config& config);
RenderOptions render_options(const Config& config);

// Every stage's options for a build of `photos` photos.
StageOptions stage_options(const Config& config, const Environment& env, size_t photos);

}  // namespace tsl
