// The pieces of the preview and diagnostics endpoints that the loopback tests cannot reach
// cheaply: the request values, the report name of a build, the per-page sequence marks, the
// band assembly of a preview and the seam file reader.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "server/body_values.h"
#include "server/diag_endpoint.h"
#include "server/http.h"
#include "server/preview.h"
#include "support/test_util.h"
#include "util/error.h"
#include "util/npy.h"

namespace tsl {
namespace {

JsonValue body_with(std::string_view key, JsonValue value) {
  JsonValue body = JsonValue::empty_object();
  body.set(key, std::move(value));
  return body;
}

TEST(DiagnosticsEndpoint, RequestValues) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    JsonValue value;
    uint64_t max_px;
  };
  const std::vector<Case> cases = {
      {JsonValue("800"), 800},   {JsonValue(" 800 "), 800}, {JsonValue("abc"), 2048}, {JsonValue(), 2048},
      {JsonValue(1200.9), 1200}, {JsonValue(true), 64},     {JsonValue(-5.0), 64},    {JsonValue("-5"), 64},
      {JsonValue(nan), 64},      {JsonValue(1e30), UINT64_MAX}, {JsonValue::empty_array(), 2048},
  };
  for (const Case& c : cases) EXPECT_EQ(diagnostics_max_px(body_with("max_px", c.value)), c.max_px) << json_reply_text(c.value);
  EXPECT_EQ(diagnostics_max_px(JsonValue::empty_object()), 2048u);

  EXPECT_TRUE(diagnostics_images(JsonValue::empty_object()));
  EXPECT_FALSE(diagnostics_images(body_with("images", JsonValue(0.0))));
  EXPECT_FALSE(diagnostics_images(body_with("images", JsonValue(false))));
  EXPECT_TRUE(diagnostics_images(body_with("images", JsonValue(nan))));
  EXPECT_TRUE(diagnostics_images(body_with("images", JsonValue(2.0))));
  EXPECT_TRUE(diagnostics_images(body_with("images", JsonValue("0"))));
}

TEST(DiagnosticsEndpoint, ReportNameReplacesOnlyTheFinalSuffix) {
  EXPECT_EQ(report_path_of_output("/data/run.tif_files/ortho.tif"), "/data/run.tif_files/ortho_report.json");
  EXPECT_EQ(report_path_of_output("/data/a.tif/b.tif"), "/data/a.tif/b_report.json");
  EXPECT_EQ(report_path_of_output("out.tif.tif"), "out.tif_report.json");
  EXPECT_EQ(report_path_of_output("ortho"), "ortho_report.json");
}

