#pragma once
// The analytic Jacobian of residual_vector as sparse rows, and its check against central
// differences (TSL_JACCHECK).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "adjust/residual_model.h"

namespace tsl {

struct JacEntry {
  uint32_t col = 0;  // base parameter index, below P0
  double value = 0.0;
};

// One row per residual, in residual_vector's order. The same column may occur more than once
// in a row; consumers add such entries.
struct JacobianRow {
  bool has_height = false;  // the row depends on tie height P0 + height_index
  size_t height_index = 0;
  double height_deriv = 0.0;
  std::vector<JacEntry> entries;
};

// Every row at `params` with the ties of `mask`: per active tie its east then its north row
// (built on up to 8 threads), then the prior rows. Rotation columns are the derivatives by the
// rotation-vector components themselves (the chain through exp([w]x)), exact at any w.
std::vector<JacobianRow> jacobian_parallel(const AdjustProblem& problem, std::span<const double> params,
                                           std::span<const uint8_t> mask);

// jacobian_parallel into `rows`, reusing the rows' storage: a solver calls it once per
// iteration on the same list, so its hundreds of megabytes at a few thousand photos are
// allocated once.
void jacobian_rows(const AdjustProblem& problem, std::span<const double> params, std::span<const uint8_t> mask,
                   std::vector<JacobianRow>& rows);

// The outcome of comparing analytic rows with central differences of step 1e-6.
struct JacobianCheck {
  struct Column {
    size_t col = 0;
    double rel = 0.0;  // largest |analytic - numeric| over the largest |numeric| (at least 1e-9)
    double abs = 0.0;
    double mag = 0.0;
  };
  std::vector<Column> columns;  // every base column, then up to 5 tie-height columns
  double worst_rel = 0.0;
  size_t worst_col = 0;
};

// Compares `rows` (the Jacobian at `params` with every tie active) with central differences
// of residual_vector. A row count unlike the residual count is a caller's bug.
JacobianCheck compare_jacobian(const AdjustProblem& problem, std::span<const double> params,
                               std::span<const JacobianRow> rows);

// The vector the check runs at: P0 + ties values drawn from xorshift64 (state 12345), the
// ground at -2 m.
std::vector<double> jacobian_check_vector(const AdjustProblem& problem);

// The check's report: one "JACCHECK col ..." line per column above 1e-3, then the worst line.
std::string jacobian_check_text(const JacobianCheck& check, size_t first_height);

// Runs the check on the problem at jacobian_check_vector and writes its report to stderr.
void jacobian_check(const AdjustProblem& problem);

}  // namespace tsl
