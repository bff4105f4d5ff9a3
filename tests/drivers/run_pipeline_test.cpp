#include "drivers/run_pipeline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <cmath>

#include "config/parse_args.h"
#include "matching/tie_files.h"
#include "pipeline/last_run.h"
#include "support/log_capture.h"
#include "support/test_util.h"
#include "util/text.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

// Three photos of the bundled sample flight (one leg, 70 m up) and options that keep a build
// well under a second: a 30 cm output and no disk cache.
class SmallFlight : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(dir / "photos");
    for (const char* name : {"DJI_0001.JPG", "DJI_0002.JPG", "DJI_0003.JPG"})
      fs::copy_file(test::source_dir() / "samples/flight" / name, dir / "photos" / name);
  }

  // `env`: variable assignments for the command line, such as "TSL_MATCHES=...".
  test::CommandResult tessaly(const std::string& args, const std::string& env = "") const {
    return test::run_command(env + " " + test::shell_quote(test::tessaly_exe().string()) + " " +
                             test::shell_quote((dir / "photos").string()) + " --gsd 30 --disk-cache-gb 0 " + args);
  }

  std::string out(const std::string& name) const { return (dir / "out" / name).string(); }

  // Every file in a folder, by name.
  static std::vector<std::string> listing(const fs::path& folder) {
    std::vector<std::string> names;
    if (!fs::is_directory(folder)) return names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  test::TempDir dir;
};

const std::vector<std::string> SEVEN_FILES = {"ortho.tfw",          "ortho.tif",         "ortho_preview.jpg",
                                              "ortho_preview_mask.png", "ortho_preview_neutral.jpg",
                                              "ortho_report.json",  "ortho_seams.npz"};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  return lines;
}

bool has_line(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(SmallFlight, NoRefineBuildLogsItsStagesAndWritesItsFiles) {
  auto r = tessaly("-o " + test::shell_quote(out("ortho.tif")) + " --no-refine");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[0], "tessaly 0.5.0b4");
  EXPECT_EQ(lines[1], "[1/6] metadata: 3 files");
  // The stage lines in their order, each once.
  std::vector<std::string> stages;
  for (const std::string& l : lines)
    if (l.starts_with("[")) stages.push_back(l);
  EXPECT_EQ(stages, (std::vector<std::string>{"[1/6] metadata: 3 files",
                                              "[2-4/6] refinement skipped (metadata placement only)",
                                              "[5/6] radiometry", "[6/6] render"}));
  EXPECT_TRUE(has_line(lines, "  gains: min 0.990 max 1.130 (EXIF exposure spread 1.14x)")) << r.out;
  EXPECT_TRUE(lines.back().starts_with("done in ")) << lines.back();
  EXPECT_TRUE(lines.back().ends_with("s -> " + out("ortho.tif"))) << lines.back();
  // Seven files: a plane surface writes no terrain files.
  EXPECT_EQ(listing(dir / "out"), SEVEN_FILES);
}

// The report's members in order as Python's json module reads them.
TEST_F(SmallFlight, ReportKeysInOrderForPython) {
  TSL_REQUIRE_PYTHON("json");
  ASSERT_EQ(tessaly("-o " + test::shell_quote(out("ortho.tif")) + " --no-refine").exit_code, 0);
  auto r = test::run_command(
      test::python3() + " -c " +
      test::shell_quote("import json,sys; d=json.load(open(sys.argv[1])); print(list(d)); print(list(d['shots'][0])); "
                        "print(list(d['lens'])); print(list(d['timings'])); print(d['adjustment'], d['tie_pairs'], "
                        "d['surface_file'], len(d['shots']), d['images'], d['output'] == sys.argv[2])") +
      " " + test::shell_quote(out("ortho_report.json")) + " " + test::shell_quote(out("ortho.tif")));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(lines_of(r.out),
            (std::vector<std::string>{
                "['version', 'images', 'output', 'epsg', 'zone', 'south', 'gsd_m', 'size_px', 'origin_utm', 'lens', "
                "'selfcal', 'ground_z', 'adjustment', 'finish', 'tie_pairs', 'skipped', 'surface', 'surface_file', "
                "'seam_file', 'preview', 'shots', 'seconds', 'config', 'timings', 'workers']",
                "['file', 'path', 'E', 'N', 'h', 'R', 'gain', 'pos_corr', 'rot_corr', 'time']",
                "['W', 'H', 'fx', 'fy', 'cx', 'cy', 'kind', 'k', 'selfcal']",
                "['metadata', 'refinement skipped (metadata placement only)', 'radiometry', 'render']",
                "{} [] None 3 3 True"}));
}

