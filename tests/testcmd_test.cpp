#include "testcmd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "img/dng/tiff_builder.h"
#include "img/jpeg/decode.h"
#include "img/jpeg/encode.h"
#include "imageio/srgb.h"
#include "support/test_util.h"
#include "util/npy.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;
using test::shell_quote;
using test::TempDir;

// Runs the program with HOME pointing into `dir`, so a DNG load's disk cache lands there.
test::CommandResult run_exe(const TempDir& dir, const std::string& args) {
  return test::run_command("env -u LOCALAPPDATA -u XDG_CACHE_HOME HOME=" + shell_quote(dir.path().string()) + " " +
                           shell_quote(test::tessaly_exe().string()) + " " + args);
}

NpyArray read_npy(const fs::path& path) {
  auto a = npy_read(test::read_file_bytes(path));
  EXPECT_TRUE(a.has_value());
  return a ? std::move(*a) : NpyArray{};
}

// A 5 x 3 CFA DNG (raw in IFD0, 16-bit ramp, no colour tags).
std::vector<uint8_t> small_dng() {
  std::vector<uint16_t> ramp(15);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint16_t>(i * 4000);
  return test::build_tiff({test::cfa_ifd(5, 3, 16, {test::u16_bytes(ramp)}, 3)});
}

// The samples are exactly our JPEG decode through the sRGB table; against djpeg (float IDCT,
// the same chroma upsampling) they are within the JPEG decoder's own tolerance: 3 levels at
// most, half a level on average, counted in 8-bit codes.
TEST(TestCommands, LoadOfAJpegEqualsDjpegThroughTheSrgbTable) {
  TSL_REQUIRE_TOOL("djpeg");
  TempDir dir;
  ImageU8 rgb(37, 23, 3);
  for (size_t i = 0; i < rgb.data.size(); ++i) rgb.data[i] = static_cast<uint8_t>((i * 7919) % 256);
  auto jpeg = encode_jpeg(rgb, 85);
  ASSERT_TRUE(jpeg);
  test::write_file_bytes(dir / "p.jpg", *jpeg);
  auto run = run_exe(dir, "__load " + shell_quote((dir / "p.jpg").string()) + " " + shell_quote((dir / "o.npy").string()));
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_TRUE(std::regex_search(run.err, std::regex("^meta: 37x23 lat NaN lon NaN rel_alt NaN yaw NaN pitch NaN "
                                                    "exposure NaN focal_mm NaN model \n")))
      << run.err;
  EXPECT_NE(run.err.find("\nloaded 37x23 scale (1.0, 1.0)\n"), std::string::npos) << run.err;

  auto ppm = test::run_command("djpeg -dct float -ppm " + shell_quote((dir / "p.jpg").string()) + " > " +
                               shell_quote((dir / "p.ppm").string()));
  ASSERT_EQ(ppm.exit_code, 0) << ppm.err;
  const std::vector<uint8_t> bytes = test::read_file_bytes(dir / "p.ppm");
  const std::string header = "P6\n37 23\n255\n";
  ASSERT_EQ(std::string(bytes.begin(), bytes.begin() + header.size()), header);
  const NpyArray out = read_npy(dir / "o.npy");
  EXPECT_EQ(out.shape, (std::vector<uint64_t>{23, 37, 3}));
  const auto& values = std::get<std::vector<float>>(out.data);
  ASSERT_EQ(values.size(), 37u * 23u * 3u);
  const auto& table = srgb_to_linear_8();
  auto ours = decode_jpeg(*jpeg);
  ASSERT_TRUE(ours);
  size_t mismatches = 0;
  int worst = 0;
  double total = 0.0;
  for (size_t i = 0; i < values.size(); ++i) {
    mismatches += values[i] != table[ours->data[i]];
    // The table rises strictly, so each value names its 8-bit code.
    const int code = static_cast<int>(std::lower_bound(table.begin(), table.end(), uint16_t(values[i])) - table.begin());
    const int diff = std::abs(code - int(bytes[header.size() + i]));
    worst = std::max(worst, diff);
    total += diff;
  }
  EXPECT_EQ(mismatches, 0u);
  EXPECT_LE(worst, 3);
  EXPECT_LT(total / values.size(), 0.5);
}

TEST(TestCommands, LoadOfADngGoesThroughTheDiskCache) {
  TempDir dir;
  test::write_file_bytes(dir / "r.dng", small_dng());
  const std::string args = "__load " + shell_quote((dir / "r.dng").string()) + " ";
  auto first = run_exe(dir, args + shell_quote((dir / "1.npy").string()));
  ASSERT_EQ(first.exit_code, 0) << first.err;
  EXPECT_NE(first.err.find("\nloaded 5x3 scale (1.0, 1.0)\n"), std::string::npos) << first.err;
  size_t entries = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir / ".cache/tessaly/decoded"))
    entries += e.path().extension() == ".tslc";
  EXPECT_EQ(entries, 1u);
  auto second = run_exe(dir, args + shell_quote((dir / "2.npy").string()));
  ASSERT_EQ(second.exit_code, 0) << second.err;
  EXPECT_EQ(test::read_file_bytes(dir / "1.npy"), test::read_file_bytes(dir / "2.npy"));
}

TEST(TestCommands, DngTestDevelopsAtHalfSizeOnlyForTheFlagOne) {
  TempDir dir;
  test::write_file_bytes(dir / "r.dng", small_dng());
  struct Case {
    const char* flag;
    std::vector<uint64_t> shape;
  };
  const Case cases[] = {{"1", {2, 3, 3}}, {"0", {3, 5, 3}}, {"true", {3, 5, 3}}, {"01", {3, 5, 3}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flag);
    auto run = run_exe(dir, "__dngtest " + shell_quote((dir / "r.dng").string()) + " " +
                                shell_quote((dir / "o.npy").string()) + " " + c.flag);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const std::string size = std::to_string(c.shape[1]) + "x" + std::to_string(c.shape[0]);
    EXPECT_TRUE(std::regex_search(run.err, std::regex("^develop " + size + " in [0-9]+ ms\n"))) << run.err;
    EXPECT_TRUE(std::regex_search(run.err, std::regex("\nmeta: 5x3 lat NaN lon NaN rel_alt NaN yaw NaN pitch NaN "
                                                      "exposure NaN focal_mm NaN lens None fx None processed "
                                                      "false\n$")))
        << run.err;
    EXPECT_EQ(read_npy(dir / "o.npy").shape, c.shape);
  }
}

TEST(TestCommands, FailuresAreInternalErrors) {
  TempDir dir;
  const struct {
    const char* name;
    std::string args;
  } cases[] = {
      {"missing photo", "__load " + shell_quote((dir / "none.jpg").string()) + " o.npy"},
      {"missing DNG", "__dngtest " + shell_quote((dir / "none.dng").string()) + " o.npy 1"},
      {"unwritable output", "__dngtest " + shell_quote((dir / "r.dng").string()) + " " +
                                shell_quote((dir / "no/such/dir/o.npy").string()) + " 1"},
      {"missing JPEG", "__sifttest " + shell_quote((dir / "none.jpg").string())},
      {"not a JPEG", "__sifttest " + shell_quote((dir / "r.dng").string())},
  };
  test::write_file_bytes(dir / "r.dng", small_dng());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto run = run_exe(dir, c.args);
    EXPECT_EQ(run.exit_code, 101) << run.err;
    EXPECT_NE(run.err.find("panicked"), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace tsl
