#include "drivers/run_pipeline.h"

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "adjust/bundle_adjust.h"
#include "cache/disk_cache.h"
#include "config/environment.h"
#include "config/usage.h"
#include "diag/diagnostics.h"
#include "drivers/dense_stage.h"
#include "drivers/feature_stage.h"
#include "drivers/matching_stage.h"
#include "drivers/render_stage.h"
#include "drivers/stage_options.h"
#include "gains/gains.h"
#include "grid/output_grid.h"
#include "imageio/image_cache.h"
#include "linalg/stats.h"
#include "logx.h"
#include "matching/pair_match.h"
#include "matching/pair_selection.h"
#include "matching/tie_summary.h"
#include "pipeline/build_report.h"
#include "pipeline/collect_images.h"
#include "pipeline/last_run.h"
#include "pipeline/output_files.h"
#include "pipeline/reuse_report.h"
#include "surface/terrain.h"
#include "util/par.h"

namespace tsl {
namespace {

using Clock = std::chrono::steady_clock;

// Everything one build works on; owned by run_pipeline and dropped when it returns.
struct Build {
  Config config;
  StageOptions options;  // made once the photo count is known
  Clock::time_point start;
  ImageSet set;
  int32_t epsg = 0;
  std::vector<Mat3> rotations;  // current poses: metadata poses until refined or reused
  std::vector<Vec3> positions;
  std::vector<double> pos_corr;  // per photo, 0 unless an adjustment ran in this build
  std::vector<double> rot_corr;
  double ground_z = 0.0;
  std::vector<PairMatch> tie_pairs;
  std::vector<PairMatch> all_ties;  // the tie pairs followed by the dense pairs
  std::optional<std::vector<double>> planar_params;  // the first adjustment's, warm start of the second
  std::optional<std::vector<Vec3>> dsm_points;  // the adjustment's relief-stage tie points
  JsonValue adjustment = JsonValue::empty_object();
  JsonValue tie_pairs_json = JsonValue::empty_array();
  Surface surface;
  std::vector<Gain> gains;
};

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// The matcher the option names; features are SIFT either way.
void log_matcher(const Config& config) {
  const JsonValue& m = config.options["matcher"];
  if (m.is_string() && m.as_string() == "lightglue")
    log_str("matcher: LightGlue is not part of this build -> SIFT (CPU)");
  else
    log_str("matcher: SIFT (CPU)");
}

// The photos at the build's current poses.
PlacedPhotos current(const Build& b) { return {b.set.images, b.rotations, b.positions}; }

// The photos at their metadata poses, the adjustment's priors.
PlacedPhotos recorded(const Build& b) { return {b.set.images, b.set.rotations, b.set.positions}; }

// An adjustment's lens terms, poses, corrections, ground height and tie heights replace the
// build's own.
void take_poses(Build& b, AdjustResult& a) {
  apply_selfcal(b.set.images, a);
  b.rotations = std::move(a.rotations);
  b.positions = std::move(a.positions);
  b.pos_corr = std::move(a.pos_corr);
  b.rot_corr = std::move(a.rot_corr);
  b.ground_z = a.ground;
  b.dsm_points = std::move(a.relief_points);
}

// The first adjustment: refined poses, corrections and ground height replace the metadata
// placement, and the report learns how the ties spread over the photos.
void adjust(Build& b, size_t candidate_pairs) {
  log_str("[4/6] bundle adjustment");
  AdjustResult a = bundle_adjust(recorded(b), b.tie_pairs, b.options.adjust);
  if (!a.collapse.empty()) logf("  warning: adjustment collapsed ({}) - keeping metadata poses", a.collapse);
  take_poses(b, a);
  b.planar_params = std::move(a.planar_params);
  b.adjustment = std::move(a.stats);
  add_tie_summary(b.adjustment, b.tie_pairs, candidate_pairs, b.set.images);
  b.tie_pairs_json = tie_pair_list(b.tie_pairs);
}

// Dense ties over every candidate pair, rendered through a preliminary terrain model, then a
// second adjustment from the metadata poses with sparse and dense ties together. Never fails:
// without dense pairs the first adjustment stands.
void dense_stage(Build& b, std::span<const PhotoPair> pairs, ImageCache& cache) {
  DsmOptions silent = b.options.dsm;
  silent.verbose = false;
  const Surface preliminary = build_dsm_surface(current(b), b.ground_z, b.dsm_points, b.tie_pairs, silent);
  log_str("  dense matching: optical flow over every overlap (solved poses + preliminary terrain)");
  const Clock::time_point t0 = Clock::now();
  logf("  dense flow on {}", flow_backend_label(b.options.dense.flow.backend));
  std::vector<PairMatch> dense;
  {
    const DenseContext ctx = make_dense_context(pairs, current(b), preliminary, cache, b.options.dense);
    dense = run_dense_flow(ctx, b.options.dense.workers);
  }
  double flow_median = 0.0;
  if (!dense.empty()) {
    size_t correspondences = 0;
    std::vector<double> flows;
    for (const PairMatch& m : dense) {
      correspondences += m.a_all.size();
      flows.push_back(m.flow_cm);
    }
    flow_median = median(flows);
    logf("  dense ties: {}/{} pairs, {} correspondences, residual flow median {:.1} cm (before 2nd adjustment)",
         dense.size(), pairs.size(), correspondences, flow_median);
  }
  logf("  dense stage {:.1}s", seconds_since(t0));
  if (dense.empty()) return;

  const size_t dense_count = dense.size();
  b.all_ties = b.tie_pairs;
  b.all_ties.insert(b.all_ties.end(), std::make_move_iterator(dense.begin()), std::make_move_iterator(dense.end()));
  log_str("  2nd adjustment with dense ties");
  // The tie heights the first adjustment left to this one.
  AdjustOptions second = b.options.adjust;
  second.relief = b.config.surface_dsm;
  AdjustResult a = bundle_adjust(recorded(b), b.all_ties, second, b.planar_params);
  if (!a.collapse.empty()) {
    logf("  warning: 2nd adjustment collapsed ({}) - keeping the first adjustment", a.collapse);
    return;
  }
  take_poses(b, a);
  if (a.stats.is_object())
    for (const auto& [key, value] : a.stats.as_object()) b.adjustment.set(key, value);
  b.adjustment.set("dense_pairs", JsonValue(static_cast<double>(dense_count)));
  b.adjustment.set("dense_flow_cm", JsonValue(flow_median));
}

// The full road: pair selection, features, matching, the adjustment and, when asked for,
// the dense stage with its second adjustment.
std::expected<void, std::string> refine(Build& b, ImageCache& cache) {
  log_str("[2/6] pairs + features");
  const std::vector<PhotoPair> pairs = select_pairs(current(b), b.options.match.neighbors);
  logf("  {} overlapping pairs", pairs.size());
  log_matcher(b.config);
  auto features = extract_all_features(b.set.images, b.options.sift);
  if (!features) return std::unexpected(features.error());

  log_str("[3/6] matching");
  std::vector<size_t> turned;
  auto ties = run_matching_stage(pairs, *features, current(b), b.options.match, &turned);
  // Descriptors are the build's largest data; nothing after matching reads them.
  features = std::vector<FeatureSet>{};
  if (!ties) return std::unexpected(ties.error());
  // A photo the heading check turned is placed turned from here on, metadata pose included,
  // since the adjustment's priors and the render start from it.
  for (size_t p : turned) b.rotations[p] = b.set.rotations[p] = turned_half(b.set.rotations[p]);
  b.tie_pairs = std::move(*ties);
  adjust(b, pairs.size());
  b.all_ties = b.tie_pairs;
  if (b.config.dense_on && b.config.surface_dsm)
    dense_stage(b, pairs, cache);
  // Only the final solution says which photos stayed at their metadata poses.
  settle_unconnected(b.adjustment, b.all_ties, b.set.images);
  return {};
}

// The terrain model from the adjusted ties when one is wanted and there is anything to build
// it from; otherwise the plane at the solved height (the take-off height without adjustment).
void choose_surface(Build& b) {
  if (!b.config.surface_dsm || (!b.dsm_points && b.all_ties.empty())) {
    b.surface = Surface::plane(b.ground_z);
    return;
  }
  b.surface = build_dsm_surface(current(b), b.ground_z, b.dsm_points, b.all_ties, b.options.dsm);
}

std::expected<void, std::string> reuse(Build& b, const std::string& path) {
  auto solution = load_reuse_report(path, b.config.surface_dsm, b.set);
  if (!solution) return std::unexpected(solution.error());
  b.rotations = std::move(solution->rotations);
  b.positions = std::move(solution->positions);
  b.gains = std::move(solution->gains);
  b.ground_z = solution->ground_z;
  b.surface = std::move(solution->surface);
  b.adjustment = std::move(solution->adjustment);
  b.tie_pairs_json = std::move(solution->tie_pairs);
  if (b.config.no_gains) b.gains.assign(b.set.images.size(), Gain{1.0, 1.0, 1.0});
  return {};
}

void radiometry(Build& b) {
  log_str("[5/6] radiometry");
  if (b.config.no_gains) {
    b.gains.assign(b.set.images.size(), Gain{1.0, 1.0, 1.0});
    return;
  }
  b.gains = solve_gains(b.set.images, b.tie_pairs);
}

// The report, the last run and the report file, in that order: a report that cannot be
// written still leaves the new result published. The build's files are renamed into place
// together, after the report was written.
std::expected<JsonValue, std::string> finish(Build& b, RenderStageResult& r) {
  ReportInputs in;
  in.images = &b.set;
  in.rotations = b.rotations;
  in.positions = b.positions;
  in.gains = b.gains;
  in.pos_corr = b.pos_corr;
  in.rot_corr = b.rot_corr;
  in.config = &b.config;
  in.output = r.output;
  in.gsd_m = r.grid.gsd;
  in.width = r.grid.width;
  in.height = r.grid.height;
  in.left_e = r.grid.left_e;
  in.top_n = r.grid.top_n;
  in.ground_z = b.ground_z;
  in.adjustment = &b.adjustment;
  in.tie_pairs = &b.tie_pairs_json;
  in.surface = &b.surface;
  in.surface_file = r.surface_file;
  in.seam_file = r.seam_file;
  in.preview = r.preview;
  in.seconds = seconds_since(b.start);
  in.timings = close_stage_times();
  JsonValue report = make_report(in);
  // The last point at which a stop leaves the previous result in place, on disk and in the
  // studio: from here the new result is published and its files replace the old ones together.
  check_cancel();

  const std::filesystem::path report_path = sibling_path(r.output, REPORT_SUFFIX);
  auto run = std::make_shared<LastRun>();
  run->config = b.config;
  run->report_path = report_path.string();
  run->native_gsd = median(native_gsds(b.set.images, b.positions, b.surface.z0));
  run->images = std::move(b.set.images);
  run->rotations = std::move(b.rotations);
  run->positions = std::move(b.positions);
  run->gains = std::move(b.gains);
  run->surface = std::move(b.surface);
  run->seam_map = std::move(r.seam_map);
  run->origin = {b.set.origin_e, b.set.origin_n};
  run->epsg = b.epsg;
  publish_last_run(std::move(run));

  std::string text;
  json_write(report, text, true);
  auto partial = add_output(r.files, report_path);
  if (!partial) return std::unexpected(partial.error());
  if (auto w = write_whole_file(*partial, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size())); !w)
    return std::unexpected(format("cannot write {}: {}", report_path.string(), w.error()));
  if (auto c = commit_outputs(r.files, r.output); !c) return std::unexpected(c.error());
  logf("done in {:.0}s -> {}", seconds_since(b.start), r.output.string());
  if (b.config.diagnostics) {
    if (auto d = write_diagnostics(report_path, log_history(), 2048, true, false, b.options.dense.flow); !d)
      return std::unexpected(d.error());
  }
  return report;
}

}  // namespace

