#include "adjust/bundle_adjust.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <string>

#include "adjust/jacobian.h"
#include "adjust/residual_model.h"
#include "adjust/solver.h"
#include "geo/camera.h"
#include "linalg/stats.h"
#include "logx.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

// Prior sigmas of the lens terms k1, k2, dx, dy, p1, p2 about zero: generous for the radial
// terms, a hundredth of the focal length for the principal point, small tangential terms.
constexpr double LENS_PRIOR_SIGMA[6] = {0.1, 0.1, 0.01, 0.01, 0.002, 0.002};
// Rounds of the re-solve after a folding lens was reset: the solution is already close.
constexpr size_t RESOLVE_ROUNDS = 2;

// A sigma of zero, below zero or NaN would make its prior infinite and the whole solve NaN;
// such a setting asks for a fixed value, which a tiny sigma gives.
constexpr double MIN_SIGMA_M = 1e-6;
constexpr double MIN_SIGMA_RAD = 1e-5;
// Floor of the flying height that scales the tie-height prior, as for the tie sigma.
constexpr double MIN_FLYING_HEIGHT_M = 0.5;

double at_least(double sigma, double floor) { return sigma > floor ? sigma : floor; }

double round3(double v) { return std::round(v * 1000.0) / 1000.0; }

const CameraModel& lens_of(const ImageMeta& m) {
  if (!m.lens) internal_error("adjustment photo without a camera model: lens");
  return *m.lens;
}

std::string key_prefix(const std::string& key) { return key.substr(0, key.find('|')); }

struct Groups {
  std::vector<std::string> keys;  // sorted byte-wise, unique
  std::vector<size_t> of_photo;
};

Groups camera_groups(std::span<const ImageMeta> images) {
  Groups g;
  std::vector<std::string> per_photo;
  for (const ImageMeta& m : images) per_photo.push_back(camera_key(m));
  g.keys = per_photo;
  std::sort(g.keys.begin(), g.keys.end());
  g.keys.erase(std::unique(g.keys.begin(), g.keys.end()), g.keys.end());
  for (const std::string& k : per_photo)
    g.of_photo.push_back(static_cast<size_t>(std::lower_bound(g.keys.begin(), g.keys.end(), k) - g.keys.begin()));
  return g;
}

AdjustProblem make_problem(const PlacedPhotos& photos, std::span<const PairMatch> ties, const AdjustOptions& options,
                           const Groups& groups) {
  const auto& [images, rotations0, positions0] = photos;
  const bool selfcal_on = options.selfcal;
  const size_t n = images.size();
  if (rotations0.size() != n || positions0.size() != n) internal_error("adjustment poses do not match the photos");
  AdjustProblem p;
  p.photo_count = n;
  p.photo_group = groups.of_photo;
  p.group_count = groups.keys.size();
  p.terms_per_group = options.selfcal_full ? 6 : 2;
  p.selfcal = selfcal_on;
  p.first_height = 6 * n + 1 + (selfcal_on ? p.group_count * p.terms_per_group : 0);
  p.rotations0.assign(rotations0.begin(), rotations0.end());
  p.positions0.assign(positions0.begin(), positions0.end());
  std::vector<double> scale(n);
  for (size_t k = 0; k < n; ++k) {
    const CameraModel& lens = lens_of(images[k]);
    const double long_side = static_cast<double>(std::max(images[k].width, images[k].height));
    scale[k] = std::min(static_cast<double>(options.match_px) / long_side, 1.0);
    p.focal.push_back(lens.fx);
  }
  for (const PairMatch& m : ties) {
    if (m.i >= n || m.j >= n) internal_error("tie pair names a photo out of range");
    if (m.n > m.a.size() || m.n > m.b.size()) internal_error("tie pair count exceeds its tie lists");
    const CameraModel& la = lens_of(images[m.i]);
    const CameraModel& lb = lens_of(images[m.j]);
    for (size_t g = 0; g < m.n; ++g) {
      p.tie_photo_a.push_back(m.i);
      p.tie_photo_b.push_back(m.j);
      p.obs_a.push_back(la.unproject(m.a[g].x, m.a[g].y));
      p.obs_b.push_back(lb.unproject(m.b[g].x, m.b[g].y));
      p.tie_scale.push_back(0.75 * (1.0 / scale[m.i] + 1.0 / scale[m.j]));
    }
  }
  const double tilt = at_least(options.sigma_tilt * std::numbers::pi / 180.0, MIN_SIGMA_RAD);
  p.pose_sigma = {at_least(options.sigma_gps, MIN_SIGMA_M),
                  at_least(options.sigma_gps, MIN_SIGMA_M),
                  at_least(options.sigma_alt, MIN_SIGMA_M),
                  tilt,
                  tilt,
                  at_least(options.sigma_ang * std::numbers::pi / 180.0, MIN_SIGMA_RAD)};
  p.sigma_ground = at_least(options.sigma_ground, MIN_SIGMA_M);
  p.sigma_relief = at_least(options.sigma_relief, MIN_SIGMA_M);
  if (selfcal_on) {
    const size_t lens = p.group_count * p.terms_per_group;
    p.lens_prior_mean.assign(lens, 0.0);
    for (size_t l = 0; l < lens; ++l) p.lens_prior_sigma.push_back(LENS_PRIOR_SIGMA[l % p.terms_per_group]);
  }
  return p;
}

