#include "meta/dng_opcodes.h"

#include <gtest/gtest.h>

#include <bit>

namespace tsl {
namespace {

// Builds an opcode list the way a camera writes it: big-endian throughout.
struct ListBuilder {
  std::vector<uint8_t> bytes;
  void u32(uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) bytes.push_back(static_cast<uint8_t>(v >> s));
  }
  void f64(double v) {
    const auto b = std::bit_cast<uint64_t>(v);
    u32(static_cast<uint32_t>(b >> 32));
    u32(static_cast<uint32_t>(b));
  }
  void f32(float v) { u32(std::bit_cast<uint32_t>(v)); }
  // Opcode header; returns the offset of the parameter byte count to patch later.
  size_t begin(uint32_t id) {
    u32(id);
    u32(0x01030000);  // DNG version
    u32(0);           // flags
    u32(0);           // parameter bytes, patched by end()
    return bytes.size();
  }
  void end(size_t params_start) {
    const auto n = static_cast<uint32_t>(bytes.size() - params_start);
    for (int k = 0; k < 4; ++k) bytes[params_start - 4 + k] = static_cast<uint8_t>(n >> (24 - 8 * k));
  }
  void warp(uint32_t planes, double first) {
    size_t at = begin(1);
    u32(planes);
    for (uint32_t p = 0; p < planes; ++p)
      for (int k = 0; k < 6; ++k) f64(first + 10 * p + k);
    f64(0.48);  // cx
    f64(0.52);  // cy
    end(at);
  }
  void vignette() {
    size_t at = begin(3);
    for (double v : {0.1, 0.2, 0.3, 0.4, 0.5, 0.45, 0.55}) f64(v);
    end(at);
  }
  void gain_map(uint32_t v, uint32_t h, uint32_t map_planes, size_t gains_written) {
    size_t at = begin(9);
    for (uint32_t x : {0u, 0u, 3000u, 4000u}) u32(x);  // area
    u32(1);                                           // plane
    u32(1);                                           // planes
    u32(1), u32(1);                                   // pitches
    u32(v), u32(h);
    f64(1.0 / (v - 1)), f64(1.0 / (h - 1));  // spacing
    f64(0.0), f64(0.0);                      // origin
    u32(map_planes);
    for (size_t k = 0; k < gains_written; ++k) f32(1.0f + 0.001f * static_cast<float>(k));
    end(at);
  }
  void other(uint32_t id, uint32_t param_bytes) {
    size_t at = begin(id);
    bytes.insert(bytes.end(), param_bytes, 0xEE);
    end(at);
  }
};

std::string kinds(const std::vector<LensOp>& ops) {
  std::string s;
  for (const auto& op : ops) s += std::string(lens_op_name(op)) + " ";
  return s;
}

TEST(ReadOpcodeList, ThreeKnownOpcodesInOrder) {
  ListBuilder b;
  b.u32(3);
  b.warp(1, 1.0);
  b.vignette();
  b.gain_map(17, 13, 1, 221);
  const auto ops = read_opcode_list(b.bytes);
  ASSERT_EQ(kinds(ops), "warp vign gain ");
  const auto& w = std::get<WarpOp>(ops[0]);
  EXPECT_EQ(w.kr0, 1.0);
  EXPECT_EQ(w.kt1, 6.0);
  EXPECT_EQ(w.cx, 0.48);  // centre right after the single set, at p + 52
  EXPECT_EQ(w.cy, 0.52);
  const auto& v = std::get<VignOp>(ops[1]);
  EXPECT_EQ(v.k0, 0.1);
  EXPECT_EQ(v.k4, 0.5);
  EXPECT_EQ(v.cx, 0.45);
  EXPECT_EQ(v.cy, 0.55);
  const auto& g = std::get<GainOp>(ops[2]);
  EXPECT_EQ(g.points_v, 17u);
  EXPECT_EQ(g.points_h, 13u);
  EXPECT_EQ(g.map_planes, 1u);
  EXPECT_EQ(g.plane, 1u);
  EXPECT_EQ(g.planes, 1u);
  EXPECT_EQ(g.spacing_v, 1.0 / 16);
  EXPECT_EQ(g.spacing_h, 1.0 / 12);
  ASSERT_EQ(g.gains.size(), 221u);
  EXPECT_EQ(g.gains[220], 1.0f + 0.001f * 220.0f);
}

TEST(ReadOpcodeList, ThreePlaneWarpTakesTheMiddleSet) {
  ListBuilder b;
  b.u32(1);
  b.warp(3, 1.0);
  const auto ops = read_opcode_list(b.bytes);
  ASSERT_EQ(ops.size(), 1u);
  const auto& w = std::get<WarpOp>(ops[0]);
  EXPECT_EQ(w.kr0, 11.0);  // set 1 starts at 1 + 10
  EXPECT_EQ(w.kt1, 16.0);
  EXPECT_EQ(w.cx, 0.48);  // after all three sets, at p + 148
}

TEST(ReadOpcodeList, UnknownOpcodeIsPassedOverBySize) {
  ListBuilder b;
  b.u32(3);
  b.vignette();
  b.other(4, 20);  // the next opcode starts 16 + 20 bytes after this one
  b.warp(1, 2.0);
  EXPECT_EQ(kinds(read_opcode_list(b.bytes)), "vign warp ");
}

TEST(ReadOpcodeList, TruncatedOrOverstatedListsKeepWhatCameBefore) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    std::string want;
  };
  std::vector<Case> cases;
  {
    ListBuilder b;  // count says 5, two opcodes present
    b.u32(5);
    b.warp(1, 1.0);
    b.vignette();
    cases.push_back({"count larger than the list", b.bytes, "warp vign "});
  }
  {
    ListBuilder b;  // the gain map ends after 220 of its 221 gains
    b.u32(2);
    b.vignette();
    b.gain_map(17, 13, 1, 220);
    cases.push_back({"gain map one value short", b.bytes, "vign "});
  }
  {
    ListBuilder b;  // absurd point counts must not reserve memory
    b.u32(2);
    b.vignette();
    b.gain_map(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 4);
    cases.push_back({"gain map with overflowing point count", b.bytes, "vign "});
  }
  {
    ListBuilder b;  // three planes claimed, only one set present: the centre lies beyond
    b.u32(1);
    size_t at = b.begin(1);
    b.u32(3);
    for (int k = 0; k < 8; ++k) b.f64(k);
    b.end(at);
    cases.push_back({"warp centre beyond the data", b.bytes, ""});
  }
  {
    ListBuilder b;  // parameter size pointing far past the end
    b.u32(2);
    b.vignette();
    b.bytes[4 + 15] = 0xFF, b.bytes[4 + 14] = 0xFF, b.bytes[4 + 13] = 0xFF, b.bytes[4 + 12] = 0xFF;
    b.warp(1, 1.0);
    cases.push_back({"parameter size past the end", b.bytes, "vign "});
  }
  cases.push_back({"fewer than four bytes", {0, 0, 1}, ""});
  cases.push_back({"count only", {0, 0, 0, 9}, ""});
  {
    ListBuilder b;  // half an opcode header
    b.u32(1);
    b.u32(3), b.u32(0);
    cases.push_back({"cut header", b.bytes, ""});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(kinds(read_opcode_list(c.bytes)), c.want);
  }
}

// Every prefix of a valid list must read without fault and give a prefix of its items.
TEST(ReadOpcodeList, EveryTruncationIsSafe) {
  ListBuilder b;
  b.u32(4);
  b.warp(3, 1.0);
  b.other(7, 12);
  b.vignette();
  b.gain_map(3, 4, 3, 36);
  const std::string full = kinds(read_opcode_list(b.bytes));
  ASSERT_EQ(full, "warp vign gain ");
  for (size_t n = 0; n <= b.bytes.size(); ++n) {
    const std::string got = kinds(read_opcode_list(std::span(b.bytes).first(n)));
    EXPECT_EQ(full.compare(0, got.size(), got), 0) << n;
  }
}

}  // namespace
}  // namespace tsl
