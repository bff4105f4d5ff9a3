// Damaged and hostile inputs given to a whole command-line build: photos cut short or corrupt,
// impossible positions and altitudes, entries named like photos that are no photos, inputs
// that would read without end, and reused reports with numbers no flight can have. Every case
// runs the real program on a few photos of the bundled sample flight, with its peak memory
// measured and its time bounded.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>
#include <span>
#include <string>
#include <vector>

#include "cache/record.h"
#include "sift/feature_record.h"
#include "support/test_util.h"
#include "util/json.h"
#include "util/npy.h"
#include "util/text.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

constexpr const char* PHOTOS[] = {"DJI_0001.JPG", "DJI_0002.JPG", "DJI_0003.JPG", "DJI_0004.JPG"};
// Every case must stay well below this: the unbounded reads grew to gigabytes.
constexpr uint64_t PEAK_LIMIT_KB = 512 * 1024;

struct Measured {
  int exit_code = -1;
  std::string out, err;
  uint64_t peak_kb = 0;
};

// Runs the program under a python parent that reports its peak resident size (the parent's
// only child) and kills it after two minutes (exit 124).
Measured run_measured(const fs::path& dir, const std::string& args) {
  const fs::path script = dir / "measure.py";
  const fs::path peak = dir / "peak.txt";
  test::write_file_text(script,
                        "import resource, subprocess, sys\n"
                        "try:\n"
                        "    code = subprocess.run(sys.argv[2:], timeout=120).returncode\n"
                        "except subprocess.TimeoutExpired:\n"
                        "    code = 124\n"
                        "open(sys.argv[1], 'w').write(str(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss))\n"
                        "sys.exit(code)\n");
  const test::CommandResult r =
      test::run_command(test::python3() + " " + test::shell_quote(script.string()) + " " +
                        test::shell_quote(peak.string()) + " " + test::shell_quote(test::tessaly_exe().string()) +
                        " " + args);
  Measured out{r.exit_code, r.out, r.err, 0};
  out.peak_kb = std::stoull("0" + test::read_file_text(peak));
  return out;
}

// Replaces the value of an XMP attribute by text of the same length, so that no segment
// length changes.
void patch_xmp(const fs::path& photo, const std::string& attr, const std::string& value) {
  std::vector<uint8_t> bytes = test::read_file_bytes(photo);
  std::string text(bytes.begin(), bytes.end());
  const std::string key = "drone-dji:" + attr + "=\"";
  const size_t at = text.find(key);
  ASSERT_NE(at, std::string::npos) << attr;
  const size_t start = at + key.size(), end = text.find('"', start);
  ASSERT_EQ(end - start, value.size()) << attr << " holds " << text.substr(start, end - start);
  std::copy(value.begin(), value.end(), bytes.begin() + static_cast<std::ptrdiff_t>(start));
  test::write_file_bytes(photo, bytes);
}

// Where a JPEG's entropy-coded data starts: after its first SOS segment.
size_t scan_start(const std::vector<uint8_t>& jpeg) {
  for (size_t p = 2; p + 4 < jpeg.size();) {
    const size_t len = (size_t{jpeg[p + 2]} << 8) | jpeg[p + 3];
    if (jpeg[p + 1] == 0xDA) return p + 2 + len;
    p += 2 + len;
  }
  return 0;
}

// Rewrites the first match of `pattern` in a text file.
void replace_in_file(const fs::path& file, const std::string& pattern, const std::string& with) {
  const std::string text = test::read_file_text(file);
  const std::string changed = std::regex_replace(text, std::regex(pattern), with, std::regex_constants::format_first_only);
  ASSERT_NE(changed, text) << pattern;
  test::write_file_text(file, changed);
}

class DamagedInputs : public ::testing::Test {
 public:
  test::TempDir tmp;
  fs::path base_report;

  // One intact build whose report the reuse cases edit.
  void make_base_report() {
    const fs::path base = make_photos("base");
    const Measured r = run_measured(tmp.path(), build_args(base, "base") + " --blend feather");
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    base_report = tmp / "base_out/ortho_report.json";
    ASSERT_TRUE(fs::exists(base_report));
  }

  fs::path make_photos(const std::string& name, std::span<const char* const> photos = PHOTOS) const {
    const fs::path dir = tmp / name;
    fs::create_directories(dir);
    for (const char* photo : photos) fs::copy_file(test::source_dir() / "samples/flight" / photo, dir / photo);
    return dir;
  }