// GDAL reads a georeferenced RGBA mosaic whose frame is the report's, with alpha 255 where a
// photo covers the ground and all four samples 0 elsewhere.
TEST_F(SmallFlight, GeoTiffOpensInGdal) {
  TSL_REQUIRE_PYTHON("osgeo numpy");
  ASSERT_EQ(tessaly("-o " + test::shell_quote(out("ortho.tif")) + " --no-refine").exit_code, 0);
  auto r = test::run_command(test::python3() + " -c " + test::shell_quote(R"(
import json, sys
import numpy as np
from osgeo import gdal, osr
rep = json.load(open(sys.argv[2]))
ds = gdal.Open(sys.argv[1])
gt = ds.GetGeoTransform()
srs = osr.SpatialReference(wkt=ds.GetProjection()); srs.AutoIdentifyEPSG()
a = ds.ReadAsArray()
alpha = a[3]
print(ds.RasterCount, [ds.RasterXSize, ds.RasterYSize] == rep['size_px'], srs.GetAuthorityCode(None) == str(rep['epsg']))
print(gt[0] == rep['origin_utm'][0], gt[3] == rep['origin_utm'][1], gt[1] == rep['gsd_m'], gt[5] == -rep['gsd_m'])
print(ds.GetRasterBand(4).GetColorInterpretation() == gdal.GCI_AlphaBand, set(np.unique(alpha)) == {0, 255})
print(bool((a[:3, alpha == 0] == 0).all()), (alpha == 255).mean() > 0.5, a[:3, alpha == 255].mean() > 20)
)") + " " + test::shell_quote(out("ortho.tif")) + " " + test::shell_quote(out("ortho_report.json")));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "4 True True\nTrue True True True\nTrue True\nTrue True True\n");
}

// The previews decode in the reference tools: the JPEGs in djpeg at the report's raster size
// (below preview_px, so at scale 1), the mask in pngcheck.
TEST_F(SmallFlight, PreviewsDecodeInDjpegAndPngcheck) {
  TSL_REQUIRE_TOOL("djpeg");
  TSL_REQUIRE_TOOL("pngcheck");
  ASSERT_EQ(tessaly("-o " + test::shell_quote(out("ortho.tif")) + " --no-refine").exit_code, 0);
  auto report = json_parse(test::read_file_text(out("ortho_report.json")));
  ASSERT_TRUE(report.has_value());
  const std::string size = format("{} {}", (*report)["size_px"].at(0).as_f64(), (*report)["size_px"].at(1).as_f64());
  for (const char* name : {"ortho_preview.jpg", "ortho_preview_neutral.jpg"}) {
    SCOPED_TRACE(name);
    auto d = test::run_command("djpeg -pnm " + test::shell_quote(out(name)) + " | head -c 20");
    EXPECT_EQ(d.exit_code, 0) << d.err;
    EXPECT_TRUE(d.out.starts_with("P6\n" + size + "\n")) << d.out;
  }
  auto p = test::run_command("pngcheck " + test::shell_quote(out("ortho_preview_mask.png")));
  EXPECT_EQ(p.exit_code, 0) << p.out;
  EXPECT_NE(p.out.find("OK"), std::string::npos) << p.out;
  EXPECT_NE(p.out.find(format("({}x{}, 8-bit grayscale", (*report)["size_px"].at(0).as_f64(),
                              (*report)["size_px"].at(1).as_f64())),
            std::string::npos)
      << p.out;
}

// A reuse of the report renders the same mosaic, byte for byte, into another folder.
TEST_F(SmallFlight, ReuseOfTheReportGivesAByteIdenticalGeoTiff) {
  ASSERT_EQ(tessaly("-o " + test::shell_quote(out("ortho.tif")) + " --no-refine").exit_code, 0);
  const std::string again = (dir / "again" / "ortho.tif").string();
  auto r = tessaly("-o " + test::shell_quote(again) + " --reuse " + test::shell_quote(out("ortho_report.json")));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> lines = lines_of(r.out);
  EXPECT_TRUE(has_line(lines, "[2-5/6] reusing solved poses + gains from ortho_report.json (3/3 images)")) << r.out;
  EXPECT_FALSE(has_line(lines, "[5/6] radiometry"));
  EXPECT_EQ(test::read_file_bytes(again), test::read_file_bytes(out("ortho.tif")));
  EXPECT_EQ(test::read_file_text((dir / "again" / "ortho.tfw").string()), test::read_file_text(out("ortho.tfw")));
}

// Regression: the GeoTIFF was truncated before rendering, so a failed rebuild destroyed the
// previous good mosaic and left a file without a directory under the real name. A photo whose
// header reads fine but whose image cannot be decoded (its frame marked lossless) now fails
// the render with the previous files untouched and no partial file left.
TEST_F(SmallFlight, FailedRebuildKeepsThePreviousMosaic) {
  ASSERT_EQ(tessaly("-o " + test::shell_quote(out("ortho.tif")) + " --no-refine --blend feather").exit_code, 0);
  const std::vector<uint8_t> before = test::read_file_bytes(out("ortho.tif"));
  const std::string report_before = test::read_file_text(out("ortho_report.json"));
  std::vector<uint8_t> photo = test::read_file_bytes(dir / "photos" / "DJI_0003.JPG");
  for (size_t k = 2; k + 1 < photo.size(); ++k)
    if (photo[k] == 0xFF && photo[k + 1] == 0xC0) {
      photo[k + 1] = 0xC3;  // SOF0 -> SOF3
      break;
    }
  test::write_file_bytes(dir / "photos" / "DJI_0003.JPG", photo);
  auto r = tessaly("-o " + test::shell_quote(out("ortho.tif")) + " --no-refine --blend feather");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(r.err.starts_with("error: cannot read ")) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
  EXPECT_EQ(test::read_file_bytes(out("ortho.tif")), before);
  EXPECT_EQ(test::read_file_text(out("ortho_report.json")), report_before);
  for (const std::string& name : listing(dir / "out")) EXPECT_EQ(name.find(".partial"), std::string::npos) << name;
}

// Each failure: one "error: ..." line on stderr, exit code 1, and nothing under the final names.
TEST_F(SmallFlight, ErrorsGiveOneLineAndWriteNothing) {
  fs::create_directory(dir / "empty");
  fs::create_directory(dir / "no_gps");
  // A JPEG without any metadata: readable, but without focal length or position.
  auto plain = test::run_command("djpeg " + test::shell_quote((dir / "photos" / "DJI_0001.JPG").string()) +
                                 " | cjpeg > " + test::shell_quote((dir / "no_gps" / "IMG_1.JPG").string()));
  test::write_file_text(dir / "damaged_report.json", "{\"epsg\": 32632, \"shots\": [");
  const bool have_proc = fs::is_directory("/proc/self");
  struct Case {
    std::string name, command, error;
  };
  std::vector<Case> cases = {
      {"missing folder", (dir / "nowhere").string(), "error: no images found\n"},
      {"empty folder", (dir / "empty").string(), "error: no images found\n"},
      {"damaged report for reuse",
       (dir / "photos").string() + " --reuse " + test::shell_quote((dir / "damaged_report.json").string()),
       "error: bad report " + (dir / "damaged_report.json").string() + ": unexpected end\n"},
  };
  if (plain.exit_code == 0) cases.push_back({"folder without usable photos", (dir / "no_gps").string(),
                                            "error: no usable images: 1 skipped (1 no focal length)\n"});
  if (have_proc)
    cases.push_back({"unwritable output folder", (dir / "photos").string() + " --no-refine",
                     "error: cannot create folder /proc/tessaly-test: No such file or directory (os error 2)\n"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string output = c.name == "unwritable output folder" ? "/proc/tessaly-test/ortho.tif" : out("ortho.tif");
    auto r = test::run_command(test::shell_quote(test::tessaly_exe().string()) + " " + c.command +
                               " --gsd 30 --disk-cache-gb 0 -o " + test::shell_quote(output));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, c.error);
    EXPECT_EQ(listing(dir / "out"), std::vector<std::string>{});
  }
}

// No options: every stage runs, the dense stage under the adjustment's stage line, and all
// nine files are written, the same on one thread as on several.
TEST_F(SmallFlight, DefaultBuildRunsTheDenseStage) {
  auto r = tessaly("-o " + test::shell_quote(out("ortho.tif")) + " --matcher lightglue --workers 4");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> lines = lines_of(r.out);
  const auto matching = std::find(lines.begin(), lines.end(), "[3/6] matching");
  ASSERT_GE(lines.end() - matching, 7);
  const std::vector<std::string> first(matching - 4, matching + 5);
  const std::vector<std::string> expected = {"[2/6] pairs + features",
                                             "  3 overlapping pairs",
                                             "matcher: LightGlue is not part of this build -> SIFT (CPU)",
                                             "  features 3/3",
                                             "[3/6] matching",
                                             "  pairs 1/3",
                                             "  pairs 2/3",
                                             "  pairs 3/3",
                                             "  matched 3/3 pairs, 180 tie points"};
  EXPECT_EQ(first, expected);
  EXPECT_EQ(matching[5], "[4/6] bundle adjustment");
  EXPECT_TRUE(matching[6].starts_with("  BA planar round 1: tie RMS ")) << matching[6];

  // The dense stage's lines, in order, between the adjustment and the radiometry.
  auto find_prefix = [&](const std::string& prefix) {
    return std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(prefix); });
  };
  const std::vector<std::string> order = {"[4/6] bundle adjustment",
                                          "  dense matching: optical flow over every overlap (solved poses + "
                                          "preliminary terrain)",
                                          "  dense flow on ",
                                          "  dense flow 1/3 pairs",
                                          "  dense flow 2/3 pairs",
                                          "  dense flow 3/3 pairs",
                                          "  dense ties: 3/3 pairs, ",
                                          "  dense stage ",
                                          "  2nd adjustment with dense ties",
                                          "  BA relief round 1: ",
                                          "  surface: DSM ",
                                          "[5/6] radiometry"};
  auto last = lines.begin();
  for (const std::string& prefix : order) {
    auto it = std::find_if(last, lines.end(), [&](const std::string& l) { return l.starts_with(prefix); });
    ASSERT_NE(it, lines.end()) << "missing or out of order: " << prefix;
    last = it;
  }
  // The preliminary terrain model is silent: one surface line only.
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("  surface: "); }),
            1);
  EXPECT_NE(find_prefix("  dense flow on DIS (CPU)"), lines.end());

  auto report = json_parse(test::read_file_text(out("ortho_report.json")));
  ASSERT_TRUE(report.has_value());
  const JsonValue& adj = (*report)["adjustment"];
  std::vector<std::string> keys;
  for (const auto& m : adj.as_object()) keys.push_back(m.first);
  // The second adjustment's figures replace the first's in place; the dense keys follow.
  EXPECT_EQ(keys, (std::vector<std::string>{"tie_points", "tie_rms_m", "tie_median_m", "ground_z", "ties_per_image",
                                            "pairs_matched", "unconnected", "dense_pairs", "dense_flow_cm"}));
  EXPECT_EQ(adj["dense_pairs"].as_f64(), 3.0);
  EXPECT_GT(adj["dense_flow_cm"].as_f64(), 0.0);
  EXPECT_GT(adj["tie_points"].as_f64(), 180.0);  // sparse plus dense ties
  // The report's tie list stays the matched pairs.
  EXPECT_EQ((*report)["tie_pairs"].as_array().size(), 3u);
  EXPECT_EQ((*report)["surface"]["kind"].as_string(), "dsm");
  std::vector<std::string> nine = SEVEN_FILES;
  nine.insert(nine.end(), {"ortho_dsm.tif", "ortho_surface.npz"});
  std::sort(nine.begin(), nine.end());
  EXPECT_EQ(listing(dir / "out"), nine);

  const fs::path one = dir / "one" / "ortho.tif";
  ASSERT_EQ(tessaly("-o " + test::shell_quote(one.string()) + " --workers 1").exit_code, 0);
  EXPECT_EQ(test::read_file_bytes(one), test::read_file_bytes(out("ortho.tif")));
  EXPECT_EQ(test::read_file_bytes(dir / "one" / "ortho_surface.npz"), test::read_file_bytes(out("ortho_surface.npz")));
}

