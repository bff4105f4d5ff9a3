#include "matching/heading_check.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "matching/ratio_match.h"

namespace tsl {
namespace {

// A tenth of the gate: how far the offsets of true matches from their predictions spread when
// the poses are off by their priors, while chance matches spread over the whole gate.
constexpr double AGREEMENT_FRACTION = 0.1;
// A turn must raise a photo's agreeing correspondences by half and by at least this many: on
// the strongest keypoints a reversed photo's overlaps agree about twice as well turned, and
// chance agreement stays within a few correspondences either way.
constexpr size_t TURN_MIN_GAIN = 8;

// The largest number of one pair's correspondences that land within the gate under the
// context's rotations with offsets from their predictions that agree to within a tenth of the
// gate: true matches move together, chance matches do not.
size_t gated(const MatchContext& ctx, const HeadingEvidence& e) {
  std::vector<Vec2> offsets;
  for (size_t q = 0; q < e.a.size(); ++q) {
    const std::optional<Vec2> uv = predict_in_other(ctx, e.i, e.j, e.a[q]);
    if (gate_match(ctx, e.j, uv, e.b[q])) offsets.push_back({e.b[q].x - uv->x, e.b[q].y - uv->y});
  }
  if (offsets.empty()) return 0;
  const double r = gate_radius(ctx, e.j) * AGREEMENT_FRACTION;
  size_t best = 0;
  for (const Vec2& o : offsets) {
    size_t n = 0;
    for (const Vec2& u : offsets) n += std::hypot(u.x - o.x, u.y - o.y) < r;
    best = std::max(best, n);
  }
  return best;
}

std::vector<uint32_t> first_indices(size_t count) {
  std::vector<uint32_t> out(std::min(count, HEADING_KEYPOINTS));
  std::iota(out.begin(), out.end(), uint32_t{0});
  return out;
}

}  // namespace

Mat3 turned_half(const Mat3& r) { return {-r[0], -r[1], -r[2], -r[3], -r[4], -r[5], r[6], r[7], r[8]}; }

HeadingEvidence strong_keypoint_matches(const MatchContext& ctx, size_t k) {
  const auto [i, j] = ctx.pairs[k];
  HeadingEvidence e{i, j, {}, {}};
  const FeatureSet& fi = ctx.features[i];
  const FeatureSet& fj = ctx.features[j];
  if (feature_set_fault(fi) || feature_set_fault(fj)) return e;
  for (const DescMatch& m : ratio_match(fi.desc, first_indices(fi.kp.size()), fj.desc, first_indices(fj.kp.size()))) {
    if (!std::isfinite(fi.kp[m.i].x) || !std::isfinite(fi.kp[m.i].y)) continue;
    e.a.push_back(fi.kp[m.i]);
    e.b.push_back(fj.kp[m.j]);
  }
  return e;
}

std::vector<size_t> find_turned_photos(const MatchContext& base, std::span<const HeadingEvidence> evidence) {
  const size_t n = base.photos.images.size();
  std::vector<Mat3> rotations(base.photos.rotations.begin(), base.photos.rotations.end());
  MatchContext ctx = base;
  ctx.photos.rotations = rotations;
  std::vector<std::vector<size_t>> of(n);
  for (size_t k = 0; k < evidence.size(); ++k) {
    if (evidence[k].i >= n || evidence[k].j >= n || evidence[k].i == evidence[k].j) continue;
    of[evidence[k].i].push_back(k);
    of[evidence[k].j].push_back(k);
  }
  std::vector<size_t> now(evidence.size(), 0);
  for (size_t k = 0; k < evidence.size(); ++k)
    if (evidence[k].i < n && evidence[k].j < n && evidence[k].i != evidence[k].j) now[k] = gated(ctx, evidence[k]);
  // Gated correspondences over a photo's pairs as they stand and with the photo turned.
  struct Weigh {
    size_t as_is = 0, turned = 0;
  };
  const auto weigh = [&](size_t p) {
    Weigh w;
    rotations[p] = turned_half(rotations[p]);
    for (size_t k : of[p]) {
      w.as_is += now[k];
      w.turned += gated(ctx, evidence[k]);
    }
    rotations[p] = turned_half(rotations[p]);
    return w;
  };
  std::vector<Weigh> weights(n);
  for (size_t p = 0; p < n; ++p) weights[p] = weigh(p);
  std::vector<uint8_t> is_turned(n, 0);
  std::vector<size_t> turned;
  for (;;) {
    size_t best = n, best_gain = 0;
    for (size_t p = 0; p < n; ++p) {
      const Weigh& w = weights[p];
      if (is_turned[p] || 2 * w.turned <= 3 * w.as_is || w.turned < w.as_is + TURN_MIN_GAIN) continue;
      if (best == n || w.turned - w.as_is > best_gain) best = p, best_gain = w.turned - w.as_is;
    }
    if (best == n) break;
    rotations[best] = turned_half(rotations[best]);
    is_turned[best] = 1;
    turned.push_back(best);
    for (size_t k : of[best]) now[k] = gated(ctx, evidence[k]);
    for (size_t k : of[best]) {
      const size_t other = evidence[k].i == best ? evidence[k].j : evidence[k].i;
      if (!is_turned[other]) weights[other] = weigh(other);
    }
  }
  std::sort(turned.begin(), turned.end());
  return turned;
}

std::vector<HeadingEvidence> tie_evidence(std::span<const PairMatch> pairs) {
  std::vector<HeadingEvidence> out;
  out.reserve(pairs.size());
  for (const PairMatch& m : pairs) out.push_back({m.i, m.j, m.a_all, m.b_all});
  return out;
}

}  // namespace tsl
