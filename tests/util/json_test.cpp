#include "util/json.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <sstream>

#include "support/test_util.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

// Reads `text` and writes the value back compactly, or returns "error: " and the message.
std::string reread(std::string_view text) {
  auto v = json_parse(text);
  if (!v) return "error: " + v.error();
  return json_to_string(*v);
}

TEST(JsonRead, ValuesAndErrors) {
  struct Case {
    std::string text;
    std::string want;  // compact text of the value, or "error: " + message
  };
  const Case cases[] = {
      {"  42  ", "42"},
      {"1.0", "1"},
      {"-0", "0"},
      {"+5", "5"},
      {"007", "7"},
      {"5.", "5"},
      {".5", "0.5"},
      {"1e999", "Infinity"},
      {"NaN", "NaN"},
      {"Infinity", "Infinity"},
      {"-Infinity", "-Infinity"},
      {"[true, false, null]", "[true, false, null]"},
      {"{\"a\":1,\"b\":[{}]}", "{\"a\": 1, \"b\": [{}]}"},
      {"[{}]", "[{}]"},
      {" [ ] ", "[]"},
      {"\"raw\ttab\nline\"", "\"raw\\ttab\\nline\""},
      {R"("\q\/\"\\\b\f")", R"("q/\"\\\u0008\u000c")"},
      {R"("\ud83d\ude00")", "\"\xF0\x9F\x98\x80\""},  // one pair, one code point
      {R"("\ud83dx")", "\"\xEF\xBF\xBDx\""},          // lone high unit
      {R"("\ud83d\n")", "\"\xEF\xBF\xBD\\n\""},       // high unit, then another escape
      {R"("\udc00")", "\"\xEF\xBF\xBD\""},            // lone low unit
      {R"("\ud800\u0041")", "\"\xF0\x90\x81\x81\""},  // the second unit need not be low: U+10041
      {R"("\u+041")", "\"A\""},
      {R"("\u00e9")", "\"\xC3\xA9\""},
      {"", "error: unexpected end"},
      {"   ", "error: unexpected end"},
      {"[", "error: unexpected end"},
      {"[1,", "error: unexpected end"},
      {"{\"a\":", "error: unexpected end"},
      {"[1", "error: expected ',' or ']'"},
      {"[1 2]", "error: expected ',' or ']'"},
      {"{\"a\"", "error: expected ':'"},
      {"{\"a\" 1}", "error: expected ':'"},
      {"{\"a\":1 \"b\":2}", "error: expected ',' or '}'"},
      {"{1:2}", "error: object key must be a string"},
      {"{,}", "error: bad token at 1"},
      {"[1,]", "error: bad token at 3"},
      {"42 x", "error: trailing characters at 3"},
      {"nullnull", "error: trailing characters at 4"},
      {"nan", "error: bad token at 0"},
      {"inf", "error: bad token at 0"},
      {"-Inf", "error: bad token at 0"},
      {"-", "error: bad token at 0"},
      {"1e", "error: bad token at 0"},
      {"1.2.3", "error: bad token at 0"},
      {"1-2", "error: bad token at 0"},
      {"\f1", "error: bad token at 0"},  // form feed is not white space
      {"[tru]", "error: bad token at 1"},
      {"\"abc", "error: unterminated string"},
      {"\"abc\\", "error: unterminated string"},
      {R"("\u12)", "error: bad \\u escape"},
      {R"("\u12z4")", "error: invalid digit found in string"},
      {R"("\u-041")", "error: invalid digit found in string"},
      {"\"\\u123\xC3\xA9\"", "error: incomplete utf-8 byte sequence from index 3"},
      {"\"ok\xFFno\"", "error: invalid utf-8 sequence of 1 bytes from index 2"},
      {"\"\xE2\x82x\"", "error: invalid utf-8 sequence of 2 bytes from index 0"},
      {"\"x\xE2\x82\"", "error: incomplete utf-8 byte sequence from index 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(reread(c.text), c.want);
  }
}

TEST(JsonRead, NullWordStopsAtTheWord) {
  size_t pos = 0;
  auto v = json_parse_value("nullx", pos);
  ASSERT_TRUE(v.has_value());
  EXPECT_TRUE(v->is_null());
  EXPECT_EQ(pos, 4u);
}

TEST(JsonRead, DuplicateKeysStayInTextOrder) {
  auto v = json_parse(R"({"a": 1, "a": 2})");
  ASSERT_TRUE(v.has_value());
  ASSERT_EQ(v->size(), 2u);
  EXPECT_EQ(v->index("a").as_f64(), 1.0);
  EXPECT_EQ(v->as_object()[1].second.as_f64(), 2.0);
}

// Regression: without a bound, a deeply nested request overflows the reader's stack.
TEST(JsonRead, NestingIsBounded) {
  auto nested = [](size_t levels, char open, char close) {
    return std::string(levels, open) + std::string(levels, close);
  };
  EXPECT_TRUE(json_parse(nested(JSON_MAX_DEPTH, '[', ']')).has_value());
  EXPECT_EQ(reread(nested(JSON_MAX_DEPTH + 1, '[', ']')), "error: nesting deeper than 512 levels at 512");
  EXPECT_EQ(reread(std::string(1'000'000, '[')), "error: nesting deeper than 512 levels at 512");
  std::string objects;
  for (int i = 0; i < 600; ++i) objects += "{\"k\":";
  EXPECT_EQ(reread(objects), "error: nesting deeper than 512 levels at 2560");
}

// Truncated and corrupted documents must give an error or a value, never a crash or a read
// past the end; whatever is read must write and read back to itself.
TEST(JsonRead, CorruptedDocumentsNeverCrash) {
  const std::string seed_doc =
      R"({"a": [1, -2.5e3, "x\u00e9\ud83d\ude00\n", true, null, NaN, -Infinity, {"b": {}}], "c": "\"q\""})";
  std::mt19937_64 rng(99);
  const char NASTY[] = {'"', '\\', '[', ']', '{', '}', ',', ':', 'u', 'e', '-', '+', '.', '\0', '\xFF', '\xC3'};
  for (int round = 0; round < 20000; ++round) {
    std::string doc = seed_doc;
    doc.resize(rng() % (doc.size() + 1));
    for (size_t k = rng() % 4; k > 0 && !doc.empty(); --k) doc[rng() % doc.size()] = NASTY[rng() % sizeof NASTY];
    auto v = json_parse(doc);
    if (!v) continue;
    auto again = json_parse(json_to_string(*v));
    ASSERT_TRUE(again.has_value()) << doc;
    ASSERT_EQ(json_to_string(*again), json_to_string(*v)) << doc;
  }
}