  std::string build_args(const fs::path& photos, const std::string& name) const {
    return test::shell_quote(photos.string()) + " -o " + test::shell_quote((tmp / (name + "_out") / "ortho.tif").string()) +
           " --no-refine --gsd 60 --disk-cache-gb 0 --no-preview --surface plane";
  }

  // A copy of the intact report with one edit, as --reuse arguments.
  std::string reuse_edited(const std::string& name, const std::string& pattern, const std::string& with) const {
    const fs::path report = tmp / (name + "_report.json");
    fs::copy_file(base_report, report);
    replace_in_file(report, pattern, with);
    return " --reuse " + test::shell_quote(report.string());
  }
};

struct Case {
  std::string name;
  // Damages the case's photo folder; returns extra arguments.
  std::function<std::string(const fs::path& photos, const DamagedInputs& fixture)> damage;
  int exit_code;
  std::string line;         // a line (part) the build must print, on stdout or stderr
  bool mosaic = true;       // the mosaic is written
};

// Runs every case on its own copy of the photos: exit code, message, peak memory, mosaic.
void run_cases_in(DamagedInputs& f, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = "case" + std::to_string(&c - cases.data());
    const fs::path photos = f.make_photos(name);
    std::string extra = c.damage(photos, f);
    if (extra.find("--blend") == std::string::npos) extra += " --blend feather";
    const Measured r = run_measured(f.tmp.path(), f.build_args(photos, name) + extra);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.line), std::string::npos) << r.out << r.err;
    EXPECT_LT(r.peak_kb, PEAK_LIMIT_KB);
    EXPECT_EQ(fs::exists(f.tmp / (name + "_out") / "ortho.tif"), c.mosaic);
    EXPECT_EQ(r.err.find("internal error"), std::string::npos) << r.err;
    fs::remove_all(photos);
  }
}

