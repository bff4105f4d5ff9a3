#include "img/tiff/tiff_codecs.h"

#include <gtest/gtest.h>

namespace tsl {
namespace {

using Bytes = std::vector<uint8_t>;

// Packs (code, width) pairs most significant bit first, as TIFF LZW stores them.
Bytes pack_codes(const std::vector<std::pair<uint32_t, unsigned>>& codes) {
  Bytes out;
  uint64_t bits = 0;
  unsigned n = 0;
  for (auto [code, width] : codes) {
    bits = (bits << width) | code;
    n += width;
    while (n >= 8) {
      out.push_back(static_cast<uint8_t>(bits >> (n - 8)));
      n -= 8;
    }
  }
  if (n > 0) out.push_back(static_cast<uint8_t>(bits << (8 - n)));
  return out;
}

TEST(LzwDecode, HandCraftedStreams) {
  struct Case {
    const char* name;
    std::vector<std::pair<uint32_t, unsigned>> codes;
    Bytes want;
    const char* error;
  };
  const Case cases[] = {
      {"code equal to the table size", {{256, 9}, {65, 9}, {258, 9}, {257, 9}}, {65, 65, 65}, nullptr},
      {"entries from earlier codes", {{65, 9}, {66, 9}, {258, 9}, {259, 9}}, {65, 66, 65, 66, 66, 65}, nullptr},
      {"clear resets the table", {{65, 9}, {66, 9}, {256, 9}, {67, 9}, {258, 9}}, {65, 66, 67, 67, 67}, nullptr},
      {"end of data inside a code", {{65, 9}, {66, 4}}, {65}, nullptr},
      {"first code past the table", {{300, 9}}, {}, "bad LZW stream"},
      {"code two above the table size", {{65, 9}, {259, 9}}, {}, "bad LZW code"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = lzw_decode(pack_codes(c.codes), 1000);
    if (c.error) {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error(), c.error);
    } else {
      ASSERT_TRUE(r.has_value()) << r.error();
      EXPECT_EQ(*r, c.want);
    }
  }
}

TEST(LzwDecode, CodeWidthGrowsOneCodeEarly) {
  // 253 literal codes after the first take the table from 258 to 511 entries; the code read
  // after that is 10 bits wide.
  std::vector<std::pair<uint32_t, unsigned>> codes = {{256, 9}};
  Bytes want;
  for (int i = 0; i < 254; ++i) {
    codes.push_back({static_cast<uint32_t>(i % 7), 9});
    want.push_back(static_cast<uint8_t>(i % 7));
  }
  codes.push_back({200, 10});
  want.push_back(200);
  auto r = lzw_decode(pack_codes(codes), 10000);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(*r, want);
}

TEST(LzwDecode, OutputStopsAtTheLimit) {
  // Each code names the longest string so far, so the output grows quadratically with the
  // input; the limit cuts it, even in the middle of a string.
  std::vector<std::pair<uint32_t, unsigned>> codes = {{256, 9}, {65, 9}};
  uint32_t size = 258;
  for (int i = 0; i < 1500; ++i) {
    unsigned width = size < 511 ? 9 : size < 1023 ? 10 : size < 2047 ? 11 : 12;
    codes.push_back({size, width});
    ++size;
  }
  const Bytes packed = pack_codes(codes);
  auto full = lzw_decode(packed, SIZE_MAX);
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(full->size(), 1u + 1500u * 1501u / 2u + 1500u);  // 1 + sum of (k + 1) for k = 1..1500
  auto cut = lzw_decode(packed, 1001);
  ASSERT_TRUE(cut.has_value());
  EXPECT_EQ(cut->size(), 1001u);
  EXPECT_EQ(*cut, Bytes(1001, 65));
}

TEST(PackbitsDecode, RunsLiteralsAndLimits) {
  struct Case {
    const char* name;
    Bytes in;
    size_t limit;
    Bytes want;
  };
  const Case cases[] = {
      {"literal, run and no-op", {2, 1, 2, 3, 254, 9, 128}, 100, {1, 2, 3, 9, 9, 9}},
      {"literal cut by the end of data", {4, 1, 2}, 100, {1, 2}},
      {"run without its byte", {1, 7, 8, 250}, 100, {7, 8}},
      {"longest run", {129, 5}, 1000, Bytes(128, 5)},
      {"run cut at the limit", {129, 5, 0, 6}, 10, Bytes(10, 5)},
      {"literal cut at the limit", {3, 1, 2, 3, 4, 0, 9}, 3, {1, 2, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(packbits_decode(c.in, c.limit), c.want);
  }
}

}  // namespace
}  // namespace tsl
