#include "config/settings_argv.h"

#include <gtest/gtest.h>

#include <cmath>

#include "config/options.h"
#include "config/parse_args.h"

namespace tsl {
namespace {

// The words for a settings object given as JSON text, joined by single spaces.
std::string words_of(std::string_view settings_json) {
  auto s = json_parse(settings_json);
  EXPECT_TRUE(s.has_value()) << settings_json;
  std::string out;
  for (const std::string& w : settings_to_argv(s.value_or(JsonValue()))) out += (out.empty() ? "" : " ") + w;
  return out;
}

TEST(SettingsToArgv, Table) {
  struct Case {
    std::string settings;
    std::string words;
  };
  const std::string workers_default = std::to_string(server_worker_count());
  const Case cases[] = {
      {R"({"input": ["a.jpg", "b.jpg"], "output": "out.tif", "max_tilt": 25, "dxo": true, "wb": [1.1, 1, 0.9],
           "exclude": ["c.jpg", "d.jpg"], "ev": 0.5})",
       "a.jpg b.jpg --output out.tif --dxo --wb 1.1 1 0.9 --exclude c.jpg --exclude d.jpg --ev 0.5"},
      {R"({"ev": 0.5, "dxo": true, "input": ["a.jpg"], "output": "out.tif"})", "a.jpg --ev 0.5 --dxo --output out.tif"},
      {R"({"input": ["a"], "dxo": false})", "a"},
      {R"({"input": ["a"], "dxo": 0})", "a"},
      {R"({"input": ["a"], "dxo": null})", "a"},
      {R"({"input": ["a"], "dxo": 1})", "a --dxo"},
      {R"({"input": ["a"], "dxo": "false"})", "a --dxo"},
      {R"({"input": ["a"], "ba_rounds": 3.0})", "a"},
      {R"({"input": ["a"], "ba_rounds": 4})", "a --ba-rounds 4"},
      {R"({"input": ["a"], "ev": 1e-7})", "a --ev 0.0000001"},
      {R"({"input": ["a"], "ev": 1e15})", "a --ev 1000000000000000"},
      {R"({"input": ["a"], "ev": -0.0})", "a"},
      {R"({"input": ["a"], "ev": NaN})", "a --ev NaN"},
      {R"({"input": ["a"], "ev": -Infinity})", "a --ev -inf"},
      {R"({"input": ["a"], "wb": [1, true, 1]})", "a"},
      {R"({"input": ["a"], "bounds": [0, 0, 100, 100]})", "a --bounds 0 0 100 100"},
      {R"({"input": ["a"], "bounds": "x"})", "a --bounds"},
      {R"({"input": ["a"], "workers": )" + workers_default + "}", "a"},
      {R"({"input": ["a"], "workers": 999})", "a --workers 999"},
      {R"({"input": ["a"], "selfcal": true})", "a --selfcal True"},
      {R"({"input": ["a"], "output": "", "reuse": null, "foo": 1, "input": ["b"]})", "a"},
      {R"({"input": "a.jpg", "ev": 1})", "--ev 1"},
      {R"({"input": ["a", 5, "b"]})", "a b"},
      {R"({"input": ["a"], "meta_from": "dir"})", "a"},
      {R"({"input": ["a"], "meta_from": ["d1", null]})", "a --meta-from d1 --meta-from null"},
      {R"({"input": ["a"], "output": {"k": [1]}})", "a --output {\"k\": [1]}"},
      {R"({"input": ["a"], "ev": 1, "ev": 2})", "a --ev 1 --ev 2"},
      {R"([1, 2])", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    EXPECT_EQ(words_of(c.settings), c.words);
  }
}

TEST(SettingsToArgv, WordsGoThroughTheParser) {
  auto settings = json_parse(R"({"input": ["a"], "selfcal": true})");
  ASSERT_TRUE(settings.has_value());
  auto m = parse_args(settings_to_argv(*settings));
  ASSERT_FALSE(m.has_value());
  EXPECT_EQ(m.error(), "argument --selfcal: invalid choice: 'True' (choose from auto, on, off)");

  auto missing = json_parse(R"({"input": "a.jpg"})");
  ASSERT_TRUE(missing.has_value());
  auto m2 = parse_args(settings_to_argv(*missing));
  ASSERT_FALSE(m2.has_value());
  EXPECT_EQ(m2.error(), "the following arguments are required: input");

  // A full round trip: the parser's map turned back into words parses to the same map.
  auto original = parse_args(std::vector<std::string>{"a.jpg", "--ev", "0.3", "--wb", "1", "2", "3", "--exclude",
                                                      "x", "--bits", "16", "--no-gains", "--gsd", "2.5"});
  ASSERT_TRUE(original.has_value());
  auto again = parse_args(settings_to_argv(*original));
  ASSERT_TRUE(again.has_value()) << again.error();
  EXPECT_EQ(json_to_string(*again), json_to_string(*original));
}

TEST(JsonLooseEq, BoolsEqualOneAndZero) {
  struct Case {
    JsonValue a, b;
    bool equal;
  };
  const Case cases[] = {
      {true, 1.0, true},       {0.0, false, true},         {true, 2.0, false},
      {3.0, 3.0, true},        {std::nan(""), std::nan(""), false},
      {"1", 1.0, false},       {JsonArray{1, true}, JsonArray{1.0, 1.0}, true},
      {JsonArray{1}, JsonArray{1, 1}, false},
      {JsonObject{{"a", true}}, JsonObject{{"a", 1}}, false},  // Objects compare strictly
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(json_loose_eq(cases[i].a, cases[i].b), cases[i].equal);
  }
}

}  // namespace
}  // namespace tsl
