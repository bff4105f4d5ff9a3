#include "server/scan.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <numeric>
#include <utility>

#include "config/config.h"
#include "config/parse_args.h"
#include "config/settings_argv.h"
#include "diag/diagnostics.h"
#include "geo/camera.h"
#include "geo/footprint.h"
#include "linalg/stats.h"
#include "logx.h"
#include "util/path.h"
#include "util/text.h"

namespace tsl {
namespace {

// Consecutive shots overlapping less than this are a turn or a gap, not the same leg.
constexpr double FORWARD_MIN_RATIO = 0.2;
// Side neighbours are looked for among this many nearest centres (the photo included) and
// must be at least this many shots apart in capture order; the best of the first few counts.
constexpr size_t SIDE_NEAREST = 11;
constexpr size_t SIDE_MIN_SEQ_GAP = 3;
constexpr size_t SIDE_CANDIDATES = 4;
constexpr double AREA_FLOOR_M2 = 1e-9;

// Restores the calling thread's log context however the stage ends.
class CaptureGuard {
 public:
  explicit CaptureGuard(std::shared_ptr<CaptureList> list) : saved_(log_context()) { set_log_capture(std::move(list)); }
  ~CaptureGuard() { set_log_context(saved_); }
  CaptureGuard(const CaptureGuard&) = delete;
  CaptureGuard& operator=(const CaptureGuard&) = delete;

 private:
  LogContext saved_;
};

double overlap_ratio(const Polygon& hull_a, const Polygon& hull_b, double area_a, double area_b) {
  double m = std::numeric_limits<double>::quiet_NaN();
  if (!std::isnan(area_a)) m = area_a;
  if (!std::isnan(area_b)) m = std::isnan(m) ? area_b : std::min(m, area_b);
  return intersection_area(hull_a, hull_b) / (std::isnan(m) ? AREA_FLOOR_M2 : std::max(m, AREA_FLOOR_M2));
}

Vec2 mean_point(const Polygon& points) {
  Vec2 c;
  for (const Vec2& p : points) {
    c.x += p.x;
    c.y += p.y;
  }
  const double n = static_cast<double>(std::max<size_t>(points.size(), 1));
  return {c.x / n, c.y / n};
}

JsonValue finite_or_null(double x) { return std::isfinite(x) ? JsonValue(x) : JsonValue(); }

double round_cm(double x) { return std::round(x * 100.0) / 100.0; }

}  // namespace

ScanGeometry scan_geometry(const ImageSet& set) {
  const size_t n = set.images.size();
  ScanGeometry g;
  const GroundHeights ground{.start_m = 0.0, .height_at = nullptr};  // the take-off plane
  std::vector<Polygon> hulls(n);
  std::vector<Vec2> centres(n);
  g.footprints.resize(n);
  g.areas.resize(n);
  g.gsds.resize(n);
  for (size_t i = 0; i < n; ++i) {
    g.footprints[i] = footprint(*set.images[i].lens, set.rotations[i], set.positions[i], ground, SCAN_FOOTPRINT_SAMPLES);
    hulls[i] = convex_hull(g.footprints[i]);
    g.areas[i] = polygon_area(hulls[i]);
    centres[i] = mean_point(g.footprints[i]);
    g.gsds[i] = set.positions[i][2] / set.images[i].lens->fx;
  }

  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return capture_order_cmp(set.images[a], set.images[b]); });
  g.seq.resize(n);
  for (size_t k = 0; k < n; ++k) g.seq[order[k]] = k;

  for (size_t k = 0; k + 1 < n; ++k) {
    const size_t a = order[k], b = order[k + 1];
    const double r = overlap_ratio(hulls[a], hulls[b], g.areas[a], g.areas[b]);
    if (r > FORWARD_MIN_RATIO) g.forward.push_back(r);
  }

  // A ray parallel to the ground puts a centre at infinity or NaN: such distances sort last,
  // so the ordering stays strict and the scan goes on.
  std::vector<std::pair<double, size_t>> near(n);
  for (size_t v = 0; v < n; ++v) {
    for (size_t i = 0; i < n; ++i) {
      const double d = std::hypot(centres[v].x - centres[i].x, centres[v].y - centres[i].y);
      near[i] = {std::isnan(d) ? std::numeric_limits<double>::infinity() : d, i};
    }
    const size_t look = std::min(SIDE_NEAREST, n);
    std::partial_sort(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(look), near.end());
    std::vector<size_t> kept;
    for (size_t k = 1; k < look; ++k) {
      const size_t i = near[k].second;
      const size_t gap = g.seq[i] > g.seq[v] ? g.seq[i] - g.seq[v] : g.seq[v] - g.seq[i];
      if (gap >= SIDE_MIN_SEQ_GAP) kept.push_back(i);
    }
    if (kept.empty()) continue;
    double best = -std::numeric_limits<double>::infinity();
    for (size_t k = 0; k < std::min(SIDE_CANDIDATES, kept.size()); ++k) {
      const double r = overlap_ratio(hulls[v], hulls[kept[k]], g.areas[v], g.areas[kept[k]]);
      if (!std::isnan(r)) best = std::max(best, r);
    }
    g.side.push_back(best);
  }

  std::vector<Vec2> all;
  all.reserve(n * 4 * SCAN_FOOTPRINT_SAMPLES);
  for (const Polygon& f : g.footprints) all.insert(all.end(), f.begin(), f.end());
  g.area_m2 = polygon_area(convex_hull(all));
  g.gsd = median(g.gsds);
  return g;
}

