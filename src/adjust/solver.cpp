#include "adjust/solver.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

#include "adjust/threads.h"
#include "linalg/rcm_order.h"
#include "linalg/stats.h"
#include "logx.h"
#include "platform/system.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {
namespace {

// Rows are accumulated in this many consecutive chunks whatever the thread count, each into a
// matrix of its own, and the chunks are added in chunk order: every sum runs in the same order
// on every machine.
constexpr size_t CHUNKS = 8;

// Below this many rows the normal equations are built on the calling thread: a few
// milliseconds of work, less than starting the workers costs on a busy machine.
constexpr size_t MIN_ROWS_PARALLEL = 8192;

// Below this many matrix values (8 MB) the factorisation runs on one thread: its block rows
// wait on each other too often for a small matrix to gain from more.
constexpr size_t MIN_VALUES_PARALLEL = size_t{1} << 20;

// Matrix values per parallel item when the chunks are added.
constexpr size_t VALUES_PER_ITEM = size_t{1} << 16;

// Parameters per photo: three position and three rotation corrections.
constexpr size_t PHOTO_BLOCK = 6;

constexpr double HUBER_DELTA = 3.0;
constexpr double LAMBDA_START = 1e-3;
constexpr double LAMBDA_MIN = 1e-12;
constexpr double LAMBDA_GIVE_UP = 1e12;
constexpr double MIN_DIAGONAL = 1e-12;

bool row_finite(const JacobianRow& row, double w, double r) {
  if (!std::isfinite(w) || !std::isfinite(r) || !std::isfinite(row.height_deriv)) return false;
  for (const JacEntry& e : row.entries)
    if (!std::isfinite(e.value)) return false;
  return true;
}

// Where element (r, c) of the envelope lives in its values, r >= c in matrix order.
size_t element_index(const BlockEnvelope& m, uint32_t r, uint32_t c) {
  return static_cast<size_t>(m.row_base[r] + static_cast<std::ptrdiff_t>(c));
}

// The photo blocks a row reaches, ascending, without repeats, appended to `out`.
void photo_blocks(const JacobianRow& row, size_t photos, std::vector<uint32_t>& out) {
  const size_t begin = out.size();
  for (const JacEntry& e : row.entries)
    if (e.col < PHOTO_BLOCK * photos) out.push_back(static_cast<uint32_t>(e.col / PHOTO_BLOCK));
  std::sort(out.begin() + static_cast<std::ptrdiff_t>(begin), out.end());
  out.erase(std::unique(out.begin() + static_cast<std::ptrdiff_t>(begin), out.end()), out.end());
}

// Every pair of `blocks` as an edge, unless the same pair was the last one added.
void add_edges(std::span<const uint32_t> blocks, std::vector<std::pair<uint32_t, uint32_t>>& edges) {
  for (size_t x = 0; x < blocks.size(); ++x)
    for (size_t y = x + 1; y < blocks.size(); ++y)
      if (edges.empty() || edges.back() != std::pair(blocks[x], blocks[y])) edges.emplace_back(blocks[x], blocks[y]);
}

// The robust loss is for the tie rows, which lead the residual vector: a wrong tie is the
// outlier it guards against. The prior rows stay quadratic; under a linear loss a lens or a
// pose pulled far off its prior costs too little, and the ties' slack lets it run away.
double cost_of(std::span<const double> r, size_t tie_rows) {
  double c = 0.0;
  for (size_t i = 0; i < r.size(); ++i) c += i < tie_rows ? pseudo_huber(r[i]) : 0.5 * r[i] * r[i];
  return c;
}

std::vector<double> weights_of(std::span<const double> r, size_t tie_rows) {
  std::vector<double> w(r.size(), 1.0);
  for (size_t i = 0; i < std::min(tie_rows, r.size()); ++i) w[i] = pseudo_huber_weight(r[i]);
  return w;
}

double norm(std::span<const double> v) {
  double s = 0.0;
  for (double x : v) s += x * x;
  return std::sqrt(s);
}

// `v` (base column order) in matrix order.
std::vector<double> to_matrix_order(std::span<const uint32_t> position, std::span<const double> v) {
  std::vector<double> out(position.size());
  for (size_t c = 0; c < position.size(); ++c) out[position[c]] = v[c];
  return out;
}

// Subtracts the elimination of tie height j with pivot d from `hd` and adds it to `rhs`.
void eliminate_height(const NormalEquations& ne, size_t j, double d, BlockEnvelope& hd, std::vector<double>& rhs) {
  const std::vector<JacEntry>& cross = ne.cross[j];
  for (const JacEntry& ea : cross) {
    const uint32_t ma = ne.position[ea.col];
    rhs[ea.col] += ea.value * ne.gh[j] / d;
    // Cross rows hold one entry per column, so each pair of columns is met once here.
    for (const JacEntry& eb : cross) {
      const uint32_t mb = ne.position[eb.col];
      if (mb >= ma) hd.values[element_index(hd, mb, ma)] -= ea.value * eb.value / d;
    }
  }
}

// The damped, height-reduced system of one trial: the matrix `hd`, `rhs` (base column order)
// and the damped height pivots. A height's damped pivot hhh + hhh lambda is hhh (1 + lambda),
// so the eliminations prepared at the undamped pivots only need scaling by 1 / (1 + lambda);
// heights with a pivot below MIN_DIAGONAL are damped by a fixed amount instead and
// eliminated one by one.
void damped_system(const NormalEquations& ne, double lambda, BlockEnvelope& hd, std::vector<double>& rhs,
                   std::vector<double>& dj) {
  const size_t p0 = ne.p0;
  if (hd.start != ne.h.start || hd.first != ne.h.first) hd = ne.h;
  const double scale = 1.0 / (1.0 + lambda);
  par_rows(hd.values.size(), VALUES_PER_ITEM, adjust_threads(ADJUST_MAX_THREADS), [&](size_t first, size_t last) {
    if (ne.height_schur.empty()) {
      std::copy(ne.h.values.begin() + static_cast<std::ptrdiff_t>(first),
                ne.h.values.begin() + static_cast<std::ptrdiff_t>(last),
                hd.values.begin() + static_cast<std::ptrdiff_t>(first));
      return;
    }
    for (size_t v = first; v < last; ++v) hd.values[v] = ne.h.values[v] - ne.height_schur[v] * scale;
  });
  rhs.resize(p0);
  for (size_t c = 0; c < p0; ++c) {
    const size_t diag = element_index(hd, ne.position[c], ne.position[c]);
    hd.values[diag] += std::max(ne.h.values[diag], MIN_DIAGONAL) * lambda;
    rhs[c] = -ne.g[c] + (ne.height_schur_g.empty() ? 0.0 : ne.height_schur_g[c] * scale);
  }
  dj.resize(ne.hhh.size());
  for (size_t j = 0; j < ne.hhh.size(); ++j) {
    dj[j] = ne.hhh[j] + std::max(ne.hhh[j], MIN_DIAGONAL) * lambda;
    if (!(ne.hhh[j] >= MIN_DIAGONAL) && dj[j] > 0.0) eliminate_height(ne, j, dj[j], hd, rhs);
  }
}

// Adds CHUNKS partial sums into `h` and `g` in chunk order: fill(chunk, h_part, g_part) adds
// one chunk's terms into zeroed parts, `wave` chunks at a time on up to `threads` threads.
// The parts live in `scratch` so that repeated calls allocate them once.
template <typename Fill>
void sum_chunks(std::vector<double>& h, std::vector<double>& g, size_t wave, size_t threads, NormalScratch& scratch,
                Fill&& fill) {
  scratch.chunk_h.resize(std::max(scratch.chunk_h.size(), wave));
  scratch.chunk_g.resize(std::max(scratch.chunk_g.size(), wave));
  for (size_t c0 = 0; c0 < CHUNKS; c0 += wave) {
    const size_t count = std::min(CHUNKS, c0 + wave) - c0;
    par_map(count, wave, [&](size_t k) {
      scratch.chunk_h[k].assign(h.size(), 0.0);
      scratch.chunk_g[k].assign(g.size(), 0.0);
      fill(c0 + k, scratch.chunk_h[k], scratch.chunk_g[k]);
      return 0;
    });
    par_rows(h.size(), VALUES_PER_ITEM, threads, [&](size_t first, size_t last) {
      for (size_t k = 0; k < count; ++k)
        for (size_t v = first; v < last; ++v) h[v] += scratch.chunk_h[k][v];
    });
    for (size_t k = 0; k < count; ++k)
      for (size_t c = 0; c < g.size(); ++c) g[c] += scratch.chunk_g[k][c];
  }
}

}  // namespace

