#include "config/config.h"

#include <gtest/gtest.h>

#include <cmath>

#include "config/options.h"
#include "config/parse_args.h"

namespace tsl {
namespace {

JsonValue map_with(std::string_view json_members) {
  auto v = json_parse("{" + std::string(json_members) + "}");
  EXPECT_TRUE(v.has_value()) << json_members;
  return v.value_or(JsonValue::empty_object());
}

TEST(Config, FromParsedSingleInput) {
  auto m = parse_args(std::vector<std::string>{"a.jpg"});
  ASSERT_TRUE(m.has_value());
  Config c = Config::from_options(*m);
  EXPECT_EQ(c.input, std::vector<std::string>{"a.jpg"});
  EXPECT_EQ(c.output, "ortho.tif");
  EXPECT_EQ(c.match_px, 2000u);
  EXPECT_EQ(c.features, 4000u);
  EXPECT_EQ(c.neighbors, 10u);
  EXPECT_EQ(c.max_ties, 60u);
  EXPECT_EQ(c.min_inliers, 25u);
  EXPECT_EQ(c.dense_ties, 80u);
  EXPECT_EQ(c.ba_iters, 60u);
  EXPECT_EQ(c.ba_rounds, 3u);
  EXPECT_EQ(c.preview_px, 4096u);
  EXPECT_EQ(c.block_rows, 1024u);
  EXPECT_EQ(c.grid_step, 16u);
  EXPECT_EQ(c.blend_bands, 4u);
  EXPECT_EQ(c.wb, (std::array<double, 3>{1, 1, 1}));
  EXPECT_EQ(c.selfcal, "auto");
  EXPECT_FALSE(c.selfcal_on);
  EXPECT_TRUE(c.selfcal_full && c.dense_on && c.surface_dsm && c.blend == BlendMode::Multiband && c.seams_cut && c.interp_cubic);
  EXPECT_FALSE(c.focal_px || c.ground_amsl || c.dsm_cell || c.gsd || c.bits || c.bounds || c.reuse || c.cache_dir);
  EXPECT_EQ(c.workers, server_worker_count());
  EXPECT_TRUE(c.options.eq(*m));
}

// The record's own defaults must agree with what the table gives, so a Config built by hand
// in a test behaves like one made from an empty map.
TEST(Config, EmptyOrNonObjectMapsGiveTheTableDefaults) {
  for (const JsonValue& map : {JsonValue::empty_object(), JsonValue(5.0), JsonValue::empty_array()}) {
    SCOPED_TRACE(json_to_string(map));
    Config c = Config::from_options(map);
    Config record;
    record.workers = server_worker_count();
    record.options = map;
    EXPECT_EQ(json_to_string(c.options), json_to_string(map));
    EXPECT_TRUE(c.input.empty());
    // Compare field by field through a map-free copy.
    c.options = record.options;
    EXPECT_EQ(c.output, record.output);
    EXPECT_EQ(c.prefer, record.prefer);
    EXPECT_EQ(c.processed, record.processed);
    EXPECT_EQ(c.max_tilt, record.max_tilt);
    EXPECT_EQ(c.match_px, record.match_px);
    EXPECT_EQ(c.features, record.features);
    EXPECT_EQ(c.neighbors, record.neighbors);
    EXPECT_EQ(c.max_ties, record.max_ties);
    EXPECT_EQ(c.min_inliers, record.min_inliers);
    EXPECT_EQ(c.selfcal, record.selfcal);
    EXPECT_EQ(c.selfcal_on, record.selfcal_on);
    EXPECT_EQ(c.selfcal_full, record.selfcal_full);
    EXPECT_EQ(c.sigma_gps, record.sigma_gps);
    EXPECT_EQ(c.sigma_alt, record.sigma_alt);
    EXPECT_EQ(c.sigma_ang, record.sigma_ang);
    EXPECT_EQ(c.sigma_tilt, record.sigma_tilt);
    EXPECT_EQ(c.sigma_ground, record.sigma_ground);
    EXPECT_EQ(c.dense_on, record.dense_on);
    EXPECT_EQ(c.dense_ties, record.dense_ties);
    EXPECT_EQ(c.surface_dsm, record.surface_dsm);
    EXPECT_EQ(c.sigma_relief, record.sigma_relief);
    EXPECT_EQ(c.ba_iters, record.ba_iters);
    EXPECT_EQ(c.ba_rounds, record.ba_rounds);
    EXPECT_EQ(c.max_mpix, record.max_mpix);
    EXPECT_EQ(c.ev, record.ev);
    EXPECT_EQ(c.blend, record.blend);
    EXPECT_EQ(c.seams_cut, record.seams_cut);
    EXPECT_EQ(c.seam_band, record.seam_band);
    EXPECT_EQ(c.blend_bands, record.blend_bands);
    EXPECT_EQ(c.seam_mpix, record.seam_mpix);
    EXPECT_EQ(c.feather, record.feather);
    EXPECT_EQ(c.interp_cubic, record.interp_cubic);
    EXPECT_EQ(c.preview_px, record.preview_px);
    EXPECT_EQ(c.wb, record.wb);
    EXPECT_EQ(c.saturation, record.saturation);
    EXPECT_EQ(c.contrast, record.contrast);
    EXPECT_EQ(c.workers, record.workers);
    EXPECT_EQ(c.cache_gb, record.cache_gb);
    EXPECT_EQ(c.disk_cache_gb, record.disk_cache_gb);
    EXPECT_EQ(c.block_rows, record.block_rows);
    EXPECT_EQ(c.grid_step, record.grid_step);
    EXPECT_EQ(c.contrib_thr, record.contrib_thr);
    EXPECT_FALSE(c.dxo || c.no_lens || c.no_vignette || c.use_originals || c.all_cameras || c.no_refine ||
                 c.no_gains || c.no_preview || c.diagnostics);
    EXPECT_FALSE(c.focal_px || c.ground_amsl || c.dsm_cell || c.gsd || c.bits || c.bounds || c.reuse || c.cache_dir);
  }
}

TEST(Config, NullMembersFallBack) {
  Config c = Config::from_options(
      map_with(R"("max_tilt": null, "output": null, "dxo": null, "exclude": null, "gsd": null, "wb": null)"));
  EXPECT_EQ(c.max_tilt, 25.0);
  EXPECT_EQ(c.output, "ortho.tif");
  EXPECT_FALSE(c.dxo);
  EXPECT_TRUE(c.exclude.empty());
  EXPECT_FALSE(c.gsd);
  EXPECT_EQ(c.wb, (std::array<double, 3>{1, 1, 1}));
}

TEST(Config, CountsAndTheirBounds) {
  struct Case {
    std::string members;
    uint64_t Config::*field;
    uint64_t want;
  };
  const Case cases[] = {
      {R"("match_px": 10)", &Config::match_px, 64},
      {R"("match_px": -5)", &Config::match_px, 64},
      {R"("match_px": " 3000 ")", &Config::match_px, 3000},
      {R"("match_px": "lots")", &Config::match_px, 2000},
      {R"("match_px": NaN)", &Config::match_px, 64},
      {R"("match_px": 1e30)", &Config::match_px, UINT64_MAX},
      {R"("features": 50)", &Config::features, 100},
      {R"("min_inliers": 2)", &Config::min_inliers, 4},
      {R"("grid_step": 0)", &Config::grid_step, 2},
      {R"("grid_step": 1)", &Config::grid_step, 2},
      {R"("workers": 0)", &Config::workers, 1},
      {R"("workers": true)", &Config::workers, 1},
      {R"("blend_bands": 0)", &Config::blend_bands, 0},
      {R"("blend_bands": -3)", &Config::blend_bands, 0},
      {R"("blend_bands": 2.7)", &Config::blend_bands, 2},
      {R"("block_rows": 1500)", &Config::block_rows, 1024},
      {R"("block_rows": 100)", &Config::block_rows, 512},
      {R"("block_rows": 2048)", &Config::block_rows, 2048},
      {R"("block_rows": [])", &Config::block_rows, 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.members);
    EXPECT_EQ(Config::from_options(map_with(c.members)).*c.field, c.want);
  }
}

TEST(Config, TextsAndDerivedFlags) {
  auto cfg = [](std::string_view members) { return Config::from_options(map_with(members)); };
  EXPECT_EQ(cfg(R"("selfcal": true)").selfcal, "on");
  EXPECT_TRUE(cfg(R"("selfcal": true)").selfcal_on);
  EXPECT_EQ(cfg(R"("selfcal": false)").selfcal, "off");
  EXPECT_EQ(cfg(R"("selfcal": "True")").selfcal, "True");
  EXPECT_TRUE(cfg(R"("selfcal": "True")").selfcal_on);
  EXPECT_TRUE(cfg(R"("selfcal": "true")").selfcal_on);
  EXPECT_FALSE(cfg(R"("selfcal": "auto")").selfcal_on);
  EXPECT_EQ(cfg(R"("selfcal": 3)").selfcal, "auto");
  EXPECT_TRUE(cfg(R"("dense": "OFF")").dense_on);
  EXPECT_FALSE(cfg(R"("dense": "off")").dense_on);
  EXPECT_TRUE(cfg(R"("surface": "Plane")").surface_dsm);
  EXPECT_FALSE(cfg(R"("surface": "plane")").surface_dsm);
  EXPECT_EQ(cfg(R"("blend": "feather")").blend, BlendMode::Feather);
  EXPECT_EQ(cfg(R"("blend": "Feather")").blend, BlendMode::Multiband);
  EXPECT_FALSE(cfg(R"("seams": "nadir")").seams_cut);
  EXPECT_FALSE(cfg(R"("interp": "linear")").interp_cubic);
  EXPECT_FALSE(cfg(R"("selfcal_model": "radial")").selfcal_full);
  EXPECT_EQ(cfg(R"("dxo": true, "processed": "no")").processed, "yes");
  EXPECT_EQ(cfg(R"("dxo": 1)").processed, "yes");
  EXPECT_EQ(cfg(R"("dxo": "no")").processed, "yes");  // a non-empty String is true
  EXPECT_EQ(cfg(R"("dxo": 0, "processed": "no")").processed, "no");
  EXPECT_EQ(cfg(R"("output": 5)").output, "ortho.tif");
  EXPECT_EQ(cfg(R"("exclude": ["a", 1, "b"])").exclude, (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(cfg(R"("meta_from": "dir")").meta_from.empty());
}

TEST(Config, OptionalValues) {
  auto cfg = [](std::string_view members) { return Config::from_options(map_with(members)); };
  EXPECT_FALSE(cfg(R"("focal_px": 0)").focal_px);
  EXPECT_FALSE(cfg(R"("focal_px": "0")").focal_px);
  EXPECT_FALSE(cfg(R"("focal_px": "wide")").focal_px);
  EXPECT_EQ(cfg(R"("focal_px": " 3000.5 ")").focal_px, 3000.5);
  EXPECT_EQ(cfg(R"("ground_amsl": -12)").ground_amsl, -12.0);
  EXPECT_FALSE(cfg(R"("gsd": 0)").gsd);
  EXPECT_FALSE(cfg(R"("gsd": -1)").gsd);
  EXPECT_EQ(cfg(R"("dsm_cell": 0.5)").dsm_cell, 0.5);
  EXPECT_EQ(cfg(R"("bits": 16)").bits, 16u);
  EXPECT_EQ(cfg(R"("bits": -3)").bits, 0u);
  EXPECT_EQ(cfg(R"("bits": 12.9)").bits, 12u);
  EXPECT_FALSE(cfg(R"("bits": [8])").bits);
  EXPECT_FALSE(cfg(R"("bounds": [1, 2, 3])").bounds);
  EXPECT_FALSE(cfg(R"("bounds": "1 2 3 4")").bounds);
  auto b = cfg(R"("bounds": [1, "x", 3, 4])").bounds;
  ASSERT_TRUE(b);
  EXPECT_EQ((*b)[0], 1.0);
  EXPECT_TRUE(std::isnan((*b)[1]));
  EXPECT_EQ(cfg(R"("wb": [1, 2])").wb, (std::array<double, 3>{1, 1, 1}));
  EXPECT_EQ(cfg(R"("wb": [2, "1.5", true])").wb, (std::array<double, 3>{2, 1.5, 1}));
  EXPECT_FALSE(cfg(R"("reuse": "")").reuse);
  EXPECT_FALSE(cfg(R"("reuse": 5)").reuse);
  EXPECT_EQ(cfg(R"("reuse": "r.json")").reuse, "r.json");
  EXPECT_FALSE(cfg(R"("cache_dir": "")").cache_dir);
}

TEST(Config, KeepsTheMapUnchanged) {
  JsonValue m = map_with(R"("output": "x.tif", "extra": [1])");
  Config c = Config::from_options(m);
  EXPECT_EQ(json_to_string(c.options), R"({"output": "x.tif", "extra": [1]})");
  EXPECT_TRUE(c.options["matcher"].is_null());
}

}  // namespace
}  // namespace tsl