std::string terms_text(std::span<const double> t, double fx) {
  std::string s = tsl::format("k1 {:+.4} k2 {:+.4}", t[0], t[1]);
  if (t.size() == 6)
    s += tsl::format(" | principal point {:+.1},{:+.1} px | tangential {:+.5},{:+.5}", t[2] * fx, t[3] * fx, t[4],
                     t[5]);
  return s;
}

std::vector<size_t> first_photos(const Groups& groups, size_t photo_count) {
  std::vector<size_t> first(groups.keys.size(), photo_count);
  for (size_t k = photo_count; k-- > 0;) first[groups.of_photo[k]] = k;
  return first;
}

// The groups whose solved terms fold the frame: the lens would no longer be monotonic out to
// the frame's corners (a NaN radius passes). Logs one warning per such group.
std::vector<uint8_t> folding_groups(std::span<const ImageMeta> images, const Groups& groups, size_t terms_per_group,
                                    std::span<const double> lens_terms) {
  const std::vector<size_t> first = first_photos(groups, images.size());
  std::vector<uint8_t> folds(groups.keys.size(), 0);
  for (size_t g = 0; g < groups.keys.size(); ++g) {
    if (first[g] == images.size()) continue;
    CameraModel lens = *images[first[g]].lens;
    lens.selfcal.assign(lens_terms.begin() + static_cast<std::ptrdiff_t>(g * terms_per_group),
                        lens_terms.begin() + static_cast<std::ptrdiff_t>((g + 1) * terms_per_group));
    const double limit = lens.monotonic_radius();
    const double needed =
        1.05 * std::hypot(static_cast<double>(lens.width), static_cast<double>(lens.height)) / (2.0 * lens.fx);
    if (limit < needed) {
      logf("  warning: lens self-calibration for {} is not monotonic inside the frame - disabled",
           key_prefix(groups.keys[g]));
      folds[g] = 1;
    }
  }
  return folds;
}

// The problem with every lens held at `terms` (G x T values, group-major): the observations
// carry the terms and the lens columns are gone, so nothing can pull the lens off them.
AdjustProblem with_lens_held(const AdjustProblem& p, std::span<const double> terms) {
  AdjustProblem q = p;
  const size_t t = p.terms_per_group;
  auto held = [&](size_t photo, Vec2 o) {
    const size_t g = p.photo_group[photo];
    return selfcal_distort(o.x, o.y, terms.subspan(g * t, t));
  };
  for (size_t k = 0; k < q.obs_a.size(); ++k) {
    q.obs_a[k] = held(p.tie_photo_a[k], p.obs_a[k]);
    q.obs_b[k] = held(p.tie_photo_b[k], p.obs_b[k]);
  }
  q.selfcal = false;
  q.first_height = 6 * p.photo_count + 1;
  q.lens_prior_mean.clear();
  q.lens_prior_sigma.clear();
  return q;
}

