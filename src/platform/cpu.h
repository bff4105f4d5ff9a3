#pragma once
// The processor features the vector paths may use: found once per process, then narrowed by
// the TSL_CPU_FEATURES switch (applied by the entry) or by a test that runs every path.
//
// The one rule for every vector path: lane by lane it does the plain path's operations on the
// same values in the same order, and the only liberty it may take is to fuse a multiply and an
// add into one rounding. So a path without fused multiply-adds gives the plain path's bits
// exactly (the JPEG codec: its tests compare bytes), and a path with them agrees within the
// rounding of its sums (ratio matching and both Cholesky factorisations: their tests compare
// within a stated tolerance). Kernels read the features per call and nothing changes them
// during a build, so one machine with one switch gives the same bits run after run. The tests
// run each kernel on every path this machine has, and CI runs the unit tests again with the
// switch at "none".
#include <expected>
#include <string>
#include <string_view>

namespace tsl::platform {

struct CpuFeatures {
  bool avx2 = false;  // 256-bit integer and float vectors, with the system saving their state
  bool fma = false;   // fused multiply-add on those vectors
  bool operator==(const CpuFeatures&) const = default;
};

// What this processor and system offer, found on the first call. Nothing off x86-64.
CpuFeatures detected_cpu_features();

// What the vector paths may use now: the detected features less those switched off.
CpuFeatures cpu_features();

// From now on allows at most `allowed` (never more than detected). A kernel call already
// running keeps its path.
void allow_cpu_features(CpuFeatures allowed);

// The switch's text: "all", "none", or feature names ("avx2", "fma") separated by commas; case
// and spaces are ignored. Error: names the word that is no feature.
std::expected<CpuFeatures, std::string> parse_cpu_features(std::string_view text);

}  // namespace tsl::platform