TEST(BodyValues, LooseNumbers) {
  EXPECT_EQ(body_number(JsonValue(3.5)), 3.5);
  EXPECT_EQ(body_number(JsonValue(true)), 1.0);
  EXPECT_EQ(body_number(JsonValue(" 7 ")), 7.0);
  EXPECT_FALSE(body_number(JsonValue("seven")));
  EXPECT_FALSE(body_number(JsonValue()));
  EXPECT_EQ(saturate_i64(-2.9), -2);
  EXPECT_EQ(saturate_i64(std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_EQ(saturate_i64(1e300), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(saturate_i64(-1e300), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(saturate_u64(-3.0), 0u);
  EXPECT_EQ(saturate_u64(7.9), 7u);
  EXPECT_EQ(saturate_u64(1e30), std::numeric_limits<uint64_t>::max());
}

TEST(PreviewSeq, MarksArePerPageAndBounded) {
  EXPECT_EQ(raise_preview_seq("unit-a", 9), 9);
  EXPECT_EQ(raise_preview_seq("unit-a", 4), 9);  // never lowered
  EXPECT_EQ(raise_preview_seq("unit-b", 1), 1);  // a reloaded page starts afresh
  EXPECT_EQ(preview_seq_mark("unit-a"), 9);
  // Many pages later the first one is forgotten, and counts from 0 again.
  for (size_t k = 0; k < PREVIEW_MAX_CLIENTS; ++k) raise_preview_seq("unit-many-" + std::to_string(k), 3);
  EXPECT_EQ(preview_seq_mark("unit-a"), 0);
}

ImageF32 band_of(uint64_t width, uint64_t rows, float value) {
  ImageF32 band(width, rows, 3);
  for (float& v : band.data) v = value;
  return band;
}

TEST(PreviewAssembler, PlacesEveryBandOrRefuses) {
  {
    PreviewAssembler picture(2, 3);
    const std::vector<uint8_t> none = picture.rgba();
    EXPECT_EQ(none, std::vector<uint8_t>(2 * 3 * 4, 0));  // nothing rendered: transparent
  }
  {
    PreviewAssembler picture(2, 3);
    const std::vector<uint8_t> covered = {1, 0, 1, 1};
    ASSERT_TRUE(picture.add(0, band_of(2, 2, 1.0f), covered));
    ASSERT_TRUE(picture.add(2, band_of(2, 1, 0.0f), std::vector<uint8_t>{0, 1}));
    const std::vector<uint8_t> rgba = picture.rgba();
    ASSERT_EQ(rgba.size(), 24u);
    EXPECT_EQ(rgba[3], 255);
    EXPECT_EQ(rgba[7], 0);   // uncovered
    EXPECT_GT(rgba[0], 200);  // first band, full scale
    EXPECT_EQ(rgba[16], 0);  // second band, black
    EXPECT_EQ(rgba[23], 255);
  }
  {
    PreviewAssembler picture(2, 3);
    const std::vector<uint8_t> mask(4, 1);
    EXPECT_THROW((void)picture.add(1, band_of(2, 2, 0.5f), mask), InternalError);  // a gap above
    EXPECT_THROW((void)picture.add(0, band_of(3, 1, 0.5f), std::vector<uint8_t>(3, 1)), InternalError);
    EXPECT_THROW((void)picture.add(0, band_of(2, 4, 0.5f), std::vector<uint8_t>(8, 1)), InternalError);
    ASSERT_TRUE(picture.add(0, band_of(2, 2, 0.5f), mask));
    EXPECT_THROW((void)picture.add(0, band_of(2, 1, 0.5f), std::vector<uint8_t>(2, 1)), InternalError);  // again
    EXPECT_THROW((void)picture.rgba(), InternalError);  // one row never came
  }
}

TEST(PreviewSeams, SeamFileMapsNamesToThePhotos) {
  test::TempDir dir;
  std::vector<ImageMeta> photos(3);
  photos[0].path = "/x/b.jpg";
  photos[1].path = "/y/a.jpg";
  photos[2].path = "/y/c.jpg";
  const auto path = dir.path() / "s_seams.npz";
  // Stored names a, b, gone: labels 0 -> photo 1, 1 -> photo 0, 2 -> none, 7 -> none.
  const std::vector<NamedArray> arrays = {
      {"label", NpyArray{std::vector<int16_t>{0, 1, 2, -1, 7, 0}, {2, 3}}},
      {"E0", NpyArray{std::vector<double>{500100.0}, {}}},
      {"N0", NpyArray{std::vector<double>{5200050.0}, {}}},
      {"gs", NpyArray{std::vector<double>{0.5}, {}}},
      {"files", NpyArray{std::vector<std::string>{"a.jpg", "b.jpg", "gone.jpg"}, {3}}},
  };
  ASSERT_TRUE(write_npz(path, arrays));
  auto map = read_seam_map(path, photos, 500000.0, 5200000.0);
  ASSERT_TRUE(map) << map.error();
  EXPECT_EQ(map->nx, 3u);
  EXPECT_EQ(map->ny, 2u);
  EXPECT_EQ(map->labels, (std::vector<int32_t>{1, 0, -1, -1, -1, 1}));
  EXPECT_EQ(map->names, (std::vector<std::string>{"b.jpg", "a.jpg", "c.jpg"}));
  EXPECT_EQ(map->left_e, 100.0);
  EXPECT_EQ(map->top_n, 50.0);
  EXPECT_EQ(map->cell, 0.5);

  ASSERT_TRUE(write_npz(path, std::vector<NamedArray>{{"files", arrays[4].second}}));
  EXPECT_EQ(read_seam_map(path, photos, 0, 0).error(), "seam label missing");
  ASSERT_TRUE(write_npz(path, std::vector<NamedArray>{{"label", NpyArray{std::vector<int16_t>{0, 1}, {2}}}}));
  EXPECT_EQ(read_seam_map(path, photos, 0, 0).error(), "bad seam label");
}

}  // namespace
}  // namespace tsl