TEST_F(DamagedInputs, PhotosAndEntriesEndWithTheirMessageInBoundedMemory) {
  // A photo cut short goes through the seams and the multi-band render; every other case
  // through the quicker feather blend.
  const auto cut = [](const char* photo, double keep) {
    return [photo, keep](const fs::path& dir, const DamagedInputs&) {
      std::vector<uint8_t> bytes = test::read_file_bytes(dir / photo);
      bytes.resize(static_cast<size_t>(static_cast<double>(bytes.size()) * keep));
      test::write_file_bytes(dir / photo, bytes);
      return std::string(" --blend multiband");
    };
  };
  const auto xmp = [](const char* attr, const char* value) {
    return [attr, value](const fs::path& dir, const DamagedInputs&) {
      patch_xmp(dir / "DJI_0002.JPG", attr, value);
      return std::string();
    };
  };
  const std::vector<Case> cases = {
      {"photo cut short", cut("DJI_0003.JPG", 0.6), 0, "warning: DJI_0003.JPG: image data ends early or is corrupt"},
      {"zeros in place of the photo's tail",
       [](const fs::path& dir, const DamagedInputs&) {
         std::vector<uint8_t> bytes = test::read_file_bytes(dir / "DJI_0003.JPG");
         std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2), bytes.end(), 0);
         test::write_file_bytes(dir / "DJI_0003.JPG", bytes);
         return std::string();
       },
       0, "warning: DJI_0003.JPG: image data ends early or is corrupt"},
      {"corrupt scan data",
       [](const fs::path& dir, const DamagedInputs&) {
         std::vector<uint8_t> bytes = test::read_file_bytes(dir / "DJI_0003.JPG");
         const size_t at = scan_start(bytes) + (bytes.size() - scan_start(bytes)) / 2;
         std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), 64, 0xFF);
         test::write_file_bytes(dir / "DJI_0003.JPG", bytes);
         return std::string();
       },
       0, "warning: DJI_0003.JPG: image data ends early or is corrupt"},
      {"stray DHT marker mid-scan",
       [](const fs::path& dir, const DamagedInputs&) {
         // Ended the whole build with "bad DHT segment" before.
         std::vector<uint8_t> bytes = test::read_file_bytes(dir / "DJI_0003.JPG");
         size_t at = scan_start(bytes) + (bytes.size() - scan_start(bytes)) / 2;
         while (bytes[at - 1] == 0xFF || bytes[at] == 0xFF) ++at;
         const uint8_t junk[] = {0xFF, 0xC4, 0x00, 0x40, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
         bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), std::begin(junk), std::end(junk));
         test::write_file_bytes(dir / "DJI_0003.JPG", bytes);
         return std::string();
       },
       0, "warning: DJI_0003.JPG: image data ends early or is corrupt"},
      {"latitude beyond 90", xmp("GpsLatitude", "+95.5000000000"), 0, "skip DJI_0002.JPG: GPS position out of range"},
      {"longitude beyond 180", xmp("GpsLongitude", "+200.99999999"), 0, "skip DJI_0002.JPG: GPS position out of range"},
      {"relative altitude of 100 km", xmp("RelativeAltitude", "+100000"), 0, "skip DJI_0002.JPG: altitude out of range"},
      {"relative altitude of 1e308", xmp("RelativeAltitude", "+1e+308"), 0, "skip DJI_0002.JPG: altitude out of range"},
      {"photo 110 km from the flight", xmp("GpsLatitude", "+48.0000000000"), 0,
       "skip DJI_0002.JPG: far from the rest of the flight"},
      {"folder named like a photo",
       [](const fs::path& dir, const DamagedInputs&) {
         fs::create_directory(dir / "folder.JPG");
         return std::string();
       },
       0, "skip folder.JPG: Is a directory (os error 21)"},
      {"dangling link named like a photo",
       [](const fs::path& dir, const DamagedInputs&) {
         fs::create_symlink(dir / "missing.JPG", dir / "dangling.JPG");
         return std::string();
       },
       0, "skip dangling.JPG: No such file or directory"},
      {"looping link named like a photo",
       [](const fs::path& dir, const DamagedInputs&) {
         fs::create_symlink(dir / "loop.JPG", dir / "loop.JPG");
         return std::string();
       },
       0, "skip loop.JPG: Too many levels of symbolic links"},
      {"FIFO named like a photo",
       [](const fs::path& dir, const DamagedInputs&) {
         EXPECT_EQ(::mkfifo((dir / "fifo.JPG").c_str(), 0600), 0);
         return std::string();
       },
       0, "skip fifo.JPG: not a regular file (FIFO)"},
      {"FIFO given as a photo",
       [](const fs::path& dir, const DamagedInputs&) {
         EXPECT_EQ(::mkfifo((dir.parent_path() / "given_fifo.JPG").c_str(), 0600), 0);
         return " " + test::shell_quote((dir.parent_path() / "given_fifo.JPG").string());
       },
       0, "skip given_fifo.JPG: not a regular file (FIFO)"},
      {"/dev/zero named like a photo",
       [](const fs::path& dir, const DamagedInputs&) {
         fs::create_symlink("/dev/zero", dir / "zero.JPG");
         return std::string();
       },
       0, "skip zero.JPG: not a regular file (character device)"},
      {"3 GB of zeros named like a photo",
       [](const fs::path& dir, const DamagedInputs&) {
         test::write_file_bytes(dir / "big.JPG", {});
         fs::resize_file(dir / "big.JPG", 3'000'000'000);  // sparse: no disk space taken
         return std::string();
       },
       0, "skip big.JPG: cannot read JPEG size"},
  };
  run_cases_in(*this, cases);
}

