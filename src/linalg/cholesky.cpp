#include "linalg/cholesky.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/cpu.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {
namespace {

// Columns per panel: the sequential diagonal work stays small while the trailing updates,
// almost all of the arithmetic, run in parallel over rows.
constexpr size_t PANEL = 64;
// Rows (and columns) per register tile of the trailing update: a 4 x 4 tile of sums stays
// in registers while it streams through the panel.
constexpr size_t TILE = 4;
// TILE doubles as one value: a vector register on wide processors, two on the baseline.
using Lane = double __attribute__((vector_size(TILE * sizeof(double))));

bool pivot_ok(double u) { return u > 0.0 && u <= std::numeric_limits<double>::max(); }

// Factorises the diagonal block of columns [d, e) in place. Earlier panels have already
// been subtracted, so the sums start at column d.
bool factor_diagonal_block(double* a, size_t n, size_t d, size_t e) {
  for (size_t i = d; i < e; ++i) {
    double* row_i = a + i * n;
    double sum = 0.0;
    for (size_t k = d; k < i; ++k) sum += row_i[k] * row_i[k];
    const double u = row_i[i] - sum;
    if (!pivot_ok(u)) return false;
    const double pivot = std::sqrt(u);
    row_i[i] = pivot;
    for (size_t r = i + 1; r < e; ++r) {
      double* row_r = a + r * n;
      double s = 0.0;
      for (size_t k = d; k < i; ++k) s += row_r[k] * row_i[k];
      row_r[i] = (row_r[i] - s) / pivot;
    }
  }
  return true;
}

// Solves one trailing row's panel part against the factored diagonal block `diag`
// (nb x nb, row-major): row[c] = (row[c] - sum_k<c row[k] diag[c][k]) / diag[c][c].
void solve_panel_row(double* row, const double* diag, size_t nb) {
  for (size_t c = 0; c < nb; ++c) {
    const double* dc = diag + c * nb;
    double s = 0.0;
    for (size_t k = 0; k < c; ++k) s += row[k] * dc[k];
    row[c] = (row[c] - s) / dc[c];
  }
}

// Packs the panel columns of the m trailing rows in tiles of TILE rows: packed[t][c][i] =
// A[e + TILE t + i][d + c], rows past m as zeros. Both operands of the trailing update read
// this one buffer in order.
void pack_panel(const double* a, size_t n, size_t d, size_t e, size_t nb, size_t m, std::vector<double>& packed) {
  const size_t tiles = (m + TILE - 1) / TILE;
  packed.assign(tiles * nb * TILE, 0.0);
  for (size_t r = 0; r < m; ++r) {
    const double* src = a + (e + r) * n + d;
    double* dst = packed.data() + (r / TILE) * nb * TILE + r % TILE;
    for (size_t c = 0; c < nb; ++c) dst[c * TILE] = src[c];
  }
}

// The symmetric rank-nb update of the rows of one tile: A[e + r][e + j] -= sum_c P[r][c] P[j][c]
// for every j <= r. Every element goes through the same tile arithmetic (sums in increasing
// c from zero), whichever thread and band it falls in, so results do not depend on the
// thread count. Inlined into one copy per instruction set below.
[[gnu::always_inline]] inline void update_tile_rows(double* a, size_t n, size_t e, size_t nb, size_t m,
                                                    const double* packed, size_t tile) {
  const size_t r0 = tile * TILE;
  const size_t r_end = std::min(m, r0 + TILE);
  const double* pr = packed + tile * nb * TILE;
  for (size_t jt = 0; jt <= tile; ++jt) {
    const double* pj = packed + jt * nb * TILE;
    // One vector of TILE sums per row; each row's factor is broadcast from memory, which
    // keeps the shuffle unit out of the inner loop.
    Lane acc[TILE] = {};
    for (size_t c = 0; c < nb; ++c) {
      Lane col;
      std::memcpy(&col, pj + c * TILE, sizeof(Lane));
#pragma GCC unroll 4
      for (size_t i = 0; i < TILE; ++i) acc[i] += pr[c * TILE + i] * col;
    }
    const size_t j0 = jt * TILE;
    for (size_t r = r0; r < r_end; ++r) {
      double* row = a + (e + r) * n + e;
      const size_t j_end = std::min(r + 1, j0 + TILE);
      for (size_t j = j0; j < j_end; ++j) row[j] -= acc[r - r0][j - j0];
    }
  }
}

using TileUpdate = void (*)(double*, size_t, size_t, size_t, size_t, const double*, size_t);

void update_tile_rows_baseline(double* a, size_t n, size_t e, size_t nb, size_t m, const double* packed, size_t tile) {
  update_tile_rows(a, n, e, nb, m, packed, tile);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same arithmetic with 256-bit vectors and fused multiply-adds: twice the throughput of
// the baseline's 128-bit vectors on processors that have them (platform/cpu.h states what
// that may change).
[[gnu::target("avx2,fma")]] void update_tile_rows_avx2(double* a, size_t n, size_t e, size_t nb, size_t m,
                                                       const double* packed, size_t tile) {
  update_tile_rows(a, n, e, nb, m, packed, tile);
}

TileUpdate pick_tile_update() {
  const platform::CpuFeatures cpu = platform::cpu_features();
  if (cpu.avx2 && cpu.fma) return update_tile_rows_avx2;
  return update_tile_rows_baseline;
}
#else
TileUpdate pick_tile_update() { return update_tile_rows_baseline; }
#endif

}  // namespace

bool cholesky_factor(std::span<double> a, size_t n) {
  if (n == 0) return true;
  if (a.size() / n < n) internal_error(format("cholesky_factor: {} values for n = {}", a.size(), n));
  double* base = a.data();
  const size_t budget = cpu_budget();
  const TileUpdate tile_update = pick_tile_update();
  std::vector<double> diag;
  std::vector<double> packed;
  for (size_t d = 0; d < n; d += PANEL) {
    const size_t e = std::min(n, d + PANEL);
    const size_t nb = e - d;
    if (!factor_diagonal_block(base, n, d, e)) return false;
    if (e == n) break;
    const size_t m = n - e;
    diag.resize(nb * nb);
    for (size_t i = 0; i < nb; ++i)
      for (size_t k = 0; k < nb; ++k) diag[i * nb + k] = base[(d + i) * n + d + k];
    std::span<double> trailing(base + e * n, m * n);
    par_chunks(trailing, n, budget, [&](size_t, std::span<double> row) { solve_panel_row(row.data() + d, diag.data(), nb); });
    pack_panel(base, n, d, e, nb, m, packed);
    // One chunk per tile of rows: the tile is the unit of the update's register blocking.
    par_chunks(trailing, TILE * n, budget,
               [&](size_t tile, std::span<double>) { tile_update(base, n, e, nb, m, packed.data(), tile); });
  }
  return true;
}

std::vector<double> cholesky_solve(std::span<const double> l, size_t n, std::span<const double> b) {
  if (n != 0 && l.size() / n < n) internal_error(format("cholesky_solve: {} values for n = {}", l.size(), n));
  if (b.size() < n) internal_error(format("cholesky_solve: right-hand side of {} for n = {}", b.size(), n));
  std::vector<double> x(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
  for (size_t i = 0; i < n; ++i) {
    const double* row = l.data() + i * n;
    double s = 0.0;
    for (size_t j = 0; j < i; ++j) s += row[j] * x[j];
    x[i] = (x[i] - s) / row[i];
  }
  // The backward pass walks columns of L: x[i] -= L[j][i] x[j] over j > i.
  for (size_t i = n; i-- > 0;) {
    double s = 0.0;
    for (size_t j = i + 1; j < n; ++j) s += l[j * n + i] * x[j];
    x[i] = (x[i] - s) / l[i * n + i];
  }
  return x;
}

}  // namespace tsl
