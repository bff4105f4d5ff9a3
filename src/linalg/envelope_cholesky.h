#pragma once
// Sparse symmetric positive-definite systems stored as a block envelope, with their Cholesky
// factorisation A = L L^T and solve. The normal equations of a bundle adjustment couple a
// photo's parameters only with its tie partners' (and a small dense border of shared
// parameters): ordered well (reverse Cuthill-McKee), every block row reaches back only a
// limited way, and the factor stays inside that same envelope, so no fill is ever allocated.
//
// Rows and columns are cut into consecutive blocks. Block row I stores the columns from the
// first column of block first[I] up to the end of block I as one dense row-major matrix of
// (rows of I) x (those columns); element (r, c) outside the envelope is zero and never
// stored. Only the lower triangle is read or written: in a diagonal block, the part above the
// diagonal is left alone.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tsl {

struct BlockEnvelope {
  std::vector<size_t> start;   // blocks + 1: first row of each block, then the order n
  std::vector<size_t> first;   // per block: the first block column of its block row (<= the block)
  std::vector<size_t> offset;  // blocks + 1: where each block row begins in `values`
  // Per row r: element (r, c) of the envelope is values[row_base[r] + c]. The base may lie
  // before the start of `values` (it is offset by the first stored column), hence signed.
  std::vector<std::ptrdiff_t> row_base;
  std::vector<double> values;
};

// A zero matrix with blocks of `block_sizes` rows and the given first block columns
// (first[I] <= I). A size mismatch or a first column after its block is a caller's bug
// (InternalError).
BlockEnvelope block_envelope(std::span<const size_t> block_sizes, std::span<const size_t> first);

// The order n (rows of all blocks).
inline size_t envelope_order(const BlockEnvelope& a) { return a.start.empty() ? 0 : a.start.back(); }

// Factorises in place: L overwrites the lower triangle of A inside the envelope (the factor of
// an envelope matrix never leaves its envelope). Returns false when a pivot is not a positive
// finite number; A is then partly overwritten and of no use. Block rows run on up to
// `threads` threads; every element goes through the same arithmetic on any of them, so the
// result does not depend on the thread count.
bool envelope_cholesky_factor(BlockEnvelope& a, size_t threads);

// Solves L L^T x = b with the factor from envelope_cholesky_factor. A right-hand side shorter
// than n is a caller's bug (InternalError).
std::vector<double> envelope_cholesky_solve(const BlockEnvelope& l, std::span<const double> b);

// x^T A x of the symmetric matrix whose lower triangle the envelope holds.
double envelope_quadratic_form(const BlockEnvelope& a, std::span<const double> x);

}  // namespace tsl