TEST_F(DamagedInputs, ReusedReportsWithImpossibleValuesEndWithOneErrorLine) {
  make_base_report();
  const auto report = [](const char* name, const char* pattern, const char* with) {
    return [name, pattern, with](const fs::path&, const DamagedInputs& f) { return f.reuse_edited(name, pattern, with); };
  };
  const std::vector<Case> cases = {
      {"/dev/zero as the reused report",
       [](const fs::path&, const DamagedInputs&) { return std::string(" --reuse /dev/zero"); }, 1,
       "error: cannot read /dev/zero: not a regular file (character device)", false},
      {"FIFO as the reused report",
       [](const fs::path& dir, const DamagedInputs&) {
         EXPECT_EQ(::mkfifo((dir / "report.json").c_str(), 0600), 0);
         return " --reuse " + test::shell_quote((dir / "report.json").string());
       },
       1, "not a regular file (FIFO)", false},
      {"reused shot 1e300 m high", report("h", R"("h": [-0-9.]+)", R"("h": 1e300)"), 1, "out of range", false},
      {"reused shot 1e300 m east", report("E", R"("E": [-0-9.]+)", R"("E": 1e300)"), 1, "out of range", false},
      {"reused ground height 1e308", report("ground", R"("ground_z": [-0-9.]+)", R"("ground_z": 1e308)"), 1,
       "ground_z", false},
      {"/dev/zero as the reused terrain",
       [](const fs::path&, const DamagedInputs& f) {
         return f.reuse_edited("terrain_zero", R"("surface_file": null)", R"("surface_file": "/dev/zero")") +
                " --surface dsm";
       },
       1, "error: cannot read terrain /dev/zero: not a regular file (character device)", false},
      {"reused terrain heights of 1e30",
       [](const fs::path& dir, const DamagedInputs& f) {
         // A 2 x 2 grid around the first reused shot, every node 1e30 m high.
         const JsonValue doc = *json_parse(test::read_file_text(f.base_report));
         const JsonValue& shot = doc["shots"].at(0);
         const fs::path npz = dir.parent_path() / "terrain_1e30.npz";
         const std::vector<NamedArray> arrays = {
             {"z0", NpyArray{std::vector<double>{0.0}, {}}},
             {"E0", NpyArray{std::vector<double>{shot["E"].as_f64() - 50.0}, {}}},
             {"N0", NpyArray{std::vector<double>{shot["N"].as_f64() + 50.0}, {}}},
             {"cell", NpyArray{std::vector<double>{100.0}, {}}},
             {"Z", NpyArray{std::vector<float>(4, 1e30f), {2, 2}}},
         };
         EXPECT_TRUE(write_npz(npz, arrays).has_value());
         return f.reuse_edited("terrain_1e30", R"("surface_file": null)", "\"surface_file\": \"" + npz.string() + "\"") +
                " --surface dsm";
       },
       1, "height beyond 10000 m", false},
  };
  run_cases_in(*this, cases);
}

// Pixels of a GeoTIFF mosaic whose alpha is not 0 (GDAL as the reader).
int64_t covered_pixels(const fs::path& tif) {
  const auto r = test::run_command(test::python3() +
                                   " -c 'import sys; from osgeo import gdal; a = gdal.Open(sys.argv[1]).ReadAsArray(); "
                                   "print(int((a[3] > 0).sum()))' " +
                                   test::shell_quote(tif.string()));
  return r.exit_code == 0 ? std::stoll(r.out) : -1;
}

// One photo alone, so that nothing else can fill its gaps: where its data ended the mosaic
// must show a hole, not grey or coloured blocks made from zero bits (the fault this pins).
// Regression: a folder at a feature cache entry ended every build with an internal error, a
// FIFO made it wait for ever, /dev/zero or a 3 GB file was read whole until memory ran out,
// and a record with a NaN thumbnail scale gave its photo a gain of 1.85 (a bright patch). Each
// damaged entry is a miss: the photo is extracted again and the result is the intact build's.
TEST_F(DamagedInputs, DamagedFeatureCacheEntriesAreMissesInBoundedMemory) {
  const char* const three[] = {"DJI_0001.JPG", "DJI_0002.JPG", "DJI_0003.JPG"};
  const fs::path photos = make_photos("cached", three);
  const fs::path cache = tmp / "cache";
  const std::string args = test::shell_quote(photos.string()) + " -o " +
                           test::shell_quote((tmp / "cached_out" / "ortho.tif").string()) +
                           " --gsd 60 --no-preview --surface plane --blend feather --match-px 600 --disk-cache-gb 1"
                           " --cache-dir " + test::shell_quote(cache.string());
  auto gains_of = [&] {
    auto report = json_parse(test::read_file_text(tmp / "cached_out" / "ortho_report.json"));
    std::vector<double> gains;
    if (report)
      for (const JsonValue& shot : (*report)["shots"].as_array())
        for (double g : shot["gain"].to_f64_vec()) gains.push_back(g);
    return gains;
  };
  for (int run = 0; run < 2; ++run) {
    const Measured r = run_measured(tmp.path(), args);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  }
  const std::vector<double> intact = gains_of();
  ASSERT_EQ(intact.size(), 9u);
  std::vector<fs::path> entries;
  for (const auto& e : fs::recursive_directory_iterator(cache / "features"))
    if (e.path().extension() == ".tslc") entries.push_back(e.path());
  ASSERT_EQ(entries.size(), 3u);
  std::sort(entries.begin(), entries.end());
  const fs::path entry = entries[0];
  const std::vector<uint8_t> good = test::read_file_bytes(entry);

  // The intact record with one change.
  auto edited = [&](std::function<void(FeatureSet&)> edit) {
    return [edit, good](const fs::path& at) {
      auto record = parse_cache_record(good);
      auto features = record ? decode_feature_record(*record) : std::nullopt;
      if (!features) return false;
      edit(*features);
      test::write_file_bytes(at, encode_cache_record(encode_feature_record(*features)));
      return true;
    };
  };
  struct EntryCase {
    const char* name;
    std::function<bool(const fs::path& at)> make;  // false: not possible here, skipped
  };
  const std::vector<EntryCase> cases = {
      {"folder", [](const fs::path& at) { return fs::create_directory(at); }},
      {"FIFO", [](const fs::path& at) { return mkfifo(at.c_str(), 0644) == 0; }},
      {"link to /dev/zero",
       [](const fs::path& at) { return fs::exists("/dev/zero") && (fs::create_symlink("/dev/zero", at), true); }},
      // Sparse: 3 GB long without taking the disk space.
      {"3 GB file",
       [](const fs::path& at) {
         return test::run_command("truncate -s 3G " + test::shell_quote(at.string())).exit_code == 0;
       }},
      {"NaN thumbnail scale", edited([](FeatureSet& f) { f.tsc.x = std::nan(""); })},
      {"keypoints outside the photo", edited([](FeatureSet& f) {
         for (Vec2& p : f.kp) p.x += 1e6;
       })},
  };
  for (const EntryCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(entry);
    if (!c.make(entry)) continue;
    const Measured r = run_measured(tmp.path(), args);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("features: 2/3 from cache"), std::string::npos) << r.out;
    EXPECT_LT(r.peak_kb, PEAK_LIMIT_KB);
    const std::vector<double> gains = gains_of();
    ASSERT_EQ(gains.size(), intact.size());
    // The re-extracted photo's keypoints are not rounded to single precision as cached ones are.
    for (size_t i = 0; i < gains.size(); ++i) EXPECT_NEAR(gains[i], intact[i], 2e-3) << i;
    fs::remove_all(entry);
    test::write_file_bytes(entry, good);
  }
}