std::expected<JsonValue, std::string> run_pipeline(const Config& config) {
  // Read once, before the first stage, so that one build sees one environment.
  const Environment environment = read_environment();
  // Image operations size their loops by the CPU budget; --workers bounds it for the build.
  const BudgetCap budget(config.workers);
  Build b;
  b.config = config;
  reset_log();
  b.start = Clock::now();
  logf("tessaly {}", PROGRAM_VERSION);
  configure_disk_cache(b.config.cache_dir, b.config.disk_cache_gb);
  // Before any stage that takes time: a build that could never write its result fails at once.
  if (auto t = check_output_target(b.config.output); !t) return std::unexpected(t.error());

  auto set = collect_images(b.config);
  if (!set) return std::unexpected(set.error());
  b.set = std::move(*set);
  const size_t n = b.set.images.size();
  b.options = stage_options(b.config, environment, n);
  b.epsg = (b.set.south ? 32700 : 32600) + b.set.zone;
  b.rotations = b.set.rotations;
  b.positions = b.set.positions;
  b.pos_corr.assign(n, 0.0);
  b.rot_corr.assign(n, 0.0);
  // Decoded photos shared by the dense stage, the seams and the render; dropped as soon as the render is done.
  std::optional<ImageCache> cache;
  cache.emplace(b.config.cache_gb * 1e9);

  if (b.config.reuse) {
    if (auto r = reuse(b, *b.config.reuse); !r) return std::unexpected(r.error());
  } else {
    if (n < 2 || b.config.no_refine) {
      log_str("[2-4/6] refinement skipped (metadata placement only)");
    } else if (auto r = refine(b, *cache); !r) {
      return std::unexpected(r.error());
    }
    choose_surface(b);
    radiometry(b);
  }

  round_as_reported(b.rotations, b.positions, b.gains, b.set.origin_e, b.set.origin_n);
  RenderStageInputs in;
  in.config = &b.config;
  in.images = &b.set;
  in.photos = current(b);
  in.gains = b.gains;
  in.surface = &b.surface;
  in.cache = &*cache;
  in.epsg = b.epsg;
  in.seams = b.options.seams;
  in.render = b.options.render;
  auto rendered = run_render_stage(in);
  cache.reset();
  if (!rendered) return std::unexpected(rendered.error());
  return finish(b, *rendered);
}

}  // namespace tsl
