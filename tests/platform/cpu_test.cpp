// The processor features the vector paths may use: what is found, the switch's text, and
// narrowing that never grants more than the processor has.
#include "platform/cpu.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "support/cpu_paths.h"

namespace tsl::platform {
namespace {

TEST(CpuFeatures, SwitchText) {
  const struct {
    const char* text;
    bool ok;
    CpuFeatures want;
  } rows[] = {
      {"none", true, {}},
      {"all", true, {true, true}},
      {"avx2", true, {true, false}},
      {"fma", true, {false, true}},
      {" AVX2 , Fma ", true, {true, true}},
      {"none,avx2", true, {true, false}},
      {"sse4", false, {}},
      {"avx2,", false, {}},  // an empty name is no feature
      {"", false, {}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string("\"") + r.text + "\"");
    const auto got = parse_cpu_features(r.text);
    ASSERT_EQ(got.has_value(), r.ok);
    if (r.ok) {
      EXPECT_EQ(*got, r.want);
    }
  }
  EXPECT_EQ(parse_cpu_features("avx2,sse4").error(), "unknown cpu feature \"sse4\" (known: all, none, avx2, fma)");
}

// The kernel's own view of the processor is the oracle: its flags list avx2 and fma only when
// the processor has them.
TEST(CpuFeatures, DetectedAgreesWithTheKernelsFlags) {
#if defined(__x86_64__) && defined(__linux__)
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  std::set<std::string> flags;
  while (std::getline(in, line)) {
    if (!line.starts_with("flags")) continue;
    std::istringstream words(line.substr(line.find(':') + 1));
    for (std::string w; words >> w;) flags.insert(w);
    break;
  }
  if (flags.empty()) GTEST_SKIP() << "no flags line in /proc/cpuinfo";
  const CpuFeatures d = detected_cpu_features();
  EXPECT_EQ(d.avx2, flags.contains("avx2"));
  EXPECT_EQ(d.fma, flags.contains("avx2") && flags.contains("fma"));
#else
  EXPECT_EQ(detected_cpu_features(), CpuFeatures{});
#endif
}

TEST(CpuFeatures, NarrowingNeverGrantsWhatTheProcessorLacks) {
  const CpuFeatures detected = detected_cpu_features();
  test::ScopedCpuFeatures restore(cpu_features());
  allow_cpu_features({true, true});
  EXPECT_EQ(cpu_features(), detected);
  allow_cpu_features({});
  EXPECT_EQ(cpu_features(), CpuFeatures{});
  allow_cpu_features({true, false});
  EXPECT_EQ(cpu_features(), (CpuFeatures{detected.avx2, false}));
}

}  // namespace
}  // namespace tsl::platform
