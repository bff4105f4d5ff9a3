#include "matching/match_pair.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "linalg/stats.h"
#include "matching/ratio_match.h"
#include "matching/two_view.h"
#include "matching/xorshift.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

constexpr uint64_t SEED_STRIDE = 100003;  // s = i x 100003 + j, one seed per pair
constexpr uint64_t THIN_MIX = 0x2545F4914F6CDD1DULL;
constexpr uint64_t FUNDAMENTAL_ITERATIONS = 10000;
constexpr uint64_t HOMOGRAPHY_ITERATIONS = 5000;
constexpr double COLOUR_LOW = 0.01;  // colours outside (0.01, 0.9) are too dark or near clipping
constexpr double COLOUR_HIGH = 0.9;
constexpr double RAD_PER_DEG = 0.017453292519943295;
constexpr double GATE_SIGMAS = 2.5;

const CameraModel& lens_of(const MatchContext& ctx, size_t photo) {
  const auto& lens = ctx.photos.images[photo].lens;
  if (!lens) internal_error("lens");
  return *lens;
}

// Truncates toward zero with saturation; NaN gives 0.
int64_t to_i64(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (v <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

// Pixels per metre of ground seen from photo b's height, times a tolerance in metres and one
// in radians: the slack a pose error of that size gives a predicted position.
double tolerance_px(const MatchContext& ctx, size_t b, double dist, double ang) {
  const double h = std::max(ctx.photos.positions[b][2] - ctx.ground_height, 1.0);
  return (dist + std::tan(ang) * h) * lens_of(ctx, b).fx / h;
}

// A keypoint in the undistorted working frame of its photo: the pinhole image at the working
// scale, where the two-view thresholds are measured.
Vec2 model_point(const CameraModel& cam, const FeatureSet& f, Vec2 p) {
  const Vec2 n = cam.unproject(p.x, p.y);
  return {f.msc.x * (cam.fx * n.x + cam.cx + 0.5) - 0.5, f.msc.y * (cam.fy * n.y + cam.cy + 0.5) - 0.5};
}

size_t count_set(const std::vector<uint8_t>& mask) { return static_cast<size_t>(std::count(mask.begin(), mask.end(), 1)); }

}  // namespace

MatchContext make_match_context(std::span<const PhotoPair> pairs, std::span<const FeatureSet> features,
                                const PlacedPhotos& photos, const MatchOptions& options) {
  MatchContext ctx;
  ctx.pairs = pairs;
  ctx.features = features;
  ctx.photos = photos;
  ctx.ground_height = 0.0;
  ctx.gate_dist = GATE_SIGMAS * options.sigma_gps;
  ctx.gate_ang = GATE_SIGMAS * options.sigma_ang * RAD_PER_DEG;
  ctx.margin_dist = options.sigma_gps;
  ctx.margin_ang = options.sigma_ang * RAD_PER_DEG;
  ctx.min_inliers = options.min_inliers;
  ctx.max_ties = options.max_ties;
  ctx.fundamental_threshold = options.fundamental_threshold;
  ctx.workers = options.workers;
  return ctx;
}

double fundamental_threshold(const char* text) {
  if (text == nullptr) return FTHR_DEFAULT;
  return parse_decimal(text).value_or(FTHR_DEFAULT);
}

std::optional<Vec2> predict_in_other(const MatchContext& ctx, size_t a, size_t b, Vec2 p) {
  const CameraModel& cam_a = lens_of(ctx, a);
  const CameraModel& cam_b = lens_of(ctx, b);
  const Vec2 n = cam_a.unproject(p.x, p.y);
  const Vec2 s = selfcal_distort(n.x, n.y, cam_a.selfcal);
  const Mat3& ra = ctx.photos.rotations[a];
  // World ray: the transposed rotation applied to (s.x, s.y, 1).
  const double dx = ra[0] * s.x + ra[3] * s.y + ra[6];
  const double dy = ra[1] * s.x + ra[4] * s.y + ra[7];
  const double dz = ra[2] * s.x + ra[5] * s.y + ra[8];
  const Vec3& pa = ctx.photos.positions[a];
  const double t = (ctx.ground_height - pa[2]) / dz;
  const Vec3& pb = ctx.photos.positions[b];
  const double gx = pa[0] + t * dx - pb[0], gy = pa[1] + t * dy - pb[1], gz = ctx.ground_height - pb[2];
  const Mat3& rb = ctx.photos.rotations[b];
  const double qx = rb[0] * gx + rb[1] * gy + rb[2] * gz;
  const double qy = rb[3] * gx + rb[4] * gy + rb[5] * gz;
  const double qz = rb[6] * gx + rb[7] * gy + rb[8] * gz;
  if (!(qz > 1e-6)) return std::nullopt;
  const double x = qx / qz, y = qy / qz;
  const double r = cam_b.monotonic_radius();
  if (!(x * x + y * y < r * r)) return std::nullopt;
  const Vec2 uv = cam_b.project(x, y, cam_b.selfcal);
  if (!std::isfinite(uv.x) || !std::isfinite(uv.y)) return std::nullopt;
  return uv;
}

std::vector<uint32_t> overlap_candidates(const MatchContext& ctx, size_t a, size_t b, std::span<const Vec2> points,
                                         std::vector<std::optional<Vec2>>* predicted) {
  const double m = tolerance_px(ctx, b, ctx.margin_dist, ctx.margin_ang);
  const double w = static_cast<double>(ctx.photos.images[b].width), h = static_cast<double>(ctx.photos.images[b].height);
  if (predicted) predicted->assign(points.size(), std::nullopt);
  std::vector<uint32_t> out;
  for (size_t k = 0; k < points.size(); ++k) {
    // A keypoint that is not finite (a damaged feature file) never reaches matching or a fit.
    if (!std::isfinite(points[k].x) || !std::isfinite(points[k].y)) continue;
    const std::optional<Vec2> uv = predict_in_other(ctx, a, b, points[k]);
    if (predicted) (*predicted)[k] = uv;
    if (uv && -m < uv->x && uv->x < w + m && -m < uv->y && uv->y < h + m) out.push_back(static_cast<uint32_t>(k));
  }
  return out;
}

double gate_radius(const MatchContext& ctx, size_t j) { return tolerance_px(ctx, j, ctx.gate_dist, ctx.gate_ang); }

bool gate_match(const MatchContext& ctx, size_t j, const std::optional<Vec2>& predicted_i, Vec2 observed_j) {
  if (!predicted_i) return false;
  const double g = gate_radius(ctx, j);
  return std::hypot(predicted_i->x - observed_j.x, predicted_i->y - observed_j.y) < g;
}

std::array<double, 3> thumb_color(const FeatureSet& f, Vec2 p) {
  const int64_t px = std::clamp<int64_t>(to_i64(std::round((p.x + 0.5) * f.tsc.x - 0.5)), 0, int64_t{f.thumb_w} - 1);
  const int64_t py = std::clamp<int64_t>(to_i64(std::round((p.y + 0.5) * f.tsc.y - 0.5)), 0, int64_t{f.thumb_h} - 1);
  const size_t at = (static_cast<size_t>(py) * f.thumb_w + static_cast<size_t>(px)) * 3;
  return {f.thumb[at], f.thumb[at + 1], f.thumb[at + 2]};
}

std::optional<std::string> feature_set_fault(const FeatureSet& f) {
  if (f.kp.size() > std::numeric_limits<uint32_t>::max()) return format("{} keypoints", f.kp.size());
  if (f.desc.size() != f.kp.size() * DESC_LEN)
    return format("{} descriptor values for {} keypoints", f.desc.size(), f.kp.size());
  if (f.thumb_w == 0 || f.thumb_h == 0 || f.thumb.size() != uint64_t{f.thumb_w} * f.thumb_h * 3)
    return format("{} thumbnail values for {} x {} pixels", f.thumb.size(), f.thumb_w, f.thumb_h);
  return std::nullopt;
}

uint64_t pair_seed(uint64_t i, uint64_t j) { return i * SEED_STRIDE + j; }

std::vector<size_t> thin_order(const FeatureSet& fi, std::span<const Vec2> a_all, uint64_t max_ties, uint64_t seed) {
  return thin_order(static_cast<double>(fi.thumb_w) / fi.tsc.x / THIN_CELLS,
                    static_cast<double>(fi.thumb_h) / fi.tsc.y / THIN_CELLS, a_all, max_ties, seed);
}

std::vector<size_t> thin_order(double cw, double ch, std::span<const Vec2> a_all, uint64_t max_ties, uint64_t seed) {
  const size_t m = a_all.size();
  std::vector<int64_t> cell(m);
  std::vector<double> key(m);
  uint64_t state = (seed + 7) ^ THIN_MIX;
  for (size_t k = 0; k < m; ++k) {
    cell[k] = to_i64(std::floor(a_all[k].x / cw) * 100.0 + std::floor(a_all[k].y / ch));
    key[k] = unit_random(xorshift64(state));
  }
  std::vector<size_t> order(m);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) {
    if (cell[x] != cell[y]) return cell[x] < cell[y];
    return key[x] < key[y];
  });
  std::vector<size_t> kept;
  std::vector<uint8_t> taken(m, 0);
  int64_t last = std::numeric_limits<int64_t>::min();
  for (size_t k : order) {
    if (cell[k] != last) {
      kept.push_back(k);
      taken[k] = 1;
      last = cell[k];
    }
  }
  std::vector<size_t> rest;
  for (size_t k = 0; k < m; ++k)
    if (!taken[k]) rest.push_back(k);
  if (rest.size() >= 2) {
    for (size_t c = rest.size() - 1; c >= 1; --c) {
      const size_t r = static_cast<size_t>(xorshift64(state) % (uint64_t{c} + 1));
      std::swap(rest[c], rest[r]);
    }
  }
  kept.insert(kept.end(), rest.begin(), rest.end());
  if (kept.size() > max_ties) kept.resize(max_ties);
  return kept;
}

