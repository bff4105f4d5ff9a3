// Our reader against tifffile and libtiff (tiffdump, tiffcp) on files those tools wrote:
// every compression, layout, byte order and BigTIFF variant the decoder supports.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "img/tiff/tiff_file.h"
#include "img/tiff/tiff_image.h"
#include "img/tiff/tiff_fixture.h"
#include "support/test_util.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

struct ExpectedEntry {
  uint16_t tag = 0, type = 0;
  uint64_t count = 0;
  std::optional<std::vector<uint64_t>> values;  // tifffile's, for unsigned integer types
};

struct ExpectedFile {
  std::string name;
  size_t width = 0, height = 0;
  unsigned bits = 0;
  std::vector<std::vector<ExpectedEntry>> ifds;
};

std::vector<ExpectedFile> read_manifest(const fs::path& path) {
  std::vector<ExpectedFile> files;
  std::istringstream in(test::read_file_text(path));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string kind;
    ls >> kind;
    if (kind == "file") {
      files.emplace_back();
      ls >> files.back().name >> files.back().width >> files.back().height >> files.back().bits;
    } else if (kind == "ifd") {
      files.back().ifds.emplace_back();
    } else if (kind == "entry") {
      ExpectedEntry e;
      std::string values;
      ls >> e.tag >> e.type >> e.count >> values;
      if (values != "-") {
        e.values.emplace();
        std::istringstream vs(values);
        std::string v;
        while (std::getline(vs, v, ',')) e.values->push_back(std::stoull(v));
      }
      files.back().ifds.back().push_back(e);
    }
  }
  return files;
}

std::vector<uint16_t> read_rgb(const fs::path& path) {
  std::vector<uint8_t> raw = test::read_file_bytes(path);
  std::vector<uint16_t> out(raw.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint16_t>(raw[2 * i] | raw[2 * i + 1] << 8);
  return out;
}

class TiffOracle : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test::have_tool("tiffdump") || !test::have_tool("tiffcp") || !test::have_python_modules("numpy tifffile"))
      return;
    dir_ = new test::TempDir;
    auto r = test::run_tiff_helper("make_tiff_variants.py", {dir_->path().string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    files_ = read_manifest(dir_->path() / "manifest.txt");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    TSL_REQUIRE_TOOL("tiffdump");
    TSL_REQUIRE_TOOL("tiffcp");
    TSL_REQUIRE_PYTHON("numpy tifffile");
    ASSERT_FALSE(files_.empty());
  }

  static inline test::TempDir* dir_ = nullptr;
  static inline std::vector<ExpectedFile> files_;
};

TEST_F(TiffOracle, DirectoriesAgreeWithTiffdumpAndTifffile) {
  for (const ExpectedFile& f : files_) {
    SCOPED_TRACE(f.name);
    const std::vector<uint8_t> bytes = test::read_file_bytes(dir_->path() / (f.name + ".tif"));
    auto file = parse_tiff(bytes);
    ASSERT_TRUE(file.has_value()) << file.error();
    ASSERT_EQ(file->ifds.size(), f.ifds.size());
    for (size_t k = 0; k < f.ifds.size(); ++k) {
      const auto& want = f.ifds[k];
      const auto& got = file->ifds[k].entries;
      ASSERT_EQ(got.size(), want.size()) << "directory " << k;
      for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "directory " << k << " tag " << want[i].tag);
        EXPECT_EQ(got[i].tag, want[i].tag);
        EXPECT_EQ(got[i].field_type, want[i].type);
        EXPECT_EQ(got[i].count, want[i].count);
        if (want[i].values) {
          EXPECT_EQ(tag_u64s(got[i], file->little_endian), *want[i].values);
        }
      }
    }
  }
}

TEST_F(TiffOracle, PixelsEqualTheToolsPixels) {
  for (const ExpectedFile& f : files_) {
    SCOPED_TRACE(f.name);
    auto image = read_tiff_image(test::read_file_bytes(dir_->path() / (f.name + ".tif")));
    ASSERT_TRUE(image.has_value()) << image.error();
    EXPECT_EQ(image->width, f.width);
    EXPECT_EQ(image->height, f.height);
    EXPECT_EQ(image->bits_per_sample, f.bits);
    EXPECT_TRUE(image->samples == read_rgb(dir_->path() / (f.name + ".rgb"))) << "samples differ";
  }
}

}  // namespace
}  // namespace tsl
