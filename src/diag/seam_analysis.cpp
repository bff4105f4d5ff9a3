#include "diag/seam_analysis.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "flow/fb_error.h"
#include "flow/optical_flow.h"
#include "img/ops/filter.h"
#include "img/ops/morph.h"
#include "linalg/stats.h"
#include "util/path.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {

namespace {

constexpr double MAX_CELLS = 25'000'000.0;
constexpr double MIN_CELL_M = 0.05;
constexpr size_t MIN_MEASURED = 500;
constexpr double MIN_OVERLAP = 0.15;

double round3(double x) { return std::round(x * 1000.0) / 1000.0; }

// NaN and infinities become null: a summary without values says so.
JsonValue finite_or_null(double x) { return std::isfinite(x) ? JsonValue(x) : JsonValue(nullptr); }

// Saturating, truncating conversion of a non-negative cell count.
uint64_t cells_of(double x) {
  if (!(x > 0.0)) return 0;
  if (x >= 1.8e19) return UINT64_MAX;
  return static_cast<uint64_t>(x);
}

size_t sample_threads(size_t budget, size_t items) { return std::min(std::max<size_t>(budget, 1), std::max<size_t>(items, 1)); }

}  // namespace

double report_number(const JsonValue& value, double d) {
  if (value.is_number()) return value.as_f64();
  if (value.is_bool()) return value.as_bool() ? 1.0 : 0.0;
  if (value.is_string()) {
    const auto parsed = parse_decimal(trim_unicode(value.as_string()));
    return parsed ? *parsed : d;
  }
  return d;
}

std::expected<AnalysisGrid, std::string> analysis_grid(const JsonValue& report, double origin_e, double origin_n) {
  const std::vector<double> origin = report.index("origin_utm").to_f64_vec();
  const std::vector<double> size = report.index("size_px").to_f64_vec();
  if (origin.size() < 2) return std::unexpected("report has no origin_utm [E, N] - cannot place the seam grid");
  if (size.size() < 2) return std::unexpected("report has no size_px [width, height] - cannot place the seam grid");
  const double gsd = report_number(report.index("gsd_m"), 0.05);
  AnalysisGrid g;
  g.left_e = origin[0] - origin_e;
  g.top_n = origin[1] - origin_n;
  const double w = size[0] * gsd, h = size[1] * gsd;
  g.cell = std::max(std::sqrt(w * h / MAX_CELLS), MIN_CELL_M);
  if (!std::isfinite(g.cell)) g.cell = MIN_CELL_M;
  // Cells finer than the output's pixels measure nothing the mosaic shows, at several times
  // the time and memory.
  if (std::isfinite(gsd) && gsd > g.cell) g.cell = gsd;
  g.nx = cells_of(w / g.cell);
  g.ny = cells_of(h / g.cell);
  return g;
}

std::vector<ShotPose> shot_poses(std::span<const ImageMeta> photos, const JsonValue& report, double origin_e,
                                 double origin_n) {
  std::vector<ShotPose> poses(photos.size());
  const JsonValue& shots = report.index("shots");
  if (!shots.is_array()) return poses;
  for (size_t p = 0; p < photos.size(); ++p) {
    const std::string name = file_name_string(photos[p].path.string());
    for (const JsonValue& shot : shots.as_array()) {
      if (!shot.is_object()) continue;
      const JsonValue& file = shot.index("file");
      if (!file.is_string() || file.as_string() != name) continue;
      ShotPose& pose = poses[p];
      pose.present = true;
      const JsonValue& rot = shot.index("R");
      for (size_t m = 0; m < 3; ++m) {
        const JsonValue& row = rot.is_array() && m < rot.size() ? rot.at(m) : json_null();
        for (size_t k = 0; k < 3; ++k)
          pose.rotation[3 * m + k] = report_number(row.is_array() && k < row.size() ? row.at(k) : json_null(), 0.0);
      }
      pose.e = report_number(shot.index("E"), 0.0) - origin_e;
      pose.n = report_number(shot.index("N"), 0.0) - origin_n;
      pose.h = report_number(shot.index("h"), 0.0);
      break;
    }
  }
  return poses;
}