double pseudo_huber(double r) {
  const double q = r / HUBER_DELTA;
  return HUBER_DELTA * HUBER_DELTA * (std::sqrt(1.0 + q * q) - 1.0);
}

double pseudo_huber_weight(double r) {
  const double q = r / HUBER_DELTA;
  return 1.0 / std::sqrt(1.0 + q * q);
}

NormalLayout normal_layout(std::span<const JacobianRow> rows, size_t photos, size_t p0) {
  if (p0 <= PHOTO_BLOCK * photos) internal_error(format("normal_layout: {} base columns for {} photos", p0, photos));
  // Couplings: the photos of each row, and the photos of all rows of one tie height, which
  // its elimination joins.
  std::vector<std::pair<uint32_t, uint32_t>> edges;
  std::vector<uint64_t> height_blocks;
  std::vector<uint32_t> blocks;
  for (const JacobianRow& row : rows) {
    blocks.clear();
    photo_blocks(row, photos, blocks);
    add_edges(blocks, edges);
    if (row.has_height)
      for (uint32_t b : blocks) height_blocks.push_back(static_cast<uint64_t>(row.height_index) << 32 | b);
  }
  std::sort(height_blocks.begin(), height_blocks.end());
  height_blocks.erase(std::unique(height_blocks.begin(), height_blocks.end()), height_blocks.end());
  for (size_t k = 0; k < height_blocks.size();) {
    blocks.clear();
    const uint64_t height = height_blocks[k] >> 32;
    for (; k < height_blocks.size() && height_blocks[k] >> 32 == height; ++k)
      blocks.push_back(static_cast<uint32_t>(height_blocks[k]));
    add_edges(blocks, edges);
  }
  const Adjacency graph = adjacency_from_edges(photos, edges);
  const std::vector<uint32_t> order = reverse_cuthill_mckee(graph);
  std::vector<uint32_t> block_at(photos);
  for (size_t k = 0; k < photos; ++k) block_at[order[k]] = static_cast<uint32_t>(k);

  NormalLayout layout;
  layout.position.resize(p0);
  for (size_t c = 0; c < p0; ++c)
    layout.position[c] = static_cast<uint32_t>(
        c < PHOTO_BLOCK * photos ? PHOTO_BLOCK * block_at[c / PHOTO_BLOCK] + c % PHOTO_BLOCK : c);
  layout.block_sizes.assign(photos, PHOTO_BLOCK);
  layout.block_sizes.push_back(p0 - PHOTO_BLOCK * photos);
  layout.first.resize(photos + 1);
  for (size_t k = 0; k < photos; ++k) {
    size_t first = k;
    const uint32_t p = order[k];
    for (size_t e = graph.start[p]; e < graph.start[p + 1]; ++e) first = std::min<size_t>(first, block_at[graph.index[e]]);
    layout.first[k] = first;
  }
  layout.first[photos] = 0;  // the border couples with every photo
  return layout;
}

