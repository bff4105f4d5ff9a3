// The environment the program reads: each switch's rule, the default cache folder and the
// graphical session test.
#include "config/environment.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "support/cpu_paths.h"
#include "support/test_util.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;

// The tie file variables count only as non-empty UTF-8 text.
TEST(Environment, TieFiles) {
  const struct {
    const char* value;
    std::optional<fs::path> expected;
  } rows[] = {{nullptr, std::nullopt},
              {"", std::nullopt},
              {"/tmp/ties\xff.json", std::nullopt},
              {"/tmp/ties.json", fs::path("/tmp/ties.json")}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.value ? r.value : "(unset)");
    test::ScopedEnv m("TSL_MATCHES", r.value), d("TSL_DUMP_MATCHES", r.value);
    const Environment e = read_environment();
    EXPECT_EQ(e.matches, r.expected);
    EXPECT_EQ(e.dump_matches, r.expected);
  }
}

// The presence switches: TSL_PROF counts when set to valid UTF-8, even empty; TSL_JACCHECK
// whenever it is set; FLOW only as exactly "dis".
TEST(Environment, Switches) {
  const struct {
    const char* value;
    bool profile, jacobian_check, flow_test_dis;
  } rows[] = {{nullptr, false, false, false},
              {"", true, true, false},
              {"1", true, true, false},
              {"\xff", false, true, false},
              {"dis", true, true, true},
              {"DIS", true, true, false},
              {"dis ", true, true, false}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.value ? r.value : "(unset)");
    test::ScopedEnv p("TSL_PROF", r.value), j("TSL_JACCHECK", r.value), f("FLOW", r.value);
    const Environment e = read_environment();
    EXPECT_EQ(e.sift_profile, r.profile);
    EXPECT_EQ(e.jacobian_check, r.jacobian_check);
    EXPECT_EQ(e.flow_test_dis, r.flow_test_dis);
  }
}

// The texts the stages parse themselves come through as they are, absent when unset.
TEST(Environment, TextsPassUnchanged) {
  {
    test::ScopedEnv f("TESSALY_FLOW", nullptr), t("TSL_FTHR", nullptr);
    const Environment e = read_environment();
    EXPECT_FALSE(e.flow.has_value());
    EXPECT_FALSE(e.fthr.has_value());
  }
  test::ScopedEnv f("TESSALY_FLOW", "Lk"), t("TSL_FTHR", " 0.5");
  const Environment e = read_environment();
  EXPECT_EQ(e.flow, "Lk");
  EXPECT_EQ(e.fthr, " 0.5");
}

// TSL_CPU_FEATURES counts when not empty; applying it narrows the vector paths, and text that
// names no feature is an error naming the variable, which leaves the paths as they were.
TEST(Environment, CpuSwitch) {
  test::ScopedCpuFeatures restore(platform::cpu_features());
  for (const char* unset : {static_cast<const char*>(nullptr), ""}) {
    test::ScopedEnv c("TSL_CPU_FEATURES", unset);
    EXPECT_FALSE(read_environment().cpu_features.has_value());
    EXPECT_TRUE(apply_cpu_switch(read_environment()).has_value());
  }
  const platform::CpuFeatures before = platform::cpu_features();
  {
    test::ScopedEnv c("TSL_CPU_FEATURES", "avx512");
    const auto applied = apply_cpu_switch(read_environment());
    ASSERT_FALSE(applied.has_value());
    EXPECT_EQ(applied.error(), "TSL_CPU_FEATURES: unknown cpu feature \"avx512\" (known: all, none, avx2, fma)");
    EXPECT_EQ(platform::cpu_features(), before);
  }
  test::ScopedEnv c("TSL_CPU_FEATURES", "none");
  EXPECT_EQ(read_environment().cpu_features, "none");
  ASSERT_TRUE(apply_cpu_switch(read_environment()).has_value());
  EXPECT_EQ(platform::cpu_features(), platform::CpuFeatures{});
}

TEST(Environment, DefaultCacheFolder) {
  const char* invalid_utf8 = "/data/\xff";
  const struct {
    std::string name;
    const char* localappdata;
    const char* xdg_cache_home;
    const char* home;
    const char* userprofile;
    fs::path expected;
  } rows[] = {
      {"local app data", "/lad", "/xdg", "/home/u", "/up", fs::path("/lad") / "tessaly" / "cache"},
      {"xdg cache home", nullptr, "/xdg", "/home/u", "/up", fs::path("/xdg") / "tessaly"},
      {"empty local app data falls to xdg", "", "/xdg", "/home/u", "/up", fs::path("/xdg") / "tessaly"},
      {"empty xdg falls to home", nullptr, "", "/home/u", "/up", fs::path("/home/u") / ".cache" / "tessaly"},
      {"relative xdg falls to home", nullptr, "rel/cache", "/home/u", "/up", fs::path("/home/u") / ".cache" / "tessaly"},
      {"invalid xdg falls to home", nullptr, invalid_utf8, "/home/u", nullptr, fs::path("/home/u") / ".cache" / "tessaly"},
      {"empty local app data falls to home", "", nullptr, "/home/u", "/up", fs::path("/home/u") / ".cache" / "tessaly"},
      {"invalid local app data falls to home", invalid_utf8, nullptr, "/home/u", nullptr,
       fs::path("/home/u") / ".cache" / "tessaly"},
      {"empty home is a relative base", nullptr, nullptr, "", "/up", fs::path(".cache") / "tessaly"},
      {"user profile without home", nullptr, nullptr, nullptr, "/up", fs::path("/up") / ".cache" / "tessaly"},
      {"nothing set", nullptr, nullptr, nullptr, nullptr, fs::path(".") / ".cache" / "tessaly"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    test::ScopedEnv a("LOCALAPPDATA", r.localappdata), x("XDG_CACHE_HOME", r.xdg_cache_home), b("HOME", r.home),
        c("USERPROFILE", r.userprofile);
    EXPECT_EQ(default_cache_dir(), r.expected);
  }
}

TEST(Environment, GraphicalSession) {
  const struct {
    const char* display;
    const char* wayland;
    bool expected;
  } rows[] = {{nullptr, nullptr, false}, {"", "", false}, {":0", nullptr, true}, {nullptr, "wayland-0", true},
              {"", "wayland-0", true}};
  for (const auto& r : rows) {
    test::ScopedEnv d("DISPLAY", r.display), w("WAYLAND_DISPLAY", r.wayland);
    EXPECT_EQ(graphical_session(), r.expected) << (r.display ? r.display : "(unset)") << " / "
                                               << (r.wayland ? r.wayland : "(unset)");
  }
}

}  // namespace
}  // namespace tsl
