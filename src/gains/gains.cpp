#include "gains/gains.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "linalg/cholesky.h"
#include "linalg/stats.h"
#include "logx.h"
#include "util/error.h"

namespace tsl {
namespace {

bool valid_exposure(double e) { return std::isfinite(e) && e > 0.0; }

// ln(m / e_i) per photo, 0 where the exposure is missing or unusable.
std::vector<double> exposure_priors(std::span<const ImageMeta> images) {
  std::vector<double> valid;
  for (const ImageMeta& m : images)
    if (valid_exposure(m.exposure)) valid.push_back(m.exposure);
  const double m = valid.empty() ? 1.0 : median(valid);
  std::vector<double> prior;
  prior.reserve(images.size());
  for (const ImageMeta& meta : images) prior.push_back(valid_exposure(meta.exposure) ? std::log(m / meta.exposure) : 0.0);
  return prior;
}

bool finite_ratio(const PairMatch& p) {
  return p.log_ratio && std::isfinite((*p.log_ratio)[0]) && std::isfinite((*p.log_ratio)[1]) &&
         std::isfinite((*p.log_ratio)[2]);
}

void log_gain_line(const std::vector<Gain>& gains, std::span<const double> prior) {
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  for (const Gain& g : gains)
    for (double v : g) {
      if (std::isnan(v)) continue;
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
  if (lo > hi) lo = hi = 1.0;
  double plo = 0.0, phi = 0.0;
  if (!prior.empty()) {
    plo = *std::min_element(prior.begin(), prior.end());
    phi = *std::max_element(prior.begin(), prior.end());
  }
  logf("  gains: min {:.3} max {:.3} (EXIF exposure spread {:.2}x)", lo, hi, std::exp(phi - plo));
}

}  // namespace

std::vector<Gain> solve_gains(std::span<const ImageMeta> images, std::span<const PairMatch> pairs) {
  const size_t n = images.size();
  const std::vector<double> prior = exposure_priors(images);
  std::vector<double> a(n * n, 0.0);
  std::vector<double> rhs(n * 3, 0.0);  // row-major: photo, then channel
  for (const PairMatch& p : pairs) {
    if (p.i >= n || p.j >= n) internal_error(format("gain pair ({}, {}) names a photo beyond {}", p.i, p.j, n));
    // One bad ratio (an injected tie file can hold NaN) would spread NaN to every gain the
    // pair is connected to, so such a pair is left out whole.
    if (!finite_ratio(p)) continue;
    const double w = 0.0625 * std::min(static_cast<double>(p.n), GAIN_TIE_CAP);
    const size_t i = p.i, j = p.j;
    a[i * n + i] += w;
    a[j * n + j] += w;
    a[i * n + j] -= w;
    a[j * n + i] -= w;
    for (size_t c = 0; c < 3; ++c) {
      rhs[i * 3 + c] += w * (*p.log_ratio)[c];
      rhs[j * 3 + c] -= w * (*p.log_ratio)[c];
    }
  }
  for (size_t i = 0; i < n; ++i) {
    a[i * n + i] += GAIN_PRIOR_WEIGHT;
    for (size_t c = 0; c < 3; ++c) rhs[i * 3 + c] += GAIN_PRIOR_WEIGHT * prior[i];
  }
  std::vector<Gain> gains(n, Gain{1.0, 1.0, 1.0});
  if (cholesky_factor(a, n)) {
    std::vector<double> column(n);
    for (size_t c = 0; c < 3; ++c) {
      for (size_t i = 0; i < n; ++i) column[i] = rhs[i * 3 + c];
      const std::vector<double> x = cholesky_solve(a, n, column);
      for (size_t i = 0; i < n; ++i) {
        const double g = std::exp(x[i]);
        gains[i][c] = std::isfinite(g) ? g : 1.0;
      }
    }
  }
  log_gain_line(gains, prior);
  return gains;
}

}  // namespace tsl