void normal_equations(std::span<const JacobianRow> rows, std::span<const double> weights,
                      std::span<const double> residuals, size_t heights, const NormalLayout& layout,
                      NormalEquations& ne, NormalScratch& scratch) {
  const size_t p0 = layout.position.size();
  ne.p0 = p0;
  if (ne.position != layout.position || ne.h.first != layout.first) {
    ne.position = layout.position;
    ne.h = block_envelope(layout.block_sizes, layout.first);
  } else {
    std::fill(ne.h.values.begin(), ne.h.values.end(), 0.0);
  }
  ne.g.assign(p0, 0.0);
  std::vector<uint8_t> usable(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) usable[i] = row_finite(rows[i], weights[i], residuals[i]);
  const std::vector<uint32_t>& pos = ne.position;
  const size_t per_chunk = (rows.size() + CHUNKS - 1) / CHUNKS;
  // Chunk matrices in flight at once: the thread budget, lowered to what half of the free
  // memory holds.
  const size_t threads = rows.size() < MIN_ROWS_PARALLEL ? 1 : adjust_threads(CHUNKS);
  size_t wave = threads;
  if (const uint64_t free_bytes = platform::available_memory_bytes(); free_bytes > 0) {
    const double chunk_bytes = 8.0 * static_cast<double>(ne.h.values.size() + p0);
    wave = std::clamp<size_t>(static_cast<size_t>(0.5 * static_cast<double>(free_bytes) / chunk_bytes), 1, wave);
  }
  sum_chunks(ne.h.values, ne.g, wave, threads, scratch, [&](size_t chunk, std::vector<double>& h, std::vector<double>& g) {
    const size_t end = std::min(rows.size(), (chunk + 1) * per_chunk);
    for (size_t i = chunk * per_chunk; i < end; ++i) {
      if (!usable[i]) continue;
      const double w = weights[i];
      const std::vector<JacEntry>& entries = rows[i].entries;
      for (const JacEntry& ea : entries) {
        g[ea.col] += w * residuals[i] * ea.value;
        const double wa = w * ea.value;
        const uint32_t ma = pos[ea.col];
        for (const JacEntry& eb : entries)
          if (pos[eb.col] >= ma) h[element_index(ne.h, pos[eb.col], ma)] += wa * eb.value;
      }
    }
  });

  ne.hhh.assign(heights, 0.0);
  ne.gh.assign(heights, 0.0);
  ne.cross.resize(heights);
  // The rows of each height, in row order.
  std::vector<size_t> first_of(heights + 1, 0);
  for (size_t i = 0; i < rows.size(); ++i)
    if (usable[i] && rows[i].has_height && rows[i].height_index < heights) ++first_of[rows[i].height_index + 1];
  for (size_t j = 0; j < heights; ++j) first_of[j + 1] += first_of[j];
  std::vector<uint32_t> rows_of(first_of[heights]);
  {
    std::vector<size_t> fill(first_of.begin(), first_of.end() - 1);
    for (size_t i = 0; i < rows.size(); ++i)
      if (usable[i] && rows[i].has_height && rows[i].height_index < heights)
        rows_of[fill[rows[i].height_index]++] = static_cast<uint32_t>(i);
  }
  par_rows(heights, 1024, adjust_threads(heights), [&](size_t first, size_t last) {
    for (size_t j = first; j < last; ++j) {
      std::vector<JacEntry>& cross = ne.cross[j];
      cross.clear();
      for (size_t k = first_of[j]; k < first_of[j + 1]; ++k) {
        const size_t i = rows_of[k];
        const JacobianRow& row = rows[i];
        const double whd = weights[i] * row.height_deriv;
        ne.hhh[j] += whd * row.height_deriv;
        ne.gh[j] += whd * residuals[i];
        for (const JacEntry& e : row.entries) cross.push_back({e.col, whd * e.value});
      }
      std::stable_sort(cross.begin(), cross.end(), [](const JacEntry& a, const JacEntry& b) { return a.col < b.col; });
      size_t out = 0;
      for (size_t e = 0; e < cross.size(); ++e) {
        if (out > 0 && cross[out - 1].col == cross[e].col)
          cross[out - 1].value += cross[e].value;
        else
          cross[out++] = cross[e];
      }
      cross.resize(out);
    }
  });

  // The eliminations of the heights at their undamped pivots, summed like the rows: in fixed
  // chunks of heights, added in chunk order.
  ne.height_schur.clear();
  ne.height_schur_g.clear();
  if (heights == 0) return;
  ne.height_schur.assign(ne.h.values.size(), 0.0);
  ne.height_schur_g.assign(p0, 0.0);
  const size_t heights_per_chunk = (heights + CHUNKS - 1) / CHUNKS;
  sum_chunks(ne.height_schur, ne.height_schur_g, wave, threads, scratch,
             [&](size_t chunk, std::vector<double>& h, std::vector<double>& g) {
               const size_t end = std::min(heights, (chunk + 1) * heights_per_chunk);
               for (size_t j = chunk * heights_per_chunk; j < end; ++j) {
                 const double d = ne.hhh[j];
                 if (!(d >= MIN_DIAGONAL)) continue;
                 for (const JacEntry& ea : ne.cross[j]) {
                   const uint32_t ma = pos[ea.col];
                   g[ea.col] += ea.value * ne.gh[j] / d;
                   for (const JacEntry& eb : ne.cross[j])
                     if (pos[eb.col] >= ma) h[element_index(ne.h, pos[eb.col], ma)] += ea.value * eb.value / d;
                 }
               }
             });
}

