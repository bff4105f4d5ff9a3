// Real-world TIFF files from two reader test suites (../shared/data): BigTIFF in both byte
// orders, tiles, planar data, predictors, sets of one picture in many encodings, and fuzzer
// finds. Each decodes to the same pixels as tifffile/libtiff and as the other members of its
// set, or fails with a clear message; none crashes or hangs.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>

#include "img/tiff/tiff_file.h"
#include "img/tiff/tiff_image.h"
#include "img/tiff/tiff_fixture.h"
#include "support/test_util.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

// Every file of the two TIFF folders that is not a reference picture or a text.
std::vector<fs::path> corpus() {
  std::vector<fs::path> out;
  const fs::path root = test::shared_data_dir();
  if (root.empty()) return out;
  for (const char* dir : {"tiff-image-rs", "tiff-go-ximage"}) {
    if (!fs::is_directory(root / dir)) continue;
    for (const auto& e : fs::recursive_directory_iterator(root / dir)) {
      if (!e.is_regular_file()) continue;
      const std::string ext = e.path().extension().string();
      const std::string name = e.path().filename().string();
      if (ext == ".png" || ext == ".ppm" || ext == ".pgm" || ext == ".pbm" || ext == ".md" || ext == ".txt" ||
          name == "COPYRIGHT" || name == "README")
        continue;
      out.push_back(e.path());
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string rel_name(const fs::path& p) { return fs::relative(p, test::shared_data_dir()).string(); }

bool is_fuzz(const fs::path& p) { return p.string().find("fuzz_images") != std::string::npos; }

// The messages the decoder may give; anything else (a crash aside) would be a fault.
bool known_message(const std::string& m) {
  static const std::regex known(
      "not a TIFF|truncated IFD|no image in TIFF|no height|no tile length|no tile offsets|no tile counts|no strips|"
      "no strip counts|TIFF data outside the file|zlib stream too short|bad LZW stream|bad LZW code|"
      "TIFF variant not supported \\(\\d+ bit, photometric \\d+\\) - export 8/16-bit RGB TIFF or JPG|"
      "TIFF compression \\d+ not supported|"
      "TIFF (signed integer|floating-point) samples not supported - export 8/16-bit RGB TIFF or JPG|empty TIFF image \\(\\d+x\\d+\\)|TIFF image too large \\(\\d+x\\d+\\)|"
      "TIFF samples per pixel \\d+ not supported|bad TIFF tile size \\d+x\\d+|TIFF has \\d+ byte counts for \\d+ chunks|"
      "invalid block type|truncated deflate header|truncated deflate data|truncated deflate stream|"
      "repeat with no previous length|invalid huffman code|bad length symbol|bad distance symbol|"
      "distance too far back|inflated data exceeds \\d+ bytes");
  return std::regex_match(m, known);
}

struct Decoded {
  fs::path path;
  std::expected<TiffImage, std::string> image;
};

class TiffRealFiles : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const fs::path& p : corpus()) decoded_.push_back({p, read_tiff_image(test::read_file_bytes(p))});
  }
  void SetUp() override {
    TSL_REQUIRE_SHARED_DATA();
    if (decoded_.empty()) GTEST_SKIP() << "no TIFF folders under ../shared/data";
  }
  static const Decoded& find(const std::string& rel) {
    for (const Decoded& d : decoded_)
      if (rel_name(d.path) == rel) return d;
    ADD_FAILURE() << "missing " << rel;
    static const Decoded none{{}, std::unexpected("missing")};
    return none;
  }
  static inline std::vector<Decoded> decoded_;
};

TEST_F(TiffRealFiles, EveryFileDecodesOrGivesAKnownMessage) {
  size_t ok = 0;
  std::map<std::string, int> messages;
  for (const Decoded& d : decoded_) {
    SCOPED_TRACE(rel_name(d.path));
    // The container reader alone must not fail on anything the decoder accepted.
    const auto bytes = test::read_file_bytes(d.path);
    auto file = parse_tiff(bytes);
    if (d.image) {
      ++ok;
      EXPECT_TRUE(file.has_value());
      EXPECT_EQ(d.image->samples.size(), d.image->width * d.image->height * 3);
    } else {
      EXPECT_TRUE(known_message(d.image.error())) << d.image.error();
      ++messages[d.image.error()];
    }
  }
  std::ostringstream summary;
  for (const auto& [m, n] : messages) summary << "  " << n << " x " << m << "\n";
  std::cout << ok << " of " << decoded_.size() << " files decoded; the others:\n" << summary.str();
  EXPECT_GT(ok, 60u);
}