// --dense off: the full road renders from the adjusted poses and reports the adjustment.
TEST_F(SmallFlight, FullRoadWithoutDenseStageRendersRefinedPoses) {
  auto r = tessaly("-o " + test::shell_quote(out("ortho.tif")) + " --dense off");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> lines = lines_of(r.out);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "[4/6] bundle adjustment"), lines.end());
  auto report = json_parse(test::read_file_text(out("ortho_report.json")));
  ASSERT_TRUE(report.has_value());
  const JsonValue& adj = (*report)["adjustment"];
  std::vector<std::string> keys;
  for (const auto& m : adj.as_object()) keys.push_back(m.first);
  EXPECT_EQ(keys, (std::vector<std::string>{"tie_points", "tie_rms_m", "tie_median_m", "ground_z", "ties_per_image",
                                            "pairs_matched", "unconnected"}));
  EXPECT_GT(adj["tie_points"].as_f64(), 100.0);
  EXPECT_LT(adj["tie_rms_m"].as_f64(), 0.5);
  EXPECT_EQ((*report)["ground_z"].as_f64(), adj["ground_z"].as_f64());
  EXPECT_EQ((*report)["tie_pairs"].as_array().size(), 3u);
  for (const JsonValue& shot : (*report)["shots"].as_array()) EXPECT_GT(shot["pos_corr"].as_f64(), 0.0);
  // The default surface is the terrain model from the ties, saved beside the mosaic.
  EXPECT_EQ((*report)["surface"]["kind"].as_string(), "dsm");
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("  surface: DSM "); }));
  std::vector<std::string> nine = SEVEN_FILES;
  nine.insert(nine.end(), {"ortho_dsm.tif", "ortho_surface.npz"});
  std::sort(nine.begin(), nine.end());
  EXPECT_EQ(listing(dir / "out"), nine);
}

