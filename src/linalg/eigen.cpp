#include "linalg/eigen.h"

#include <cmath>

#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

constexpr int MAX_SWEEPS = 60;

// Rotates columns p and q of the row-major n x n matrix m by (c, s).
void rotate_columns(std::vector<double>& m, size_t n, size_t p, size_t q, double c, double s) {
  for (size_t r = 0; r < n; ++r) {
    const double mp = m[r * n + p], mq = m[r * n + q];
    m[r * n + p] = c * mp - s * mq;
    m[r * n + q] = s * mp + c * mq;
  }
}

void rotate_rows(std::vector<double>& m, size_t n, size_t p, size_t q, double c, double s) {
  for (size_t r = 0; r < n; ++r) {
    const double mp = m[p * n + r], mq = m[q * n + r];
    m[p * n + r] = c * mp - s * mq;
    m[q * n + r] = s * mp + c * mq;
  }
}

}  // namespace

EigenResult jacobi_eigen(std::span<const double> a, size_t n) {
  if (n != 0 && a.size() / n < n) internal_error(format("jacobi_eigen: {} values for n = {}", a.size(), n));
  std::vector<double> m(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n * n));
  EigenResult out;
  out.vectors.assign(n * n, 0.0);
  for (size_t i = 0; i < n; ++i) out.vectors[i * n + i] = 1.0;
  for (int sweep = 0; sweep < MAX_SWEEPS; ++sweep) {
    double off = 0.0;
    for (size_t p = 0; p < n; ++p)
      for (size_t q = p + 1; q < n; ++q) off += m[p * n + q] * m[p * n + q];
    if (off < 1e-30) break;
    for (size_t p = 0; p + 1 < n; ++p) {
      for (size_t q = p + 1; q < n; ++q) {
        const double apq = m[p * n + q];
        if (std::fabs(apq) < 1e-300) continue;
        // The smaller root of t^2 + 2 theta t - 1 = 0 keeps the rotation under 45 degrees.
        const double theta = (m[q * n + q] - m[p * n + p]) / (2.0 * apq);
        const double t = theta == 0.0 ? 1.0
                                      : std::copysign(1.0, theta) / (std::sqrt(theta * theta + 1.0) + std::fabs(theta));
        const double c = 1.0 / std::sqrt(t * t + 1.0);
        const double s = t * c;
        rotate_columns(m, n, p, q, c, s);
        rotate_rows(m, n, p, q, c, s);
        rotate_columns(out.vectors, n, p, q, c, s);
      }
    }
  }
  out.values.resize(n);
  for (size_t i = 0; i < n; ++i) out.values[i] = m[i * n + i];
  return out;
}

std::array<double, 9> null_vector9(std::span<const double> a) {
  const EigenResult e = jacobi_eigen(a, 9);
  // Running minimum; ties keep the lower index. A NaN in front is passed over, so NaN never
  // wins unless every eigenvalue is NaN.
  size_t k = 0;
  for (size_t i = 1; i < 9; ++i)
    if (std::isnan(e.values[k]) ? !std::isnan(e.values[i]) : e.values[k] > e.values[i]) k = i;
  std::array<double, 9> v;
  for (size_t r = 0; r < 9; ++r) v[r] = e.vectors[r * 9 + k];
  return v;
}

}  // namespace tsl