TEST(JsonWrite, NumbersStringsAndForms) {
  struct Case {
    JsonValue value;
    std::string want;
  };
  const Case cases[] = {
      {-0.0, "0"},
      {0.5, "0.5"},
      {0.1, "0.1"},
      {1e-7, "0.0000001"},
      {0.1 + 0.2, "0.30000000000000004"},
      {999999999999999.0, "999999999999999"},
      {1e15, "1000000000000000"},
      {std::ldexp(1.0, 60), "1152921504606847000"},
      {1e21, "1" + std::string(21, '0')},
      {5e-324, "0." + std::string(323, '0') + "5"},
      {-2.5, "-2.5"},
      {std::nan(""), "NaN"},
      {-HUGE_VAL, "-Infinity"},
      {"\x01\x7F/\xC3\xA9", "\"\\u0001\x7F/\xC3\xA9\""},
      {"\x1b\f", "\"\\u001b\\u000c\""},
      {JsonArray{1, 2}, "[1, 2]"},
      {JsonArray{JsonValue::empty_object()}, "[{}]"},
      {JsonObject{{"a", nullptr}, {"b", true}}, "{\"a\": null, \"b\": true}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(json_to_string(c.value), c.want);
  }
}

TEST(JsonWrite, PrettyIndentsOneSpacePerLevel) {
  JsonValue surface = JsonValue::empty_object();
  surface.set("kind", "plane");
  surface.set("z0", 12.5);
  EXPECT_EQ(json_to_string_pretty(surface), "{\n \"kind\": \"plane\",\n \"z0\": 12.5\n}");
  JsonValue nested(JsonArray{JsonArray{1, 2}});
  EXPECT_EQ(json_to_string_pretty(nested), "[\n [\n  1,\n  2\n ]\n]");
  EXPECT_EQ(json_to_string_pretty(JsonValue::empty_array()), "[]");
  JsonValue holder = JsonValue::empty_object();
  holder.set("empty", JsonValue::empty_object());
  EXPECT_EQ(json_to_string_pretty(holder), "{\n \"empty\": {}\n}");
}

TEST(JsonValueOps, SetKeepsPositionAndIgnoresNonObjects) {
  JsonValue o = JsonValue::empty_object();
  o.set("a", 1);
  o.set("b", 2);
  o.set("a", 3);
  EXPECT_EQ(json_to_string(o), "{\"a\": 3, \"b\": 2}");

  for (JsonValue target : {JsonValue(), JsonValue(1.0), JsonValue::empty_array()}) {
    JsonValue before = target;
    target.set("a", 1);
    EXPECT_EQ(json_to_string(target), json_to_string(before));
  }

  auto dup = json_parse(R"({"k": 1, "k": 2})");
  ASSERT_TRUE(dup.has_value());
  dup->set("k", 9);
  EXPECT_EQ(json_to_string(*dup), "{\"k\": 9, \"k\": 2}");
  EXPECT_EQ(dup->index("k").as_f64(), 9.0);
}

TEST(JsonValueOps, LookupMissesGiveNull) {
  auto v = json_parse(R"({"a": {"b": [1]}})");
  ASSERT_TRUE(v.has_value());
  EXPECT_TRUE(v->index("x").is_null());
  EXPECT_TRUE(v->index("x")["y"]["z"].is_null());
  EXPECT_TRUE(v->index("a")["b"]["c"].is_null());  // key on an Array
  EXPECT_EQ((*v)["a"]["b"].at(0).as_f64(), 1.0);
  EXPECT_TRUE((*v)["a"]["b"].at(1).is_null());
  EXPECT_EQ(&v->index("x"), &json_null());
}

TEST(JsonValueOps, CheckedAccessOfTheWrongKindIsAnInternalError) {
  EXPECT_THROW(JsonValue(1.0).as_string(), InternalError);
  EXPECT_EQ(JsonValue(1.0).str_or("d"), "d");
  EXPECT_EQ(JsonValue("x").f64_or(7), 7.0);
}

TEST(JsonValueOps, ToF64Vec) {
  auto v = json_parse(R"(["1", " 2.5 ", true, false, null, "x", [], {}, "-Infinity", "INF", "0x10", 3])");
  ASSERT_TRUE(v.has_value());
  std::vector<double> got = v->to_f64_vec();
  ASSERT_EQ(got.size(), 12u);
  const double want[] = {1, 2.5, 1, 0, NAN, NAN, NAN, NAN, -HUGE_VAL, HUGE_VAL, NAN, 3};
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(i);
    if (std::isnan(want[i]))
      EXPECT_TRUE(std::isnan(got[i]));
    else
      EXPECT_EQ(got[i], want[i]);
  }
  EXPECT_TRUE(JsonValue::empty_object().to_f64_vec().empty());
  EXPECT_TRUE(JsonValue("1").to_f64_vec().empty());
  // A no-break space around the number is Unicode white space.
  EXPECT_EQ(JsonValue(JsonArray{"\xC2\xA0" "4\xE3\x80\x80"}).to_f64_vec(), std::vector<double>{4});
}