std::optional<std::array<double, 3>> colour_log_ratios(const FeatureSet& fi, const FeatureSet& fj,
                                                       std::span<const Vec2> a, std::span<const Vec2> b) {
  std::array<std::vector<double>, 3> lists;
  const auto usable = [](double v) { return v > COLOUR_LOW && v < COLOUR_HIGH; };
  for (size_t k = 0; k < a.size(); ++k) {
    const std::array<double, 3> ci = thumb_color(fi, a[k]);
    const std::array<double, 3> cj = thumb_color(fj, b[k]);
    if (!std::all_of(ci.begin(), ci.end(), usable) || !std::all_of(cj.begin(), cj.end(), usable)) continue;
    for (size_t ch = 0; ch < 3; ++ch) lists[ch].push_back(std::log(cj[ch]) - std::log(ci[ch]));
  }
  if (lists[0].size() < MIN_COLOUR_SAMPLES) return std::nullopt;
  return std::array<double, 3>{median(lists[0]), median(lists[1]), median(lists[2])};
}

std::optional<Verified> verify_matches(std::span<const Vec2> ma, std::span<const Vec2> mb, uint64_t seed,
                                       uint64_t min_inliers, double fundamental_px) {
  if (ma.size() >= FUNDAMENTAL_MIN_MATCHES) {
    auto mask = ransac(TwoViewKind::Fundamental, ma, mb, fundamental_px, FUNDAMENTAL_ITERATIONS, seed + 7);
    if (mask && count_set(*mask) >= min_inliers) return Verified{TwoViewKind::Fundamental, std::move(*mask)};
  }
  auto mask = ransac(TwoViewKind::Homography, ma, mb, HOMOGRAPHY_THRESHOLD, HOMOGRAPHY_ITERATIONS, seed + 8);
  if (mask && count_set(*mask) >= min_inliers) return Verified{TwoViewKind::Homography, std::move(*mask)};
  return std::nullopt;
}