JsonValue scan_reply(const ImageSet& set, const ScanGeometry& geometry, std::vector<std::string> log) {
  JsonValue out = JsonValue::empty_object();
  out.set_strings("log", std::move(log));
  out.set_f64s("origin", {set.origin_e, set.origin_n});
  out.set_i32("zone", set.zone);
  out.set_bool("south", set.south);
  out.set_i32("epsg", (set.south ? 32700 : 32600) + set.zone);

  JsonValue skipped = JsonValue::empty_array();
  for (const auto& [file, reason] : set.skipped) skipped.push(JsonValue::from_strings({file, reason}));
  out.set("skipped", std::move(skipped));

  JsonValue camera = JsonValue::empty_object();
  if (!set.images.empty()) {
    const ImageMeta& first = set.images.front();
    camera.set_string("make", first.make);
    camera.set_string("model", first.model);
    camera.set_u64("W", first.width);
    camera.set_u64("H", first.height);
    camera.set_f64("fx", first.lens ? first.lens->fx : std::numeric_limits<double>::quiet_NaN());
    camera.set_str("lens", lens_kind_name(first.lens ? first.lens->kind : LensKind::None));
    camera.set_string("vignette", set.vignette);
    camera.set_bool("processed", first.processed);
    camera.set_u64("raw", set.dng_count);
  }
  out.set("camera", std::move(camera));

  std::vector<double> heights;
  for (const Vec3& p : set.positions) heights.push_back(p[2]);
  const double g = geometry.gsd;
  JsonValue stats = JsonValue::empty_object();
  stats.set_u64("n", set.images.size());
  stats.set_f64("gsd_cm", 100.0 * g);
  stats.set_f64("alt", median(heights));
  stats.set("forward", geometry.forward.empty() ? JsonValue() : JsonValue(median(geometry.forward)));
  stats.set("side", geometry.side.empty() ? JsonValue() : JsonValue(median(geometry.side)));
  stats.set_f64("area_m2", geometry.area_m2);
  stats.set_f64("est_mpix", geometry.area_m2 / (g * g) / 1e6);
  out.set("stats", std::move(stats));

  JsonValue shots = JsonValue::empty_array();
  for (size_t i = 0; i < set.images.size(); ++i) {
    const ImageMeta& m = set.images[i];
    const Vec3& p = set.positions[i];
    JsonValue s = JsonValue::empty_object();
    s.set_u64("i", i);
    s.set_string("name", file_name_string(m.path.native()));
    s.set_string("path", sanitize_utf8(m.path.string()));
    s.set_f64("E", p[0]);
    s.set_f64("N", p[1]);
    s.set_f64("alt", p[2]);
    s.set("lat", finite_or_null(m.lat));
    s.set("lon", finite_or_null(m.lon));
    s.set("yaw", finite_or_null(m.gimbal_yaw));
    s.set("pitch", finite_or_null(m.gimbal_pitch));
    s.set("roll", finite_or_null(m.gimbal_roll));
    s.set_string("time", m.time);
    s.set("exposure", finite_or_null(m.exposure));
    s.set_bool("raw", m.is_dng);
    s.set_bool("processed", m.processed);
    s.set("meta", m.meta_from.empty() ? JsonValue() : JsonValue(m.meta_from));
    s.set_u64("seq", geometry.seq[i]);
    JsonValue fp = JsonValue::empty_array();
    for (const Vec2& v : geometry.footprints[i]) fp.push(JsonValue::from_f64s({round_cm(v.x), round_cm(v.y)}));
    s.set("fp", std::move(fp));
    shots.push(std::move(s));
  }
  out.set("shots", std::move(shots));
  return out;
}

std::expected<JsonValue, std::string> api_scan(const JsonValue& body) {
  const std::vector<std::string> argv = settings_to_argv(body);
  auto options = parse_args(argv);
  if (!options) return std::unexpected(options.error());
  const Config config = Config::from_options(*options);
  auto lines = std::make_shared<CaptureList>();
  std::expected<ImageSet, std::string> set;
  {
    CaptureGuard guard(lines);
    set = collect_images(config);
  }
  if (!set) return std::unexpected(set.error());
  std::vector<std::string> log;
  {
    std::lock_guard lock(lines->mutex);
    log = lines->lines;
  }
  const ScanGeometry geometry = scan_geometry(*set);
  return scan_reply(*set, geometry, std::move(log));
}

}  // namespace tsl
