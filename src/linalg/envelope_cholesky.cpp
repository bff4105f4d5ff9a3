#include "linalg/envelope_cholesky.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include "platform/cpu.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {
namespace {

// Four doubles as one value: a vector register on wide processors, two on the baseline.
using Lane = double __attribute__((vector_size(4 * sizeof(double))));

bool pivot_ok(double u) { return u > 0.0 && u <= std::numeric_limits<double>::max(); }

// out[a][b] = sum over k < len of x[a][k] y[b][k] for a < RA, b < RB (rows `stride_x` and
// `stride_y` apart). The sums run in four lanes over k and are added lane by lane at the end,
// the same order on every call, so equal inputs always give equal bits.
template <size_t RA, size_t RB>
[[gnu::always_inline]] inline void dot_tile(const double* x, size_t stride_x, const double* y, size_t stride_y,
                                            size_t len, double (*out)[3]) {
  Lane acc[RA][RB] = {};
  size_t k = 0;
  for (; k + 4 <= len; k += 4) {
    Lane xa[RA], yb[RB];
    for (size_t a = 0; a < RA; ++a) std::memcpy(&xa[a], x + a * stride_x + k, sizeof(Lane));
    for (size_t b = 0; b < RB; ++b) std::memcpy(&yb[b], y + b * stride_y + k, sizeof(Lane));
    for (size_t a = 0; a < RA; ++a)
      for (size_t b = 0; b < RB; ++b) acc[a][b] += xa[a] * yb[b];
  }
  for (size_t a = 0; a < RA; ++a)
    for (size_t b = 0; b < RB; ++b) {
      double s = (acc[a][b][0] + acc[a][b][1]) + (acc[a][b][2] + acc[a][b][3]);
      for (size_t t = k; t < len; ++t) s += x[a * stride_x + t] * y[b * stride_y + t];
      out[a][b] = s;
    }
}

// The same for ra, rb in 1..3 chosen at run time.
[[gnu::always_inline]] inline void dot_tile_any(size_t ra, size_t rb, const double* x, size_t stride_x,
                                                const double* y, size_t stride_y, size_t len, double (*out)[3]) {
  switch (ra * 4 + rb) {
    case 5: return dot_tile<1, 1>(x, stride_x, y, stride_y, len, out);
    case 6: return dot_tile<1, 2>(x, stride_x, y, stride_y, len, out);
    case 7: return dot_tile<1, 3>(x, stride_x, y, stride_y, len, out);
    case 9: return dot_tile<2, 1>(x, stride_x, y, stride_y, len, out);
    case 10: return dot_tile<2, 2>(x, stride_x, y, stride_y, len, out);
    case 11: return dot_tile<2, 3>(x, stride_x, y, stride_y, len, out);
    case 13: return dot_tile<3, 1>(x, stride_x, y, stride_y, len, out);
    case 14: return dot_tile<3, 2>(x, stride_x, y, stride_y, len, out);
    default: return dot_tile<3, 3>(x, stride_x, y, stride_y, len, out);
  }
}

// Progress of a factorisation shared by its workers: per block row 0 while pending, 1 when
// final, 2 when the factorisation failed before it was done.
struct Progress {
  std::vector<std::atomic<uint8_t>> done;
  explicit Progress(size_t blocks) : done(blocks) {}
};

// Waits, asleep, until block row `bj` is final; false when the factorisation failed first.
bool wait_for_row(Progress& progress, size_t bj) {
  uint8_t state;
  while ((state = progress.done[bj].load(std::memory_order_acquire)) == 0) progress.done[bj].wait(0, std::memory_order_acquire);
  return state == 1;
}

void mark_row(Progress& progress, size_t bi, uint8_t state) {
  progress.done[bi].store(state, std::memory_order_release);
  progress.done[bi].notify_all();
}

// After a failed pivot: every pending row is marked failed, which wakes and stops its waiters.
void mark_failed(Progress& progress) {
  for (size_t b = 0; b < progress.done.size(); ++b) {
    uint8_t pending = 0;
    if (progress.done[b].compare_exchange_strong(pending, 2)) progress.done[b].notify_all();
  }
}

// Block row I of the envelope Cholesky (the Crout form): block (I, J) of L is (A_IJ - L_I L_J^T
// over the columns both rows store left of block J) solved against L_JJ. The first part is a
// small dense product over contiguous rows, almost all of the work; the triangular part inside
// block J is a few dot products per element. Row I reads only rows J < I, so rows can run on
// several threads at once, each waiting only for the rows it reads. Inlined into one copy per
// instruction set below.
[[gnu::always_inline]] inline bool factor_block_row(BlockEnvelope& m, size_t bi, Progress& progress,
                                                    std::vector<double>& sub) {
  double prod[3][3];
  const size_t si = m.start[bi + 1] - m.start[bi];
  const size_t ci0 = m.start[m.first[bi]];
  const size_t wi = m.start[bi + 1] - ci0;
  double* li = m.values.data() + m.offset[bi];
  for (size_t bj = m.first[bi]; bj <= bi; ++bj) {
    if (bj < bi && !wait_for_row(progress, bj)) return false;
    const size_t sj = m.start[bj + 1] - m.start[bj];
    const size_t cj0 = m.start[m.first[bj]];
    const size_t wj = m.start[bj + 1] - cj0;
    const double* lj = m.values.data() + m.offset[bj];
    const size_t lo = std::max(ci0, cj0);
    const size_t hi = m.start[bj];
    // sub[a][b] = L_I[a][lo, hi) . L_J[b][lo, hi)
    sub.assign(si * sj, 0.0);
    if (hi > lo) {
      for (size_t a = 0; a < si; a += 3) {
        const size_t ra = std::min<size_t>(3, si - a);
        for (size_t b = 0; b < sj; b += 3) {
          const size_t rb = std::min<size_t>(3, sj - b);
          dot_tile_any(ra, rb, li + a * wi + (lo - ci0), wi, lj + b * wj + (lo - cj0), wj, hi - lo, prod);
          for (size_t x = 0; x < ra; ++x)
            for (size_t y = 0; y < rb; ++y) sub[(a + x) * sj + b + y] = prod[x][y];
        }
      }
    }
    const size_t col_i = m.start[bj] - ci0;  // block J's first column within row I
    const size_t col_j = m.start[bj] - cj0;  // and within row J
    for (size_t a = 0; a < si; ++a) {
      double* row_a = li + a * wi + col_i;
      const size_t b_end = bj == bi ? a + 1 : sj;
      for (size_t b = 0; b < b_end; ++b) {
        const double* row_b = lj + b * wj + col_j;
        double s = row_a[b] - sub[a * sj + b];
        for (size_t k = 0; k < b; ++k) s -= row_a[k] * row_b[k];
        if (bj == bi && b == a) {
          if (!pivot_ok(s)) return false;
          row_a[b] = std::sqrt(s);
        } else {
          row_a[b] = s / row_b[b];
        }
      }
    }
  }
  return true;
}

// Claims block rows in increasing order until none is left; a claimed row waits only for
// rows claimed before it, so the workers never wait on each other in a circle.
[[gnu::always_inline]] inline void factor_rows(BlockEnvelope& m, Progress& progress, std::atomic<size_t>& next) {
  std::vector<double> sub;
  for (;;) {
    const size_t bi = next.fetch_add(1, std::memory_order_relaxed);
    if (bi >= m.first.size()) return;
    if (progress.done[bi].load(std::memory_order_acquire) == 2) return;
    if (!factor_block_row(m, bi, progress, sub)) {
      mark_failed(progress);
      return;
    }
    mark_row(progress, bi, 1);
  }
}

using RowsFn = void (*)(BlockEnvelope&, Progress&, std::atomic<size_t>&);

void factor_rows_baseline(BlockEnvelope& m, Progress& progress, std::atomic<size_t>& next) {
  factor_rows(m, progress, next);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same arithmetic with 256-bit vectors and fused multiply-adds where the processor has
// them (platform/cpu.h states what that may change).
[[gnu::target("avx2,fma")]] void factor_rows_avx2(BlockEnvelope& m, Progress& progress, std::atomic<size_t>& next) {
  factor_rows(m, progress, next);
}

RowsFn pick_factor_rows() {
  const platform::CpuFeatures cpu = platform::cpu_features();
  if (cpu.avx2 && cpu.fma) return factor_rows_avx2;
  return factor_rows_baseline;
}
#else
RowsFn pick_factor_rows() { return factor_rows_baseline; }
#endif

}  // namespace

BlockEnvelope block_envelope(std::span<const size_t> block_sizes, std::span<const size_t> first) {
  if (block_sizes.size() != first.size())
    internal_error(format("block_envelope: {} block sizes, {} first columns", block_sizes.size(), first.size()));
  BlockEnvelope m;
  const size_t blocks = block_sizes.size();
  m.start.assign(blocks + 1, 0);
  for (size_t b = 0; b < blocks; ++b) m.start[b + 1] = m.start[b] + block_sizes[b];
  m.first.assign(first.begin(), first.end());
  m.offset.assign(blocks + 1, 0);
  m.row_base.resize(m.start[blocks]);
  for (size_t b = 0; b < blocks; ++b) {
    if (first[b] > b) internal_error(format("block_envelope: block {} starts at block column {}", b, first[b]));
    const size_t c0 = m.start[first[b]];
    const size_t width = m.start[b + 1] - c0;
    for (size_t r = m.start[b]; r < m.start[b + 1]; ++r)
      m.row_base[r] = static_cast<std::ptrdiff_t>(m.offset[b] + (r - m.start[b]) * width) -
                      static_cast<std::ptrdiff_t>(c0);
    m.offset[b + 1] = m.offset[b] + block_sizes[b] * width;
  }
  m.values.assign(m.offset[blocks], 0.0);
  return m;
}

bool envelope_cholesky_factor(BlockEnvelope& a, size_t threads) {
  const RowsFn factor_rows_fn = pick_factor_rows();
  Progress progress(a.first.size());
  std::atomic<size_t> next{0};
  // One item per worker, each running the claiming loop; inline (a worker's own nested loop,
  // or one thread) the single loop takes the rows in order and never waits.
  par_map(std::max<size_t>(threads, 1), threads, [&](size_t) {
    factor_rows_fn(a, progress, next);
    return 0;
  });
  for (const auto& state : progress.done)
    if (state.load() != 1) return false;
  return true;
}

std::vector<double> envelope_cholesky_solve(const BlockEnvelope& l, std::span<const double> b) {
  const size_t n = envelope_order(l);
  if (b.size() < n) internal_error(format("envelope_cholesky_solve: right-hand side of {} for n = {}", b.size(), n));
  std::vector<double> x(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
  const size_t blocks = l.first.size();
  // Forward: L y = b, row by row.
  for (size_t bi = 0; bi < blocks; ++bi) {
    const size_t c0 = l.start[l.first[bi]];
    for (size_t r = l.start[bi]; r < l.start[bi + 1]; ++r) {
      const double* row = l.values.data() + (l.row_base[r] + static_cast<std::ptrdiff_t>(c0));
      double s = 0.0;
      for (size_t c = c0; c < r; ++c) s += row[c - c0] * x[c];
      x[r] = (x[r] - s) / row[r - c0];
    }
  }
  // Backward: L^T x = y, row by row from the end, each finished x[r] taken out of the rows
  // it couples to.
  for (size_t bi = blocks; bi-- > 0;) {
    const size_t c0 = l.start[l.first[bi]];
    for (size_t r = l.start[bi + 1]; r-- > l.start[bi];) {
      const double* row = l.values.data() + (l.row_base[r] + static_cast<std::ptrdiff_t>(c0));
      x[r] /= row[r - c0];
      const double xr = x[r];
      for (size_t c = c0; c < r; ++c) x[c] -= row[c - c0] * xr;
    }
  }
  return x;
}

double envelope_quadratic_form(const BlockEnvelope& a, std::span<const double> x) {
  const size_t blocks = a.first.size();
  double q = 0.0;
  for (size_t bi = 0; bi < blocks; ++bi) {
    const size_t c0 = a.start[a.first[bi]];
    for (size_t r = a.start[bi]; r < a.start[bi + 1]; ++r) {
      const double* row = a.values.data() + (a.row_base[r] + static_cast<std::ptrdiff_t>(c0));
      double off = 0.0;
      for (size_t c = c0; c < r; ++c) off += row[c - c0] * x[c];
      q += x[r] * (row[r - c0] * x[r] + 2.0 * off);
    }
  }
  return q;
}

}  // namespace tsl
