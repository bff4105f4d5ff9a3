// The --reuse report loader on arbitrary bytes, against a set of three photos: a solution or
// an error, never a crash; every rotation it hands back is finite. Terrain files named by the
// report are not followed (the fuzzer must not open paths it makes up).
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "logx.h"
#include "pipeline/reuse_report.h"

namespace {

tsl::ImageSet photo_set() {
  tsl::ImageSet set;
  for (const char* name : {"DJI_0001.JPG", "DJI_0002.JPG", "DJI_0003.JPG"}) {
    tsl::ImageMeta meta;
    meta.path = std::string("/photos/") + name;
    meta.model = "FC3411";
    meta.width = 5472;
    meta.height = 3648;
    meta.focal_mm = 8.4;
    meta.lens = tsl::CameraModel{};
    set.images.push_back(std::move(meta));
    set.rotations.push_back(tsl::Mat3{1, 0, 0, 0, 1, 0, 0, 0, 1});
    set.positions.push_back(tsl::Vec3{0, 0, 100});
  }
  set.zone = 33;
  set.origin_e = 500000;
  set.origin_n = 5000000;
  return set;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tsl::set_log_mute(true);
  const auto path = std::filesystem::temp_directory_path() / ("reuse_report_fuzz_" + std::to_string(getpid()) + ".json");
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  tsl::ImageSet set = photo_set();
  if (auto solution = tsl::load_reuse_report(path, false, set)) {
    if (solution->rotations.size() != 3 || solution->positions.size() != 3 || solution->gains.size() != 3) std::abort();
    for (const auto& r : solution->rotations)
      for (double v : r)
        if (!std::isfinite(v)) std::abort();
  }
  std::error_code ec;
  std::filesystem::remove(path, ec);
  return 0;
}