std::string pair_kind(double heading_i, double heading_j, double de, double dn) {
  constexpr double pi = std::numbers::pi;
  double d = std::fmod(heading_i - heading_j + pi, 2.0 * pi);
  if (d < 0.0) d += 2.0 * pi;
  d = std::abs(d - pi);
  if (d > 2.6179938779914944) d = pi - d;
  const double across = std::abs(std::cos(heading_i) * de - std::sin(heading_i) * dn);
  return d < 0.3490658503988659 && across < 4.0 ? "same line" : "cross line";
}

std::optional<PairStats> pair_alignment_stats(const PairContext& context, size_t index) {
  const SeamPair& pair = context.pairs[index];
  const SeamSample& si = *context.samples[pair.i];
  const SeamSample& sj = *context.samples[pair.j];
  const size_t W = pair.x1 - pair.x0, H = pair.y1 - pair.y0, n = W * H;
  ImageF32 a(W, H, 1), b(W, H, 1);
  std::vector<uint8_t> mask(n, 0);
  std::vector<float> rad(n, 0.0f);
  size_t mask_cells = 0;
  for (size_t r = 0; r < H; ++r) {
    for (size_t c = 0; c < W; ++c) {
      const size_t k = r * W + c;
      const size_t ki = (pair.y0 + r - si.y0) * si.width + (pair.x0 + c - si.x0);
      const size_t kj = (pair.y0 + r - sj.y0) * sj.width + (pair.x0 + c - sj.x0);
      a.data[k] = si.grey[ki];
      b.data[k] = sj.grey[kj];
      mask[k] = si.valid[ki] && sj.valid[kj] ? 1 : 0;
      mask_cells += mask[k];
      rad[k] = std::max(si.radial[ki], sj.radial[kj]);
    }
  }
  const FlowField ab = optical_flow(a, b, context.flow);
  const FlowField ba = optical_flow(b, a, context.flow);
  const std::vector<float> fb = flow_fb_error(ab, ba, W, H);
  ImageF32 lap = laplacian(a, 3);
  for (float& x : lap.data) x = std::abs(x);
  const ImageF32 texture = box_blur(lap, 9);
  std::vector<uint8_t> keep(n, 0);
  for (size_t k = 0; k < n; ++k) keep[k] = mask[k] == 1 && texture.data[k] > 4.0f && fb[k] < 0.5f ? 1 : 0;
  const std::vector<uint8_t> measured = morph_mask(keep, W, H, 9, false);
  const size_t count = static_cast<size_t>(std::count(measured.begin(), measured.end(), uint8_t{1}));
  if (count < MIN_MEASURED) return std::nullopt;

  const double cm = context.cell * 100.0;
  std::vector<float> err(n);
  for (size_t k = 0; k < n; ++k) err[k] = static_cast<float>(std::hypot(ab.u[k], ab.v[k]) * cm);
  std::vector<double> all, centre, edge, dx, dy;
  for (size_t k = 0; k < n; ++k) {
    if (!measured[k]) continue;
    all.push_back(err[k]);
    if (rad[k] <= 0.7f) centre.push_back(err[k]);
    else if (rad[k] > 0.7f) edge.push_back(err[k]);
    dx.push_back(ab.u[k] * cm);
    dy.push_back(ab.v[k] * cm);
  }
  PairStats stats;
  stats.object = JsonValue::empty_object();
  JsonValue& o = stats.object;
  o.set_string("a", file_name_string(context.photos[pair.i].path.string()));
  o.set_string("b", file_name_string(context.photos[pair.j].path.string()));
  o.set_string("kind", pair.kind);
  o.set_f64("overlap", round3(pair.overlap));
  o.set_f64("valid_frac", round3(static_cast<double>(count) / static_cast<double>(std::max<size_t>(mask_cells, 1))));
  o.set_f64("median_cm", median(all));
  o.set_f64("p90_cm", percentile(all, 90.0));
  o.set("centre_cm", centre.empty() ? JsonValue(nullptr) : JsonValue(median(centre)));
  o.set("edge_cm", edge.empty() ? JsonValue(nullptr) : JsonValue(median(edge)));
  o.set_f64("flow_dx_cm", median(dx));
  o.set_f64("flow_dy_cm", median(dy));
  stats.x0 = pair.x0, stats.x1 = pair.x1, stats.y0 = pair.y0, stats.y1 = pair.y1;
  stats.errors.assign(n, -1.0f);
  for (size_t k = 0; k < n; ++k)
    if (measured[k]) stats.errors[k] = err[k];
  return stats;
}