NormalEquations normal_equations(std::span<const JacobianRow> rows, std::span<const double> weights,
                                 std::span<const double> residuals, size_t heights, const NormalLayout& layout) {
  NormalEquations ne;
  NormalScratch scratch;
  normal_equations(rows, weights, residuals, heights, layout, ne, scratch);
  return ne;
}

LmResult levenberg_marquardt(const AdjustProblem& problem, std::span<const double> params,
                             std::span<const uint8_t> mask, size_t max_evals) {
  const size_t p0 = problem.first_height;
  std::vector<double> x(params.begin(), params.end());
  const size_t heights = x.size() - p0;
  std::vector<double> r = residual_vector(problem, x, mask);
  const size_t tie_rows = 2 * active_count(mask);
  std::vector<double> w = weights_of(r, tie_rows);
  double cost = cost_of(r, tie_rows);
  size_t evals = 1;
  double lambda = LAMBDA_START;
  std::vector<double> rhs, dj, xt(x.size());
  BlockEnvelope hd;
  // The couplings depend on the mask alone, which stays fixed for the whole solve. The rows,
  // the normal equations and their scratch keep their storage from one iteration to the next.
  std::optional<NormalLayout> layout;
  std::vector<JacobianRow> rows;
  NormalEquations ne;
  NormalScratch scratch;
  while (evals < max_evals) {
    check_cancel();
    jacobian_rows(problem, x, mask, rows);
    if (!layout) layout = normal_layout(rows, problem.photo_count, p0);
    normal_equations(rows, w, r, heights, *layout, ne, scratch);
    bool next_outer = false;
    while (evals < max_evals && !next_outer) {
      damped_system(ne, lambda, hd, rhs, dj);
      std::vector<double> db(p0);
      std::vector<double> dh(heights, 0.0);
      const size_t factor_threads = hd.values.size() < MIN_VALUES_PARALLEL ? 1 : adjust_threads(ADJUST_MAX_THREADS);
      bool ok = envelope_cholesky_factor(hd, factor_threads);
      if (ok) {
        const std::vector<double> solved = envelope_cholesky_solve(hd, to_matrix_order(ne.position, rhs));
        for (size_t c = 0; c < p0; ++c) db[c] = solved[ne.position[c]];
        for (size_t j = 0; j < heights && ok; ++j) {
          if (!(dj[j] > 0.0)) continue;
          double s = 0.0;
          for (const JacEntry& e : ne.cross[j]) s += e.value * db[e.col];
          dh[j] = (-ne.gh[j] - s) / dj[j];
        }
        for (double v : db) ok = ok && std::isfinite(v);
        for (double v : dh) ok = ok && std::isfinite(v);
      }
      if (!ok) {
        if (4 * lambda > LAMBDA_GIVE_UP) return {x, evals};
        lambda *= 4;
        continue;
      }
      for (size_t c = 0; c < p0; ++c) xt[c] = x[c] + db[c];
      for (size_t j = 0; j < heights; ++j) xt[p0 + j] = x[p0 + j] + dh[j];
      std::vector<double> rt = residual_vector(problem, xt, mask);
      ++evals;
      const double cost_t = cost_of(rt, tie_rows);
      if (cost - cost_t > 0.0 && std::isfinite(cost_t)) {
        double q = envelope_quadratic_form(ne.h, to_matrix_order(ne.position, db));
        double lin = 0.0;
        for (size_t c = 0; c < p0; ++c) lin += ne.g[c] * db[c];
        for (size_t j = 0; j < heights; ++j) {
          double s = 0.0;
          for (const JacEntry& e : ne.cross[j]) s += e.value * db[e.col];
          q += ne.hhh[j] * dh[j] * dh[j] + 2.0 * dh[j] * s;
          lin += ne.gh[j] * dh[j];
        }
        const double predicted = -(0.5 * q + lin);
        const double rho = (cost - cost_t) / std::max(predicted, 1e-300);
        const double t = 2 * rho - 1;
        lambda = std::max(lambda * std::max(1.0 / 3.0, 1.0 - t * t * t), LAMBDA_MIN);
        double step2 = 0.0;
        for (double v : db) step2 += v * v;
        for (double v : dh) step2 += v * v;
        const double x_norm = norm(x);
        const double gain = cost - cost_t;
        const double cost_before = cost;
        std::swap(x, xt);
        r = std::move(rt);
        w = weights_of(r, tie_rows);
        cost = cost_t;
        if (std::sqrt(step2) < (x_norm + 1e-6) * 1e-6 || gain < 1e-5 * cost_before) return {x, evals};
        next_outer = true;
      } else {
        if (4 * lambda > LAMBDA_GIVE_UP) return {x, evals};
        lambda *= 4;
      }
    }
  }
  return {x, evals};
}

