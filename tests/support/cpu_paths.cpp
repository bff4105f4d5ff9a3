#include "support/cpu_paths.h"

#include <cstdio>
#include <cstdlib>

#include "config/environment.h"

namespace tsl::test {

namespace {

// The test program obeys TSL_CPU_FEATURES as the entry does, so CI can run every test on the
// plain paths alone.
const bool switch_applied = [] {
  if (auto applied = apply_cpu_switch(read_environment()); !applied) {
    std::fprintf(stderr, "%s\n", applied.error().c_str());
    std::exit(2);
  }
  return true;
}();

}  // namespace

ScopedCpuFeatures::ScopedCpuFeatures(platform::CpuFeatures allowed) : saved_(platform::cpu_features()) {
  platform::allow_cpu_features(allowed);
}

ScopedCpuFeatures::~ScopedCpuFeatures() { platform::allow_cpu_features(saved_); }

std::vector<CpuPath> cpu_paths() {
  std::vector<CpuPath> paths = {{"plain", {}}};
  const platform::CpuFeatures now = platform::cpu_features();
  if (now != platform::CpuFeatures{}) {
    std::string name = "vector (";
    if (now.avx2) name += "avx2";
    if (now.fma) name += now.avx2 ? ", fma" : "fma";
    paths.push_back({name + ")", now});
  }
  return paths;
}

}  // namespace tsl::test
