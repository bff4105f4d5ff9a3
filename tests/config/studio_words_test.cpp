#include "config/studio_words.h"

#include <gtest/gtest.h>

#include <vector>

namespace tsl {
namespace {

TEST(StudioWords, PortAndBrowser) {
  struct Case {
    std::vector<std::string> words;  // after "studio"
    uint16_t port;
    bool browser;
  };
  const Case cases[] = {
      {{}, 8765, true},
      {{"--port", "9000", "--no-browser"}, 9000, false},
      {{"--port"}, 8765, true},
      {{"--port", "abc"}, 8765, true},
      {{"--port", "-1"}, 8765, true},
      {{"--port", "70000"}, 8765, true},
      {{"--port", "65535"}, 65535, true},
      {{"--port", ""}, 8765, true},
      {{"--port", "+"}, 8765, true},
      {{"--port", "+9000"}, 9000, true},
      {{"--port", "++9000"}, 8765, true},
      {{"--port", "9000 "}, 8765, true},
      {{"--port", "99999999999999999999"}, 8765, true},
      {{"--port", "--no-browser"}, 8765, true},  // the value word is consumed, not read as a switch
      {{"--port", "9000", "--port", "9001"}, 9001, true},
      {{"--port", "9000", "--port", "x"}, 8765, true},
      {{"--help", "whatever", "--no-browser"}, 8765, false},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const auto& w : c.words) line += "[" + w + "]";
    SCOPED_TRACE(line);
    StudioWords s = parse_studio_words(c.words);
    EXPECT_EQ(s.port, c.port);
    EXPECT_EQ(s.open_browser, c.browser);
  }
}

}  // namespace
}  // namespace tsl