// A photo whose drone recorded the heading half a turn off still matches its close neighbours
// on the points near its centre, but the adjustment cannot turn it round: the build used to
// finish with the ground raised to 1 m under the cameras. The heading check turns it, and
// the build comes out as from the true heading.
TEST_F(SmallFlight, PhotoRecordedFacingBackwardsIsTurned) {
  TSL_REQUIRE_TOOL("exiftool");
  auto plain = tessaly("-o " + test::shell_quote(out("plain.tif")) + " --dense off");
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  const fs::path photo = dir / "photos" / "DJI_0002.JPG";
  // Recorded -1.74 and +1.85 degrees.
  auto edit = test::run_command("exiftool -q -overwrite_original -n -XMP-drone-dji:GimbalYawDegree=178.26 "
                                "-XMP-drone-dji:FlightYawDegree=-178.15 " +
                                test::shell_quote(photo.string()));
  ASSERT_EQ(edit.exit_code, 0) << edit.err;
  auto r = tessaly("-o " + test::shell_quote(out("ortho.tif")) + " --dense off");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> lines = lines_of(r.out);
  EXPECT_TRUE(has_line(lines, "  heading check: DJI_0002.JPG turned by 180° (its recorded heading disagrees with its "
                              "overlaps)"))
      << r.out;
  EXPECT_TRUE(has_line(lines, "  matched 3/3 pairs, 180 tie points")) << r.out;

  auto report = json_parse(test::read_file_text(out("ortho_report.json")));
  auto reference = json_parse(test::read_file_text(out("plain_report.json")));
  ASSERT_TRUE(report && reference);
  EXPECT_NEAR((*report)["ground_z"].as_f64(), (*reference)["ground_z"].as_f64(), 0.5);
  const auto& shots = (*report)["shots"].as_array();
  const auto& ref_shots = (*reference)["shots"].as_array();
  ASSERT_EQ(shots.size(), ref_shots.size());
  for (size_t p = 0; p < shots.size(); ++p) {
    SCOPED_TRACE(p);
    EXPECT_LT(shots[p]["rot_corr"].as_f64(), 3.0);
    const auto& r1 = shots[p]["R"].as_array();
    const auto& r2 = ref_shots[p]["R"].as_array();
    ASSERT_EQ(r1.size(), 3u);
    for (size_t row = 0; row < 3; ++row)
      for (size_t col = 0; col < 3; ++col)  // 0.02: about a degree
        EXPECT_NEAR(r1[row].as_array()[col].as_f64(), r2[row].as_array()[col].as_f64(), 0.02);
  }
}

