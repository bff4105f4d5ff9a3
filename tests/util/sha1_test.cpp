#include "util/sha1.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>

#include "support/test_util.h"
#include "util/text.h"

namespace tsl {
namespace {

std::string hex(const std::array<uint32_t, 5>& d) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (uint32_t w : d)
    for (int shift = 28; shift >= 0; shift -= 4) s += digits[(w >> shift) & 15];
  return s;
}

std::string digest_of(std::string_view text) {
  return hex(sha1(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size())));
}

TEST(Sha1, StandardTestVectors) {
  struct Case {
    std::string input, want;
  };
  const Case cases[] = {
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 60));
    EXPECT_EQ(digest_of(c.input), c.want);
  }
}

// Lengths around the padding boundaries, where the length field moves into a second block.
TEST(Sha1, EqualsSha1sumAroundBlockBoundaries) {
  TSL_REQUIRE_TOOL("sha1sum");
  test::TempDir dir;
  std::mt19937 rng(3);
  std::string paths, want;
  std::vector<std::string> inputs;
  for (size_t n : {1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000, 65537}) {
    std::string s(n, '\0');
    for (auto& ch : s) ch = static_cast<char>(rng());
    auto path = dir / format("in{}", n);
    test::write_file_text(path, s);
    paths += " " + test::shell_quote(path.string());
    inputs.push_back(s);
  }
  auto r = test::run_command("sha1sum" + paths);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::istringstream lines(r.out);
  for (const auto& s : inputs) {
    std::string digest, name;
    ASSERT_TRUE(lines >> digest >> name);
    EXPECT_EQ(digest_of(s), digest) << "length " << s.size();
  }
}

}  // namespace
}  // namespace tsl
