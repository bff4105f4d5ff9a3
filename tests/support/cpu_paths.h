#pragma once
// Running a kernel on each of its paths: the plain one and the vector ones the processor (and
// TSL_CPU_FEATURES) allow.
#include <string>
#include <vector>

#include "platform/cpu.h"

namespace tsl::test {

// Allows the vector paths only `allowed` while it lives, then restores what was allowed.
class ScopedCpuFeatures {
 public:
  explicit ScopedCpuFeatures(platform::CpuFeatures allowed);
  ~ScopedCpuFeatures();
  ScopedCpuFeatures(const ScopedCpuFeatures&) = delete;
  ScopedCpuFeatures& operator=(const ScopedCpuFeatures&) = delete;

 private:
  platform::CpuFeatures saved_;
};

struct CpuPath {
  std::string name;  // "plain" or "vector (avx2, fma)"
  platform::CpuFeatures features;
};

// The plain path first, then the vector path when any feature is allowed now.
std::vector<CpuPath> cpu_paths();

}  // namespace tsl::test
