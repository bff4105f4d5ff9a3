#include "cache/record.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>

#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

std::vector<uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

CacheRecord sample_record() {
  CacheRecord r;
  const uint16_t dims16[] = {1, 2, 65535};
  const float desc[] = {0.5f, -1.25f};
  r.put_u16s("img", dims16);
  r.put_f32s("desc", desc);
  r.put_f64_pair("dims", 4000, 3000);
  return r;
}

TEST(CacheRecord, EncodesTheWorkedExampleByteForByte) {
  CacheRecord r;
  r.put_f64_pair("dims", 4000, 3000);
  std::vector<uint8_t> expected = bytes_of("TSLC");
  for (uint8_t b : {1, 0, 0, 0, 4, 0}) expected.push_back(b);  // one entry; name length 4
  for (char c : std::string("dims")) expected.push_back(static_cast<uint8_t>(c));
  expected.push_back(3);                                        // kind: f64 pair
  for (uint8_t b : {16, 0, 0, 0, 0, 0, 0, 0}) expected.push_back(b);  // 16 data bytes
  for (double v : {4000.0, 3000.0}) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    for (int i = 0; i < 8; ++i) expected.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  }
  const std::vector<uint8_t> got = encode_cache_record(r);
  EXPECT_EQ(got.size(), 39u);
  EXPECT_EQ(got, expected);
}

TEST(CacheRecord, RoundTripsEveryKind) {
  const std::optional<CacheRecord> back = parse_cache_record(encode_cache_record(sample_record()));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->get_u16s("img"), (std::vector<uint16_t>{1, 2, 65535}));
  EXPECT_EQ(back->get_f32s("desc"), (std::vector<float>{0.5f, -1.25f}));
  EXPECT_EQ(back->get_f64s("dims"), (std::vector<double>{4000, 3000}));
  EXPECT_FALSE(back->get_u16s("missing"));
  // 4-byte values written as u32 come back bit for bit.
  CacheRecord r;
  const uint32_t counts[] = {0xFFFFFFFFu, 7, 0x7FC00001u};
  r.put_f32s("counts", counts);
  const auto floats = parse_cache_record(encode_cache_record(r))->get_f32s("counts");
  ASSERT_TRUE(floats);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(std::bit_cast<uint32_t>((*floats)[i]), counts[i]);
}

TEST(CacheRecord, LookupsTakeTheFirstEntryAndIgnoreTheKind) {
  CacheRecord r;
  r.put_f64_pair("dims", 1, 2);
  r.put_f64_pair("dims", 3, 4);
  const auto back = parse_cache_record(encode_cache_record(r));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->get_f64s("dims"), (std::vector<double>{1, 2}));
  EXPECT_EQ(back->get_u16s("dims")->size(), 8u);  // a kind-3 entry read as eight 16-bit values
  // A length that is not a whole number of elements reads as absent.
  CacheRecord odd;
  const uint16_t three[] = {1, 2, 3};
  odd.put_u16s("x", three);
  EXPECT_FALSE(odd.get_f32s("x"));
  EXPECT_EQ(odd.get_u16s("x")->size(), 3u);
}

TEST(CacheRecord, EmptyRecordAndTrailingBytesAreValid) {
  const auto empty = parse_cache_record(bytes_of(std::string("TSLC\0\0\0\0", 8)));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->entries.empty());
  EXPECT_FALSE(empty->get_f64s("dims"));
  std::vector<uint8_t> extra = encode_cache_record(sample_record());
  extra.insert(extra.end(), {9, 9, 9});
  EXPECT_TRUE(parse_cache_record(extra));
}

TEST(CacheRecord, NamesAreSanitisedAndLongNamesRefused) {
  CacheRecord r;
  const uint16_t one[] = {1};
  r.put_u16s("a\xff", one);  // not UTF-8
  const auto back = parse_cache_record(encode_cache_record(r));
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->get_u16s("a\xEF\xBF\xBD"));
  EXPECT_THROW(r.put_u16s(std::string(65536, 'n'), one), InternalError);
}

// Damaged files of every kind must be rejected whole, never crash and never allocate what a
// length field claims (run under AddressSanitizer after changing the parser).
TEST(CacheRecord, TruncatedAndCorruptFilesAreInvalid) {
  const std::vector<uint8_t> good = encode_cache_record(sample_record());
  for (size_t len = 0; len < good.size(); ++len) {
    SCOPED_TRACE(format("truncated to {} of {} bytes", len, good.size()));
    EXPECT_FALSE(parse_cache_record(std::span(good.data(), len)));
  }
  auto patched = [&](size_t at, std::vector<uint8_t> with) {
    std::vector<uint8_t> b = good;
    std::copy(with.begin(), with.end(), b.begin() + static_cast<ptrdiff_t>(at));
    return b;
  };
  // The first entry's name ("img") starts at 10, its kind at 13, its data length at 14.
  const struct {
    std::string name;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"other magic", patched(0, bytes_of("TSLD"))},
      {"seven bytes", bytes_of("TSLC\1\0\0")},
      {"count of four billion", patched(4, {0xFF, 0xFF, 0xFF, 0xFF})},
      {"one entry more than present", patched(4, {4, 0, 0, 0})},
      {"name longer than the file", patched(8, {0xFF, 0xFF})},
      {"data length of 2^64 - 1", patched(14, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
      {"data length one too long, misaligning the rest", patched(14, {7, 0, 0, 0, 0, 0, 0, 0})},
      {"data length wrapping the position", patched(14, {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(parse_cache_record(c.bytes));
  }
}

}  // namespace
}  // namespace tsl
