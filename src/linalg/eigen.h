#pragma once
// Symmetric eigen-decomposition by cyclic Jacobi rotations, for the small matrices of
// two-view model fitting (3 x 3 and 9 x 9).
#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace tsl {

struct EigenResult {
  std::vector<double> values;   // n eigenvalues, unsorted: the rotated diagonal in index order
  std::vector<double> vectors;  // n x n row-major; column k is the unit eigenvector of values[k]
};

// Decomposes the symmetric n x n row-major matrix `a` (copied, not changed). At most 60
// sweeps; a diagonal matrix comes back unrotated (values in input order, identity vectors).
// A list shorter than n^2 is a caller's bug (InternalError).
EigenResult jacobi_eigen(std::span<const double> a, size_t n);

// The unit eigenvector of the smallest eigenvalue of a symmetric 9 x 9 row-major matrix (81
// values; fewer is an InternalError); among equal smallest eigenvalues the lowest index
// wins, and a NaN eigenvalue never does.
std::array<double, 9> null_vector9(std::span<const double> a);

}  // namespace tsl
