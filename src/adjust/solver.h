#pragma once
// The adjustment's solver: a Levenberg-Marquardt robust on the ties (IRLS weights, Marquardt
// damping) over the dense base parameters (poses, ground, lens), with the tie heights of the
// relief stage eliminated tie by tie, and the robust rounds that drop outlier ties between
// solves.
//
// The normal matrix is sparse: a photo couples only with its tie partners and the shared
// ground and lens terms, so it is kept as a block envelope and factorised without fill
// outside it. Sums never depend on the thread count: rows are added in a fixed number of
// chunks, and the chunks in chunk order.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "adjust/jacobian.h"
#include "adjust/residual_model.h"
#include "linalg/envelope_cholesky.h"

namespace tsl {

// Loss of one normalised residual: 9 (sqrt(1 + (r/3)^2) - 1), pseudo-Huber with delta 3.
double pseudo_huber(double r);
// Its IRLS weight 1 / sqrt(1 + (r/3)^2).
double pseudo_huber_weight(double r);

// Where the base columns sit in the sparse normal matrix. Photo p's six columns form one
// block and the ground and lens columns one border block; the photo blocks are numbered by
// reverse Cuthill-McKee over the photos' coupling (two photos couple when a row or a tie
// height reaches both), and the border, which couples with every photo, comes last.
struct NormalLayout {
  std::vector<uint32_t> position;  // per base column: its row and column in the matrix
  std::vector<size_t> block_sizes;  // in matrix order
  std::vector<size_t> first;        // per block: first block column of its envelope
};

// The layout that holds every product of `rows` and every tie-height elimination among them.
NormalLayout normal_layout(std::span<const JacobianRow> rows, size_t photos, size_t p0);

// J^T W J and J^T W r over the base columns, with the tie heights' own blocks.
struct NormalEquations {
  size_t p0 = 0;
  std::vector<uint32_t> position;  // the layout's positions
  BlockEnvelope h;                 // J^T W J in layout order, lower triangle
  std::vector<double> g;           // p0, base column order
  std::vector<double> hhh;         // per tie height: sum w hd^2
  std::vector<double> gh;          // per tie height: sum w hd r
  // Per tie height: (column, sum w hd v), sorted by column, one entry per column.
  std::vector<std::vector<JacEntry>> cross;
  // The heights' elimination at their undamped pivots (heights with hhh >= 1e-12):
  // sum cross cross^T / hhh in h's layout, and sum cross gh / hhh by base column. Empty
  // without heights.
  std::vector<double> height_schur;
  std::vector<double> height_schur_g;
};

// Builds the normal equations of `rows` (weights and residuals in row order) with `heights`
// tie heights in `layout` (from normal_layout of the same rows, or of rows with at least
// their couplings). Rows holding a non-finite value are left out. The rows are summed in 8
// consecutive chunks, each into a matrix of its own (as many at once as the thread budget and
// half the free memory allow), and the chunks are added in chunk order, so the result does
// not depend on the thread count.
NormalEquations normal_equations(std::span<const JacobianRow> rows, std::span<const double> weights,
                                 std::span<const double> residuals, size_t heights, const NormalLayout& layout);

// Buffers that a solve keeps between iterations so that the chunk matrices are allocated once.
struct NormalScratch {
  std::vector<std::vector<double>> chunk_h;  // per chunk in flight: the envelope's values
  std::vector<std::vector<double>> chunk_g;
};

// normal_equations into `ne`, reusing its storage and the scratch's.
void normal_equations(std::span<const JacobianRow> rows, std::span<const double> weights,
                      std::span<const double> residuals, size_t heights, const NormalLayout& layout,
                      NormalEquations& ne, NormalScratch& scratch);

struct LmResult {
  std::vector<double> params;
  size_t evals = 0;  // residual evaluations, the initial one included
};

// Minimises the cost of residual_vector from `params` (pseudo-Huber on the tie rows, half the
// square on the prior rows) with at most `max_evals` residual evaluations; returns the last
// accepted vector. Never fails: a system that cannot be factorised raises the damping, and
// damping beyond 1e12 ends the solve.
LmResult levenberg_marquardt(const AdjustProblem& problem, std::span<const double> params,
                             std::span<const uint8_t> mask, size_t max_evals);

struct RoundsResult {
  std::vector<double> params;
  std::vector<uint8_t> mask;
};

// Ties whose ground points cannot be formed at `params` (a non-finite gap or sigma, or a ray
// that meets the tie's plane behind its camera) are switched off in `mask`; returns how many.
size_t deactivate_unusable_ties(const AdjustProblem& problem, std::span<const double> params,
                                std::span<uint8_t> mask);

// Up to `rounds` rounds of levenberg_marquardt, each followed by the deactivation of ties whose
// normalised gap reaches max(4 x median, 5); stops early after a round that deactivates
// nothing. Logs "  BA {stage} round {k}: tie RMS ..." per round.
RoundsResult robust_rounds(const AdjustProblem& problem, std::vector<double> params, std::vector<uint8_t> mask,
                           size_t max_evals, size_t rounds, std::string_view stage);

}  // namespace tsl