// Solves the stage again with the lens held at `terms`, from `stage`, and returns the vector
// in the full layout (poses and ground, the held terms, the tie heights).
RoundsResult resolve_with_lens_held(const AdjustProblem& problem, std::span<const double> terms, RoundsResult stage,
                                    uint64_t iterations, std::string_view name) {
  const AdjustProblem held = with_lens_held(problem, terms);
  const size_t base = held.first_height;
  const auto lens_begin = stage.params.begin() + static_cast<std::ptrdiff_t>(base);
  const auto lens_end = stage.params.begin() + static_cast<std::ptrdiff_t>(problem.first_height);
  stage.params.erase(lens_begin, lens_end);
  stage = robust_rounds(held, std::move(stage.params), std::move(stage.mask), iterations, RESOLVE_ROUNDS, name);
  stage.params.insert(stage.params.begin() + static_cast<std::ptrdiff_t>(base), terms.begin(), terms.end());
  return stage;
}

// Each photo's terms, those of its group (zeros for a disabled group); logs one line per
// group.
std::vector<std::vector<double>> selfcal_per_photo(std::span<const ImageMeta> images, const Groups& groups,
                                                   size_t terms_per_group, std::span<const uint8_t> disabled,
                                                   std::vector<double> lens_terms) {
  const size_t t = terms_per_group;
  const std::vector<size_t> first = first_photos(groups, images.size());
  std::vector<std::vector<double>> per_photo(images.size());
  for (size_t g = 0; g < groups.keys.size(); ++g) {
    std::span<double> terms(lens_terms.data() + g * t, t);
    if (disabled[g]) std::fill(terms.begin(), terms.end(), 0.0);
    for (size_t k = 0; k < images.size(); ++k)
      if (groups.of_photo[k] == g) per_photo[k].assign(terms.begin(), terms.end());
  }
  for (size_t g = 0; g < groups.keys.size(); ++g) {
    const double fx = first[g] < images.size() ? images[first[g]].lens->fx : 0.0;
    logf("  self-calibration {}: {}", key_prefix(groups.keys[g]),
         terms_text(std::span<const double>(lens_terms.data() + g * t, t), fx));
  }
  return per_photo;
}

// What makes a solved block absurd rather than merely poor, and the bounds that say so. The
// cameras keep at least this share of their recorded height above the solved ground: the
// ground rising to the cameras is a block collapsed onto itself.
constexpr double MIN_HEIGHT_SHARE = 0.2;
// The solved block's horizontal extent stays within this factor of the recorded one.
constexpr double MAX_SCALE_FACTOR = 1.5;
// The recorded block must span this many GNSS sigmas for its scale to be known at all.
constexpr double MIN_BLOCK_SIGMAS = 5.0;
// A photo moved beyond this many sigmas of a prior, and by more than the floor, strays from
// its metadata. The floors are wide: a prior set near zero makes any rounding many sigmas,
// and a lens the solve gets wrong moves photos by metres and tens of degrees on its own.
constexpr double STRAY_SIGMAS = 10.0;
constexpr double STRAY_MIN_M = 25.0;
constexpr double STRAY_MIN_DEG = 30.0;

double median_of(std::vector<double> v) { return v.empty() ? 0.0 : median(v); }

// RMS horizontal distance of the positions from their centroid.
double horizontal_spread(std::span<const Vec3> positions) {
  if (positions.empty()) return 0.0;
  double me = 0.0, mn = 0.0;
  for (const Vec3& p : positions) {
    me += p[0];
    mn += p[1];
  }
  me /= static_cast<double>(positions.size());
  mn /= static_cast<double>(positions.size());
  double s = 0.0;
  for (const Vec3& p : positions) s += (p[0] - me) * (p[0] - me) + (p[1] - mn) * (p[1] - mn);
  return std::sqrt(s / static_cast<double>(positions.size()));
}

