#include "linalg/stats.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

std::vector<double> present(std::span<const double> values) {
  std::vector<double> s;
  s.reserve(values.size());
  for (double v : values)
    if (!std::isnan(v)) s.push_back(v);
  return s;
}

// The k-th smallest value of s (reordered; k < s.size()).
double select(std::vector<double>& s, size_t k) {
  std::nth_element(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(k), s.end());
  return s[k];
}

// The smallest value after position k, once select(s, k) has partitioned s.
double next_after_selected(const std::vector<double>& s, size_t k) {
  return *std::min_element(s.begin() + static_cast<std::ptrdiff_t>(k) + 1, s.end());
}

}  // namespace

double median(std::span<const double> values) {
  std::vector<double> s = present(values);
  if (s.empty()) return std::nan("");
  const size_t mid = s.size() / 2;
  if (s.size() % 2 == 1) return select(s, mid);
  // The lower middle is the largest value below the upper middle.
  const double upper = select(s, mid);
  const double lower = *std::max_element(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(mid));
  return (lower + upper) * 0.5;
}

double percentile(std::span<const double> values, double p) {
  // Checked before any use: a NaN or negative position would reach the index as an
  // undefined float-to-integer conversion.
  if (!(p >= 0.0 && p <= 100.0)) internal_error(format("percentile {} outside [0, 100]", p));
  std::vector<double> s = present(values);
  if (s.empty()) return std::nan("");
  const double x = static_cast<double>(s.size() - 1) * (p / 100.0);
  const size_t i = static_cast<size_t>(std::floor(x));
  const double f = x - static_cast<double>(i);
  const double at = select(s, i);
  if (i + 1 < s.size()) return f * next_after_selected(s, i) + (1.0 - f) * at;
  return at;
}

}  // namespace tsl