double median_cm_of_kind(const JsonArray& pairs, std::string_view kind) {
  std::vector<double> values;
  for (const JsonValue& p : pairs) {
    const JsonValue& k = p.index("kind");
    if (!k.is_string() || k.as_string() != kind) continue;
    const JsonValue& m = p.index("median_cm");
    values.push_back(m.is_number() ? m.as_f64() : std::nan(""));
  }
  return median(values);
}

std::array<uint8_t, 3> heat_colour(float t) {
  static constexpr double C[3][6] = {
      {0.13572138, 4.6153926, -42.66032258, 132.13108234, -152.94239396, 59.28637943},
      {0.09140261, 2.19418839, 4.84296658, -14.18503333, 4.27729857, 2.82956604},
      {0.1066733, 12.64194608, -60.58204836, 110.36276771, -89.90310912, 27.34824973},
  };
  const double x = t;
  std::array<uint8_t, 3> q{};
  for (int ch = 0; ch < 3; ++ch) {
    const double* c = C[ch];
    const double p = std::clamp(c[0] + x * (c[1] + x * (c[2] + x * (c[3] + x * (c[4] + x * c[5])))), 0.0, 1.0);
    q[ch] = static_cast<uint8_t>(std::clamp(p * 255.0, 0.0, 255.0));
  }
  return q;
}

std::filesystem::path report_named_file(std::string_view stored, const std::filesystem::path& report_dir) {
  std::filesystem::path path{std::string(stored)};
  if (path.is_relative() && !report_dir.empty()) return report_dir / path.filename();
  return path;
}

