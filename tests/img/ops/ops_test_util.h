#pragma once
// Helpers of the image-operation tests: seeded random images, and the exchange of raw arrays
// with the Python oracles (numpy, OpenCV, SciPy): the test writes little-endian arrays into
// a temporary folder, a Python snippet reads them with np.fromfile, runs the reference and
// writes its answers back the same way.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "img/image.h"
#include "support/test_util.h"

namespace tsl::test {

// Values uniform in [0, 1000) from a fixed seed.
inline ImageF32 random_image(size_t w, size_t h, size_t c, uint32_t seed) {
  ImageF32 img(w, h, c);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(0.0f, 1000.0f);
  for (float& v : img.data) v = dist(rng);
  return img;
}

// Values uniform over 0..65535 from a fixed seed.
inline ImageU16 random_u16(size_t w, size_t h, size_t c, uint32_t seed) {
  ImageU16 img(w, h, c);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(0, 65535);
  for (uint16_t& v : img.data) v = static_cast<uint16_t>(dist(rng));
  return img;
}

template <typename T>
void save_raw(const std::filesystem::path& path, std::span<const T> values) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(values.data()), static_cast<std::streamsize>(values.size_bytes()));
}

template <typename T>
std::vector<T> load_raw(const std::filesystem::path& path) {
  const std::vector<uint8_t> bytes = read_file_bytes(path);
  std::vector<T> values(bytes.size() / sizeof(T));
  std::copy(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(values.size() * sizeof(T)),
            reinterpret_cast<uint8_t*>(values.data()));
  return values;
}

// Runs `code` with Debian's python3 in `dir` after "import numpy as np, cv2" and
// "import scipy.ndimage"; returns whether it exited with 0 and reports its stderr if not.
inline bool run_python_oracle(const std::filesystem::path& dir, const std::string& code) {
  const std::filesystem::path script = dir / "oracle.py";
  write_file_text(script, "import numpy as np, cv2, scipy.ndimage\ncv2.setNumThreads(1)\n" + code);
  const CommandResult r = run_command("cd " + shell_quote(dir.string()) + " && " + python3() + " oracle.py");
  if (r.exit_code != 0) ADD_FAILURE() << "python oracle failed (" << r.exit_code << "):\n" << r.err;
  return r.exit_code == 0;
}

}  // namespace tsl::test

// Skips unless Debian's python3 has numpy, OpenCV and SciPy.
#define TSL_REQUIRE_OPS_ORACLE() TSL_REQUIRE_PYTHON("numpy cv2 scipy.ndimage")
