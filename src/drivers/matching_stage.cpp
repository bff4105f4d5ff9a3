#include "drivers/matching_stage.h"

#include <algorithm>

#include "drivers/feature_stage.h"
#include "logx.h"
#include "platform/system.h"
#include "util/text.h"
#include "matching/tie_files.h"
#include "util/par.h"

namespace tsl {
namespace {

void warn_damaged_features(std::span<const FeatureSet> features, std::span<const ImageMeta> images) {
  for (size_t p = 0; p < features.size(); ++p)
    if (auto why = feature_set_fault(features[p]))
      logf("  warning: features of {} are damaged ({}): its pairs get no ties", images[p].path.filename().string(),
           *why);
}

// What the adjustment holds per tie at most (its problem, Jacobian and solver blocks), bytes:
// ten million ties of one injected pair took more than 11.5 GB before running out.
constexpr double ADJUST_BYTES_PER_TIE = 2048.0;

// Ends the build before the adjustment when its ties could not fit into the free memory.
std::expected<void, std::string> check_tie_memory(std::span<const PairMatch> pairs) {
  double ties = 0.0;
  for (const PairMatch& p : pairs) ties += static_cast<double>(p.a.size());
  const double need = ties * ADJUST_BYTES_PER_TIE;
  const double free = static_cast<double>(platform::available_memory_bytes());
  if (free > 0.0 && need > free)
    return std::unexpected(format("{:.0} tie points need about {:.1} GB in the adjustment, {:.1} GB of memory is free",
                                  ties, need / 1e9, free / 1e9));
  return {};
}

// Names and logs the photos the heading check turned.
void log_turned(std::span<const size_t> turned, std::span<const ImageMeta> images, std::string_view why) {
  for (size_t p : turned)
    logf("  heading check: {} turned by 180° ({})", images[p].path.filename().string(), why);
}

// Photos that take part in some candidate pair but in no matched one.
std::vector<size_t> untied_photos(std::span<const PhotoPair> pairs, const std::vector<std::optional<PairMatch>>& results,
                                  size_t photo_count) {
  std::vector<uint8_t> in_pair(photo_count, 0), tied(photo_count, 0);
  for (size_t k = 0; k < pairs.size(); ++k) {
    in_pair[pairs[k].first] = in_pair[pairs[k].second] = 1;
    if (results[k]) tied[pairs[k].first] = tied[pairs[k].second] = 1;
  }
  std::vector<size_t> out;
  for (size_t p = 0; p < photo_count; ++p)
    if (in_pair[p] && !tied[p]) out.push_back(p);
  return out;
}

// The second try for photos matching left without ties: their features extracted again with
// the larger keypoint budget and their pairs matched again, the partners with the features
// they have. Works on a small copy of the photos involved, so a large flight's features are
// never copied whole. A pair result replaces the first try's only where the first had none.
void retry_untied(const MatchContext& ctx, const MatchOptions& options, size_t threads,
                  std::vector<std::optional<PairMatch>>& results) {
  const size_t n = ctx.photos.images.size();
  const std::vector<size_t> untied = untied_photos(ctx.pairs, results, n);
  if (untied.empty() || !options.retry_features) return;
  std::vector<ImageMeta> again;
  for (size_t p : untied) again.push_back(ctx.photos.images[p]);
  logf("  {} photo(s) without ties: matched again from {} keypoints", untied.size(),
       options.retry_features->features);
  auto more = extract_all_features(again, *options.retry_features);
  if (!more) {
    logf("  warning: second try without features: {}", more.error());
    return;
  }
  // Local indices: the photos of the pairs to try, in photo order.
  std::vector<size_t> local(n, n), global;
  std::vector<size_t> ks;
  std::vector<uint8_t> is_untied(n, 0);
  for (size_t p : untied) is_untied[p] = 1;
  for (size_t k = 0; k < ctx.pairs.size(); ++k) {
    const auto [i, j] = ctx.pairs[k];
    if (results[k] || (!is_untied[i] && !is_untied[j])) continue;
    ks.push_back(k);
    local[i] = local[j] = 0;
  }
  std::vector<ImageMeta> images;
  std::vector<Mat3> rotations;
  std::vector<Vec3> positions;
  std::vector<FeatureSet> features;
  for (size_t p = 0, u = 0; p < n; ++p) {
    if (local[p] == n) continue;
    local[p] = global.size();
    global.push_back(p);
    images.push_back(ctx.photos.images[p]);
    rotations.push_back(ctx.photos.rotations[p]);
    positions.push_back(ctx.photos.positions[p]);
    while (u < untied.size() && untied[u] < p) ++u;
    features.push_back(u < untied.size() && untied[u] == p ? std::move((*more)[u]) : ctx.features[p]);
  }
  std::vector<PhotoPair> pairs;
  for (size_t k : ks) pairs.push_back({local[ctx.pairs[k].first], local[ctx.pairs[k].second]});
  MatchContext sub = ctx;
  sub.pairs = pairs;
  sub.features = features;
  sub.photos = {images, rotations, positions};
  std::vector<std::optional<PairMatch>> tried =
      par_map(ks.size(), threads, [&](size_t t) { return match_pair(sub, t); });
  for (size_t t = 0; t < ks.size(); ++t) {
    if (!tried[t]) continue;
    tried[t]->i = global[tried[t]->i];
    tried[t]->j = global[tried[t]->j];
    results[ks[t]] = std::move(tried[t]);
  }
}

}  // namespace

std::expected<std::vector<PairMatch>, std::string> run_matching_stage(std::span<const PhotoPair> pairs,
                                                                      std::span<const FeatureSet> features,
                                                                      const PlacedPhotos& photos,
                                                                      const MatchOptions& options,
                                                                      std::vector<size_t>* turned) {
  if (options.inject) {
    auto injected = inject_tie_file(*options.inject, photos.images, options.max_ties, options.max_inliers);
    if (!injected) return std::unexpected(injected.error());
    if (turned) {
      if (injected->turned) {
        *turned = std::move(*injected->turned);
        log_turned(*turned, photos.images, "as the tie file records");
      } else {
        // A tie file that does not say which photos its build turned: its ties tell.
        const MatchContext ctx = make_match_context({}, {}, photos, options);
        *turned = find_turned_photos(ctx, tie_evidence(injected->pairs));
        log_turned(*turned, photos.images, "its recorded heading disagrees with its ties");
      }
    }
    if (auto fits = check_tie_memory(injected->pairs); !fits) return std::unexpected(fits.error());
    return std::move(injected->pairs);
  }

  warn_damaged_features(features, photos.images);
  const size_t total = pairs.size();
  const size_t step = std::max<size_t>(total / 10, 1);
  // Fewer pairs than workers: the pairs run one after another, each spread over the workers
  // (a pair's matching runs inline when the pairs have a worker each).
  const size_t workers = std::max<uint64_t>(options.workers, 1);
  const size_t threads = total < workers ? 1 : workers;
  // The headings are settled before matching, from the strongest keypoints alone, so every
  // pair is matched once, with the poses that stand.
  std::vector<Mat3> rotations(photos.rotations.begin(), photos.rotations.end());
  if (turned) {
    const MatchContext recorded = make_match_context(pairs, features, photos, options);
    const std::vector<HeadingEvidence> evidence =
        par_map(total, threads, [&](size_t k) { return strong_keypoint_matches(recorded, k); });
    *turned = find_turned_photos(recorded, evidence);
    log_turned(*turned, photos.images, "its recorded heading disagrees with its overlaps");
    for (size_t p : *turned) rotations[p] = turned_half(rotations[p]);
  }
  const MatchContext ctx = make_match_context(pairs, features, {photos.images, rotations, photos.positions}, options);
  std::vector<std::optional<PairMatch>> results = par_map_progress(
      total, threads, step, [&](size_t k) { return match_pair(ctx, k); },
      [](size_t done, size_t n) { logf("  pairs {}/{}", done, n); });
  retry_untied(ctx, options, threads, results);

  std::vector<PairMatch> tie_pairs;
  size_t ties = 0;
  for (auto& r : results) {
    if (!r) continue;
    ties += r->n;
    tie_pairs.push_back(std::move(*r));
  }
  logf("  matched {}/{} pairs, {} tie points", tie_pairs.size(), total, ties);
  if (auto fits = check_tie_memory(tie_pairs); !fits) return std::unexpected(fits.error());
  // A dump that cannot be written must not cost the build.
  if (options.dump) {
    // The turns go with the ties: they were matched under the turned headings.
    std::optional<std::vector<std::string>> names;
    if (turned) {
      names.emplace();
      for (size_t p : *turned) names->push_back(photos.images[p].path.filename().string());
    }
    (void)write_tie_file(*options.dump, tie_pairs, names);
  }
  return tie_pairs;
}

}  // namespace tsl
