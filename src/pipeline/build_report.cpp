#include "pipeline/build_report.h"

#include <cmath>

#include "config/usage.h"
#include "pipeline/output_files.h"
#include "util/error.h"

namespace tsl {
namespace {

// Internal members ("_...") and the per-photo corrections, which the shots carry, stay out.
JsonValue filtered_adjustment(const JsonValue* stats) {
  JsonValue out = JsonValue::empty_object();
  if (stats == nullptr || !stats->is_object()) return out;
  for (const JsonMember& m : stats->as_object()) {
    if (m.first == "pos_corr_m" || m.first == "rot_corr_deg" || m.first.starts_with("_")) continue;
    out.as_object().push_back(m);
  }
  return out;
}

const CameraModel& lens_of(const ImageMeta& meta) {
  if (!meta.lens) internal_error(format("report: {} has no camera model", meta.path.string()));
  return *meta.lens;
}

JsonValue lens_json(const CameraModel& m) {
  JsonValue o = JsonValue::empty_object();
  o.set_u64("W", m.width);
  o.set_u64("H", m.height);
  o.set_f64("fx", m.fx);
  o.set_f64("fy", m.fy);
  o.set_f64("cx", m.cx);
  o.set_f64("cy", m.cy);
  o.set_str("kind", lens_kind_name(m.kind));
  o.set_f64s("k", m.coeffs);
  o.set_f64s("selfcal", m.selfcal);
  return o;
}

JsonValue shot_json(const ReportInputs& in, size_t k) {
  const ImageMeta& meta = in.images->images[k];
  JsonValue o = JsonValue::empty_object();
  o.set_string("file", file_name_string(meta.path.native()));
  o.set_string("path", meta.path.string());
  o.set_f64("E", in.images->origin_e + in.positions[k][0]);
  o.set_f64("N", in.images->origin_n + in.positions[k][1]);
  o.set_f64("h", in.positions[k][2]);
  JsonArray rows;
  for (size_t r = 0; r < 3; ++r) {
    JsonArray row;
    for (size_t c = 0; c < 3; ++c) row.emplace_back(round_to(in.rotations[k][3 * r + c], 9));
    rows.emplace_back(std::move(row));
  }
  o.set("R", JsonValue(std::move(rows)));
  o.set_f64s("gain", {round_to(in.gains[k][0], 4), round_to(in.gains[k][1], 4), round_to(in.gains[k][2], 4)});
  o.set_f64("pos_corr", in.pos_corr.empty() ? 0.0 : in.pos_corr[k]);
  o.set_f64("rot_corr", in.rot_corr.empty() ? 0.0 : in.rot_corr[k]);
  o.set_string("time", meta.time);
  return o;
}

std::optional<std::string> path_text(const std::optional<std::filesystem::path>& p) {
  if (!p) return std::nullopt;
  return p->string();
}

void check_inputs(const ReportInputs& in) {
  if (in.images == nullptr || in.config == nullptr || in.surface == nullptr)
    internal_error("report: image set, config and surface are required");
  const size_t n = in.images->images.size();
  const bool corr_ok = (in.pos_corr.empty() || in.pos_corr.size() >= n) && (in.rot_corr.empty() || in.rot_corr.size() >= n);
  if (in.rotations.size() < n || in.positions.size() < n || in.gains.size() < n || !corr_ok || n == 0)
    internal_error(format("report: {} photos but fewer poses, gains or corrections", n));
}

}  // namespace

double round_to(double value, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(value * scale) / scale;
}

void round_as_reported(std::span<Mat3> rotations, std::span<Vec3> positions, std::span<Gain> gains, double origin_e,
                       double origin_n) {
  for (Mat3& r : rotations)
    for (double& v : r) v = round_to(v, 9);
  for (Gain& g : gains)
    for (double& v : g) v = round_to(v, 4);
  for (Vec3& p : positions) {
    p[0] = (origin_e + p[0]) - origin_e;
    p[1] = (origin_n + p[1]) - origin_n;
  }
}

JsonValue make_report(const ReportInputs& in) {
  check_inputs(in);
  const ImageSet& set = *in.images;
  const Config& config = *in.config;

  JsonValue adjustment = filtered_adjustment(in.adjustment);
  JsonValue selfcal = JsonValue::empty_object();
  for (const ImageMeta& meta : set.images) selfcal.set_f64s(camera_key(meta), lens_of(meta).selfcal);
  JsonValue lens = lens_json(lens_of(set.images.front()));
  JsonArray shots;
  for (size_t k = 0; k < set.images.size(); ++k) shots.push_back(shot_json(in, k));
  JsonArray skipped;
  for (const auto& [file, reason] : set.skipped) skipped.push_back(JsonValue::from_strings({file, reason}));

  JsonValue finish = JsonValue::empty_object();
  finish.set_f64("ev", config.ev);
  finish.set_f64s("wb", {config.wb[0], config.wb[1], config.wb[2]});
  finish.set_f64("saturation", config.saturation);
  finish.set_f64("contrast", config.contrast);

  JsonValue r = JsonValue::empty_object();
  r.set_str("version", PROGRAM_VERSION);
  r.set_u64("images", set.images.size());
  r.set_string("output", in.output.string());
  r.set_i32("epsg", (set.south ? 32700 : 32600) + set.zone);
  r.set_i32("zone", set.zone);
  r.set_bool("south", set.south);
  r.set_f64("gsd_m", in.gsd_m);
  r.set_f64s("size_px", {static_cast<double>(in.width), static_cast<double>(in.height)});
  r.set_f64s("origin_utm", {set.origin_e + in.left_e, set.origin_n + in.top_n});
  r.set("lens", std::move(lens));
  r.set("selfcal", std::move(selfcal));
  r.set_f64("ground_z", in.ground_z);
  r.set("adjustment", std::move(adjustment));
  r.set("finish", std::move(finish));
  r.set("tie_pairs", in.tie_pairs != nullptr ? *in.tie_pairs : JsonValue::empty_array());
  r.set("skipped", JsonValue(std::move(skipped)));
  r.set("surface", in.surface->to_json());
  r.set_opt_string("surface_file", path_text(in.surface_file));
  r.set_opt_string("seam_file", path_text(in.seam_file));
  r.set_opt_string("preview", path_text(in.preview));
  r.set("shots", JsonValue(std::move(shots)));
  r.set_f64("seconds", round_to(in.seconds, 1));
  r.set("config", config.options);
  JsonValue timings = JsonValue::empty_object();
  for (const StageTime& t : in.timings) timings.set_f64(t.name, t.seconds);
  r.set("timings", std::move(timings));
  r.set_u64("workers", config.workers);
  return r;
}

}  // namespace tsl