TEST(JsonValueOps, IntegerSetters) {
  JsonValue o = JsonValue::empty_object();
  o.set_u64("u", (uint64_t{1} << 53) + 1);
  o.set_i32("i", INT32_MIN);
  EXPECT_EQ(o["u"].as_f64(), std::ldexp(1.0, 53));
  EXPECT_EQ(o["i"].as_f64(), -2147483648.0);
  o.set_opt_string("s", std::nullopt);
  EXPECT_TRUE(o["s"].is_null());
  o.set_opt_string("s", "x");
  EXPECT_EQ(o["s"].as_string(), "x");
}

TEST(JsonValueOps, StrictEquality) {
  struct Case {
    JsonValue a, b;
    bool equal;
  };
  JsonObject ab{{"a", 1}, {"b", 2}}, ba{{"b", 2}, {"a", 1}};
  const Case cases[] = {
      {std::nan(""), std::nan(""), false},
      {0.0, -0.0, true},
      {true, 1.0, false},
      {"1", 1.0, false},
      {nullptr, nullptr, true},
      {ab, ab, true},
      {ab, ba, false},
      {JsonArray{1, 2}, JsonArray{1, 2}, true},
      {JsonArray{1, 2}, JsonArray{1}, false},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(cases[i].a.eq(cases[i].b), cases[i].equal);
  }
}

