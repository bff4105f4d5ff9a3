#include "config/environment.h"

#include <cstdlib>
#include <utility>

#include "platform/cpu.h"
#include "util/text.h"

namespace tsl {

namespace fs = std::filesystem;

namespace {

// A variable that is set and valid UTF-8.
std::optional<std::string> env_text(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || utf8_error(value)) return std::nullopt;
  return std::string(value);
}

std::optional<fs::path> tie_file(const char* name) {
  std::optional<std::string> value = env_text(name);
  if (!value || value->empty()) return std::nullopt;
  return fs::path(*value);
}

}  // namespace

Environment read_environment() {
  Environment e;
  e.matches = tie_file("TSL_MATCHES");
  e.dump_matches = tie_file("TSL_DUMP_MATCHES");
  e.flow = env_text("TESSALY_FLOW");
  e.fthr = env_text("TSL_FTHR");
  if (auto cpu = env_text("TSL_CPU_FEATURES"); cpu && !cpu->empty()) e.cpu_features = std::move(cpu);
  e.sift_profile = env_text("TSL_PROF").has_value();
  e.jacobian_check = std::getenv("TSL_JACCHECK") != nullptr;
  e.flow_test_dis = env_text("FLOW") == "dis";
  return e;
}

std::expected<void, std::string> apply_cpu_switch(const Environment& environment) {
  if (!environment.cpu_features) return {};
  auto allowed = platform::parse_cpu_features(*environment.cpu_features);
  if (!allowed) return std::unexpected("TSL_CPU_FEATURES: " + allowed.error());
  platform::allow_cpu_features(*allowed);
  return {};
}

fs::path default_cache_dir() {
  if (auto local = env_text("LOCALAPPDATA"); local && !local->empty()) return fs::path(*local) / "tessaly" / "cache";
  // Linux programs keep caches where XDG_CACHE_HOME says; it counts only as an absolute path.
  if (auto xdg = env_text("XDG_CACHE_HOME"); xdg && fs::path(*xdg).is_absolute()) return fs::path(*xdg) / "tessaly";
  std::optional<std::string> base = env_text("HOME");
  if (!base) base = env_text("USERPROFILE");
  if (!base) base = ".";
  return fs::path(*base) / ".cache" / "tessaly";
}

bool graphical_session() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* v = std::getenv(name);
    if (v && *v) return true;
  }
  return false;
}

}  // namespace tsl
