#include "drivers/matching_stage.h"

#include <algorithm>

#include "logx.h"
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

// Verified correspondences of one pair result.
size_t verified(const std::optional<PairMatch>& r) { return r ? r->a_all.size() : 0; }

// Whether a matched pair looks as if one of its photos were recorded facing the other way:
// its verified points sit where the poses predict them turned half around, that is, the
// similarity from predicted to observed positions rotates by more than 90 degrees.
bool looks_turned(const MatchContext& ctx, const PairMatch& m) {
  std::vector<Vec2> pred, obs;
  for (size_t q = 0; q < m.a_all.size(); ++q)
    if (const auto uv = predict_in_other(ctx, m.i, m.j, m.a_all[q])) {
      pred.push_back(*uv);
      obs.push_back(m.b_all[q]);
    }
  if (pred.size() < 2) return false;
  Vec2 mp{0, 0}, mo{0, 0};
  for (size_t q = 0; q < pred.size(); ++q) {
    mp = {mp.x + pred[q].x, mp.y + pred[q].y};
    mo = {mo.x + obs[q].x, mo.y + obs[q].y};
  }
  const double inv = 1.0 / static_cast<double>(pred.size());
  mp = {mp.x * inv, mp.y * inv};
  mo = {mo.x * inv, mo.y * inv};
  double dot = 0.0;
  for (size_t q = 0; q < pred.size(); ++q)
    dot += (pred[q].x - mp.x) * (obs[q].x - mo.x) + (pred[q].y - mp.y) * (obs[q].y - mo.y);
  return dot < 0.0;
}

// A photo whose recorded heading is reversed predicts every keypoint mirrored through its
// centre, so the gate turns away its true matches: it matches few of its pairs, or matches
// them only on the points near a photo centre, where the mirror stays within the gate (such a
// pair looks turned), and it would be rendered mirrored through its nadir. Each photo that
// matched at most half of its pairs, or has a pair that looks turned, is tried turned: all its
// pairs are matched again against the current poses, and the turn is kept when it verifies
// more correspondences than its recorded heading. A photo turning sends its doubtful
// neighbours back for another try, so a flight line recorded backwards turns photo by photo
// from its overlaps with correctly recorded neighbours. Every pair of a turned photo was
// matched with the poses that stand.
std::vector<size_t> check_headings(const MatchContext& base, std::vector<std::optional<PairMatch>>& results,
                                   size_t threads) {
  const size_t n = base.photos.images.size();
  std::vector<size_t> matched(n, 0);
  std::vector<std::vector<size_t>> pairs_of(n);
  std::vector<uint8_t> doubtful(n, 0), waiting(n, 0), is_turned(n, 0);
  for (size_t k = 0; k < base.pairs.size(); ++k) {
    const auto [i, j] = base.pairs[k];
    pairs_of[i].push_back(k);
    pairs_of[j].push_back(k);
    if (!results[k]) continue;
    ++matched[i], ++matched[j];
    if (looks_turned(base, *results[k])) doubtful[i] = doubtful[j] = 1;
  }
  for (size_t p = 0; p < n; ++p) {
    if (!pairs_of[p].empty() && 2 * matched[p] <= pairs_of[p].size()) doubtful[p] = 1;
    waiting[p] = doubtful[p];
  }
  std::vector<Mat3> rotations(base.photos.rotations.begin(), base.photos.rotations.end());
  std::vector<size_t> turned;
  for (bool more = true; more;) {
    more = false;
    for (size_t p = 0; p < n; ++p) {
      if (!waiting[p]) continue;
      waiting[p] = 0;
      const std::vector<size_t>& ks = pairs_of[p];
      std::vector<Mat3> trial = rotations;
      trial[p] = turned_half(trial[p]);
      MatchContext ctx = base;
      ctx.photos.rotations = trial;
      std::vector<std::optional<PairMatch>> tried =
          par_map(ks.size(), threads, [&](size_t t) { return match_pair(ctx, ks[t]); });
      size_t before = 0, after = 0;
      for (size_t t = 0; t < ks.size(); ++t) {
        before += verified(results[ks[t]]);
        after += verified(tried[t]);
      }
      if (after <= before) continue;
      rotations = std::move(trial);
      is_turned[p] = 1;
      turned.push_back(p);
      for (size_t t = 0; t < ks.size(); ++t) {
        results[ks[t]] = std::move(tried[t]);
        const size_t other = base.pairs[ks[t]].first == p ? base.pairs[ks[t]].second : base.pairs[ks[t]].first;
        if (doubtful[other] && !is_turned[other]) waiting[other] = more = true;
      }
    }
  }
  std::sort(turned.begin(), turned.end());
  for (size_t p : turned)
    logf("  heading check: {} turned by 180° (its recorded heading disagrees with its overlaps)",
         base.photos.images[p].path.filename().string());
  return turned;
}

}  // namespace

Mat3 turned_half(const Mat3& r) { return {-r[0], -r[1], -r[2], -r[3], -r[4], -r[5], r[6], r[7], r[8]}; }

std::expected<std::vector<PairMatch>, std::string> run_matching_stage(std::span<const PhotoPair> pairs,
                                                                      std::span<const FeatureSet> features,
                                                                      const PlacedPhotos& photos,
                                                                      const MatchOptions& options,
                                                                      std::vector<size_t>* turned) {
  if (options.inject) return inject_tie_file(*options.inject, photos.images.size());

  warn_damaged_features(features, photos.images);
  const MatchContext ctx = make_match_context(pairs, features, photos, options);
  const size_t total = pairs.size();
  const size_t step = std::max<size_t>(total / 10, 1);
  const size_t threads = std::min<size_t>(total >= 2 ? total : 1, std::max<uint64_t>(options.workers, 1));
  std::vector<std::optional<PairMatch>> results = par_map_progress(
      total, threads, step, [&](size_t k) { return match_pair(ctx, k); },
      [](size_t done, size_t n) { logf("  pairs {}/{}", done, n); });
  if (turned) *turned = check_headings(ctx, results, threads);

  std::vector<PairMatch> tie_pairs;
  size_t ties = 0;
  for (auto& r : results) {
    if (!r) continue;
    ties += r->n;
    tie_pairs.push_back(std::move(*r));
  }
  logf("  matched {}/{} pairs, {} tie points", tie_pairs.size(), total, ties);
  // A dump that cannot be written must not cost the build.
  if (options.dump) (void)write_tie_file(*options.dump, tie_pairs);
  return tie_pairs;
}

}  // namespace tsl