std::expected<SeamAnalysis, std::string> analyse_seams(std::span<const ImageMeta> photos, const JsonValue& report,
                                                       double origin_e, double origin_n, uint64_t workers,
                                                       const FlowOptions& flow,
                                                       const std::filesystem::path& report_dir) {
  Surface surface = Surface::plane(report_number(report.index("ground_z"), 0.0));
  if (const JsonValue& file = report.index("surface_file"); file.is_string()) {
    const std::filesystem::path path = report_named_file(file.as_string(), report_dir);
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec))
      if (auto loaded = load_surface(path.string(), origin_e, origin_n)) surface = std::move(*loaded);
  }
  auto grid = analysis_grid(report, origin_e, origin_n);
  if (!grid) return std::unexpected(grid.error());
  const AnalysisGrid& g = *grid;
  const std::vector<ShotPose> poses = shot_poses(photos, report, origin_e, origin_n);

  const SamplingContext sampling{poses, photos, &surface, g};
  const size_t sample_budget = std::min<size_t>(sample_threads(workers, photos.size()), 4);
  const std::vector<std::optional<SeamSample>> samples =
      par_map(photos.size(), sample_budget, [&](size_t i) { return diag_sample_image(sampling, i); });

  std::vector<double> heading(photos.size(), 0.0);
  std::vector<size_t> valid_count(photos.size(), 0);
  for (size_t p = 0; p < photos.size(); ++p) {
    if (poses[p].present) heading[p] = std::atan2(-poses[p].rotation[3], -poses[p].rotation[4]);
    if (samples[p]) valid_count[p] = static_cast<size_t>(std::count(samples[p]->valid.begin(), samples[p]->valid.end(), uint8_t{1}));
  }

  std::vector<SeamPair> pairs;
  for (size_t i = 0; i < photos.size(); ++i) {
    if (!samples[i]) continue;
    const SeamSample& a = *samples[i];
    for (size_t j = i + 1; j < photos.size(); ++j) {
      if (!samples[j]) continue;
      const SeamSample& b = *samples[j];
      SeamPair pair;
      pair.x0 = std::max(a.x0, b.x0);
      pair.x1 = std::min(a.x0 + a.width, b.x0 + b.width);
      pair.y0 = std::max(a.y0, b.y0);
      pair.y1 = std::min(a.y0 + a.height, b.y0 + b.height);
      if (!(pair.x0 + 16 < pair.x1 && pair.y0 + 16 < pair.y1)) continue;
      size_t common = 0;
      for (uint64_t y = pair.y0; y < pair.y1; ++y)
        for (uint64_t x = pair.x0; x < pair.x1; ++x)
          common += a.valid[(y - a.y0) * a.width + (x - a.x0)] & b.valid[(y - b.y0) * b.width + (x - b.x0)];
      pair.overlap = static_cast<double>(common) /
                     static_cast<double>(std::max<size_t>(std::min(valid_count[i], valid_count[j]), 1));
      if (pair.overlap < MIN_OVERLAP) continue;
      pair.kind = pair_kind(heading[i], heading[j], poses[j].e - poses[i].e, poses[j].n - poses[i].n);
      pair.i = i;
      pair.j = j;
      pairs.push_back(std::move(pair));
    }
  }

  const PairContext pair_context{pairs, samples, photos, g.cell, flow};
  std::vector<std::optional<PairStats>> stats = par_map(pairs.size(), sample_threads(workers, pairs.size()),
                                                        [&](size_t k) { return pair_alignment_stats(pair_context, k); });

  const size_t cells = static_cast<size_t>(g.nx) * static_cast<size_t>(g.ny);
  std::vector<float> sum(cells, 0.0f), hits(cells, 0.0f);
  JsonArray pair_objects;
  for (auto& s : stats) {
    if (!s) continue;
    const size_t W = s->x1 - s->x0;
    for (size_t k = 0; k < s->errors.size(); ++k) {
      const float e = s->errors[k];
      if (!(e >= 0.0f)) continue;
      const size_t cell = (s->y0 + k / W) * g.nx + (s->x0 + k % W);
      sum[cell] += e;
      hits[cell] += 1.0f;
    }
    pair_objects.push_back(std::move(s->object));
  }

  SeamAnalysis out;
  out.heat_map = ImageU8(g.nx, g.ny, 3);
  std::vector<uint8_t> grey(cells, 0);
  for (const auto& s : samples) {
    if (!s) continue;
    for (size_t r = 0; r < s->height; ++r)
      for (size_t c = 0; c < s->width; ++c) {
        const size_t k = r * s->width + c;
        if (s->valid[k]) grey[(s->y0 + r) * g.nx + s->x0 + c] = static_cast<uint8_t>(std::clamp(s->grey[k], 0.0f, 255.0f));
      }
  }
  for (size_t cell = 0; cell < cells; ++cell) {
    uint8_t* px = out.heat_map.data.data() + 3 * cell;
    const float gv = grey[cell];
    if (hits[cell] > 0.0f) {
      const float t = std::clamp(sum[cell] / hits[cell] / 30.0f, 0.0f, 1.0f);
      const auto q = heat_colour(t);
      for (int ch = 0; ch < 3; ++ch)
        px[ch] = static_cast<uint8_t>(std::clamp(static_cast<float>(q[ch]) * 0.55f + gv * 0.45f, 0.0f, 255.0f));
    } else {
      for (int ch = 0; ch < 3; ++ch) px[ch] = static_cast<uint8_t>(std::clamp(gv / 3.0f, 0.0f, 255.0f));
    }
  }

  JsonValue summary = JsonValue::empty_object();
  summary.set_u64("pairs", pair_objects.size());
  summary.set_f64("grid_cm", g.cell * 100.0);
  std::vector<double> medians, edges;
  for (const JsonValue& p : pair_objects) {
    medians.push_back(report_number(p.index("median_cm"), std::nan("")));
    const JsonValue& e = p.index("edge_cm");
    edges.push_back(e.is_number() ? e.as_f64() : std::nan(""));
  }
  summary.set("median_cm", finite_or_null(median(medians)));
  summary.set("sequence_median_cm", finite_or_null(median_cm_of_kind(pair_objects, "same line")));
  summary.set("side_median_cm", finite_or_null(median_cm_of_kind(pair_objects, "cross line")));
  summary.set("edge_median_cm", finite_or_null(median(edges)));
  out.seams = JsonValue::empty_object();
  out.seams.set("summary", std::move(summary));
  out.seams.set("pairs", JsonValue(std::move(pair_objects)));
  return out;
}

}  // namespace tsl