// What makes the solution `params` of `problem` absurd, or nothing: a value that is not
// finite, the ground within a small share of the flying height of the cameras (or above
// them), a block scaled far from the recorded one, or most photos moved many sigmas beyond
// their priors. Ties that all agree on a wrong geometry (one position for every photo, ties
// at one point, photos of identical pixels) solve to such blocks without any tie disagreeing.
std::optional<std::string> collapse_reason(const AdjustProblem& problem, std::span<const double> params) {
  for (double v : params)
    if (!std::isfinite(v)) return std::string("the solution is not finite");
  const size_t n = problem.photo_count;
  const PoseState poses = camera_poses(problem, params);
  std::vector<double> recorded(n), solved(n);
  for (size_t p = 0; p < n; ++p) {
    recorded[p] = problem.positions0[p][2];
    solved[p] = poses.positions[p][2] - poses.ground;
  }
  const double flying = median_of(recorded), above = median_of(solved);
  if (flying > 0.0 && above < MIN_HEIGHT_SHARE * flying)
    return format("ground at {:+.2} m, {:.2} m below cameras flying {:.2} m above take-off", poses.ground, above,
                  flying);
  const double spread0 = horizontal_spread(problem.positions0), spread = horizontal_spread(poses.positions);
  if (spread0 > MIN_BLOCK_SIGMAS * problem.pose_sigma[0] &&
      !(spread <= MAX_SCALE_FACTOR * spread0 && spread >= spread0 / MAX_SCALE_FACTOR))
    return format("block scaled {:.3}x against the GNSS positions", spread / spread0);
  size_t stray = 0;
  double worst_m = 0.0, worst_deg = 0.0;
  for (size_t p = 0; p < n; ++p) {
    bool off = false;
    for (size_t k = 0; k < 6; ++k) {
      const double c = std::fabs(params[6 * p + k]);
      const double floor = k < 3 ? STRAY_MIN_M : STRAY_MIN_DEG * std::numbers::pi / 180.0;
      off = off || c > std::max(STRAY_SIGMAS * problem.pose_sigma[k], floor);
    }
    stray += off;
    const double* c = params.data() + 6 * p;
    worst_m = std::max(worst_m, std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]));
    worst_deg = std::max(worst_deg, 180.0 / std::numbers::pi * std::sqrt(c[3] * c[3] + c[4] * c[4] + c[5] * c[5]));
  }
  if (2 * stray > n)
    return format("{} of {} photos moved beyond {:.0} sigmas of their priors (up to {:.1} m, {:.1}°)", stray, n,
                  STRAY_SIGMAS, worst_m, worst_deg);
  return std::nullopt;
}

double mean(std::span<const double> v) {
  if (v.empty()) return std::numeric_limits<double>::quiet_NaN();
  double s = 0.0;
  for (double x : v) s += x;
  return s / static_cast<double>(v.size());
}

// The metadata poses with zero corrections, nothing else.
AdjustResult metadata_result(const PlacedPhotos& photos) {
  const auto& [images, rotations0, positions0] = photos;
  AdjustResult result;
  result.rotations.assign(rotations0.begin(), rotations0.end());
  result.positions.assign(positions0.begin(), positions0.end());
  result.pos_corr.assign(images.size(), 0.0);
  result.rot_corr.assign(images.size(), 0.0);
  return result;
}

}  // namespace

