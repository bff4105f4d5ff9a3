#include "matching/matching_stage.h"

#include <algorithm>

#include "logx.h"
#include "pipeline/tie_files.h"
#include "util/par.h"

namespace tsl {
namespace {

constexpr double RAD_PER_DEG = 0.017453292519943295;
constexpr double GATE_SIGMAS = 2.5;

void warn_damaged_features(std::span<const FeatureSet> features, std::span<const ImageMeta> images) {
  for (size_t p = 0; p < features.size(); ++p)
    if (auto why = feature_set_fault(features[p]))
      logf("  warning: features of {} are damaged ({}): its pairs get no ties", images[p].path.filename().string(),
           *why);
}

}  // namespace

MatchContext make_match_context(std::span<const PhotoPair> pairs, std::span<const FeatureSet> features,
                                std::span<const ImageMeta> images, std::span<const Mat3> rotations,
                                std::span<const Vec3> positions, const Config& config) {
  MatchContext ctx;
  ctx.pairs = pairs;
  ctx.features = features;
  ctx.images = images;
  ctx.rotations = rotations;
  ctx.positions = positions;
  ctx.ground_height = 0.0;
  ctx.gate_dist = GATE_SIGMAS * config.sigma_gps;
  ctx.gate_ang = GATE_SIGMAS * config.sigma_ang * RAD_PER_DEG;
  ctx.margin_dist = config.sigma_gps;
  ctx.margin_ang = config.sigma_ang * RAD_PER_DEG;
  ctx.min_inliers = config.min_inliers;
  ctx.max_ties = config.max_ties;
  return ctx;
}

std::expected<std::vector<PairMatch>, std::string> run_matching_stage(std::span<const PhotoPair> pairs,
                                                                      std::span<const FeatureSet> features,
                                                                      std::span<const ImageMeta> images,
                                                                      std::span<const Mat3> rotations,
                                                                      std::span<const Vec3> positions,
                                                                      const Config& config) {
  if (auto file = tie_file_from_env("TSL_MATCHES")) return inject_tie_file(*file, images.size());

  warn_damaged_features(features, images);
  const MatchContext ctx = make_match_context(pairs, features, images, rotations, positions, config);
  const size_t total = pairs.size();
  const size_t step = std::max<size_t>(total / 10, 1);
  const size_t threads = std::min<size_t>(total >= 2 ? total : 1, std::max<uint64_t>(config.workers, 1));
  std::vector<std::optional<PairMatch>> results = par_map_progress(
      total, threads, step, [&](size_t k) { return match_pair(ctx, k); },
      [](size_t done, size_t n) { logf("  pairs {}/{}", done, n); });

  std::vector<PairMatch> tie_pairs;
  size_t ties = 0;
  for (auto& r : results) {
    if (!r) continue;
    ties += r->n;
    tie_pairs.push_back(std::move(*r));
  }
  logf("  matched {}/{} pairs, {} tie points", tie_pairs.size(), total, ties);
  // A dump that cannot be written must not cost the build.
  if (auto dump = tie_file_from_env("TSL_DUMP_MATCHES")) (void)write_tie_file(*dump, tie_pairs);
  return tie_pairs;
}

}  // namespace tsl
