// The input scan on an arbitrary photo file, as a build and the studio's scan run it: the
// metadata stage lists the input folder, reads the file (as a JPEG, TIFF or DNG by its name:
// the first input byte chooses) and places what it could read. An error or an image set whose
// lists agree, never a crash.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/config.h"
#include "pipeline/collect_images.h"

namespace fs = std::filesystem;

namespace {

// A folder of its own for the process's one photo, removed at exit.
const fs::path& photo_dir() {
  static const fs::path dir = [] {
    std::string pattern = (fs::temp_directory_path() / "scan_fuzz.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    std::atexit([] { std::error_code ec; fs::remove_all(photo_dir(), ec); });
    return fs::path(pattern);
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const char* const NAMES[] = {"a.jpg", "a.tif", "a.dng"};
  const fs::path& dir = photo_dir();
  std::error_code ec;
  for (const char* name : NAMES) fs::remove(dir / name, ec);
  {
    std::ofstream out(dir / NAMES[data[0] % 3], std::ios::binary);
    out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
  }
  tsl::Config config;
  config.input = {dir.string()};
  const auto set = tsl::collect_images(config);
  if (!set) return 0;
  const size_t n = set->images.size();
  if (n == 0 || set->rotations.size() != n || set->positions.size() != n) std::abort();
  return 0;
}
