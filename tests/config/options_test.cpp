#include "config/options.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/system.h"

namespace tsl {
namespace {

TEST(OptionTable, RowsAreConsistent) {
  std::set<std::string_view> keys;
  size_t empty_help = 0;
  for (const OptionSpec& row : OPTION_TABLE) {
    SCOPED_TRACE(row.key);
    EXPECT_TRUE(keys.insert(row.key).second) << "duplicate key";
    std::string flag = "--" + std::string(row.key);
    for (char& c : flag)
      if (c == '_') c = '-';
    EXPECT_EQ(row.flag, flag);
    EXPECT_EQ(row.nargs != 0, row.kind == OptionKind::List);
    ASSERT_NE(row.default_value, nullptr);
    if (row.help.empty()) ++empty_help;
    // The default has the type the kind gives (or Null for an unset option).
    JsonValue d = row.default_value();
    switch (row.kind) {
      case OptionKind::Float:
      case OptionKind::Int:
        EXPECT_TRUE(d.is_number() || d.is_null());
        break;
      case OptionKind::Text:
        EXPECT_TRUE(d.is_string() || d.is_null());
        break;
      case OptionKind::Flag:
        EXPECT_TRUE(d.eq(false));
        break;
      case OptionKind::List:
        EXPECT_TRUE(d.is_null() || d.size() == row.nargs);
        break;
      case OptionKind::Append:
        EXPECT_TRUE(d.is_array() && d.size() == 0);
        break;
    }
  }
  EXPECT_EQ(empty_help, 8u);
}

TEST(OptionTable, DefaultMapHasInputThenEveryRowInOrder) {
  JsonValue m = default_option_map();
  const JsonObject& members = m.as_object();
  ASSERT_EQ(members.size(), 64u);
  EXPECT_EQ(members[0].first, "input");
  EXPECT_EQ(json_to_string(members[0].second), "[]");
  for (size_t i = 0; i < OPTION_COUNT; ++i) EXPECT_EQ(members[i + 1].first, OPTION_TABLE[i].key);
  EXPECT_EQ(json_to_string(m["output"]), "\"ortho.tif\"");
  EXPECT_EQ(json_to_string(m["contrib_thr"]), "0.001");
  EXPECT_TRUE(m["bounds"].is_null());
  EXPECT_EQ(json_to_string(m["wb"]), "[1, 1, 1]");
  EXPECT_EQ(json_to_string(m["meta_from"]), "[]");
  EXPECT_EQ(json_to_string(m["exclude"]), "[]");
}

TEST(OptionTable, DefaultsAreFreshValues) {
  const OptionSpec* wb = find_option_by_key("wb");
  ASSERT_NE(wb, nullptr);
  JsonValue a = wb->default_value();
  JsonValue b = wb->default_value();
  a.as_array()[0] = 5.0;
  EXPECT_EQ(json_to_string(b), "[1, 1, 1]");
}

TEST(OptionTable, LookupIsExact) {
  EXPECT_EQ(find_option_by_flag("--max-tilt"), find_option_by_key("max_tilt"));
  EXPECT_EQ(find_option_by_flag("--max_tilt"), nullptr);
  EXPECT_EQ(find_option_by_flag("--Max-Tilt"), nullptr);
  EXPECT_EQ(find_option_by_key("input"), nullptr);
}

TEST(OptionTable, WorkersLeaveOneProcessor) {
  const std::pair<unsigned, uint64_t> cases[] = {{0, 3}, {1, 1}, {2, 1}, {8, 7}, {12, 11}};
  for (auto [processors, want] : cases) EXPECT_EQ(workers_for_processors(processors), want) << processors;
  EXPECT_EQ(server_worker_count(), workers_for_processors(platform::logical_processors()));
  EXPECT_EQ(default_workers().as_f64(), static_cast<double>(server_worker_count()));
}

}  // namespace
}  // namespace tsl
