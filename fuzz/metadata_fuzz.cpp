// The photo metadata reader on arbitrary bytes stored as a JPEG, a TIFF and a DNG (the first
// byte picks which): a record or an error, never a crash, a read outside the file or work out
// of proportion to it. The reader takes a path, so each input is written to a file first.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

#include "meta/meta_reader.h"

namespace {

std::filesystem::path scratch_path(const char* extension) {
  return std::filesystem::temp_directory_path() / ("metadata_fuzz_" + std::to_string(getpid()) + extension);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const char* const EXTENSIONS[] = {".jpg", ".tif", ".dng"};
  const auto path = scratch_path(EXTENSIONS[data[0] % 3]);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
  }
  for (auto mode : {tsl::ProcessedMode::Auto, tsl::ProcessedMode::No})
    (void)tsl::read_image_meta(path, data[0] & 4 ? std::optional<double>(24.0) : std::nullopt, mode);
  std::error_code ec;
  std::filesystem::remove(path, ec);
  return 0;
}