AdjustResult bundle_adjust(const PlacedPhotos& photos, std::span<const PairMatch> ties, const AdjustOptions& options,
                           const std::optional<std::vector<double>>& warm_start) {
  const auto& [images, rotations0, positions0] = photos;
  const bool selfcal_on = options.selfcal;
  const size_t n = images.size();
  AdjustResult result;
  if (ties.empty()) {
    log_str("  no tie points - keeping metadata poses");
    return metadata_result(photos);
  }
  const Groups groups = camera_groups(images);
  AdjustProblem problem = make_problem(photos, ties, options, groups);
  const size_t p0 = problem.first_height;
  const size_t tie_count = problem.tie_photo_a.size();
  if (options.jacobian_check) jacobian_check(problem);

  std::vector<double> x(p0, 0.0);
  if (warm_start && warm_start->size() == p0) x = *warm_start;
  const size_t planar_rounds = warm_start ? 2 : options.rounds;
  RoundsResult stage = robust_rounds(problem, std::move(x), std::vector<uint8_t>(tie_count, 1), options.iterations,
                                     planar_rounds, "planar");
  result.planar_params = stage.params;

  const bool relief = options.relief;
  if (relief) {
    // The lens keeps its own prior here rather than being pinned at the planar estimate: on
    // hilly ground the planar stage explains part of the relief with lens terms (a principal
    // point shift paid for by moving legs of alternating heading by metres), and only the tie
    // heights can give that back.
    const PoseState planar = camera_poses(problem, stage.params);
    // The height prior holds sigma_relief at the planar flying height and scales with the
    // block from there, so that it cannot shrink the block to flatten the relief.
    std::vector<double> above(n);
    for (size_t p = 0; p < n; ++p) above[p] = planar.positions[p][2] - planar.ground;
    problem.relief_ref_height = std::max(median(above), MIN_FLYING_HEIGHT_M);
    stage.params.resize(p0 + tie_count, planar.ground);
    const size_t rounds = std::max<size_t>(options.rounds > 0 ? options.rounds - 1 : 0, 2);
    stage = robust_rounds(problem, std::move(stage.params), std::move(stage.mask), options.iterations, rounds, "relief");
  }

  // A lens that folds the frame cannot be rendered through, so it is reset to zero; the poses
  // were solved with it, though, and would no longer fit the ties through the reset lens.
  // The last stage is solved again with every lens held: at zero where it folded, at its
  // estimate elsewhere.
  std::vector<uint8_t> disabled(groups.keys.size(), 0);
  if (selfcal_on) {
    std::vector<double> terms = camera_poses(problem, stage.params).lens_terms;
    disabled = folding_groups(images, groups, problem.terms_per_group, terms);
    if (std::find(disabled.begin(), disabled.end(), 1) != disabled.end()) {
      const size_t t = problem.terms_per_group;
      for (size_t g = 0; g < disabled.size(); ++g)
        if (disabled[g]) std::fill(terms.begin() + static_cast<std::ptrdiff_t>(g * t),
                                   terms.begin() + static_cast<std::ptrdiff_t>((g + 1) * t), 0.0);
      stage = resolve_with_lens_held(problem, terms, std::move(stage), options.iterations, relief ? "relief" : "planar");
      if (!relief) result.planar_params = stage.params;
    }
  }

  if (auto reason = collapse_reason(problem, stage.params)) {
    AdjustResult kept = metadata_result(photos);
    kept.collapse = std::move(*reason);
    return kept;
  }

  const PoseState poses = camera_poses(problem, stage.params);
  const std::vector<TieGap> gaps = tie_residuals(problem, stage.params, stage.mask);
  std::vector<double> gap(gaps.size());
  double sum2 = 0.0;
  for (size_t k = 0; k < gaps.size(); ++k) {
    gap[k] = std::hypot(gaps[k].east_a - gaps[k].east_b, gaps[k].north_a - gaps[k].north_b);
    sum2 += gap[k] * gap[k];
  }
  if (poses.has_heights) {
    std::vector<Vec3> points;
    points.reserve(gaps.size());
    for (const TieGap& g : gaps) points.push_back({(g.east_a + g.east_b) / 2, (g.north_a + g.north_b) / 2, g.height});
    result.relief_points = std::move(points);
  }
  if (selfcal_on) result.selfcal = selfcal_per_photo(images, groups, problem.terms_per_group, disabled, poses.lens_terms);

  result.rotations = poses.rotations;
  result.positions = poses.positions;
  for (size_t p = 0; p < n; ++p) {
    const double* c = stage.params.data() + 6 * p;
    result.pos_corr.push_back(round3(std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2])));
    result.rot_corr.push_back(round3(57.29577951308232 * std::sqrt(c[3] * c[3] + c[4] * c[4] + c[5] * c[5])));
  }
  result.ground = poses.ground;
  result.stats.set_f64("tie_points", static_cast<double>(gaps.size()));
  result.stats.set_f64("tie_rms_m", std::sqrt(sum2 / static_cast<double>(std::max<size_t>(gaps.size(), 1))));
  result.stats.set_f64("tie_median_m", median(gap));
  result.stats.set_f64("ground_z", poses.ground);
  logf("  mean ground {:+.2} m relative to takeoff; mean |pos corr| {:.2} m, mean |rot corr| {:.2}°", poses.ground,
       mean(result.pos_corr), mean(result.rot_corr));
  return result;
}

void apply_selfcal(std::span<ImageMeta> images, const AdjustResult& result) {
  if (result.selfcal.empty()) return;
  if (result.selfcal.size() != images.size()) internal_error("lens terms do not match the photos");
  for (size_t k = 0; k < images.size(); ++k) {
    if (!images[k].lens) internal_error("adjustment photo without a camera model: lens");
    images[k].lens->selfcal = result.selfcal[k];
  }
}

}  // namespace tsl