TEST_F(TiffRealFiles, SetsOfOnePictureDecodeAlike) {
  // The seq files name their picture by the hash at the end of the name.
  std::map<std::string, std::vector<const Decoded*>> sets;
  static const std::regex hashed(".*-([0-9a-f]{8})\\.tiff");
  for (const Decoded& d : decoded_) {
    std::smatch m;
    const std::string name = d.path.filename().string();
    if (d.image && std::regex_match(name, m, hashed)) sets["seq " + m[1].str()].push_back(&d);
  }
  for (const char* f : {"tiff-image-rs/images/bigtiff/BigTIFF.tif", "tiff-image-rs/images/bigtiff/BigTIFFLong.tif",
                        "tiff-image-rs/images/bigtiff/BigTIFFMotorola.tif"})
    sets["BigTIFF"].push_back(&find(f));
  for (const char* f : {"tiff-go-ximage/video-001.tiff", "tiff-go-ximage/video-001-strip-64.tiff",
                        "tiff-go-ximage/video-001-tile-64x64.tiff", "tiff-go-ximage/video-001-uncompressed.tiff"})
    sets["video-001"].push_back(&find(f));
  for (const char* f : {"tiff-go-ximage/no_compress.tiff", "tiff-go-ximage/no_rps.tiff"}) sets["RGBA"].push_back(&find(f));

  size_t compared = 0;
  for (const auto& [name, members] : sets) {
    SCOPED_TRACE(name);
    for (const Decoded* d : members) {
      ASSERT_TRUE(d->image.has_value()) << rel_name(d->path) << ": " << d->image.error();
      const TiffImage& a = *members.front()->image;
      const TiffImage& b = *d->image;
      EXPECT_EQ(a.width, b.width) << rel_name(d->path);
      EXPECT_EQ(a.height, b.height) << rel_name(d->path);
      EXPECT_TRUE(a.samples == b.samples) << rel_name(d->path) << " differs from " << rel_name(members.front()->path);
      ++compared;
    }
  }
  // 20f3db0c alone has eleven encodings, 8743c999 four and 68f373a0 five.
  EXPECT_GE(sets["seq 20f3db0c"].size(), 11u);
  EXPECT_GE(sets["seq 8743c999"].size(), 4u);
  EXPECT_GE(sets["seq 68f373a0"].size(), 5u);
  EXPECT_GT(compared, 30u);
}

TEST_F(TiffRealFiles, SixteenBitTwinsScaleTheEightBitPixels) {
  // video-001-16bit holds the 8-bit picture times 257 (exact for every value).
  const Decoded& v8 = find("tiff-go-ximage/video-001.tiff");
  const Decoded& v16 = find("tiff-go-ximage/video-001-16bit.tiff");
  const Decoded& g8 = find("tiff-go-ximage/video-001-gray.tiff");
  const Decoded& g16 = find("tiff-go-ximage/video-001-gray-16bit.tiff");
  for (auto [lo, hi] : {std::pair{&v8, &v16}, std::pair{&g8, &g16}}) {
    ASSERT_TRUE(lo->image && hi->image);
    EXPECT_EQ(hi->image->bits_per_sample, 16u);
    ASSERT_EQ(lo->image->samples.size(), hi->image->samples.size());
    size_t differ = 0;
    for (size_t i = 0; i < lo->image->samples.size(); ++i)
      differ += hi->image->samples[i] != lo->image->samples[i] * 257;
    EXPECT_EQ(differ, 0u) << rel_name(hi->path);
  }
}

TEST_F(TiffRealFiles, PixelsEqualTifffileAndLibtiff) {
  TSL_REQUIRE_PYTHON("numpy tifffile");
  TSL_REQUIRE_TOOL("tiffcp");
  test::TempDir dir;
  std::string list;
  std::vector<const Decoded*> checked;
  for (const Decoded& d : decoded_) {
    if (is_fuzz(d.path) || !d.image) continue;
    list += d.path.string() + "\n";
    checked.push_back(&d);
  }
  test::write_file_text(dir / "list.txt", list);
  auto r = test::run_tiff_helper("tiff_reference_pixels.py", {(dir / "list.txt").string(), dir.path().string()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // page I W H BITS lines; the pages of one file are numbered in order.
  std::map<size_t, std::vector<std::tuple<size_t, size_t, unsigned, fs::path>>> pages;
  std::istringstream in(test::read_file_text(dir / "pages.txt"));
  std::string word;
  size_t i, w, h;
  unsigned bits;
  while (in >> word >> i >> w >> h >> bits) {
    const size_t k = pages[i].size();
    pages[i].emplace_back(w, h, bits, dir / (std::to_string(i) + "-" + std::to_string(k) + ".rgb"));
  }
  size_t compared = 0;
  for (size_t n = 0; n < checked.size(); ++n) {
    const TiffImage& img = *checked[n]->image;
    SCOPED_TRACE(rel_name(checked[n]->path));
    bool same_size = false, equal = false;
    for (const auto& [pw, ph, pbits, raw] : pages[n]) {
      if (pw != img.width || ph != img.height || pbits != img.bits_per_sample) continue;
      same_size = true;
      const auto bytes = test::read_file_bytes(raw);
      std::vector<uint16_t> want(bytes.size() / 2);
      for (size_t j = 0; j < want.size(); ++j) want[j] = static_cast<uint16_t>(bytes[2 * j] | bytes[2 * j + 1] << 8);
      equal = equal || want == img.samples;
    }
    // A picture taken from a SubIFD has no top-level page to compare with.
    if (!same_size) {
      std::cout << "no page to compare: " << rel_name(checked[n]->path) << "\n";
      continue;
    }
    EXPECT_TRUE(equal) << "our pixels differ from every page of the same size";
    ++compared;
  }
  std::cout << compared << " of " << checked.size() << " decoded files compared with tifffile/libtiff\n";
  EXPECT_GT(compared, 50u);
}

}  // namespace
}  // namespace tsl