TEST(JsonValueOps, CloneIsIndependent) {
  auto src = json_parse(R"({"a": {"b": [1, 2]}})");
  ASSERT_TRUE(src.has_value());
  JsonValue copy = src->clone();
  src->as_object()[0].second.set("b", "changed");
  EXPECT_EQ(json_to_string(copy), "{\"a\": {\"b\": [1, 2]}}");
}

// --- python3's json module as the oracle ---------------------------------------------------

// A random document: nested containers, awkward strings (controls, quotes, non-ASCII, astral
// characters) and doubles of every magnitude.
JsonValue random_value(std::mt19937_64& rng, int depth) {
  std::uniform_int_distribution<int> pick(0, depth > 3 ? 3 : 5);
  switch (pick(rng)) {
    case 0:
      return nullptr;
    case 1:
      return (rng() & 1) != 0;
    case 2: {
      if (rng() % 2 == 0) {
        double x;
        do x = std::bit_cast<double>(rng());
        while (!std::isfinite(x));
        return x;
      }
      return static_cast<double>(static_cast<int64_t>(rng() % 2000001) - 1000000) / 1000.0;
    }
    case 3: {
      static const char* const PIECES[] = {"a", "Z", "\"", "\\", "/", "\n", "\t", "\x01", "\x1f", "\x7f",
                                           "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", " ", "0"};
      std::string s;
      for (size_t n = rng() % 8; n > 0; --n) s += PIECES[rng() % std::size(PIECES)];
      return s;
    }
    case 4: {
      JsonArray a;
      for (size_t n = rng() % 4; n > 0; --n) a.push_back(random_value(rng, depth + 1));
      return a;
    }
    default: {
      JsonValue o = JsonValue::empty_object();
      for (size_t n = rng() % 4; n > 0; --n) o.set("k" + std::to_string(rng() % 6), random_value(rng, depth + 1));
      return o;
    }
  }
}

