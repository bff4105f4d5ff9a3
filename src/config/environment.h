#pragma once
// The process environment, read here and nowhere else: the developer switches of the build's
// stages, the default disk cache folder and whether a graphical session is reachable. The
// build driver reads the switches once per build and hands them to the stages in their
// options. A variable whose value is not valid UTF-8 counts as not set, except TSL_JACCHECK
// and the display variables, which count as soon as they are set.
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

namespace tsl {

struct Environment {
  std::optional<std::filesystem::path> matches;       // TSL_MATCHES: tie file injected in place of matching
  std::optional<std::filesystem::path> dump_matches;  // TSL_DUMP_MATCHES: tie file the matched pairs go to
  std::optional<std::string> flow;  // TESSALY_FLOW: "lk" in any case selects Lucas-Kanade
  std::optional<std::string> fthr;  // TSL_FTHR: fundamental-matrix threshold, decimal text
  std::optional<std::string> cpu_features;  // TSL_CPU_FEATURES: what vector paths may use, when not empty
  bool sift_profile = false;        // TSL_PROF set, to any text: a SIFT timing line per photo
  bool jacobian_check = false;      // TSL_JACCHECK set, to any text: the adjustment's Jacobian check
  bool flow_test_dis = false;       // FLOW is exactly "dis": the hidden flow test command runs DIS
};

// The switches as the environment holds them now. The tie file variables count only when
// not empty.
Environment read_environment();

// Allows the vector paths only the features TSL_CPU_FEATURES names (all that the processor
// has when unset). Called once at the start of a process. Error: the text names no feature.
std::expected<void, std::string> apply_cpu_switch(const Environment& environment);

// The disk cache folder when none is configured: LOCALAPPDATA/tessaly/cache when LOCALAPPDATA
// is set and not empty; otherwise XDG_CACHE_HOME/tessaly when that is an absolute path;
// otherwise <base>/.cache/tessaly with base HOME, else USERPROFILE (an empty base gives the
// relative path .cache/tessaly), else ".".
std::filesystem::path default_cache_dir();

// Whether a graphical session is reachable (DISPLAY or WAYLAND_DISPLAY set and not empty).
bool graphical_session();

}  // namespace tsl
