#pragma once
// Runs a Python snippet (Debian's python3 with numpy) over float64 arrays, so that tests can
// compare our numerics with independent implementations (numpy, scipy, OpenCV, shapely).
// Arrays travel as raw little-endian float64 files in a temporary folder.
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/test_util.h"

namespace tsl::test {

class PyOracle {
 public:
  // Stores an input array under `name`; the script reads it with load(name).
  void put(const std::string& name, std::span<const double> values);
  // Runs `body` after a preamble that imports numpy as np and defines load(name) and
  // save(name, array). Returns the script's stderr when it fails, empty on success.
  std::string run(std::string_view body);
  // An output array the script stored with save(name, array), flattened.
  std::vector<double> get(const std::string& name) const;

 private:
  TempDir dir_;
};

}  // namespace tsl::test