TEST_F(DamagedInputs, UndecodedRowsOfAPhotoAreNotCovered) {
  TSL_REQUIRE_PYTHON("osgeo numpy");
  const char* const lone[] = {"DJI_0003.JPG"};
  struct Damage {
    const char* name;
    double keep;         // fraction of the file kept
    double lo, hi;       // expected covered share of the intact photo's pixels
  } cases[] = {
      {"intact", 1.0, 1.0, 1.0},
      {"cut at 60 %", 0.6, 0.4, 0.75},
      {"cut at 20 %", 0.2, 0.0, 0.3},
  };
  int64_t intact = 0;
  for (const Damage& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = std::string("lone") + std::to_string(&c - cases);
    const fs::path photos = make_photos(name, lone);
    std::vector<uint8_t> bytes = test::read_file_bytes(photos / lone[0]);
    bytes.resize(static_cast<size_t>(static_cast<double>(bytes.size()) * c.keep));
    test::write_file_bytes(photos / lone[0], bytes);
    const Measured r = run_measured(tmp.path(), build_args(photos, name));
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("image data ends early") != std::string::npos, c.keep < 1.0) << r.out;
    const int64_t covered = covered_pixels(tmp / (name + "_out") / "ortho.tif");
    ASSERT_GT(covered, 0);
    if (c.keep == 1.0) intact = covered;
    ASSERT_GT(intact, 0);
    const double share = static_cast<double>(covered) / static_cast<double>(intact);
    EXPECT_GE(share, c.lo);
    EXPECT_LE(share, c.hi);
  }
}

// A tie file with half a million ties in one pair used to be adjusted whole (gigabytes, then
// bad_alloc for ten million): injected pairs are thinned to what matching keeps.
TEST_F(DamagedInputs, HugeInjectedTiePairIsThinnedInBoundedMemory) {
  constexpr size_t TIES = 500'000;
  const fs::path photos = make_photos("ties");
  const fs::path file = tmp / "ties.json";
  {
    std::string a, b;
    a.reserve(TIES * 16);
    b.reserve(TIES * 16);
    uint64_t state = 88172645463325252ULL;
    for (size_t k = 0; k < TIES; ++k) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      const double x = static_cast<double>(state % 4000), y = static_cast<double>((state >> 20) % 2250);
      a += format("{}[{}, {}]", k ? ", " : "", x, y);
      b += format("{}[{}, {}]", k ? ", " : "", x - 900.0, y);
    }
    test::write_file_text(file, R"([{"i": 0, "j": 1, "a": [)" + a + R"(], "b": [)" + b + "]}]");
  }
  ASSERT_EQ(setenv("TSL_MATCHES", file.c_str(), 1), 0);
  const Measured r = run_measured(
      tmp.path(), test::shell_quote(photos.string()) + " -o " + test::shell_quote((tmp / "ties_out/ortho.tif").string()) +
                      " --gsd 60 --disk-cache-gb 0 --no-preview --surface plane --dense off --blend feather");
  unsetenv("TSL_MATCHES");
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("  1 injected pair(s) thinned to 60 ties and 4000 correspondences each"), std::string::npos)
      << r.out;
  // Reading the 24 MB document takes about 560 MB; the unthinned adjustment added well over
  // 1 KB per tie on top of it (ten million ties passed 11.5 GB).
  EXPECT_LT(r.peak_kb, 768u * 1024u);
}