// Camera poses of a report: position and rotation per shot.
struct Pose {
  double e = 0, n = 0, h = 0;
  std::vector<double> r;
};

std::vector<Pose> report_poses(const std::string& path) {
  auto report = json_parse(test::read_file_text(path));
  EXPECT_TRUE(report.has_value()) << path;
  std::vector<Pose> poses;
  if (!report) return poses;
  for (const JsonValue& shot : (*report)["shots"].as_array()) {
    Pose p{shot["E"].as_f64(), shot["N"].as_f64(), shot["h"].as_f64(), {}};
    for (const JsonValue& row : shot["R"].as_array())
      for (const JsonValue& v : row.as_array()) p.r.push_back(v.as_f64());
    poses.push_back(std::move(p));
  }
  return poses;
}

// Within 1 cm and 0.01 degrees (the rotation matrices' entries within 1.7e-4).
void expect_same_poses(const std::vector<Pose>& got, const std::vector<Pose>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t p = 0; p < got.size(); ++p) {
    SCOPED_TRACE(format("shot {}", p));
    EXPECT_LT(std::hypot(got[p].e - want[p].e, got[p].n - want[p].n, got[p].h - want[p].h), 0.01);
    ASSERT_EQ(got[p].r.size(), want[p].r.size());
    for (size_t k = 0; k < got[p].r.size(); ++k) EXPECT_NEAR(got[p].r[k], want[p].r[k], 1.7e-4);
  }
}

