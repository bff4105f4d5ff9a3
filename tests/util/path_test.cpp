#include "util/path.h"

#include <gtest/gtest.h>

#include <string>

namespace tsl {
namespace {

TEST(PathNames, FileNameAndStem) {
  struct Case {
    std::string path, name, stem;
  };
  const Case cases[] = {
      {"C:\\photos\\DJI_0001.JPG", "DJI_0001.JPG", "DJI_0001"},
      {"C:\\photos\\", "photos", "photos"},
      {"C:\\", "", ""},
      {"C:", "", ""},
      {"C:\\photos\\..", "", ""},
      {"\\\\server\\share\\", "", ""},
      {"\\\\server\\share\\a.tif", "a.tif", "a"},
      {"/data/flight//img.dng/", "img.dng", "img"},
      {"/data/flight/./", "flight", "flight"},
      {"/", "", ""},
      {"", "", ""},
      {".", "", ""},
      {"report.tar.gz", "report.tar.gz", "report.tar"},
      {".hidden", ".hidden", ".hidden"},
      {"noext", "noext", "noext"},
      {"name.", "name.", "name"},
      {"..x", "..x", "."},
      {"dir/bad\xFFname.jpg", "bad\xEF\xBF\xBDname.jpg", "bad\xEF\xBF\xBDname"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(file_name_string(c.path), c.name);
    EXPECT_EQ(file_stem_string(c.path), c.stem);
  }
}

}  // namespace
}  // namespace tsl