// Geometry no survey can have: a focal length that sees a speck, a gsd far below the photos',
// and one GPS position for every photo, which the adjustment solved into a block folded onto
// itself (the ground at the cameras and a mosaic of a thousand megapixels over one metre).
TEST_F(DamagedInputs, ImpossibleGeometryIsRefusedOrFallsBackInBoundedMemory) {
  const auto same_position = [](const fs::path& dir, const DamagedInputs&) {
    const std::string first = test::read_file_text(dir / PHOTOS[0]);
    for (const char* attr : {"GpsLatitude", "GpsLongitude"}) {
      const std::string key = std::string("drone-dji:") + attr + "=\"";
      const size_t start = first.find(key) + key.size();
      const std::string value = first.substr(start, first.find('"', start) - start);
      for (const char* photo : PHOTOS) patch_xmp(dir / photo, attr, value);
    }
    // The adjustment with its ties, and nothing after it that the case does not need.
    return std::string(" --dense off");
  };
  // The drone's calibration of DJI_0001 (the focal length its build takes) at a million pixels.
  const auto far_focal = [](const fs::path& dir, const DamagedInputs&) {
    std::vector<uint8_t> bytes = test::read_file_bytes(dir / PHOTOS[0]);
    const std::string text(bytes.begin(), bytes.end()), from = "DewarpData=\"2024-01-15;800.000000000000,",
                      to = "DewarpData=\"2024-01-15;999999.999999999,";
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos);
    if (at != std::string::npos) std::copy(to.begin(), to.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    test::write_file_bytes(dir / PHOTOS[0], bytes);
    return std::string();
  };
  struct GeometryCase {
    Case c;
    uint64_t peak_limit_kb;
  };
  const std::vector<GeometryCase> cases = {
      {{"focal length of a million pixels", far_focal, 0,
        "skip DJI_0001.JPG: focal length 1000000.0 px gives a field of view of 0.069° (outside 1..170°)", true},
       PEAK_LIMIT_KB},
      // The option is in centimetres: 1e-6 m against the photos' 8.7 cm.
      {{"gsd far below the photos'", [](const fs::path&, const DamagedInputs&) { return std::string(" --gsd 0.0001"); },
        1, "output gsd 1e-06 m is far below the finest native gsd of the photos (0.087", false},
       PEAK_LIMIT_KB},
      // With matching and adjustment, a little more than the others; the fault took 2.8 GB.
      {{"one GPS position for every photo", same_position, 0, "warning: adjustment collapsed (ground at", true},
       2 * PEAK_LIMIT_KB},
  };
  for (size_t k = 0; k < cases.size(); ++k) {
    const auto& [c, peak_limit_kb] = cases[k];
    SCOPED_TRACE(c.name);
    const std::string name = "geometry" + std::to_string(k);
    const fs::path photos = make_photos(name);
    const std::string extra = c.damage(photos, *this);
    std::string args = build_args(photos, name);
    if (extra.find("--gsd") != std::string::npos) args = std::regex_replace(args, std::regex(" --gsd 60"), "");
    // The collapse needs the matching and the adjustment that the other cases skip.
    if (c.exit_code == 0) args = std::regex_replace(args, std::regex(" --no-refine"), "");
    args += extra + " --blend feather";
    const Measured r = run_measured(tmp.path(), args);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.line), std::string::npos) << r.out << r.err;
    EXPECT_LT(r.peak_kb, peak_limit_kb);
    EXPECT_EQ(fs::exists(tmp / (name + "_out") / "ortho.tif"), c.mosaic);
  }
}

}  // namespace
}  // namespace tsl