// A tie file carries the headings its ties were matched under: a dump of a build that turned a
// photo, injected, gives the same poses. A file that does not say (an older dump) has the
// injected ties judged by the heading check; one that turns a photo the build does not have
// says so.
TEST_F(SmallFlight, TieFileRoundTripKeepsTheTurnedHeadings) {
  TSL_REQUIRE_TOOL("exiftool");
  const fs::path photo = dir / "photos" / "DJI_0002.JPG";
  auto edit = test::run_command("exiftool -q -overwrite_original -n -XMP-drone-dji:GimbalYawDegree=178.26 "
                                "-XMP-drone-dji:FlightYawDegree=-178.15 " +
                                test::shell_quote(photo.string()));
  ASSERT_EQ(edit.exit_code, 0) << edit.err;
  const fs::path dump = dir / "ties.json";
  auto dumped = tessaly("-o " + test::shell_quote(out("dump.tif")) + " --dense off --no-gains", "TSL_DUMP_MATCHES=" +
                        test::shell_quote(dump.string()));
  ASSERT_EQ(dumped.exit_code, 0) << dumped.err;
  ASSERT_EQ(read_turned_json(json_parse(test::read_file_text(dump))->as_array()),
            std::vector<std::string>{"DJI_0002.JPG"});
  const std::vector<Pose> want = report_poses(out("dump_report.json"));

  auto injected = tessaly("-o " + test::shell_quote(out("inject.tif")) + " --dense off --no-gains",
                          "TSL_MATCHES=" + test::shell_quote(dump.string()));
  ASSERT_EQ(injected.exit_code, 0) << injected.err;
  EXPECT_TRUE(has_line(lines_of(injected.out),
                       "  heading check: DJI_0002.JPG turned by 180° (as the tie file records)"))
      << injected.out;
  expect_same_poses(report_poses(out("inject_report.json")), want);

  // Without the record, and with a turned photo of another flight.
  auto pairs = read_tie_file(dump);
  ASSERT_TRUE(pairs);
  const fs::path older = dir / "older.json", other = dir / "other.json";
  ASSERT_TRUE(write_tie_file(older, *pairs));
  ASSERT_TRUE(write_tie_file(other, *pairs, std::vector<std::string>{"DJI_0002.JPG", "DJI_9999.JPG"}));
  auto judged = tessaly("-o " + test::shell_quote(out("older.tif")) + " --dense off --no-gains",
                        "TSL_MATCHES=" + test::shell_quote(older.string()));
  ASSERT_EQ(judged.exit_code, 0) << judged.err;
  EXPECT_TRUE(has_line(lines_of(judged.out), "  heading check: DJI_0002.JPG turned by 180° (its recorded heading "
                                             "disagrees with its ties)"))
      << judged.out;
  expect_same_poses(report_poses(out("older_report.json")), want);
  auto foreign = tessaly("-o " + test::shell_quote(out("other.tif")) + " --dense off --no-gains",
                         "TSL_MATCHES=" + test::shell_quote(other.string()));
  ASSERT_EQ(foreign.exit_code, 0) << foreign.err;
  EXPECT_TRUE(has_line(lines_of(foreign.out), "  warning: tie file turns DJI_9999.JPG, which this build does not have"))
      << foreign.out;
  expect_same_poses(report_poses(out("other_report.json")), want);
}

