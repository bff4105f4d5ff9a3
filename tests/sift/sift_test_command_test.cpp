#include <gtest/gtest.h>

#include <regex>

#include "support/test_util.h"

namespace tsl {
namespace {

TEST(SiftTestCommand, PrintsTimingsAndKeypointCount) {
  const std::string photo = (test::source_dir() / "samples/flight/DJI_0001.JPG").string();
  auto r = test::run_command(test::shell_quote(test::tessaly_exe().string()) + " __sifttest " + test::shell_quote(photo));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(std::regex_match(r.err, std::regex("gray\\+clahe [0-9]+ ms\nsift 4000 kps [0-9]+ ms\n"))) << r.err;
}

}  // namespace
}  // namespace tsl
