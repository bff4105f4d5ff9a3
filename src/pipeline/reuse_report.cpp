#include "pipeline/reuse_report.h"

#include <cmath>
#include <cstdint>
#include <optional>

#include "logx.h"
#include "pipeline/output_files.h"
#include "util/files.h"
#include "util/json.h"
#include "util/text.h"

namespace tsl {

namespace fs = std::filesystem;

namespace {

// A hand-edited or rounded rotation is still accepted; a matrix of zeros or a scaled one is not.
constexpr double ROTATION_TOLERANCE = 1e-3;
// A reused position or terrain node this far from the current flight's origin belongs to no
// flight of this image set: a report's numbers past it are damaged, not solved.
constexpr double MAX_OFFSET_M = 100000.0;

bool has_member(const JsonValue& object, std::string_view key) {
  if (!object.is_object()) return false;
  for (const JsonMember& m : object.as_object())
    if (m.first == key) return true;
  return false;
}

// Toward zero, saturating at the 32-bit range; NaN gives 0.
int32_t to_i32(double x) {
  if (std::isnan(x)) return 0;
  if (x >= 2147483647.0) return INT32_MAX;
  if (x <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(x);
}

// The first shot named `name` that has a rotation, or nothing.
const JsonValue* find_shot(const JsonValue& shots, const std::string& name) {
  if (!shots.is_array()) return nullptr;
  for (const JsonValue& s : shots.as_array()) {
    if (!s.is_object()) continue;
    const JsonValue& file = s["file"];
    if (file.is_string() && file.as_string() == name && has_member(s, "R")) return &s;
  }
  return nullptr;
}

bool is_rotation(const Mat3& r) {
  for (double v : r)
    if (!std::isfinite(v)) return false;
  for (size_t i = 0; i < 3; ++i)
    for (size_t j = 0; j < 3; ++j) {
      const double dot = r[3 * i] * r[3 * j] + r[3 * i + 1] * r[3 * j + 1] + r[3 * i + 2] * r[3 * j + 2];
      if (std::abs(dot - (i == j ? 1.0 : 0.0)) > ROTATION_TOLERANCE) return false;
    }
  const double det = r[0] * (r[4] * r[8] - r[5] * r[7]) - r[1] * (r[3] * r[8] - r[5] * r[6]) +
                     r[2] * (r[3] * r[7] - r[4] * r[6]);
  return det > 0.0;
}

// The shot's rotation and position in the current frame, or nothing when either is missing
// or unusable: zeros in their place would render the photo nowhere or stretch the mosaic to
// the origin.
std::optional<std::pair<Mat3, Vec3>> shot_pose(const JsonValue& shot, double origin_e, double origin_n) {
  Mat3 r{};
  const JsonValue& rows = shot["R"];
  for (size_t i = 0; i < 3; ++i)
    for (size_t j = 0; j < 3; ++j) {
      std::optional<double> v = json_number(rows.at(i).at(j));
      if (!v) return std::nullopt;
      r[3 * i + j] = *v;
    }
  if (!is_rotation(r)) return std::nullopt;
  std::optional<double> e = json_number(shot["E"]), n = json_number(shot["N"]), h = json_number(shot["h"]);
  if (!e || !n || !h) return std::nullopt;
  const Vec3 p = {*e - origin_e, *n - origin_n, *h};
  if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) return std::nullopt;
  return std::pair{r, p};
}

std::optional<Gain> shot_gain(const JsonValue& shot) {
  const std::vector<double> g = shot["gain"].to_f64_vec();
  if (g.size() != 3) return std::nullopt;
  for (double v : g)
    if (!std::isfinite(v) || !(v > 0.0)) return std::nullopt;
  return Gain{g[0], g[1], g[2]};
}

bool usable_selfcal(const std::vector<double>& terms) {
  if (terms.size() != 0 && terms.size() != 2 && terms.size() != 6) return false;
  for (double t : terms)
    if (!std::isfinite(t)) return false;
  return true;
}

void apply_selfcal(const JsonValue& selfcal, ImageSet& set) {
  if (!selfcal.is_object()) return;
  for (const JsonMember& m : selfcal.as_object()) {
    const std::vector<double> terms = m.second.to_f64_vec();
    if (!usable_selfcal(terms)) {
      logf("  warning: self-calibration of {} in the report ignored ({} terms, or not all numbers)", m.first,
           terms.size());
      continue;
    }
    for (ImageMeta& meta : set.images)
      if (meta.lens && camera_key(meta) == m.first) meta.lens->selfcal = terms;
  }
}

// What makes a loaded terrain model unusable for this flight, or nothing.
std::optional<std::string> terrain_problem(const Surface& s) {
  if (!s.z) return std::nullopt;
  const double east_extent = s.cell * static_cast<double>(s.nx - 1);
  const double north_extent = s.cell * static_cast<double>(s.ny - 1);
  if (!(std::fabs(s.e0) <= MAX_OFFSET_M && std::fabs(s.n0) <= MAX_OFFSET_M && east_extent <= 2 * MAX_OFFSET_M &&
        north_extent <= 2 * MAX_OFFSET_M))
    return std::string("grid lies far from this flight");
  for (float z : *s.z)
    if (std::fabs(z) > MAX_REL_ALT_M) return format("height beyond {} m", MAX_REL_ALT_M);
  return std::nullopt;
}

bool names_existing_file(const JsonValue& value) {
  if (!value.is_string()) return false;
  std::error_code ec;
  const fs::file_status st = fs::status(value.as_string(), ec);
  return !ec && fs::exists(st) && !fs::is_directory(st);
}

}  // namespace

std::expected<ReusedSolution, std::string> load_reuse_report(const fs::path& path, bool dsm_wanted, ImageSet& set) {
  auto text = read_text_file(path, DOCUMENT_FILE_LIMIT);
  if (!text) return std::unexpected(format("cannot read {}: {}", path.string(), text.error()));
  auto doc = json_parse(*text);
  if (!doc) return std::unexpected(format("bad report {}: {}", path.string(), doc.error()));
  const JsonValue& report = *doc;

  const int32_t want_epsg = (set.south ? 32700 : 32600) + set.zone;
  const std::optional<double> epsg = json_number(report["epsg"]);
  if (!epsg || to_i32(*epsg) != want_epsg) return std::unexpected("--reuse report is from a different UTM zone");

  ReusedSolution out;
  out.rotations = set.rotations;
  out.positions = set.positions;
  out.gains.assign(set.images.size(), Gain{1.0, 1.0, 1.0});
  size_t matched = 0;
  for (size_t k = 0; k < set.images.size(); ++k) {
    const std::string name = file_name_string(set.images[k].path.native());
    const JsonValue* shot = find_shot(report["shots"], name);
    if (shot == nullptr) continue;
    auto pose = shot_pose(*shot, set.origin_e, set.origin_n);
    if (!pose) {
      logf("  warning: {} in the report has no usable pose - metadata pose used", name);
      continue;
    }
    const Vec3& p = pose->second;
    if (std::fabs(p[0]) > MAX_OFFSET_M || std::fabs(p[1]) > MAX_OFFSET_M || std::fabs(p[2]) > MAX_REL_ALT_M)
      return std::unexpected(format("bad report {}: position of {} out of range (E {:?}, N {:?}, h {:?})", path.string(),
                                    name, p[0] + set.origin_e, p[1] + set.origin_n, p[2]));
    out.rotations[k] = pose->first;
    out.positions[k] = pose->second;
    if (auto g = shot_gain(*shot)) out.gains[k] = *g;
    ++matched;
  }
  apply_selfcal(report["selfcal"], set);
  logf("[2-5/6] reusing solved poses + gains from {} ({}/{} images)", file_name_string(path.native()), matched,
       set.images.size());

  // A NaN height would put the plane nowhere; such a report falls back to the take-off height.
  out.ground_z = json_number_or_zero(report["ground_z"]);
  if (!std::isfinite(out.ground_z)) out.ground_z = 0.0;
  if (std::fabs(out.ground_z) > MAX_REL_ALT_M)
    return std::unexpected(format("bad report {}: ground_z {:?} out of range", path.string(), out.ground_z));
  const JsonValue& surface_file = report["surface_file"];
  if (dsm_wanted && names_existing_file(surface_file)) {
    auto surface = load_surface(surface_file.as_string(), set.origin_e, set.origin_n);
    if (surface) {
      if (auto problem = terrain_problem(*surface)) surface = std::unexpected(*problem);
    }
    if (!surface) return std::unexpected(format("cannot read terrain {}: {}", surface_file.as_string(), surface.error()));
    logf("  reusing DSM {}", file_name_string(surface_file.as_string()));
    out.surface = std::move(*surface);
  } else {
    out.surface = Surface::plane(out.ground_z);
  }
  out.adjustment = report["adjustment"];
  out.tie_pairs = report["tie_pairs"];
  return out;
}

}  // namespace tsl
