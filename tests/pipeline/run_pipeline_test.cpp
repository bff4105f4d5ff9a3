#include "pipeline/run_pipeline.h"

#include <gtest/gtest.h>

#include <cmath>

#include "meta/fixture_cache.h"
#include "support/test_util.h"
#include "util/text.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

// The command line until the later stages exist: the metadata stage's log, then a clear stop.
TEST(CommandLineBuild, PrintsTheMetadataStageThenStops) {
  const fs::path pool = test::cached_fixture_dir("tests/pipeline/stage_fixtures.py");
  if (pool.empty()) GTEST_SKIP() << "needs cjpeg, exiftool and python3-tifffile";
  test::TempDir dir;
  for (int k = 0; k < 4; ++k) fs::copy_file(pool / format("line_{}.jpg", k), dir / format("DJI_000{}.JPG", k));
  fs::copy_file(pool / "tilted_64_9.jpg", dir / "DJI_0004.JPG");
  test::write_file_text(dir / "DJI_0005.JPG", "");
  test::write_file_text(dir / "flight.srt", "");
  auto r = test::run_command(test::shell_quote(test::tessaly_exe().string()) + " " +
                             test::shell_quote(dir.path().string()) + " --no-refine");
  EXPECT_EQ(r.exit_code, 1);
  const double f = 20 * std::hypot(64.0, 48.0) / std::hypot(36.0, 24.0);
  EXPECT_EQ(r.out, format("[1/6] metadata: 6 files\n"
                          "  skip DJI_0005.JPG: cannot read JPEG size\n"
                          "  skip DJI_0004.JPG: tilted -65°\n"
                          "  4 usable (0 DNG) | DJI FC300S 64x48 f={:.0}px lens=none vignette=none\n"
                          "  UTM zone 15N (EPSG:32615), median rel. alt 40.1 m\n",
                          f));
  EXPECT_EQ(r.err, "error: 4 usable image(s) read; the build stages after metadata are not available in this version\n");
}

TEST(CommandLineBuild, EmptyFolderHasNoImages) {
  test::TempDir dir;
  auto r = test::run_command(test::shell_quote(test::tessaly_exe().string()) + " " +
                             test::shell_quote(dir.path().string()));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error: no images found\n");
}

}  // namespace
}  // namespace tsl