// The warning about photos without ties and the report's list describe the final solution: a
// photo that only dense ties hold was placed by the second adjustment.
TEST_F(SmallFlight, PhotoHeldOnlyByDenseTiesIsNotUnconnected) {
  const fs::path dump = dir / "ties.json", partial = dir / "partial.json";
  auto dumped = tessaly("-o " + test::shell_quote(out("dump.tif")) + " --dense off",
                        "TSL_DUMP_MATCHES=" + test::shell_quote(dump.string()));
  ASSERT_EQ(dumped.exit_code, 0) << dumped.err;
  auto pairs = read_tie_file(dump);
  ASSERT_TRUE(pairs);
  std::erase_if(*pairs, [](const PairMatch& p) { return p.i == 2 || p.j == 2; });
  ASSERT_FALSE(pairs->empty());
  ASSERT_TRUE(write_tie_file(partial, *pairs, std::vector<std::string>{}));
  const std::string inject = "TSL_MATCHES=" + test::shell_quote(partial.string());
  const std::string warning = "  warning: 1 image(s) had no tie points (metadata pose used): DJI_0003.JPG";

  auto sparse = tessaly("-o " + test::shell_quote(out("sparse.tif")) + " --dense off", inject);
  ASSERT_EQ(sparse.exit_code, 0) << sparse.err;
  EXPECT_TRUE(has_line(lines_of(sparse.out), warning)) << sparse.out;
  auto report = json_parse(test::read_file_text(out("sparse_report.json")));
  ASSERT_TRUE(report);
  EXPECT_EQ(json_to_string((*report)["adjustment"]["unconnected"]), R"(["DJI_0003.JPG"])");

  auto dense = tessaly("-o " + test::shell_quote(out("dense.tif")), inject);
  ASSERT_EQ(dense.exit_code, 0) << dense.err;
  EXPECT_FALSE(has_line(lines_of(dense.out), warning)) << dense.out;
  report = json_parse(test::read_file_text(out("dense_report.json")));
  ASSERT_TRUE(report);
  EXPECT_GE((*report)["adjustment"]["dense_pairs"].as_f64(), 2.0);
  EXPECT_EQ(json_to_string((*report)["adjustment"]["unconnected"]), "[]");
}

TEST_F(SmallFlight, PlaneSurfaceKeepsThePlaneAfterAdjustment) {
  auto r = tessaly("-o " + test::shell_quote(out("ortho.tif")) + " --dense off --surface plane");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  auto report = json_parse(test::read_file_text(out("ortho_report.json")));
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ((*report)["surface"]["kind"].as_string(), "plane");
  EXPECT_EQ((*report)["surface"]["z0"].as_f64(), (*report)["ground_z"].as_f64());
  EXPECT_EQ(r.out.find("  surface: "), std::string::npos);
  EXPECT_EQ(listing(dir / "out"), SEVEN_FILES);
}

// --- in-process builds -------------------------------------------------------------------

Config config_of(const std::vector<std::string>& words) {
  auto map = parse_args(words);
  EXPECT_TRUE(map.has_value()) << map.error();
  return Config::from_options(*map);
}

// One photo: no refinement, gain 1 (its own exposure is the median), no seams even with
// multi-band blending, an empty adjustment and tie list; the last run holds the result.
TEST_F(SmallFlight, OnePhoto) {
  fs::remove(dir / "photos" / "DJI_0002.JPG");
  fs::remove(dir / "photos" / "DJI_0003.JPG");
  test::SinkCapture log;
  auto report = run_pipeline(config_of({(dir / "photos").string(), "-o", out("ortho.tif"), "--gsd", "30",
                                        "--disk-cache-gb", "0", "--workers", "2"}));
  ASSERT_TRUE(report.has_value()) << report.error();
  EXPECT_TRUE(has_line(log.lines(), "[2-4/6] refinement skipped (metadata placement only)"));
  EXPECT_EQ(json_to_string((*report)["shots"].at(0)["gain"]), "[1, 1, 1]");
  EXPECT_EQ(json_to_string((*report)["adjustment"]), "{}");
  EXPECT_EQ(json_to_string((*report)["tie_pairs"]), "[]");
  EXPECT_TRUE((*report)["seam_file"].is_null());
  EXPECT_EQ((*report)["workers"].as_f64(), 2);
  ASSERT_EQ((*report)["timings"].size(), 4u);
  EXPECT_EQ((*report)["timings"].as_object().back().first, "render");
  std::shared_ptr<const LastRun> run = take_last_run();
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(run->report_path, out("ortho_report.json"));
  EXPECT_EQ(run->images.size(), 1u);
  EXPECT_FALSE(run->seam_map.has_value());
  EXPECT_EQ(run->epsg, 32632);
  EXPECT_GT(run->native_gsd, 0.08);  // 70 m over 800 px
  EXPECT_LT(run->native_gsd, 0.09);
  EXPECT_EQ(listing(dir / "out"), (std::vector<std::string>{"ortho.tfw", "ortho.tif", "ortho_preview.jpg",
                                                            "ortho_preview_mask.png", "ortho_preview_neutral.jpg",
                                                            "ortho_report.json"}));
}

