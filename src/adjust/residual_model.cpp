#include "adjust/residual_model.h"

#include <algorithm>
#include <cmath>

#include "adjust/threads.h"
#include "geo/camera.h"
#include "util/error.h"
#include "util/par.h"

namespace tsl {
namespace {

// Ties per parallel item of the residual pass: large enough that the item overhead vanishes,
// small enough that a few thousand ties still spread over the workers.
constexpr size_t TIES_PER_ITEM = 2048;

// Below this camera height above a tie the ground sampling distance stops shrinking, so the
// sigma stays positive for cameras at or under the tie.
constexpr double MIN_HEIGHT_ABOVE_TIE_M = 0.5;

// A ray this close to horizontal is cut as if it dropped 1e-6 per unit: a far but finite
// ground point instead of a division by zero.
constexpr double MIN_RAY_DZ = 1e-6;

std::span<const double> group_terms(const AdjustProblem& problem, const PoseState& poses, size_t photo) {
  const size_t t = problem.terms_per_group;
  return std::span<const double>(poses.lens_terms).subspan(problem.photo_group[photo] * t, t);
}

// Derivative of selfcal_distort at (x, y) by each of its six terms: (d x', d y').
std::array<Vec2, 6> selfcal_term_derivatives(double x, double y) {
  const double r2 = x * x + y * y;
  return {{{x * r2, y * r2}, {x * r2 * r2, y * r2 * r2}, {1.0, 0.0}, {0.0, 1.0}, {2 * x * y, r2 + 2 * y * y},
           {r2 + 2 * x * x, 2 * x * y}}};
}

TieGap tie_gap(const AdjustProblem& problem, const PoseState& poses, std::span<const double> params, size_t t) {
  const double h = poses.has_heights ? params[problem.first_height + t] : poses.ground;
  const GroundHit a = project_observation(problem, poses, problem.tie_photo_a[t], problem.obs_a[t].x,
                                          problem.obs_a[t].y, h, false);
  const GroundHit b = project_observation(problem, poses, problem.tie_photo_b[t], problem.obs_b[t].x,
                                          problem.obs_b[t].y, h, false);
  return {a.east, a.north, b.east, b.north, h, tie_sigma(problem, poses.positions, t, h).sigma};
}

}  // namespace

size_t active_count(std::span<const uint8_t> mask) {
  return static_cast<size_t>(std::count(mask.begin(), mask.end(), uint8_t{1}));
}

Mat3 rotation_increment(double w0, double w1, double w2) {
  const double theta = std::sqrt(w0 * w0 + w1 * w1 + w2 * w2);
  double a = 1.0;
  double b = 0.5;
  if (theta >= 1e-9) {
    a = std::sin(theta) / theta;
    b = (1.0 - std::cos(theta)) / (theta * theta);
  }
  return {1 - b * (w1 * w1 + w2 * w2), b * w0 * w1 - a * w2,       b * w0 * w2 + a * w1,
          b * w0 * w1 + a * w2,       1 - b * (w0 * w0 + w2 * w2), b * w1 * w2 - a * w0,
          b * w0 * w2 - a * w1,       b * w1 * w2 + a * w0,       1 - b * (w0 * w0 + w1 * w1)};
}

PoseState camera_poses(const AdjustProblem& problem, std::span<const double> params) {
  const size_t n = problem.photo_count;
  if (params.size() < problem.first_height || problem.rotations0.size() != n || problem.positions0.size() != n)
    internal_error("adjustment parameter vector shorter than its problem");
  PoseState s;
  s.rotations.resize(n);
  s.positions.resize(n);
  for (size_t p = 0; p < n; ++p) {
    const Mat3 rd = rotation_increment(params[6 * p + 3], params[6 * p + 4], params[6 * p + 5]);
    const Mat3& r0 = problem.rotations0[p];
    Mat3& r = s.rotations[p];
    for (size_t i = 0; i < 3; ++i)
      for (size_t j = 0; j < 3; ++j)
        r[3 * i + j] = rd[3 * i] * r0[j] + rd[3 * i + 1] * r0[3 + j] + rd[3 * i + 2] * r0[6 + j];
    for (size_t k = 0; k < 3; ++k) s.positions[p][k] = problem.positions0[p][k] + params[6 * p + k];
  }
  const size_t lens = problem.group_count * problem.terms_per_group;
  if (problem.selfcal)
    s.lens_terms.assign(params.begin() + 6 * n + 1, params.begin() + 6 * n + 1 + lens);
  else
    s.lens_terms.assign(lens, 0.0);
  s.ground = params[6 * n];
  s.has_heights = params.size() > problem.first_height;
  return s;
}

GroundHit project_observation(const AdjustProblem& problem, const PoseState& poses, size_t photo, double x, double y,
                              double height, bool with_derivatives) {
  double xs = x;
  double ys = y;
  if (problem.selfcal) {
    const Vec2 d = selfcal_distort(x, y, group_terms(problem, poses, photo));
    xs = d.x;
    ys = d.y;
  }
  const Mat3& r = poses.rotations[photo];
  const Vec3& c = poses.positions[photo];
  const double de = r[0] * xs + r[3] * ys + r[6];
  const double dn = r[1] * xs + r[4] * ys + r[7];
  double dz = r[2] * xs + r[5] * ys + r[8];
  if (std::abs(dz) < MIN_RAY_DZ) dz = -MIN_RAY_DZ;
  const double lambda = (height - c[2]) / dz;
  GroundHit hit;
  hit.east = c[0] + lambda * de;
  hit.north = c[1] + lambda * dn;
  hit.lambda = lambda;
  if (!with_derivatives) return hit;

  const double se = de / dz;
  const double sn = dn / dz;
  hit.d_position[0] = {1.0, 0.0, -se};
  hit.d_position[1] = {0.0, 1.0, -sn};
  hit.d_height = {se, sn};
  // A change u of the ray moves the ground point by lambda (u - (d / dz) u_z).
  auto add_ray_change = [&](double ux, double uy, double uz, double& east, double& north) {
    const double ue = r[0] * ux + r[3] * uy + r[6] * uz;
    const double un = r[1] * ux + r[4] * uy + r[7] * uz;
    const double uzw = r[2] * ux + r[5] * uy + r[8] * uz;
    east = lambda * (ue - se * uzw);
    north = lambda * (un - sn * uzw);
  };
  // m x e_j for m = (x', y', 1).
  const double cross[3][3] = {{0.0, 1.0, -ys}, {-1.0, 0.0, xs}, {ys, -xs, 0.0}};
  for (size_t j = 0; j < 3; ++j)
    add_ray_change(cross[j][0], cross[j][1], cross[j][2], hit.d_rotation[0][j], hit.d_rotation[1][j]);
  if (problem.selfcal) {
    const std::array<Vec2, 6> dv = selfcal_term_derivatives(x, y);
    for (size_t k = 0; k < problem.terms_per_group && k < 6; ++k)
      add_ray_change(dv[k].x, dv[k].y, 0.0, hit.d_lens[0][k], hit.d_lens[1][k]);
  }
  return hit;
}

TieSigma tie_sigma(const AdjustProblem& problem, std::span<const Vec3> positions, size_t tie, double height) {
  const size_t a = problem.tie_photo_a[tie];
  const size_t b = problem.tie_photo_b[tie];
  const double e_a = positions[a][2] - height;
  const double e_b = positions[b][2] - height;
  const double k = 0.5 * problem.tie_scale[tie];
  TieSigma s;
  s.sigma = k * (std::max(e_a, MIN_HEIGHT_ABOVE_TIE_M) / problem.focal[a] +
                 std::max(e_b, MIN_HEIGHT_ABOVE_TIE_M) / problem.focal[b]);
  s.d_a = e_a > MIN_HEIGHT_ABOVE_TIE_M ? k / problem.focal[a] : 0.0;
  s.d_b = e_b > MIN_HEIGHT_ABOVE_TIE_M ? k / problem.focal[b] : 0.0;
  return s;
}

ReliefPrior relief_prior(const AdjustProblem& problem, std::span<const double> params, size_t tie) {
  const size_t n = problem.photo_count;
  const double ground = params[6 * n];
  const double u = params[problem.first_height + tie] - ground;
  ReliefPrior r;
  if (!(problem.relief_ref_height > 0.0)) {
    r.value = u / problem.sigma_relief;
    r.d_height = 1.0 / problem.sigma_relief;
    r.d_ground = -r.d_height;
    return r;
  }
  const size_t a = problem.tie_photo_a[tie];
  const size_t b = problem.tie_photo_b[tie];
  const double za = problem.positions0[a][2] + params[6 * a + 2];
  const double zb = problem.positions0[b][2] + params[6 * b + 2];
  const double e = 0.5 * (za + zb) - ground;
  const double k = problem.relief_ref_height / problem.sigma_relief;
  if (!(e > MIN_HEIGHT_ABOVE_TIE_M)) {
    r.d_height = k / MIN_HEIGHT_ABOVE_TIE_M;
    r.value = u * r.d_height;
    r.d_ground = -r.d_height;
    return r;
  }
  r.d_height = k / e;
  r.value = u * r.d_height;
  // d(u / e) / d ground = (u - e) / e^2; by a camera height -0.5 u / e^2.
  r.d_ground = k * (u / e - 1.0) / e;
  r.d_a = -0.5 * r.value / e;
  r.d_b = r.d_a;
  return r;
}

std::vector<TieGap> tie_residuals(const AdjustProblem& problem, std::span<const double> params,
                                  std::span<const uint8_t> mask) {
  const PoseState poses = camera_poses(problem, params);
  std::vector<size_t> active;
  active.reserve(mask.size());
  for (size_t t = 0; t < mask.size(); ++t)
    if (mask[t] == 1) active.push_back(t);
  const size_t items = (active.size() + TIES_PER_ITEM - 1) / TIES_PER_ITEM;
  auto blocks = par_map(items, adjust_threads(items), [&](size_t k) {
    std::vector<TieGap> out;
    const size_t end = std::min(active.size(), (k + 1) * TIES_PER_ITEM);
    for (size_t i = k * TIES_PER_ITEM; i < end; ++i) out.push_back(tie_gap(problem, poses, params, active[i]));
    return out;
  });
  std::vector<TieGap> gaps;
  gaps.reserve(active.size());
  for (auto& block : blocks) gaps.insert(gaps.end(), block.begin(), block.end());
  return gaps;
}

std::vector<double> residual_vector(const AdjustProblem& problem, std::span<const double> params,
                                    std::span<const uint8_t> mask) {
  const std::vector<TieGap> gaps = tie_residuals(problem, params, mask);
  const size_t n = problem.photo_count;
  const size_t lens = problem.selfcal ? problem.group_count * problem.terms_per_group : 0;
  const size_t heights = params.size() - problem.first_height;
  std::vector<double> r;
  r.reserve(2 * gaps.size() + 6 * n + 1 + lens + heights);
  for (const TieGap& g : gaps) {
    r.push_back((g.east_a - g.east_b) / g.sigma);
    r.push_back((g.north_a - g.north_b) / g.sigma);
  }
  for (size_t p = 0; p < n; ++p)
    for (size_t k = 0; k < 6; ++k) r.push_back(params[6 * p + k] / problem.pose_sigma[k]);
  r.push_back(params[6 * n] / problem.sigma_ground);
  for (size_t l = 0; l < lens; ++l)
    r.push_back((params[6 * n + 1 + l] - problem.lens_prior_mean[l]) / problem.lens_prior_sigma[l]);
  for (size_t j = 0; j < heights; ++j) r.push_back(relief_prior(problem, params, j).value);
  return r;
}

}  // namespace tsl
