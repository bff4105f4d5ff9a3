#include "pipeline/file_pairing.h"

#include <gtest/gtest.h>

#include "pipeline/input_scan.h"
#include "support/test_util.h"
#include "util/path.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

TEST(DjiNameKey, CaptureKeyInTheStem) {
  struct Case {
    const char* name;
    std::optional<std::string> want;
  } cases[] = {
      {"DJI_20240315103012_0001_D.JPG", "dji_20240315103012_0001"},
      {"DJI_20240315103012_0001_D-DxO_DeepPRIME.dng", "dji_20240315103012_0001"},
      {"DJI_20240315_0001.jpg", "dji_20240315_0001"},          // 8 digits suffice
      {"DJI_20240315103012_00012.jpg", "dji_20240315103012_0001"},  // what follows does not matter
      {"edited DJI_20240315103012_0001.tif", "dji_20240315103012_0001"},
      {"DJI_0001.JPG", std::nullopt},                             // 4 digits
      {"DJI_202403151030123_0001.JPG", std::nullopt},             // 15 digits
      {"DJI_2024031_0001.JPG", std::nullopt},                     // 7 digits
      {"DJI_20240315103012_001.JPG", std::nullopt},               // 3 digits after "_"
      {"DJI_20240315103012-0001.JPG", std::nullopt},
      {"DJI_20240315103012_0001.jpg.DNG", "dji_20240315103012_0001"},  // stem keeps the inner extension
      {"dji", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(dji_name_key(c.name), c.want);
  }
}

TEST(KeyContinues, SeparatorRuleAndMinimumLength) {
  struct Case {
    const char* longer;
    const char* shorter;
    bool want;
  } cases[] = {
      {"img_1234-enhanced-nr", "img_1234", true},
      {"img_1234_edit", "img_1234", true},
      {"img_1234(1)", "img_1234", true},
      {"img_1234.v2", "img_1234", true},
      {"photo10", "photo1", false},  // a digit continues the number: another shot
      {"photo1a", "photo1", false},
      {"xphoto1-edit", "photo1", false},  // not at the start
      {"dsc1-edit", "dsc1", false},       // too short to be trusted
      {"photo1", "photo1", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.longer) + " / " + c.shorter);
    EXPECT_EQ(key_continues(c.longer, c.shorter), c.want);
  }
}

// Creates empty files (and folders) under a temporary root and pairs them.
class PairingTest : public ::testing::Test {
 protected:
  test::TempDir dir;
  fs::path make(const std::string& rel) {
    fs::path p = dir.path() / rel;
    fs::create_directories(p.parent_path());
    test::write_file_text(p, "");
    return p;
  }
  std::vector<std::string> names(const std::vector<fs::path>& paths) {
    std::vector<std::string> out;
    for (const auto& p : paths) out.push_back(file_name_string(p.native()));
    return out;
  }
  PairedInputs pair(const std::string& prefer = "dng", bool use_originals = false) {
    const fs::path in[] = {dir.path()};
    return pair_inputs(in, prefer, use_originals);
  }
};

using Names = std::vector<std::string>;

TEST_F(PairingTest, JpgAndDngOfOneShotFollowPrefer) {
  make("DJI_20240315103012_0001_D.JPG");
  make("DJI_20240315103012_0001_D.DNG");
  EXPECT_EQ(names(pair("dng").read_list), Names{"DJI_20240315103012_0001_D.DNG"});
  EXPECT_EQ(names(pair("jpg").read_list), Names{"DJI_20240315103012_0001_D.JPG"});
  EXPECT_TRUE(pair().pairs.empty());
}

TEST_F(PairingTest, DeveloperOutputIsReadAndPairedWithOriginals) {
  make("DJI_20240315103012_0001_D.JPG");
  make("DJI_20240315103012_0001_D.DNG");
  make("DJI_20240315103012_0001_D-DxO_DeepPRIME.dng");
  auto r = pair("jpg");
  EXPECT_EQ(names(r.read_list), Names{"DJI_20240315103012_0001_D-DxO_DeepPRIME.dng"});
  ASSERT_EQ(r.pairs.size(), 1u);
  EXPECT_EQ(file_name_string(r.pairs[0].processed.native()), "DJI_20240315103012_0001_D-DxO_DeepPRIME.dng");
  EXPECT_EQ(names(r.pairs[0].originals), (Names{"DJI_20240315103012_0001_D.DNG", "DJI_20240315103012_0001_D.JPG"}));
  EXPECT_EQ(names(pair("dng", true).read_list),
            (Names{"DJI_20240315103012_0001_D-DxO_DeepPRIME.dng", "DJI_20240315103012_0001_D.DNG"}));
}