// A report that cannot be written fails the build with the system's text, after the mosaic
// is complete and the new result published.
TEST_F(SmallFlight, ReportWriteErrorAfterTheLastRunIsPublished) {
  fs::create_directories(dir / "out" / "ortho_report.json" / "x");
  clear_last_run();
  test::SinkCapture log;
  auto report = run_pipeline(
      config_of({(dir / "photos").string(), "-o", out("ortho.tif"), "--gsd", "30", "--disk-cache-gb", "0", "--no-refine",
                 "--no-preview", "--no-gains", "--blend", "feather"}));
  ASSERT_FALSE(report.has_value());
  EXPECT_NE(report.error().find("(os error "), std::string::npos) << report.error();
  std::shared_ptr<const LastRun> run = take_last_run();
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(run->report_path, out("ortho_report.json"));
  EXPECT_EQ(run->gains, std::vector<Gain>(3, Gain{1, 1, 1}));
  // The build's files are committed together: none replaced what stood under its name.
  EXPECT_EQ(listing(dir / "out"), (std::vector<std::string>{"ortho_report.json"}));
}

// A build cancelled in the middle of the render (the studio's cancel) unwinds without a trace:
// the previous mosaic stays and no partial file is left.
TEST_F(SmallFlight, CancelledRenderKeepsThePreviousMosaic) {
  const Config config = config_of({(dir / "photos").string(), "-o", out("ortho.tif"), "--gsd", "30", "--disk-cache-gb",
                                   "0", "--no-refine", "--blend", "feather"});
  {
    test::SinkCapture log;
    ASSERT_TRUE(run_pipeline(config).has_value());
  }
  const std::vector<uint8_t> before = test::read_file_bytes(out("ortho.tif"));
  // The renderer's first line comes after the GeoTIFF was created under its partial name.
  set_log_sink([](std::string_view line) {
    if (line == "render: CPU") cancel_requested.store(true);
  });
  set_log_cancellable(true);
  bool cancelled = false;
  try {
    (void)run_pipeline(config);
  } catch (const Cancelled&) {
    cancelled = true;
  }
  set_log_cancellable(false);
  cancel_requested.store(false);
  set_log_sink(std::nullopt);
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(test::read_file_bytes(out("ortho.tif")), before);
  for (const std::string& name : listing(dir / "out")) EXPECT_EQ(name.find(".partial"), std::string::npos) << name;
}

// An output pointed into a photo moves beside it, and the report names where it went.
TEST_F(SmallFlight, OutputInsideAPhotoIsRedirected) {
  test::SinkCapture log;
  auto report = run_pipeline(config_of({(dir / "photos").string(), "-o", (dir / "photos" / "DJI_0001.JPG" / "o.tif").string(),
                                        "--gsd", "30", "--disk-cache-gb", "0", "--no-refine", "--no-preview"}));
  ASSERT_TRUE(report.has_value()) << report.error();
  const fs::path want = dir / "photos" / "tessaly" / "photos_ortho.tif";
  EXPECT_EQ((*report)["output"].as_string(), want.string());
  EXPECT_TRUE(fs::exists(want));
  EXPECT_TRUE(fs::exists(dir / "photos" / "tessaly" / "photos_ortho_report.json"));
  EXPECT_TRUE(has_line(log.lines(), "  output folder pointed inside the file DJI_0001.JPG -> writing to " + want.string()));
}

}  // namespace
}  // namespace tsl
