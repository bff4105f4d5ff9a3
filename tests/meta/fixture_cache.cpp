#include "meta/fixture_cache.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "support/test_util.h"

namespace tsl::test {

namespace fs = std::filesystem;

fs::path cached_fixture_dir(const std::string& script) {
  const fs::path source = source_dir() / script;
  const std::string text = read_file_text(source);
  const fs::path dir = fs::temp_directory_path() /
                       ("tsl_fixtures_" + source.stem().string() + "_" + std::to_string(std::hash<std::string>{}(text)));
  std::error_code ec;
  if (fs::is_directory(dir, ec)) return dir;
  if (!have_tool("cjpeg") || !have_tool("exiftool") || !have_python_modules("numpy tifffile")) return {};
  // Written beside the final name, then renamed: a concurrent test process either wins the
  // rename or finds the folder already there.
  const fs::path work = dir.string() + ".tmp" + std::to_string(getpid());
  fs::remove_all(work, ec);
  auto made = run_command(python3() + " " + shell_quote(source.string()) + " " + shell_quote(work.string()));
  if (made.exit_code != 0) {
    ADD_FAILURE() << script << " failed: " << made.err;
    fs::remove_all(work, ec);
    return {};
  }
  fs::rename(work, dir, ec);
  if (ec) fs::remove_all(work, ec);
  return dir;
}

}  // namespace tsl::test
