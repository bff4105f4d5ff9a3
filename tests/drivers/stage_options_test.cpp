// What the driver makes of the configuration and the environment: the rules that are more
// than a copy of a value.
#include "drivers/stage_options.h"

#include <gtest/gtest.h>

#include <string>

namespace tsl {
namespace {

TEST(StageOptions, SelfCalibrationFlag) {
  const struct {
    std::string text;
    size_t photos;
    bool on;
  } cases[] = {{"auto", 5, false}, {"auto", 6, true}, {"on", 2, true},   {"true", 2, true},
               {"True", 2, true},  {"ON", 9, false},  {"yes", 9, false}, {"off", 9, false}};
  for (const auto& c : cases) {
    Config config;
    config.selfcal = c.text;
    EXPECT_EQ(selfcal_enabled(config, c.photos), c.on) << c.text << " with " << c.photos;
  }
}

// The first adjustment solves tie heights only when no dense stage with its second adjustment
// follows; a plane never gets them.
TEST(StageOptions, FirstAdjustmentReliefStage) {
  const struct {
    bool dense_on, surface_dsm, relief;
  } cases[] = {{true, true, false}, {false, true, true}, {true, false, false}, {false, false, false}};
  for (const auto& c : cases) {
    Config config;
    config.dense_on = c.dense_on;
    config.surface_dsm = c.surface_dsm;
    EXPECT_EQ(adjust_options(config, Environment{}, 10).relief, c.relief) << c.dense_on << c.surface_dsm;
  }
}

// The developer switches reach the stages that use them, parsed by the stages' own rules.
TEST(StageOptions, EnvironmentReachesTheStages) {
  const Config config;
  Environment env;
  StageOptions o = stage_options(config, env, 3);
  EXPECT_EQ(o.dense.flow.backend, FlowBackend::Dis);
  EXPECT_EQ(o.match.fundamental_threshold, FTHR_DEFAULT);
  EXPECT_FALSE(o.match.inject || o.match.dump || o.sift.profile || o.adjust.jacobian_check);

  env.flow = "LK";
  env.fthr = "1.5";
  env.matches = "/in.json";
  env.dump_matches = "/out.json";
  env.sift_profile = true;
  env.jacobian_check = true;
  o = stage_options(config, env, 3);
  EXPECT_EQ(o.dense.flow.backend, FlowBackend::LucasKanade);
  EXPECT_EQ(o.match.fundamental_threshold, 1.5);
  EXPECT_EQ(o.match.inject, std::filesystem::path("/in.json"));
  EXPECT_EQ(o.match.dump, std::filesystem::path("/out.json"));
  EXPECT_TRUE(o.sift.profile);
  EXPECT_TRUE(o.adjust.jacobian_check);

  env.flow = "lkx";
  env.fthr = " 1.5";
  o = stage_options(config, env, 3);
  EXPECT_EQ(o.dense.flow.backend, FlowBackend::Dis);
  EXPECT_EQ(o.match.fundamental_threshold, FTHR_DEFAULT);
}

}  // namespace
}  // namespace tsl
