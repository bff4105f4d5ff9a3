#include "diag/diagnostics.h"

#include <gtest/gtest.h>

#include "config/parse_args.h"
#include "support/test_util.h"

namespace tsl {
namespace {

TEST(DiagnosticsPaths, ArchiveBesideTheReportNeverOverIt) {
  struct Case {
    const char* report;
    const char* zip;
    const char* stem;
  };
  const Case cases[] = {
      {"out/ortho_report.json", "out/ortho_diagnostics.zip", "out/ortho"},
      {"ortho_report.json", "ortho_diagnostics.zip", "ortho"},
      {"out/result.json", "out/result_diagnostics.zip", "out/result"},  // would otherwise replace the report
      {"out/report", "out/report_diagnostics.zip", "out/report"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(diagnostics_zip_path(c.report), std::filesystem::path(c.zip)) << c.report;
    EXPECT_EQ(diagnostics_stem(c.report), c.stem) << c.report;
  }
}

TEST(DiagnosticsText, NumberTextHasOneDecimalOrNan) {
  JsonValue o = JsonValue::empty_object();
  o.set_f64("num", 3.14159);
  o.set_bool("yes", true);
  o.set_str("text", " 2.56 ");
  o.set_str("word", "x");
  o.set("null", nullptr);
  o.set_f64s("list", {1.0});
  const std::pair<const char*, const char*> cases[] = {{"num", "3.1"},  {"yes", "1.0"},  {"text", "2.6"},
                                                       {"word", "nan"}, {"null", "nan"}, {"list", "nan"},
                                                       {"missing", "nan"}};
  for (const auto& [key, text] : cases) EXPECT_EQ(json_number_text(o, key), text) << key;
}

TEST(DiagnosticsText, ReportLogLinesKeepOnlyTexts) {
  auto r = json_parse(R"({"log": ["a", 1, null, "b"]})");
  ASSERT_TRUE(r);
  EXPECT_EQ(report_log_lines(*r), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(report_log_lines(JsonValue::empty_object()).empty());
  EXPECT_TRUE(report_log_lines(*json_parse(R"({"log": "a"})")).empty());
}

TEST(DiagnosticsOrder, CaptureTimeThenFileName) {
  auto photo = [](const char* time, const char* name) {
    ImageMeta m;
    m.time = time;
    m.path = std::string("/x/") + name;
    return m;
  };
  EXPECT_TRUE(capture_order_cmp(photo("2024:01:01 10:00:00", "b.jpg"), photo("2024:01:01 10:00:01", "a.jpg")));
  EXPECT_TRUE(capture_order_cmp(photo("2024:01:01 10:00:00", "a.jpg"), photo("2024:01:01 10:00:00", "b.jpg")));
  EXPECT_TRUE(capture_order_cmp(photo("", "z.jpg"), photo("2024", "a.jpg")));  // shorter text first
  EXPECT_FALSE(capture_order_cmp(photo("t", "a.jpg"), photo("t", "a.jpg")));
}

// A report of the sample flight's photos; `extra` members are set on it.
std::filesystem::path write_report(const test::TempDir& dir, const std::string& name, bool with_config,
                                   const std::vector<std::pair<std::string, JsonValue>>& extra = {}) {
  JsonValue r = JsonValue::empty_object();
  r.set_str("version", "test");
  if (with_config) {
    const std::vector<std::string> words = {(test::source_dir() / "samples/flight").string(), "--cache-dir",
                                            (dir / "cache").string()};
    auto options = parse_args(words);
    EXPECT_TRUE(options);
    r.set("config", std::move(*options));
  } else {
    r.set("config", nullptr);
  }
  for (const auto& [k, v] : extra) r.set(k, v);
  const std::filesystem::path path = dir / name;
  std::string text;
  json_write(r, text, true);
  test::write_file_text(path, text);
  return path;
}

TEST(DiagnosticsZip, ReportWithoutConfigurationWritesNothing) {
  test::TempDir dir;
  const auto report = write_report(dir, "x_report.json", false);
  auto r = write_diagnostics(report, std::nullopt, 2048, true, true, FlowOptions{});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "report has no stored configuration (made with an older version) - rebuild once");
  EXPECT_FALSE(std::filesystem::exists(dir / "x_diagnostics.zip"));
}

TEST(DiagnosticsZip, FailedRunLeavesTheEarlierArchiveAndNoPartialFile) {
  test::TempDir dir;
  // No origin_utm / size_px: the seam grid cannot be placed.
  const auto report = write_report(dir, "x_report.json", true);
  test::write_file_text(dir / "x_diagnostics.zip", "earlier archive");
  auto r = write_diagnostics(report, std::nullopt, 64, false, true, FlowOptions{});
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().find("origin_utm"), std::string::npos) << r.error();
  EXPECT_EQ(test::read_file_text(dir / "x_diagnostics.zip"), "earlier archive");
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    EXPECT_EQ(e.path().filename().string().find("partial"), std::string::npos) << e.path();
}

TEST(DiagnosticsZip, ArchiveOfAReportWithoutShotsHoldsTheFixedMembers) {
  test::TempDir dir;
  const auto report = write_report(dir, "result.json", true,
                                   {{"origin_utm", JsonValue::from_f64s({446700, 5205480})},
                                    {"size_px", JsonValue::from_f64s({100, 80})},
                                    {"gsd_m", 0.5}});
  std::filesystem::create_directory(dir / "result_preview.jpg");  // a folder named like a file is left out
  // Regression: the DSM of an earlier build beside the report was packed as this build's.
  test::write_file_text(dir / "result_dsm.tif", "an earlier build's terrain");
  test::write_file_text(dir / "result_preview_mask.png", "an earlier build's mask");
  auto r = write_diagnostics(report, std::vector<std::string>{"one", "two"}, 64, false, true, FlowOptions{});
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r->zip_path, dir / "result_diagnostics.zip");
  EXPECT_EQ(test::read_file_text(report).substr(0, 1), "{");  // the report is untouched
  EXPECT_EQ(r->summary["pairs"].as_f64(), 0.0);
  EXPECT_TRUE(r->summary["median_cm"].is_null());
  if (test::have_tool("unzip")) {
    const auto list = test::run_command("unzip -Z1 " + test::shell_quote(r->zip_path.string()));
    EXPECT_EQ(list.out, "report.json\nconfig.json\nlog.txt\nseams.json\nseams.jpg\n");
    const auto log = test::run_command("unzip -p " + test::shell_quote(r->zip_path.string()) + " log.txt");
    EXPECT_EQ(log.out, "one\ntwo");
  }
}

// The DSM and the previews are packed when the report names the terrain archive and the
// preview.
TEST(DiagnosticsZip, SideFilesTheReportNamesArePacked) {
  if (!test::have_tool("unzip")) GTEST_SKIP() << "unzip not installed";
  test::TempDir dir;
  const auto report = write_report(dir, "result_report.json", true,
                                   {{"origin_utm", JsonValue::from_f64s({446700, 5205480})},
                                    {"size_px", JsonValue::from_f64s({100, 80})},
                                    {"gsd_m", 0.5},
                                    {"surface_file", (dir / "result_surface.npz").string()},
                                    {"preview", (dir / "result_preview.jpg").string()}});
  for (const char* name : {"result_dsm.tif", "result_preview.jpg", "result_preview_mask.png"})
    test::write_file_text(dir / name, name);
  auto r = write_diagnostics(report, std::vector<std::string>{"one"}, 64, false, true, FlowOptions{});
  ASSERT_TRUE(r) << r.error();
  const auto list = test::run_command("unzip -Z1 " + test::shell_quote(r->zip_path.string()));
  EXPECT_EQ(list.out, "report.json\nconfig.json\nlog.txt\nseams.json\nseams.jpg\ndsm.tif\npreview.jpg\npreview_mask.png\n");
}

}  // namespace
}  // namespace tsl
