#include "matching/ratio_match.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/cpu.h"
#include "util/par.h"

namespace tsl {
namespace {

// Register block of the distance kernel: ROWS query descriptors against LANES candidates at
// once, so each loaded candidate value serves ROWS products and each query value LANES.
constexpr size_t ROWS = 4;
constexpr size_t LANES = 8;
// Candidates per cache block: 256 x 512 bytes stays in a core's L2 while every query block
// streams over it.
constexpr size_t BLOCK = 256;
// Query blocks per parallel item at least: 64 queries, enough to repay streaming every
// candidate panel through the item once.
constexpr size_t QUERY_BLOCKS_PER_ITEM = 16;

struct Nearest {
  float best = std::numeric_limits<float>::infinity();
  float second = std::numeric_limits<float>::infinity();
  uint32_t best_q = 0;
  bool found = false;
};

// Candidates moved into panels of LANES, dimension-major: panel k holds, for d = 0 .. 127,
// the d-th values of candidates LANES k .. LANES k + LANES - 1 (zero beyond the last).
std::vector<float> make_panels(std::span<const float> desc, std::span<const uint32_t> cand) {
  const size_t panels = (cand.size() + LANES - 1) / LANES;
  std::vector<float> out(panels * DESC_LEN * LANES, 0.0f);
  for (size_t c = 0; c < cand.size(); ++c) {
    const float* src = desc.data() + size_t{cand[c]} * DESC_LEN;
    float* dst = out.data() + (c / LANES) * DESC_LEN * LANES + c % LANES;
    for (size_t d = 0; d < DESC_LEN; ++d) dst[d * LANES] = src[d];
  }
  return out;
}

float squared_norm(const float* v) {
  float s = 0.0f;
  for (size_t d = 0; d < DESC_LEN; ++d) s += v[d] * v[d];
  return s;
}

// LANES floats as one value: one 256-bit register on processors that have them, two 128-bit
// ones on the baseline.
using Lane = float __attribute__((vector_size(LANES * sizeof(float))));

// Dot products of ROWS query rows with one panel. A hot loop: the four sums are named locals
// so that they stay in registers while the panel streams through.
inline __attribute__((always_inline)) void panel_dots_body(const float* rows, const float* panel, Lane (&acc)[ROWS]) {
  static_assert(ROWS == 4);
  Lane a0{}, a1{}, a2{}, a3{};
  const float* r0 = rows;
  const float* r1 = rows + DESC_LEN;
  const float* r2 = rows + 2 * DESC_LEN;
  const float* r3 = rows + 3 * DESC_LEN;
  for (size_t d = 0; d < DESC_LEN; ++d) {
    Lane q;
    std::memcpy(&q, panel + d * LANES, sizeof(Lane));
    a0 += r0[d] * q;
    a1 += r1[d] * q;
    a2 += r2[d] * q;
    a3 += r3[d] * q;
  }
  acc[0] = a0;
  acc[1] = a1;
  acc[2] = a2;
  acc[3] = a3;
}

using PanelDots = void (*)(const float*, const float*, Lane (&)[ROWS]);

void panel_dots_baseline(const float* rows, const float* panel, Lane (&acc)[ROWS]) {
  panel_dots_body(rows, panel, acc);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same sums with 256-bit vectors and fused multiply-adds where the processor has them
// (platform/cpu.h states what that may change).
[[gnu::target("avx2,fma")]] void panel_dots_avx2(const float* rows, const float* panel, Lane (&acc)[ROWS]) {
  panel_dots_body(rows, panel, acc);
}

PanelDots pick_panel_dots() {
  const platform::CpuFeatures cpu = platform::cpu_features();
  if (cpu.avx2 && cpu.fma) return panel_dots_avx2;
  return panel_dots_baseline;
}
#else
PanelDots pick_panel_dots() { return panel_dots_baseline; }
#endif

void offer(Nearest& n, float dist, uint32_t q) {
  if (dist < n.best) {
    n.second = n.best;
    n.best = dist;
    n.best_q = q;
    n.found = true;
  } else if (dist < n.second) {
    n.second = dist;
  }
}

std::vector<DescMatch> accepted(std::span<const uint32_t> query, std::span<const uint32_t> cand,
                                const std::vector<Nearest>& nearest) {
  std::vector<DescMatch> out;
  for (size_t p = 0; p < query.size(); ++p) {
    const Nearest& n = nearest[p];
    const float limit = RATIO * n.second;
    if (n.found && n.best < limit) out.push_back({query[p], cand[n.best_q]});
  }
  return out;
}

}  // namespace

std::vector<DescMatch> ratio_match(std::span<const float> desc_i, std::span<const uint32_t> query,
                                   std::span<const float> desc_j, std::span<const uint32_t> cand, size_t threads) {
  std::vector<Nearest> nearest(query.size());
  if (query.empty() || cand.empty()) return {};
  const std::vector<float> panels = make_panels(desc_j, cand);
  std::vector<float> norm_j(panels.size() / DESC_LEN, 0.0f);
  for (size_t c = 0; c < cand.size(); ++c) norm_j[c] = squared_norm(desc_j.data() + size_t{cand[c]} * DESC_LEN);
  // Query rows gathered in blocks of ROWS; the last block repeats its final row.
  const size_t row_blocks = (query.size() + ROWS - 1) / ROWS;
  std::vector<float> rows(row_blocks * ROWS * DESC_LEN);
  std::vector<float> norm_i(query.size());
  for (size_t r = 0; r < row_blocks * ROWS; ++r) {
    const size_t p = std::min(r, query.size() - 1);
    std::memcpy(rows.data() + r * DESC_LEN, desc_i.data() + size_t{query[p]} * DESC_LEN, DESC_LEN * sizeof(float));
    if (r < query.size()) norm_i[r] = squared_norm(rows.data() + r * DESC_LEN);
  }
  const size_t n_panels = panels.size() / (DESC_LEN * LANES);
  const size_t panels_per_block = BLOCK / LANES;
  const PanelDots panel_dots = pick_panel_dots();
  // Each query's nearest candidates depend on that query alone, so the query blocks are cut
  // into ranges, one work item each: about four per thread, at least QUERY_BLOCKS_PER_ITEM.
  const size_t items = 4 * std::max<size_t>(threads, 1);
  const size_t per_item = std::max(QUERY_BLOCKS_PER_ITEM, (row_blocks + items - 1) / items);
  par_rows(row_blocks, per_item, threads, [&](size_t rb0, size_t rb1) {
    Lane acc[ROWS];
    // Candidate blocks in ascending order, and within one the candidates in order: every query
    // sees its candidates in list order, which the tie rule needs.
    for (size_t b0 = 0; b0 < n_panels; b0 += panels_per_block) {
      const size_t b1 = std::min(n_panels, b0 + panels_per_block);
      for (size_t rb = rb0; rb < rb1; ++rb) {
        const float* row = rows.data() + rb * ROWS * DESC_LEN;
        const size_t live_rows = std::min(ROWS, query.size() - rb * ROWS);
        for (size_t k = b0; k < b1; ++k) {
          panel_dots(row, panels.data() + k * DESC_LEN * LANES, acc);
          const size_t live = std::min(LANES, cand.size() - k * LANES);
          for (size_t r = 0; r < live_rows; ++r) {
            const size_t p = rb * ROWS + r;
            Nearest& n = nearest[p];
            for (size_t c = 0; c < live; ++c) {
              const float dist = std::max(norm_i[p] + norm_j[k * LANES + c] - 2.0f * acc[r][c], 0.0f);
              offer(n, dist, static_cast<uint32_t>(k * LANES + c));
            }
          }
        }
      }
    }
  });
  return accepted(query, cand, nearest);
}

std::vector<DescMatch> ratio_match_plain(std::span<const float> desc_i, std::span<const uint32_t> query,
                                         std::span<const float> desc_j, std::span<const uint32_t> cand) {
  std::vector<float> norm_j(cand.size());
  for (size_t c = 0; c < cand.size(); ++c) norm_j[c] = squared_norm(desc_j.data() + size_t{cand[c]} * DESC_LEN);
  std::vector<Nearest> nearest(query.size());
  for (size_t p = 0; p < query.size(); ++p) {
    const float* a = desc_i.data() + size_t{query[p]} * DESC_LEN;
    const float na = squared_norm(a);
    for (size_t c = 0; c < cand.size(); ++c) {
      const float* b = desc_j.data() + size_t{cand[c]} * DESC_LEN;
      float dot = 0.0f;
      for (size_t d = 0; d < DESC_LEN; ++d) dot += a[d] * b[d];
      offer(nearest[p], std::max(na + norm_j[c] - 2.0f * dot, 0.0f), static_cast<uint32_t>(c));
    }
  }
  return accepted(query, cand, nearest);
}

}  // namespace tsl