size_t deactivate_unusable_ties(const AdjustProblem& problem, std::span<const double> params,
                                std::span<uint8_t> mask) {
  const PoseState poses = camera_poses(problem, params);
  size_t dropped = 0;
  for (size_t t = 0; t < mask.size(); ++t) {
    if (mask[t] != 1) continue;
    const double h = poses.has_heights ? params[problem.first_height + t] : poses.ground;
    const GroundHit a =
        project_observation(problem, poses, problem.tie_photo_a[t], problem.obs_a[t].x, problem.obs_a[t].y, h, false);
    const GroundHit b =
        project_observation(problem, poses, problem.tie_photo_b[t], problem.obs_b[t].x, problem.obs_b[t].y, h, false);
    const double s = tie_sigma(problem, poses.positions, t, h).sigma;
    const bool usable = std::isfinite(a.east) && std::isfinite(a.north) && std::isfinite(b.east) &&
                        std::isfinite(b.north) && std::isfinite(s) && s > 0.0 && a.lambda > 0.0 && b.lambda > 0.0;
    if (!usable) {
      mask[t] = 0;
      ++dropped;
    }
  }
  return dropped;
}

RoundsResult robust_rounds(const AdjustProblem& problem, std::vector<double> params, std::vector<uint8_t> mask,
                           size_t max_evals, size_t rounds, std::string_view stage) {
  auto gaps_of = [](const std::vector<TieGap>& ties) {
    std::vector<double> g(ties.size());
    for (size_t k = 0; k < ties.size(); ++k) g[k] = std::hypot(ties[k].east_a - ties[k].east_b, ties[k].north_a - ties[k].north_b);
    return g;
  };
  auto rms = [](const std::vector<double>& g) {
    double s = 0.0;
    for (double v : g) s += v * v;
    return std::sqrt(s / static_cast<double>(std::max<size_t>(g.size(), 1)));
  };
  for (size_t k = 1; k <= rounds; ++k) {
    deactivate_unusable_ties(problem, params, mask);
    const std::vector<double> before = gaps_of(tie_residuals(problem, params, mask));
    LmResult lm = levenberg_marquardt(problem, params, mask, max_evals);
    params = std::move(lm.params);
    const std::vector<TieGap> after_ties = tie_residuals(problem, params, mask);
    const std::vector<double> after = gaps_of(after_ties);
    logf("  BA {} round {}: tie RMS {:.3} m -> {:.3} m (median {:.3} m, {} pts, {} evals)", stage, k, rms(before),
         rms(after), median(after), after.size(), lm.evals);
    std::vector<double> z(after.size());
    for (size_t i = 0; i < after.size(); ++i) z[i] = after[i] / after_ties[i].sigma;
    const double m = median(z);
    const double threshold = std::isnan(m) ? 5.0 : std::max(4.0 * m, 5.0);
    size_t dropped = 0;
    for (size_t t = 0, i = 0; t < mask.size(); ++t) {
      if (mask[t] != 1) continue;
      const double zi = z[i++];
      if (zi >= threshold || std::isnan(zi)) {
        mask[t] = 0;
        ++dropped;
      }
    }
    if (dropped == 0) break;
  }
  return {std::move(params), std::move(mask)};
}

}  // namespace tsl