TEST_F(PairingTest, NameThatExtendsAnotherPastASeparatorMerges) {
  make("IMG_1234.JPG");
  make("IMG_1234-Enhanced-NR.dng");
  auto r = pair();
  EXPECT_EQ(names(r.read_list), Names{"IMG_1234-Enhanced-NR.dng"});
  ASSERT_EQ(r.pairs.size(), 1u);
  EXPECT_EQ(names(r.pairs[0].originals), Names{"IMG_1234.JPG"});
}

TEST_F(PairingTest, ShortKeysStayApart) {
  make("DSC1.jpg");
  make("DSC1-edit.jpg");
  auto r = pair();
  EXPECT_EQ(names(r.read_list), (Names{"DSC1-edit.jpg", "DSC1.jpg"}));
  EXPECT_TRUE(r.pairs.empty());
}

// Regression: a key inside another used to merge photo1 and photo10 into one shot, dropping
// photo1 and letting photo10 borrow its pose.
TEST_F(PairingTest, NumberedShotsAreNeverMerged) {
  make("photo1.jpg");
  make("photo10.jpg");
  make("photo11.jpg");
  auto r = pair("dng", true);
  EXPECT_EQ(names(r.read_list), (Names{"photo1.jpg", "photo10.jpg", "photo11.jpg"}));
  EXPECT_TRUE(r.pairs.empty());
}

TEST_F(PairingTest, SameNamesInTwoFoldersNeverShareAGroup) {
  make("a/IMG_1234.JPG");
  make("b/IMG_1234-Edit.tif");
  const fs::path in[] = {dir / "a", dir / "b"};
  auto r = pair_inputs(in, "dng", false);
  EXPECT_EQ(r.read_list.size(), 2u);
  EXPECT_TRUE(r.pairs.empty());
}

TEST_F(PairingTest, FileNamedTwiceIsReadOnce) {
  fs::path f = make("IMG_0001.jpg");
  const fs::path in[] = {f, dir.path(), dir.path() / "." / "IMG_0001.jpg"};
  auto r = pair_inputs(in, "dng", false);
  EXPECT_EQ(r.read_list.size(), 2u);  // "./" is a component of its own, as the user wrote it
  const fs::path twice[] = {f, dir.path()};
  EXPECT_EQ(pair_inputs(twice, "dng", false).read_list.size(), 1u);
}

TEST_F(PairingTest, OldStyleDroneNamesUseTheStem) {
  make("DJI_0001.JPG");
  make("DJI_0001.DNG");
  make("DJI_0002.JPG");
  EXPECT_EQ(names(pair().read_list), (Names{"DJI_0001.DNG", "DJI_0002.JPG"}));
}

TEST_F(PairingTest, FolderListingIsFlatSortedAndFiltered) {
  make("b.jpg");
  make("B.JPEG");
  make("a.tiff");
  make("clip.mp4");
  make("side.xmp");
  make("sub/c.jpg");
  fs::create_directories(dir / "folder.jpg");  // a folder with an image extension is no file
  EXPECT_EQ(names(scan_inputs(std::vector<fs::path>{dir.path()})), (Names{"B.JPEG", "a.tiff", "b.jpg"}));
}

TEST_F(PairingTest, MissingFilesKeptOnlyWithImageExtension) {
  const fs::path in[] = {dir / "x.jpg", dir / "x.txt", dir / "nowhere"};
  EXPECT_EQ(names(scan_inputs(in)), Names{"x.jpg"});
}

TEST(FindExcluded, ComparesFileNamesInAnyCase) {
  const std::vector<fs::path> list = {"/d/DJI_0001.JPG", "/d/DJI_0002.JPG", "/dji_0001.jpg/DJI_0003.JPG"};
  const std::vector<std::string> names = {"dji_0001.jpg"};
  auto got = find_excluded(list, names);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].first, "DJI_0001.JPG");
  EXPECT_EQ(got[0].second, "excluded");
}

TEST(MatchOriginal, DjiKeyOrExactStem) {
  struct Case {
    const char* file;
    const char* key;
    bool want;
  } cases[] = {
      {"DJI_20240315103012_0001_D.JPG", "dji_20240315103012_0001", true},
      {"DJI_20240315103012_0001.JPG", "dji_20240315103012_0001", true},
      {"DJI_20240315103012_0001_D-DxO.dng", "dji_20240315103012_0001", false},
      {"DJI_20240315103012_0001_DX.JPG", "dji_20240315103012_0001", false},
      {"IMG 1234.JPG", "img1234", true},  // spaces removed
      {"IMG_1234-NR.dng", "img_1234", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(match_original(c.file, c.key), c.want);
  }
}

}  // namespace
}  // namespace tsl
