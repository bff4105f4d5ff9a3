#include "support/py_oracle.h"

#include <cstring>

namespace tsl::test {

void PyOracle::put(const std::string& name, std::span<const double> values) {
  std::vector<uint8_t> bytes(values.size() * sizeof(double));
  if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  write_file_bytes(dir_ / (name + ".f64"), bytes);
}

std::string PyOracle::run(std::string_view body) {
  std::string script =
      "import os, sys\n"
      "import numpy as np\n"
      "_d = sys.argv[1]\n"
      "def load(n): return np.fromfile(os.path.join(_d, n + '.f64'), dtype='<f8')\n"
      "def save(n, a): np.ascontiguousarray(a, dtype='<f8').ravel().tofile(os.path.join(_d, n + '.f64'))\n";
  script += body;
  write_file_text(dir_ / "oracle.py", script);
  CommandResult r = run_command(python3() + " " + shell_quote((dir_ / "oracle.py").string()) + " " +
                                shell_quote(dir_.path().string()));
  if (r.exit_code != 0) return r.err.empty() ? "python exited with " + std::to_string(r.exit_code) : r.err;
  return {};
}

std::vector<double> PyOracle::get(const std::string& name) const {
  std::vector<uint8_t> bytes = read_file_bytes(dir_ / (name + ".f64"));
  std::vector<double> values(bytes.size() / sizeof(double));
  if (!values.empty()) std::memcpy(values.data(), bytes.data(), values.size() * sizeof(double));
  return values;
}

}  // namespace tsl::test