std::optional<PairMatch> match_pair(const MatchContext& ctx, size_t k) {
  const auto [i, j] = ctx.pairs[k];
  const FeatureSet& fi = ctx.features[i];
  const FeatureSet& fj = ctx.features[j];
  const CameraModel& cam_i = lens_of(ctx, i);
  const CameraModel& cam_j = lens_of(ctx, j);
  if (feature_set_fault(fi) || feature_set_fault(fj)) return std::nullopt;

  std::vector<std::optional<Vec2>> predicted_i;
  const std::vector<uint32_t> cand_i = overlap_candidates(ctx, i, j, fi.kp, &predicted_i);
  const std::vector<uint32_t> cand_j = overlap_candidates(ctx, j, i, fj.kp);
  if (cand_i.size() < MIN_CANDIDATES || cand_j.size() < MIN_CANDIDATES) return std::nullopt;

  std::vector<DescMatch> matches = ratio_match(fi.desc, cand_i, fj.desc, cand_j, ctx.workers);
  std::erase_if(matches, [&](const DescMatch& m) { return !gate_match(ctx, j, predicted_i[m.i], fj.kp[m.j]); });
  if (matches.size() < ctx.min_inliers) return std::nullopt;

  std::vector<Vec2> ma, mb;
  ma.reserve(matches.size());
  mb.reserve(matches.size());
  for (const DescMatch& m : matches) {
    ma.push_back(model_point(cam_i, fi, fi.kp[m.i]));
    mb.push_back(model_point(cam_j, fj, fj.kp[m.j]));
  }
  const uint64_t seed = pair_seed(i, j);
  const std::optional<Verified> verified = verify_matches(ma, mb, seed, ctx.min_inliers, ctx.fundamental_threshold);
  if (!verified) return std::nullopt;
  const std::vector<uint8_t>& mask = verified->mask;

  PairMatch out;
  for (size_t m = 0; m < matches.size(); ++m) {
    if (!mask[m]) continue;
    out.a_all.push_back(fi.kp[matches[m].i]);
    out.b_all.push_back(fj.kp[matches[m].j]);
  }
  if (out.a_all.size() <= ctx.max_ties) {
    out.a = out.a_all;
    out.b = out.b_all;
  } else {
    for (size_t t : thin_order(fi, out.a_all, ctx.max_ties, seed)) {
      out.a.push_back(out.a_all[t]);
      out.b.push_back(out.b_all[t]);
    }
  }
  out.log_ratio = colour_log_ratios(fi, fj, out.a, out.b);
  out.i = i;
  out.j = j;
  out.n = out.a.size();
  return out;
}

}  // namespace tsl
