#pragma once
// Robust statistics over lists where NaN marks a missing value.
#include <span>

namespace tsl {

// The median of the non-NaN values (infinities count): the middle one, or the mean of the
// two middle ones. NaN when no value remains.
double median(std::span<const double> values);

// The p-th percentile (0 <= p <= 100) of the non-NaN values, linearly interpolated between
// the sorted neighbours at position (count - 1) p / 100. NaN when no value remains. A p
// outside [0, 100] or NaN is a caller's bug (InternalError).
double percentile(std::span<const double> values, double p);

}  // namespace tsl
