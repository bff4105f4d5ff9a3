#include "matching/two_view.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "linalg/eigen.h"
#include "matching/xorshift.h"
#include "util/error.h"

namespace tsl {
namespace {

constexpr double TINY_W = 1e-15;          // a homography's m33 or w below this is degenerate
constexpr double TINY_SAMPSON = 1e-30;    // Sampson denominators below this are degenerate
constexpr double CONFIDENCE_LN = -6.907755278982137;  // ln(0.001): 99.9 % confidence
constexpr int MAX_REFITS = 3;

struct Similarity {
  double scale = 1.0;
  Vec2 centre;
};

// The normalising similarity of the selected points; the same sums as normalize_points.
Similarity similarity_of(std::span<const Vec2> points, std::span<const size_t> indices) {
  Similarity t;
  double sx = 0.0, sy = 0.0;
  for (size_t k : indices) {
    sx += points[k].x;
    sy += points[k].y;
  }
  const double count = static_cast<double>(indices.size());
  t.centre = {sx / count, sy / count};
  double dist = 0.0;
  for (size_t k : indices) dist += std::hypot(points[k].x - t.centre.x, points[k].y - t.centre.y);
  dist /= count;
  t.scale = dist > 1e-12 ? std::sqrt(2.0) / dist : 1.0;
  return t;
}

Vec2 apply(const Similarity& t, Vec2 p) { return {(p.x - t.centre.x) * t.scale, (p.y - t.centre.y) * t.scale}; }

void add_outer(std::array<double, 81>& a, const std::array<double, 9>& r) {
  for (size_t p = 0; p < 9; ++p) {
    const double rp = r[p];
    if (rp == 0.0) continue;
    for (size_t q = p; q < 9; ++q) a[p * 9 + q] += rp * r[q];
  }
}

// 3 x 3 row-major product.
std::array<double, 9> mul3(const std::array<double, 9>& x, const std::array<double, 9>& y) {
  std::array<double, 9> z{};
  for (size_t r = 0; r < 3; ++r)
    for (size_t c = 0; c < 3; ++c) z[r * 3 + c] = x[r * 3] * y[c] + x[r * 3 + 1] * y[3 + c] + x[r * 3 + 2] * y[6 + c];
  return z;
}

std::array<double, 9> similarity_matrix(const Similarity& t) {
  return {t.scale, 0.0, -t.scale * t.centre.x, 0.0, t.scale, -t.scale * t.centre.y, 0.0, 0.0, 1.0};
}

// Projects a normalised fundamental matrix onto rank 2: f (I - e e^T) with e the eigenvector
// of f^T f of the smallest eigenvalue (ties to the lower index).
std::array<double, 9> rank2(const std::array<double, 9>& f) {
  std::array<double, 9> ftf{};
  for (size_t r = 0; r < 3; ++r)
    for (size_t c = 0; c < 3; ++c) ftf[r * 3 + c] = f[r] * f[c] + f[3 + r] * f[3 + c] + f[6 + r] * f[6 + c];
  const EigenResult eig = jacobi_eigen(ftf, 3);
  size_t k = eig.values[0] > eig.values[1] ? 1 : 0;
  if (eig.values[k] > eig.values[2]) k = 2;
  const double e[3] = {eig.vectors[k], eig.vectors[3 + k], eig.vectors[6 + k]};
  std::array<double, 9> p{};
  for (size_t r = 0; r < 3; ++r)
    for (size_t c = 0; c < 3; ++c) p[r * 3 + c] = (r == c ? 1.0 : 0.0) - e[r] * e[c];
  return mul3(f, p);
}

// The unit null vector of an 8 x 9 system of full rank, by Gaussian elimination with full
// pivoting: for a minimal sample, the same vector as the smallest eigenvector of its normal
// matrix (which has rank 8), at a fraction of the cost. Nothing when the rows are (nearly)
// dependent, so the caller can fall back to the eigen-decomposition.
std::optional<std::array<double, 9>> null_vector_8x9(std::array<std::array<double, 9>, 8> m) {
  std::array<size_t, 9> col;
  for (size_t c = 0; c < 9; ++c) col[c] = c;
  double first_pivot = 0.0;
  for (size_t k = 0; k < 8; ++k) {
    size_t pr = k, pc = k;
    double best = -1.0;
    for (size_t r = k; r < 8; ++r)
      for (size_t c = k; c < 9; ++c)
        if (std::fabs(m[r][col[c]]) > best) {
          best = std::fabs(m[r][col[c]]);
          pr = r;
          pc = c;
        }
    if (k == 0) first_pivot = best;
    if (!(best > 1e-12 * first_pivot)) return std::nullopt;
    std::swap(m[k], m[pr]);
    std::swap(col[k], col[pc]);
    const double inv = 1.0 / m[k][col[k]];
    for (size_t r = k + 1; r < 8; ++r) {
      const double f = m[r][col[k]] * inv;
      if (f == 0.0) continue;
      for (size_t c = k; c < 9; ++c) m[r][col[c]] -= f * m[k][col[c]];
    }
  }
  // The free unknown is the column left last; back-substitute with it set to 1.
  std::array<double, 9> x{};
  x[col[8]] = 1.0;
  for (size_t k = 8; k-- > 0;) {
    double s = m[k][col[8]];
    for (size_t c = k + 1; c < 8; ++c) s += m[k][col[c]] * x[col[c]];
    x[col[k]] = -s / m[k][col[k]];
  }
  double norm = 0.0;
  for (double v : x) norm += v * v;
  norm = std::sqrt(norm);
  if (!(norm > 0.0) || !std::isfinite(norm)) return std::nullopt;
  for (double& v : x) v /= norm;
  return x;
}

double score_cap(double r, double tau2) { return r < tau2 ? r : tau2; }  // NaN and +inf give tau2

// MSAC score and inlier count of a model; residuals go to `res`. Stops early (returning a
// score not below `bound`) once the partial sum reaches `bound`: the terms are non-negative,
// so such a model can never beat the one that set the bound.
double score_model(TwoViewKind kind, std::span<const Vec2> pa, std::span<const Vec2> pb, const TwoViewModel& model,
                   double tau2, double bound, std::vector<double>& res, size_t& count) {
  const size_t n = pa.size();
  double score = 0.0;
  count = 0;
  for (size_t k = 0; k < n; ++k) {
    const double r = model_residual(kind, pa, pb, model, k);
    res[k] = r;
    score += score_cap(r, tau2);
    count += r < tau2 ? 1 : 0;
    if (score >= bound) return score;
  }
  return score;
}

uint64_t saturating_u64(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(v);
}

}  // namespace

size_t sample_size(TwoViewKind kind) { return kind == TwoViewKind::Fundamental ? 8 : 4; }

NormalizedPoints normalize_points(std::span<const Vec2> points) {
  if (points.empty()) internal_error("normalize_points: no points");
  std::vector<size_t> all(points.size());
  for (size_t k = 0; k < all.size(); ++k) all[k] = k;
  const Similarity t = similarity_of(points, all);
  NormalizedPoints out;
  out.scale = t.scale;
  out.centre = t.centre;
  out.points.reserve(points.size());
  for (const Vec2& p : points) out.points.push_back(apply(t, p));
  return out;
}

std::optional<TwoViewModel> fit_model(TwoViewKind kind, std::span<const Vec2> points_a,
                                      std::span<const Vec2> points_b, std::span<const size_t> indices) {
  if (indices.size() < sample_size(kind)) internal_error("fit_model: too few correspondences");
  const Similarity ta = similarity_of(points_a, indices);
  const Similarity tb = similarity_of(points_b, indices);
  // The design rows of the selected correspondences: two per point for a homography, one for
  // a fundamental matrix.
  auto rows_of = [&](size_t k, auto&& emit) {
    const Vec2 p = apply(ta, points_a[k]);
    const Vec2 q = apply(tb, points_b[k]);
    const double x = p.x, y = p.y, u = q.x, v = q.y;
    if (kind == TwoViewKind::Homography) {
      emit(std::array<double, 9>{-x, -y, -1.0, 0.0, 0.0, 0.0, u * x, u * y, u});
      emit(std::array<double, 9>{0.0, 0.0, 0.0, -x, -y, -1.0, v * x, v * y, v});
    } else {
      emit(std::array<double, 9>{u * x, u * y, u, v * x, v * y, v, x, y, 1.0});
    }
  };
  std::optional<std::array<double, 9>> null;
  if (indices.size() == sample_size(kind)) {
    std::array<std::array<double, 9>, 8> m{};
    size_t row = 0;
    for (size_t k : indices) rows_of(k, [&](const std::array<double, 9>& r) { m[row++] = r; });
    null = null_vector_8x9(m);
  }
  if (!null) {
    std::array<double, 81> a{};
    for (size_t k : indices) rows_of(k, [&](const std::array<double, 9>& r) { add_outer(a, r); });
    for (size_t p = 0; p < 9; ++p)
      for (size_t q = 0; q < p; ++q) a[p * 9 + q] = a[q * 9 + p];
    null = null_vector9(a);
  }
  const std::array<double, 9>& mn = *null;
  const std::array<double, 9> sa = similarity_matrix(ta);
  TwoViewModel model;
  if (kind == TwoViewKind::Homography) {
    const double inv = 1.0 / tb.scale;
    const std::array<double, 9> sb_inv = {inv, 0.0, tb.centre.x, 0.0, inv, tb.centre.y, 0.0, 0.0, 1.0};
    model.m = mul3(mul3(sb_inv, mn), sa);
    const double h33 = model.m[8];
    if (!(std::fabs(h33) >= TINY_W)) return std::nullopt;
    for (double& e : model.m) e /= h33;
  } else {
    const std::array<double, 9> sb = similarity_matrix(tb);
    const std::array<double, 9> sb_t = {sb[0], sb[3], sb[6], sb[1], sb[4], sb[7], sb[2], sb[5], sb[8]};
    model.m = mul3(mul3(sb_t, rank2(mn)), sa);
  }
  return model;
}

double model_residual(TwoViewKind kind, std::span<const Vec2> points_a, std::span<const Vec2> points_b,
                      const TwoViewModel& model, size_t k) {
  const double x = points_a[k].x, y = points_a[k].y;
  const double u = points_b[k].x, v = points_b[k].y;
  const std::array<double, 9>& m = model.m;
  if (kind == TwoViewKind::Homography) {
    const double w = m[6] * x + m[7] * y + m[8];
    if (!(std::fabs(w) >= TINY_W)) return std::numeric_limits<double>::infinity();
    const double du = (m[0] * x + m[1] * y + m[2]) / w - u;
    const double dv = (m[3] * x + m[4] * y + m[5]) / w - v;
    return du * du + dv * dv;
  }
  const double l0 = m[0] * x + m[1] * y + m[2];
  const double l1 = m[3] * x + m[4] * y + m[5];
  const double l2 = m[6] * x + m[7] * y + m[8];
  const double t0 = m[0] * u + m[3] * v + m[6];
  const double t1 = m[1] * u + m[4] * v + m[7];
  const double den = l0 * l0 + l1 * l1 + t0 * t0 + t1 * t1;
  if (!(den >= TINY_SAMPSON)) return std::numeric_limits<double>::infinity();
  const double e = u * l0 + v * l1 + l2;
  return e * e / den;
}

uint64_t ransac_state(uint64_t seed) { return (seed * 0x9E3779B97F4A7C15ULL) | 1ULL; }

void draw_sample(uint64_t& state, size_t n, std::span<size_t> out) {
  size_t held = 0;
  while (held < out.size()) {
    const size_t k = static_cast<size_t>(xorshift64(state) % n);
    if (std::find(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(held), k) ==
        out.begin() + static_cast<std::ptrdiff_t>(held))
      out[held++] = k;
  }
}

std::optional<std::vector<uint8_t>> ransac(TwoViewKind kind, std::span<const Vec2> points_a,
                                           std::span<const Vec2> points_b, double threshold,
                                           uint64_t max_iterations, uint64_t seed) {
  const size_t n = points_a.size();
  if (points_b.size() != n) internal_error("ransac: point lists of unequal length");
  const size_t s = sample_size(kind);
  if (n < s) return std::nullopt;
  const double tau2 = threshold * threshold;
  const double inf = std::numeric_limits<double>::infinity();
  uint64_t state = ransac_state(seed);

  std::array<size_t, 8> sample{};
  std::vector<double> res_try(n), res_cur(n), res_best(n);
  std::vector<size_t> inliers;
  inliers.reserve(n);
  std::optional<TwoViewModel> best;
  double best_score = inf;
  uint64_t limit = max_iterations;
  for (uint64_t i = 0; i < limit;) {
    draw_sample(state, n, std::span(sample.data(), s));
    std::optional<TwoViewModel> fit = fit_model(kind, points_a, points_b, std::span(sample.data(), s));
    ++i;
    if (!fit) continue;
    size_t count = 0;
    const double score = score_model(kind, points_a, points_b, *fit, tau2, best_score, res_try, count);
    if (!best || score < best_score) {
      TwoViewModel cur = *fit;
      double cur_score = score;
      size_t cur_count = count;
      std::swap(res_cur, res_try);
      for (int refit = 0; refit < MAX_REFITS; ++refit) {
        inliers.clear();
        for (size_t k = 0; k < n; ++k)
          if (res_cur[k] < tau2) inliers.push_back(k);
        if (inliers.size() < s + 2) break;
        std::optional<TwoViewModel> again = fit_model(kind, points_a, points_b, inliers);
        if (!again) break;
        size_t again_count = 0;
        const double again_score = score_model(kind, points_a, points_b, *again, tau2, cur_score, res_try, again_count);
        if (!(again_score < cur_score)) break;
        cur = *again;
        cur_score = again_score;
        cur_count = again_count;
        std::swap(res_cur, res_try);
      }
      best = cur;
      best_score = cur_score;
      std::swap(res_best, res_cur);
      const double p = std::pow(static_cast<double>(cur_count) / static_cast<double>(n), static_cast<double>(s));
      if (p > 1e-12 && p < 1.0) {
        const double iters = std::ceil(CONFIDENCE_LN / std::log(1.0 - p));
        if (std::isfinite(iters)) limit = std::min(limit, std::max(saturating_u64(iters), i));
      } else if (p >= 1.0) {
        limit = i;
      }
    }
    xorshift64(state);
  }
  if (!best) return std::nullopt;
  std::vector<uint8_t> mask(n);
  for (size_t k = 0; k < n; ++k) mask[k] = res_best[k] < tau2 ? 1 : 0;
  return mask;
}

}  // namespace tsl
