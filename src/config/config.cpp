#include "config/config.h"

#include <algorithm>
#include <cmath>

#include "config/options.h"
#include "util/text.h"

namespace tsl {

namespace {

// Reads members of a map m with the default map d as the fallback.
struct OptionReader {
  const JsonValue& m;
  JsonValue d = default_option_map();

  // m's member when m is an Object holding the key (even Null), else d's, else Null.
  const JsonValue& value(std::string_view key) const {
    if (m.is_object())
      for (const auto& [k, v] : m.as_object())
        if (k == key) return v;
    return d.index(key);
  }

  std::string text(std::string_view key) const {
    const JsonValue& v = value(key);
    if (v.is_string()) return v.as_string();
    const JsonValue& fallback = d.index(key);
    return fallback.is_string() ? fallback.as_string() : std::string();
  }

  std::vector<std::string> texts(std::string_view key) const {
    std::vector<std::string> out;
    const JsonValue& v = value(key);
    if (v.is_array())
      for (const JsonValue& e : v.as_array())
        if (e.is_string()) out.push_back(e.as_string());
    return out;
  }

  bool truthy(std::string_view key) const { return option_truthy(value(key)); }

  double number(std::string_view key) const {
    if (auto x = json_number(value(key))) return *x;
    return json_number(d.index(key)).value_or(0.0);
  }

  std::optional<double> optional_number(std::string_view key) const { return json_number(value(key)); }

  uint64_t count(std::string_view key, uint64_t at_least = 0) const {
    return std::max(count_of(number(key)), at_least);
  }

  std::optional<std::string> non_empty_text(std::string_view key) const {
    const JsonValue& v = value(key);
    if (v.is_string() && !v.as_string().empty()) return v.as_string();
    return std::nullopt;
  }

  // 0 for NaN and anything not above 0, the integer part below 2^64, else the largest count.
  static uint64_t count_of(double c) {
    if (!(c > 0.0)) return 0;
    if (c >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(c);
  }
};

std::optional<double> positive(std::optional<double> x) {
  if (x && *x > 0.0) return x;
  return std::nullopt;
}

}  // namespace

Config Config::from_options(const JsonValue& map) {
  const OptionReader r{map};
  Config c;
  const JsonValue& selfcal = r.value("selfcal");
  c.selfcal = selfcal.is_bool() ? (selfcal.as_bool() ? "on" : "off") : r.text("selfcal");
  c.selfcal_on = c.selfcal == "on" || c.selfcal == "true" || c.selfcal == "True";
  if (std::vector<double> b = r.value("bounds").to_f64_vec(); b.size() == 4) c.bounds = {b[0], b[1], b[2], b[3]};
  if (std::vector<double> w = r.value("wb").to_f64_vec(); w.size() == 3) c.wb = {w[0], w[1], w[2]};
  c.options = map;

  c.input = r.texts("input");
  c.output = r.text("output");
  c.prefer = r.text("prefer");
  c.processed = r.text("processed");
  c.dxo = r.truthy("dxo");
  c.no_lens = r.truthy("no_lens");
  c.no_vignette = r.truthy("no_vignette");
  c.meta_from = r.texts("meta_from");
  c.use_originals = r.truthy("use_originals");
  c.max_tilt = r.number("max_tilt");
  c.all_cameras = r.truthy("all_cameras");
  c.focal_px = r.optional_number("focal_px");
  if (c.focal_px == 0.0) c.focal_px.reset();
  c.ground_amsl = r.optional_number("ground_amsl");
  c.no_refine = r.truthy("no_refine");
  c.match_px = r.count("match_px", 64);
  c.features = r.count("features", 100);
  c.neighbors = r.count("neighbors", 1);
  c.max_ties = r.count("max_ties", 1);
  c.min_inliers = r.count("min_inliers", 4);
  c.selfcal_full = r.text("selfcal_model") != "radial";
  c.sigma_gps = r.number("sigma_gps");
  c.sigma_alt = r.number("sigma_alt");
  c.sigma_ang = r.number("sigma_ang");
  c.sigma_tilt = r.number("sigma_tilt");
  c.sigma_ground = r.number("sigma_ground");
  c.dense_on = r.text("dense") != "off";
  c.dense_ties = r.count("dense_ties", 1);
  c.surface_dsm = r.text("surface") != "plane";
  c.dsm_cell = positive(r.optional_number("dsm_cell"));
  c.sigma_relief = r.number("sigma_relief");
  c.ba_iters = r.count("ba_iters", 1);
  c.ba_rounds = r.count("ba_rounds", 1);
  c.gsd = positive(r.optional_number("gsd"));
  c.max_mpix = r.number("max_mpix");
  if (auto bits = r.optional_number("bits")) c.bits = OptionReader::count_of(*bits);
  c.ev = r.number("ev");
  c.no_gains = r.truthy("no_gains");
  c.blend = blend_mode_from_text(r.text("blend"));
  c.seams_cut = r.text("seams") != "nadir";
  c.seam_band = r.number("seam_band");
  c.blend_bands = r.count("blend_bands");
  c.seam_mpix = r.number("seam_mpix");
  c.feather = r.number("feather");
  c.interp_cubic = r.text("interp") != "linear";
  c.no_preview = r.truthy("no_preview");
  c.preview_px = r.count("preview_px", 64);
  c.saturation = r.number("saturation");
  c.contrast = r.number("contrast");
  c.reuse = r.non_empty_text("reuse");
  c.exclude = r.texts("exclude");
  c.diagnostics = r.truthy("diagnostics");
  c.workers = r.count("workers", 1);
  c.cache_gb = r.number("cache_gb");
  c.disk_cache_gb = r.number("disk_cache_gb");
  c.cache_dir = r.non_empty_text("cache_dir");
  // Render blocks are whole GeoTIFF tile rows (512 pixels high).
  c.block_rows = std::max<uint64_t>(r.count("block_rows") & ~uint64_t{511}, 512);
  c.grid_step = r.count("grid_step", 2);
  c.contrib_thr = r.number("contrib_thr");

  if (c.dxo) c.processed = "yes";
  return c;
}

}  // namespace tsl
