#include "config/parse_args.h"

#include <gtest/gtest.h>

#include <sstream>

#include "config/options.h"

namespace tsl {
namespace {

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

// The map parse_args gives for `words`, written compactly with only the members that differ
// from the defaults (and "input"), or "error: " and the message.
std::string parsed(const std::vector<std::string>& words) {
  auto m = parse_args(words);
  if (!m) return "error: " + m.error();
  JsonValue defaults = default_option_map();
  JsonValue changed = JsonValue::empty_object();
  for (const auto& [key, value] : m->as_object())
    if (key == "input" || json_to_string(value) != json_to_string(defaults[key]))
      changed.set(key, value);
  return json_to_string(changed);
}

TEST(ParseArgs, Table) {
  struct Case {
    std::vector<std::string> words;
    std::string want;
  };
  const Case cases[] = {
      {split("a.jpg b.jpg"), R"({"input": ["a.jpg", "b.jpg"]})"},
      {split("-o out.tif a.jpg"), R"({"input": ["a.jpg"], "output": "out.tif"})"},
      {split("a.jpg --output=out.tif"), R"({"input": ["a.jpg"], "output": "out.tif"})"},
      {split("a.jpg --output=x=y"), R"({"input": ["a.jpg"], "output": "x=y"})"},
      {split("a.jpg --output="), R"({"input": ["a.jpg"], "output": ""})"},
      {split("a.jpg -o"), "error: argument --output: expected one argument"},
      {split("a.jpg --ev -1"), R"({"input": ["a.jpg"], "ev": -1})"},
      {split("a.jpg --output --dxo"), R"({"input": ["a.jpg"], "output": "--dxo"})"},
      {split("-5 -12.5"), R"({"input": ["-5", "-12.5"]})"},
      {{"", "-", "-abc", "-ofile", "-o=x"}, R"({"input": ["", "-", "-abc", "-ofile", "-o=x"]})"},
      {split("a.jpg -x"), "error: unrecognized arguments: -x"},
      {split("a.jpg --"), "error: unrecognized arguments: --"},
      {split("a.jpg --max_tilt 5"), "error: unrecognized arguments: --max_tilt"},
      {split("a.jpg --Max-Tilt 5"), "error: unrecognized arguments: --Max-Tilt"},
      {split("a.jpg --foo=1"), "error: unrecognized arguments: --foo=1"},
      {split("a.jpg --help"), "error: unrecognized arguments: --help"},
      {split("a.jpg --dxo=no"), R"({"input": ["a.jpg"], "dxo": true})"},
      {split("a.jpg --dxo="), R"({"input": ["a.jpg"], "dxo": true})"},
      {split("a.jpg --match-px 1e3"), R"({"input": ["a.jpg"], "match_px": 1000})"},
      {split("a.jpg --match-px 2.5"), "error: argument --match-px: invalid int value: '2.5'"},
      {split("a.jpg --match-px inf"), "error: argument --match-px: invalid int value: 'inf'"},
      {split("a.jpg --match-px nan"), "error: argument --match-px: invalid int value: 'nan'"},
      {split("a.jpg --match-px x"), "error: argument --match-px: invalid int value: 'x'"},
      {{"a.jpg", "--max-tilt", " 30\t"}, R"({"input": ["a.jpg"], "max_tilt": 30})"},
      {{"a.jpg", "--max-tilt", "\xC2\xA0" "30"}, R"({"input": ["a.jpg"], "max_tilt": 30})"},
      {split("a.jpg --max-tilt nan"), R"({"input": ["a.jpg"], "max_tilt": NaN})"},
      {split("a.jpg --max-tilt 0x10"), "error: argument --max-tilt: invalid float value: '0x10'"},
      {{"a.jpg", "--max-tilt", " "}, "error: argument --max-tilt: invalid float value: ' '"},
      {split("a.jpg --wb 1.1 1 0.9"), R"({"input": ["a.jpg"], "wb": [1.1, 1, 0.9]})"},
      {split("a.jpg --wb 1 1"), "error: argument --wb: expected 3 arguments"},
      {{"a.jpg", "--wb", " 1", "1", "1"}, "error: argument --wb: invalid float value: ' 1'"},
      {split("a.jpg --wb=2 1 1 1"), R"({"input": ["a.jpg"]})"},
      {split("a.jpg --bounds -100 -200 300 400"), R"({"input": ["a.jpg"], "bounds": [-100, -200, 300, 400]})"},
      {split("a.jpg --bits 16"), R"({"input": ["a.jpg"], "bits": 16})"},
      {split("a.jpg --bits 16.0"), R"({"input": ["a.jpg"], "bits": 16})"},
      {split("a.jpg --bits 1.6e1"), R"({"input": ["a.jpg"], "bits": 16})"},
      {split("a.jpg --bits 12"), "error: argument --bits: invalid choice: '12' (choose from 8, 16)"},
      {split("a.jpg --bits 8.5"), "error: argument --bits: invalid int value: '8.5'"},
      {split("a.jpg --prefer DNG"), "error: argument --prefer: invalid choice: 'DNG' (choose from dng, jpg)"},
      {split("a.jpg --prefer jpg"), R"({"input": ["a.jpg"], "prefer": "jpg"})"},
      {split("a.jpg --exclude a.jpg --exclude=b.jpg"), R"({"input": ["a.jpg"], "exclude": ["a.jpg", "b.jpg"]})"},
      {split("a.jpg --exclude="), R"({"input": ["a.jpg"], "exclude": [""]})"},
      {split("a.jpg --exclude"), "error: argument --exclude: expected one argument"},
      {split("a.jpg --output a --output b"), R"({"input": ["a.jpg"], "output": "b"})"},
      {split("a.jpg --wb 2 2 2 --wb 3 3 3"), R"({"input": ["a.jpg"], "wb": [3, 3, 3]})"},
      {{}, "error: the following arguments are required: input"},
      {split("--dxo --ev 1"), "error: the following arguments are required: input"},
      {split("--bogus"), "error: unrecognized arguments: --bogus"},
      // The first failing word decides, and the missing input is checked last.
      {split("--ev x --bogus"), "error: argument --ev: invalid float value: 'x'"},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const auto& w : c.words) line += "[" + w + "]";
    SCOPED_TRACE(line);
    EXPECT_EQ(parsed(c.words), c.want);
  }
}

TEST(ParseArgs, MapKeepsTableOrderWhateverTheWordOrder) {
  auto m = parse_args(split("--wb 1 2 3 a.jpg --dxo -o x.tif b.jpg"));
  ASSERT_TRUE(m.has_value());
  const JsonObject& members = m->as_object();
  ASSERT_EQ(members.size(), 64u);
  EXPECT_EQ(members[0].first, "input");
  for (size_t i = 0; i < OPTION_COUNT; ++i) EXPECT_EQ(members[i + 1].first, OPTION_TABLE[i].key);
  EXPECT_EQ(json_to_string(m->index("input")), R"(["a.jpg", "b.jpg"])");
}

}  // namespace
}  // namespace tsl
