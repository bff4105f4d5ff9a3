#include "util/lower_case.h"

#include <gtest/gtest.h>

#include <algorithm>


#include "support/test_util.h"

namespace tsl {
namespace {

TEST(LowerUnicode, Examples) {
  struct Case {
    const char* in;
    const char* want;
  } cases[] = {
      {"DJI_0001.JPG", "dji_0001.jpg"},
      {"\xC3\x84RIAL", "\xC3\xA4rial"},                  // Ä -> ä
      {"\xCE\xA3\xCE\xA9", "\xCF\x83\xCF\x89"},          // ΣΩ -> σω
      {"\xD0\x96", "\xD0\xB6"},                          // Ж -> ж
      {"\xC4\xB0", "i\xCC\x87"},                         // İ -> i + combining dot above
      {"\xE2\x84\xAA", "k"},                             // Kelvin sign
      {"\xFF" "A\xC3", "\xFF" "a\xC3"},                  // invalid bytes copied
      {"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"},          // Deseret, outside the BMP
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(lower_unicode(c.in), c.want);
  }
}

// Every code point of the first two planes (no cased letter lies beyond them), one by one,
// against Python's str.lower of that single character.
TEST(LowerUnicode, MatchesPythonForEveryCodePoint) {
  TSL_REQUIRE_TOOL(test::python3());
  test::TempDir dir;
  const std::string in = (dir / "in.txt").string(), out = (dir / "out.txt").string();
  auto r = test::run_command(test::python3() + " -c \"\n"
                             "cps=[chr(c) for c in range(1, 0x20000) if not 0xD800<=c<=0xDFFF]\n"
                             "open('" + in + "','w',encoding='utf-8').write('\\n'.join(cps))\n"
                             "open('" + out + "','w',encoding='utf-8').write('\\n'.join(c.lower() for c in cps))\"");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string all = test::read_file_text(in), want = test::read_file_text(out);
  ASSERT_GT(all.size(), 400000u);
  const std::string got = lower_unicode(all);
  if (got == want) return;
  // Report the first differing line rather than two 4 MB strings.
  const size_t at = std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin();
  const size_t line_start = got.rfind('\n', at) + 1;
  const auto line = std::count(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(line_start), '\n');
  ADD_FAILURE() << "line " << line << " (code points from U+0001, surrogates left out): got " << got.substr(line_start, got.find('\n', at) - line_start) << " want "
                << want.substr(line_start, want.find('\n', at) - line_start);
}

}  // namespace
}  // namespace tsl
