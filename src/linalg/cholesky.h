#pragma once
// Dense Cholesky factorisation A = L L^T of symmetric positive-definite systems, and its
// solve: the normal equations of the adjustment, the gain system and the terrain smoother.
//
// Matrices are row-major n x n in one flat list: element (i, j) at index i n + j. Only the
// lower triangle (diagonal included) is read or written; the strict upper triangle is left
// alone. A list shorter than n^2, or a right-hand side shorter than n, is a caller's bug
// (InternalError).
#include <cstddef>
#include <span>
#include <vector>

namespace tsl {

// Factorises in place: L overwrites A's lower triangle. Returns false when a pivot is not a
// positive finite number (zero, negative, NaN or infinite); A is then partly overwritten and
// of no use. Runs the trailing updates on up to cpu_budget() threads; the result does not
// depend on the thread count. n = 0 returns true.
bool cholesky_factor(std::span<double> a, size_t n);

// Solves L L^T x = b with the factor from cholesky_factor (its lower triangle only).
std::vector<double> cholesky_solve(std::span<const double> l, size_t n, std::span<const double> b);

}  // namespace tsl
