// The modules of src/ follow the data flow: a file includes its own module and earlier ones,
// never a later one, so no two modules include each other and a stage never reaches forward
// into one that runs after it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/test_util.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

// The one place the order is written. An entry names a folder or file of src/ without its
// extension; a file belongs to the longest entry that is its path or a folder above it. Two
// util files stand apart from util: the internal-error type, which the platform layer throws,
// and the parallel loops, which log. The drivers sit on top of every stage and of the
// diagnostics bundle a build writes at its end; the studio and the entry run them.
constexpr std::string_view MODULE_ORDER[] = {
    "util/error", "platform",   "util",       "logx",       "util/par",   "sysmon",     "config",
    "linalg",     "geo",        "img",        "meta",       "cache",      "imageio",    "sift",
    "matching",   "adjust",     "dis",        "flow",       "surface",    "grid",       "dense",
    "gains",      "seams",      "render",     "pipeline",   "diag",       "drivers",    "server",
    "testcmd",    "main",
};

// The position of `path` (relative to src/, with or without extension) in MODULE_ORDER, or -1.
int module_rank(const fs::path& path) {
  const std::string stem = (path.parent_path() / path.stem()).generic_string();
  int best = -1;
  size_t best_len = 0;
  for (size_t i = 0; i < std::size(MODULE_ORDER); ++i) {
    const std::string_view m = MODULE_ORDER[i];
    const bool inside = stem == m || (stem.size() > m.size() && stem.starts_with(m) && stem[m.size()] == '/');
    if (inside && m.size() > best_len) {
      best = static_cast<int>(i);
      best_len = m.size();
    }
  }
  return best;
}

// Every fault of the tree under `src`: a file in no module, a quoted include that names no
// file under src/, and an include of a later module.
std::vector<std::string> include_order_faults(const fs::path& src) {
  static const std::regex include_line(R"(^\s*#\s*include\s*"([^"]+)\")");
  std::vector<std::string> faults;
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(src)) {
    const std::string ext = entry.path().extension().string();
    if (entry.is_regular_file() && (ext == ".h" || ext == ".cpp")) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    const fs::path rel = file.lexically_relative(src);
    const int rank = module_rank(rel);
    if (rank < 0) {
      faults.push_back(rel.generic_string() + " belongs to no module of the include order");
      continue;
    }
    std::ifstream in(file);
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
      if (!std::regex_search(line, m, include_line)) continue;
      const fs::path target = m[1].str();
      if (!fs::exists(src / target)) {
        faults.push_back(rel.generic_string() + " includes \"" + target.generic_string() +
                         "\", which names no file under src/");
        continue;
      }
      const int target_rank = module_rank(target);
      if (target_rank > rank)
        faults.push_back(rel.generic_string() + " (" + std::string(MODULE_ORDER[rank]) + ") includes " +
                         target.generic_string() + " (" + std::string(MODULE_ORDER[target_rank]) +
                         "), a later module");
    }
  }
  return faults;
}

TEST(IncludeOrder, SourceTreeIncludesOnlyEarlierModules) {
  const std::vector<std::string> faults = include_order_faults(test::source_dir() / "src");
  for (const std::string& f : faults) ADD_FAILURE() << f;
}

TEST(IncludeOrder, FaultsOfAFixtureTree) {
  test::TempDir dir;
  const fs::path src = dir.path() / "src";
  fs::create_directories(src / "util");
  fs::create_directories(src / "geo");
  fs::create_directories(src / "render");
  fs::create_directories(src / "seams");
  fs::create_directories(src / "nowhere");
  test::write_file_text(src / "util/error.h", "#pragma once\n");
  test::write_file_text(src / "util/text.h", "#pragma once\n#include \"util/error.h\"\n");
  test::write_file_text(src / "geo/vec.h", "#pragma once\n#include \"util/text.h\"\n");
  test::write_file_text(src / "seams/seam.h", "#pragma once\n#include \"geo/vec.h\"\n");
  // The back-include: render runs after seams, so seams may not reach into it.
  test::write_file_text(src / "render/render.h", "#pragma once\n#include \"seams/seam.h\"\n");
  test::write_file_text(src / "seams/seam.cpp", "#include \"seams/seam.h\"\n  #  include \"render/render.h\"\n");
  test::write_file_text(src / "geo/vec.cpp", "#include \"vec.h\"\n#include <vector>\n");
  test::write_file_text(src / "nowhere/x.h", "#pragma once\n");
  const std::vector<std::string> want = {
      "geo/vec.cpp includes \"vec.h\", which names no file under src/",
      "nowhere/x.h belongs to no module of the include order",
      "seams/seam.cpp (seams) includes render/render.h (render), a later module",
  };
  EXPECT_EQ(include_order_faults(src), want);
}

TEST(IncludeOrder, LongestEntryDecidesTheModule) {
  const auto module_of = [](const char* path) {
    const int rank = module_rank(path);
    return rank < 0 ? std::string_view("none") : MODULE_ORDER[rank];
  };
  EXPECT_EQ(module_of("util/error.h"), "util/error");
  EXPECT_EQ(module_of("util/par.cpp"), "util/par");
  EXPECT_EQ(module_of("util/json.h"), "util");
  EXPECT_EQ(module_of("img/jpeg/decode.h"), "img");
  EXPECT_EQ(module_of("logx.h"), "logx");
  EXPECT_EQ(module_of("utility/x.h"), "none");
}

}  // namespace
}  // namespace tsl