// Python reads what we wrote, writes it with json.dumps (exponents, \u escapes, surrogate
// pairs), and we must read that back to the same value.
TEST(JsonPythonOracle, RandomDocumentsRoundTrip) {
  TSL_REQUIRE_PYTHON("json");
  test::TempDir dir;
  std::mt19937_64 rng(20240611);
  std::string ours;
  std::vector<JsonValue> docs;
  for (int i = 0; i < 300; ++i) {
    docs.push_back(random_value(rng, 0));
    ours += (i % 2 ? json_to_string_pretty(docs.back()) : json_to_string(docs.back())) + "\n\x1e\n";
  }
  test::write_file_text(dir / "ours.txt", ours);
  test::write_file_text(dir / "py.py", R"(
import json, sys
docs = open(sys.argv[1], encoding='utf-8').read().split('\n\x1e\n')[:-1]
with open(sys.argv[2], 'w', encoding='utf-8') as out:
    for i, d in enumerate(docs):
        v = json.loads(d)
        out.write(json.dumps(v, ensure_ascii=(i % 2 == 0)) + '\n\x1e\n')
)");
  auto r = test::run_command(test::python3() + " " + test::shell_quote((dir / "py.py").string()) + " " +
                             test::shell_quote((dir / "ours.txt").string()) + " " +
                             test::shell_quote((dir / "theirs.txt").string()));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::string theirs = test::read_file_text(dir / "theirs.txt");
  size_t start = 0;
  for (size_t i = 0; i < docs.size(); ++i) {
    size_t end = theirs.find("\n\x1e\n", start);
    ASSERT_NE(end, std::string::npos);
    std::string_view text(theirs.data() + start, end - start);
    start = end + 3;
    SCOPED_TRACE(text);
    auto back = json_parse(text);
    ASSERT_TRUE(back.has_value()) << back.error();
    // Python drops duplicate keys (last wins) and our random objects may hold none, so the
    // written forms must agree exactly.
    EXPECT_EQ(json_to_string(*back), json_to_string(docs[i]));
  }
}

// Every double's text must be Python's shortest repr written positionally, and must read back
// (in Python and here) as the same bits.
TEST(JsonPythonOracle, RandomDoublesMatchShortestRepr) {
  TSL_REQUIRE_PYTHON("json decimal");
  test::TempDir dir;
  std::mt19937_64 rng(7);
  std::vector<double> values = {0.1, 1e-7, 1e15, 1e16, 1e22, 5e-324, 1.7976931348623157e308, 123456.789, 0.5,
                                -1e-300, 2.2250738585072014e-308};
  while (values.size() < 4000) {
    double x = std::bit_cast<double>(rng());
    if (std::isfinite(x)) values.push_back(x);
    // Decimal-looking values too, where shortest digits are short.
    values.push_back(static_cast<double>(static_cast<int64_t>(rng() % 100000000)) / std::pow(10.0, rng() % 12));
  }
  std::ostringstream bits, texts;
  for (double x : values) {
    bits << std::bit_cast<uint64_t>(x) << "\n";
    texts << json_number_text(x) << "\n";
  }
  test::write_file_text(dir / "bits.txt", bits.str());
  test::write_file_text(dir / "texts.txt", texts.str());
  test::write_file_text(dir / "py.py", R"(
import json, struct, sys
from decimal import Decimal
bits = open(sys.argv[1]).read().split()
texts = open(sys.argv[2]).read().split()
bad = 0
for b, t in zip(bits, texts):
    x = struct.unpack('<d', struct.pack('<Q', int(b)))[0]
    want = format(Decimal(repr(x)), 'f')
    if want.endswith('.0'):
        want = want[:-2]
    if want == '-0':
        want = '0'
    back = json.loads(t)
    if t != want or struct.pack('<d', back) != struct.pack('<d', x) and not (x == 0 and back == 0):
        bad += 1
        if bad < 10:
            print('mismatch', repr(x), 'ours', t, 'want', want)
print('checked', len(bits))
sys.exit(1 if bad else 0)
)");
  auto r = test::run_command(test::python3() + " " + test::shell_quote((dir / "py.py").string()) + " " +
                             test::shell_quote((dir / "bits.txt").string()) + " " +
                             test::shell_quote((dir / "texts.txt").string()));
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  // And our own reader takes the text back to the same bits.
  for (double x : values) {
    auto back = json_parse(json_number_text(x));
    ASSERT_TRUE(back.has_value());
    ASSERT_EQ(std::bit_cast<uint64_t>(back->as_f64()), std::bit_cast<uint64_t>(x)) << json_number_text(x);
  }
}

}  // namespace
}  // namespace tsl
