#include "adjust/jacobian.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include "util/text.h"

#include "adjust/threads.h"
#include "util/error.h"
#include "util/par.h"

namespace tsl {
namespace {

constexpr double CHECK_STEP = 1e-6;
constexpr double CHECK_REPORT_ABOVE = 1e-3;
constexpr size_t CHECK_HEIGHT_COLUMNS = 5;
// Ties per parallel item: one tie (two rows of about 30 entries) is too little work to pay
// for claiming it, and a thousand still spread evenly over 8 threads at a few hundred photos.
constexpr size_t TIES_PER_ITEM = 1024;

// The left Jacobian of exp([w]x): exp([w + dw]x) = exp([J dw]x) exp([w]x) to first order, so
// the derivative by w_j is the small-rotation derivative along column j of J. Below 1e-4 rad
// the series keeps the coefficients free of cancellation.
Mat3 left_jacobian(double w0, double w1, double w2) {
  const double t2 = w0 * w0 + w1 * w1 + w2 * w2;
  const double t = std::sqrt(t2);
  double b;
  double c;
  if (t < 1e-4) {
    b = 0.5 - t2 / 24.0;
    c = 1.0 / 6.0 - t2 / 120.0;
  } else {
    b = (1.0 - std::cos(t)) / t2;
    c = (t - std::sin(t)) / (t2 * t);
  }
  // [w]x and [w]x^2 = w w^T - |w|^2 I.
  const double k[9] = {0.0, -w2, w1, w2, 0.0, -w0, -w1, w0, 0.0};
  const double w[3] = {w0, w1, w2};
  Mat3 j{};
  for (size_t r = 0; r < 3; ++r)
    for (size_t s = 0; s < 3; ++s)
      j[3 * r + s] = (r == s ? 1.0 : 0.0) + b * k[3 * r + s] + c * (w[r] * w[s] - (r == s ? t2 : 0.0));
  return j;
}

struct TieContext {
  const AdjustProblem& problem;
  const PoseState& poses;
  std::span<const double> params;
  std::span<const Mat3> rot_jac;  // left Jacobian per photo
  std::span<const size_t> active;
};

// Appends photo p's columns of one gap component with `factor` (+1/s for photo a, -1/s for b).
void add_photo(const TieContext& c, std::vector<JacEntry>& e, size_t p, const GroundHit& hit, size_t g,
               double factor) {
  const AdjustProblem& pr = c.problem;
  const Mat3& jl = c.rot_jac[p];
  for (size_t j = 0; j < 3; ++j) {
    e.push_back({static_cast<uint32_t>(6 * p + j), hit.d_position[g][j] * factor});
    const double dr =
        jl[j] * hit.d_rotation[g][0] + jl[3 + j] * hit.d_rotation[g][1] + jl[6 + j] * hit.d_rotation[g][2];
    e.push_back({static_cast<uint32_t>(6 * p + 3 + j), dr * factor});
  }
  if (!pr.selfcal) return;
  const size_t base = 6 * pr.photo_count + 1 + pr.photo_group[p] * pr.terms_per_group;
  for (size_t k = 0; k < pr.terms_per_group; ++k)
    e.push_back({static_cast<uint32_t>(base + k), hit.d_lens[g][k] * factor});
}

// Fills `row` (its entry list keeps its capacity) with the east (g = 0) or north (g = 1) row.
void tie_jacobian_row(const TieContext& c, size_t t, const GroundHit& ha, const GroundHit& hb, const TieSigma& s,
                      size_t g, JacobianRow& row) {
  const AdjustProblem& pr = c.problem;
  const size_t a = pr.tie_photo_a[t];
  const size_t b = pr.tie_photo_b[t];
  const double gap = g == 0 ? ha.east - hb.east : ha.north - hb.north;
  const double s2 = s.sigma * s.sigma;
  row.entries.clear();
  row.entries.reserve(15 + 2 * (pr.selfcal ? pr.terms_per_group : 0));
  row.entries.push_back({static_cast<uint32_t>(6 * a + 2), -gap * s.d_a / s2});
  row.entries.push_back({static_cast<uint32_t>(6 * b + 2), -gap * s.d_b / s2});
  add_photo(c, row.entries, a, ha, g, 1.0 / s.sigma);
  add_photo(c, row.entries, b, hb, g, -1.0 / s.sigma);
  const double v = gap * (s.d_a + s.d_b) / s2 + (ha.d_height[g] - hb.d_height[g]) / s.sigma;
  row.has_height = c.poses.has_heights;
  row.height_index = c.poses.has_heights ? t : 0;
  row.height_deriv = c.poses.has_heights ? v : 0.0;
  if (!c.poses.has_heights) row.entries.push_back({static_cast<uint32_t>(6 * pr.photo_count), v});
}

// The east and north rows of the k-th active tie.
void tie_jacobian(const TieContext& c, size_t k, JacobianRow& east, JacobianRow& north) {
  const AdjustProblem& pr = c.problem;
  const size_t t = c.active[k];
  const double h = c.poses.has_heights ? c.params[pr.first_height + t] : c.poses.ground;
  const TieSigma s = tie_sigma(pr, c.poses.positions, t, h);
  const GroundHit ha = project_observation(pr, c.poses, pr.tie_photo_a[t], pr.obs_a[t].x, pr.obs_a[t].y, h, true);
  const GroundHit hb = project_observation(pr, c.poses, pr.tie_photo_b[t], pr.obs_b[t].x, pr.obs_b[t].y, h, true);
  tie_jacobian_row(c, t, ha, hb, s, 0, east);
  tie_jacobian_row(c, t, ha, hb, s, 1, north);
}

void set_prior_row(JacobianRow& row, size_t col, double value) {
  row.entries.clear();
  row.entries.push_back({static_cast<uint32_t>(col), value});
  row.has_height = false;
  row.height_index = 0;
  row.height_deriv = 0.0;
}

uint64_t xorshift_next(uint64_t& x) {
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return x;
}

}  // namespace

void jacobian_rows(const AdjustProblem& problem, std::span<const double> params, std::span<const uint8_t> mask,
                   std::vector<JacobianRow>& rows) {
  const PoseState poses = camera_poses(problem, params);
  const size_t n = problem.photo_count;
  std::vector<Mat3> rot_jac(n);
  for (size_t p = 0; p < n; ++p) rot_jac[p] = left_jacobian(params[6 * p + 3], params[6 * p + 4], params[6 * p + 5]);
  std::vector<size_t> active;
  for (size_t t = 0; t < mask.size(); ++t)
    if (mask[t] == 1) active.push_back(t);
  const size_t lens = problem.selfcal ? problem.group_count * problem.terms_per_group : 0;
  const size_t heights = poses.has_heights ? params.size() - problem.first_height : 0;
  rows.resize(2 * active.size() + 6 * n + 1 + lens + heights);
  const TieContext context{problem, poses, params, rot_jac, active};
  const size_t items = (active.size() + TIES_PER_ITEM - 1) / TIES_PER_ITEM;
  par_map(items, adjust_threads(active.size()), [&](size_t k) {
    const size_t end = std::min(active.size(), (k + 1) * TIES_PER_ITEM);
    for (size_t i = k * TIES_PER_ITEM; i < end; ++i) tie_jacobian(context, i, rows[2 * i], rows[2 * i + 1]);
    return 0;
  });
  size_t next = 2 * active.size();
  for (size_t p = 0; p < n; ++p)
    for (size_t k = 0; k < 6; ++k) set_prior_row(rows[next++], 6 * p + k, 1.0 / problem.pose_sigma[k]);
  set_prior_row(rows[next++], 6 * n, 1.0 / problem.sigma_ground);
  for (size_t l = 0; l < lens; ++l) set_prior_row(rows[next++], 6 * n + 1 + l, 1.0 / problem.lens_prior_sigma[l]);
  for (size_t j = 0; j < heights; ++j) {
    JacobianRow& row = rows[next++];
    const ReliefPrior prior = relief_prior(problem, params, j);
    set_prior_row(row, 6 * n, prior.d_ground);
    if (problem.relief_ref_height > 0.0) {
      row.entries.push_back({static_cast<uint32_t>(6 * problem.tie_photo_a[j] + 2), prior.d_a});
      row.entries.push_back({static_cast<uint32_t>(6 * problem.tie_photo_b[j] + 2), prior.d_b});
    }
    row.has_height = true;
    row.height_index = j;
    row.height_deriv = prior.d_height;
  }
}

std::vector<JacobianRow> jacobian_parallel(const AdjustProblem& problem, std::span<const double> params,
                                           std::span<const uint8_t> mask) {
  std::vector<JacobianRow> rows;
  jacobian_rows(problem, params, mask, rows);
  return rows;
}

std::vector<double> jacobian_check_vector(const AdjustProblem& problem) {
  const size_t n = problem.photo_count;
  const size_t ties = problem.tie_photo_a.size();
  std::vector<double> x(problem.first_height + ties, 0.0);
  uint64_t state = 12345;
  auto draw = [&] { return static_cast<double>(xorshift_next(state) >> 11) * 0x1p-53; };
  for (size_t p = 0; p < n; ++p) {
    for (size_t k = 0; k < 3; ++k) x[6 * p + k] = (draw() - 0.5) * 2.0;
    for (size_t k = 3; k < 6; ++k) x[6 * p + k] = (draw() - 0.5) * 0.02;
  }
  x[6 * n] = -2.0;
  for (size_t l = 6 * n + 1; l < problem.first_height; ++l) x[l] = (draw() - 0.5) * 0.01;
  for (size_t t = 0; t < ties; ++t) x[problem.first_height + t] = draw() - 0.5 - 2.0;
  return x;
}

JacobianCheck compare_jacobian(const AdjustProblem& problem, std::span<const double> params,
                               std::span<const JacobianRow> rows) {
  const std::vector<uint8_t> mask(problem.tie_photo_a.size(), 1);
  const std::vector<double> r0 = residual_vector(problem, params, mask);
  if (r0.size() != rows.size())
    internal_error(tsl::format("Jacobian has {} rows for {} residuals", rows.size(), r0.size()));
  const size_t p0 = problem.first_height;
  std::vector<size_t> columns;
  for (size_t c = 0; c < p0; ++c) columns.push_back(c);
  const size_t heights = std::min(params.size() - p0, CHECK_HEIGHT_COLUMNS);
  for (size_t j = 0; j < heights; ++j) columns.push_back(p0 + j);

  JacobianCheck check;
  std::vector<double> x(params.begin(), params.end());
  for (size_t c : columns) {
    const double keep = x[c];
    x[c] = keep + CHECK_STEP;
    const std::vector<double> rp = residual_vector(problem, x, mask);
    x[c] = keep - CHECK_STEP;
    const std::vector<double> rm = residual_vector(problem, x, mask);
    x[c] = keep;
    JacobianCheck::Column col{c, 0.0, 0.0, 1e-9};
    for (size_t i = 0; i < rows.size(); ++i) {
      const double numeric = (rp[i] - rm[i]) / (2 * CHECK_STEP);
      double analytic = 0.0;
      for (const JacEntry& e : rows[i].entries)
        if (e.col == c) analytic += e.value;
      if (rows[i].has_height && p0 + rows[i].height_index == c) analytic += rows[i].height_deriv;
      const double diff = std::abs(analytic - numeric);
      if (!std::isnan(diff)) col.abs = std::max(col.abs, diff);
      if (!std::isnan(numeric)) col.mag = std::max(col.mag, std::abs(numeric));
    }
    col.rel = rows.empty() ? 0.0 : col.abs / col.mag;
    if (col.rel > check.worst_rel) {
      check.worst_rel = col.rel;
      check.worst_col = c;
    }
    check.columns.push_back(col);
  }
  return check;
}

std::string jacobian_check_text(const JacobianCheck& check, size_t first_height) {
  std::string text;
  for (const JacobianCheck::Column& c : check.columns)
    if (c.rel > CHECK_REPORT_ABOVE)
      text += tsl::format("JACCHECK col {} rel err {:.3} (abs {:.3}, mag {:.3})\n", c.col, c.rel, c.abs, c.mag);
  text += tsl::format("JACCHECK worst rel err {:.3} at col {} (np0 {})\n", check.worst_rel, check.worst_col,
                      first_height);
  return text;
}

void jacobian_check(const AdjustProblem& problem) {
  const std::vector<double> x = jacobian_check_vector(problem);
  const std::vector<uint8_t> mask(problem.tie_photo_a.size(), 1);
  const std::vector<JacobianRow> rows = jacobian_parallel(problem, x, mask);
  const std::string text = jacobian_check_text(compare_jacobian(problem, x, rows), problem.first_height);
  std::fputs(text.c_str(), stderr);
}

}  // namespace tsl
