// The tie-file reader on arbitrary bytes: the pairs or an error, never a crash; the pairs kept
// for a small build and written out read back as the same number of pairs.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "logx.h"
#include "matching/tie_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tsl::set_log_mute(true);
  const auto path = std::filesystem::temp_directory_path() / ("tie_file_fuzz_" + std::to_string(getpid()) + ".json");
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  if (auto pairs = tsl::read_tie_file(path)) {
    const auto kept = tsl::keep_usable_ties(std::move(*pairs), 4);
    if (!tsl::write_tie_file(path, kept)) std::abort();
    const auto again = tsl::read_tie_file(path);
    if (!again || again->size() != kept.size()) std::abort();
  }
  std::error_code ec;
  std::filesystem::remove(path, ec);
  return 0;
}
