#include "img/dng/ljpeg.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_util.h"
#include "util/npy.h"

namespace tsl {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// Builds lossless JPEG streams bit by bit. Its Huffman table gives category s the 5-bit code
// s, so every difference written is exactly what the test asks for.
struct StreamBuilder {
  std::vector<uint8_t> out{0xFF, 0xD8};
  std::vector<uint8_t> bits;  // entropy-coded bits, one per element

  void segment(uint8_t marker, const std::vector<uint8_t>& payload) {
    out.push_back(0xFF);
    out.push_back(marker);
    const size_t len = payload.size() + 2;
    out.push_back(static_cast<uint8_t>(len >> 8));
    out.push_back(static_cast<uint8_t>(len));
    out.insert(out.end(), payload.begin(), payload.end());
  }
  // A table of the 17 categories, all 5-bit codes; `reversed` lists them 16 down to 0, so
  // code c means category 16 - c.
  static std::vector<uint8_t> table(uint8_t slot_byte, bool reversed = false) {
    std::vector<uint8_t> t{slot_byte};
    for (int l = 1; l <= 16; ++l) t.push_back(l == 5 ? 17 : 0);
    for (int s = 0; s <= 16; ++s) t.push_back(static_cast<uint8_t>(reversed ? 16 - s : s));
    return t;
  }
  void dht(uint8_t slot_byte = 0) { segment(0xC4, table(slot_byte)); }
  void sof3(unsigned precision, unsigned height, unsigned width, std::vector<uint8_t> ids) {
    std::vector<uint8_t> p{static_cast<uint8_t>(precision), static_cast<uint8_t>(height >> 8),
                           static_cast<uint8_t>(height), static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width),
                           static_cast<uint8_t>(ids.size())};
    for (uint8_t id : ids) p.insert(p.end(), {id, 0x11, 0});
    segment(0xC3, p);
  }
  void dri(unsigned interval) { segment(0xDD, {static_cast<uint8_t>(interval >> 8), static_cast<uint8_t>(interval)}); }
  // Scan components as (selector, table slot) pairs.
  void sos(std::vector<std::pair<uint8_t, uint8_t>> comps, uint8_t predictor, uint8_t pt = 0) {
    std::vector<uint8_t> p{static_cast<uint8_t>(comps.size())};
    for (auto [id, slot] : comps) p.insert(p.end(), {id, static_cast<uint8_t>(slot << 4)});
    p.insert(p.end(), {predictor, 0, pt});
    segment(0xDA, p);
  }
  void put(uint32_t v, unsigned n) {
    for (unsigned i = n; i-- > 0;) bits.push_back((v >> i) & 1);
  }
  // One difference in the fixed table: category code, then the category's extra bits.
  void diff(int32_t d, bool reversed_table = false) {
    d = ((d % 65536) + 65536) % 65536;  // differences act modulo 2^16: keep the short way
    if (d > 32768) d -= 65536;
    unsigned s = 0;
    uint32_t extra = 0;
    if (d == 32768) {
      s = 16;
    } else if (d != 0) {
      const uint32_t mag = static_cast<uint32_t>(d < 0 ? -d : d);
      while ((1u << s) <= mag) ++s;
      extra = d > 0 ? static_cast<uint32_t>(d) : static_cast<uint32_t>(d + (1 << s) - 1);
    }
    put(reversed_table ? 16 - s : s, 5);
    if (s != 0 && s != 16) put(extra, s);
  }
  // Pads the bits with ones and appends them byte-stuffed.
  void flush() {
    while (bits.size() % 8) bits.push_back(1);
    for (size_t i = 0; i < bits.size(); i += 8) {
      uint8_t b = 0;
      for (int k = 0; k < 8; ++k) b = static_cast<uint8_t>(b << 1 | bits[i + k]);
      out.push_back(b);
      if (b == 0xFF) out.push_back(0x00);
    }
    bits.clear();
  }
  void restart(unsigned m) {
    flush();
    out.insert(out.end(), {0xFF, static_cast<uint8_t>(0xD0 + m % 8)});
  }
  std::vector<uint8_t> finish() {
    flush();
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
  }
};

std::vector<uint16_t> decode_ok(const std::vector<uint8_t>& bytes, uint64_t max = 1 << 20) {
  auto frame = decode_ljpeg(bytes, max);
  EXPECT_TRUE(frame.has_value()) << frame.error();
  return frame ? frame->samples : std::vector<uint16_t>{};
}

// A 2x2 frame whose first three samples are Rc = 10, Rb = 20 (first row) and Ra = 7 (second
// row, first column); the last sample's difference is 0, so it shows the prediction itself.
std::vector<uint8_t> prediction_probe(uint8_t predictor, int32_t rc, int32_t rb, int32_t ra) {
  StreamBuilder b;
  b.dht();
  b.sof3(16, 2, 2, {1});
  b.sos({{1, 0}}, predictor);
  b.diff(rc - 32768);  // first sample: from 2^(P - 1)
  b.diff(rb - rc);     // first row: from the left
  b.diff(ra - rc);     // first column: from above
  b.diff(0);
  return b.finish();
}

TEST(LjpegDecode, PredictorsFormTheirPredictionFromTheNeighbours) {
  struct Case {
    uint8_t predictor;
    int32_t rc, rb, ra;
    uint16_t expected;
  };
  // Expected values worked by hand from the lossless-mode definitions.
  const Case cases[] = {
      {1, 10, 20, 7, 7},            // Ra
      {2, 10, 20, 7, 20},           // Rb
      {3, 10, 20, 7, 10},           // Rc
      {4, 10, 20, 7, 17},           // Ra + Rb - Rc
      {5, 10, 20, 7, 12},           // Ra + ((Rb - Rc) >> 1) = 7 + 5
      {6, 10, 20, 7, 18},           // Rb + ((Ra - Rc) >> 1) = 20 + (-3 >> 1) = 20 - 2
      {7, 10, 20, 7, 13},           // (Ra + Rb) >> 1
      {7, 65535, 65535, 65535, 65535},  // the sum does not wrap before the shift
      {4, 100, 40, 30, 65506},      // 30 + 40 - 100 = -30, modulo 65536
      {0, 10, 20, 7, 7},            // an unknown selection uses Ra
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "predictor " << int(c.predictor) << " Rc " << c.rc << " Rb " << c.rb);
    const auto s = decode_ok(prediction_probe(c.predictor, c.rc, c.rb, c.ra));
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[0], c.rc);
    EXPECT_EQ(s[1], c.rb);
    EXPECT_EQ(s[2], c.ra);
    EXPECT_EQ(s[3], c.expected);
  }
}

TEST(LjpegDecode, DifferenceCategoriesAndWrapping) {
  StreamBuilder b;
  b.dht();
  b.sof3(16, 1, 5, {1});
  b.sos({{1, 0}}, 1);
  b.put(3, 5), b.put(0b010, 3);  // category 3, bits 010: 2 - 8 + 1 = -5 -> 32763
  b.put(3, 5), b.put(0b110, 3);  // category 3, bits 110: +6 -> 32769
  b.diff(32768);                 // category 16 reads no bits: 32769 + 32768 wraps to 1
  b.diff(64999);                 // ... 1 - 537 = 65000 modulo 2^16
  b.diff(1000);                  // 65000 + 1000 = 66000 -> 464
  const auto s = decode_ok(b.finish());
  EXPECT_EQ(s, (std::vector<uint16_t>{32763, 32769, 1, 65000, 464}));
}

TEST(LjpegDecode, PointTransformShiftsEverySampleAtTheEnd) {
  StreamBuilder b;
  b.dht();
  b.sof3(16, 2, 2, {1});
  b.sos({{1, 0}}, 1, 2);
  b.diff(5);   // first sample predicted from 2^(16 - 2 - 1) = 8192 -> 8197
  b.diff(-3);  // 8194
  b.diff(1);   // 8198 (from above)
  b.diff(2);   // 8200
  const auto s = decode_ok(b.finish());
  EXPECT_EQ(s, (std::vector<uint16_t>{8197 << 2, 8194 << 2, 8198 << 2, 8200 << 2}));
}

TEST(LjpegDecode, RestartAtEveryRowPredictsEachRowAsAFirstRow) {
  StreamBuilder b;
  b.dht();
  b.sof3(16, 3, 2, {1});
  b.dri(2);  // the frame width: a restart before rows 1 and 2
  b.sos({{1, 0}}, 6);
  const int32_t rows[3][2] = {{100, 110}, {200, 190}, {300, 330}};
  for (int y = 0; y < 3; ++y) {
    if (y) b.restart(y - 1);
    b.diff(rows[y][0] - 32768);  // every row starts from 2^(P - 1), not from above
    b.diff(rows[y][1] - rows[y][0]);
  }
  const auto s = decode_ok(b.finish());
  EXPECT_EQ(s, (std::vector<uint16_t>{100, 110, 200, 190, 300, 330}));
}

TEST(LjpegDecode, RestartIntervalCountsPixelsAcrossRows) {
  // Interval 3 in a 2-pixel-wide frame: 2 pixels after row 0, 4 after row 1, so the only
  // restart comes before row 2 (restarts are taken at row starts once the count is reached).
  StreamBuilder b;
  b.dht();
  b.sof3(16, 3, 2, {1});
  b.dri(3);
  b.sos({{1, 0}}, 1);
  b.diff(100 - 32768), b.diff(10);  // 100, 110
  b.diff(5), b.diff(-20);           // 105 (above), 85 (left)
  b.restart(0);
  b.diff(7 - 32768), b.diff(1);     // 7, 8
  const auto s = decode_ok(b.finish());
  EXPECT_EQ(s, (std::vector<uint16_t>{100, 110, 105, 85, 7, 8}));
}

// Predictor-1 stream of `row` (one frame row) split into `nf` interleaved components.
std::vector<uint8_t> row_stream(const std::vector<uint16_t>& row, unsigned nf) {
  StreamBuilder b;
  b.dht();
  std::vector<uint8_t> ids;
  std::vector<std::pair<uint8_t, uint8_t>> scan;
  for (unsigned j = 0; j < nf; ++j) {
    ids.push_back(static_cast<uint8_t>(j + 1));
    scan.emplace_back(static_cast<uint8_t>(j + 1), 0);
  }
  b.sof3(16, 1, static_cast<unsigned>(row.size() / nf), ids);
  b.sos(scan, 1);
  for (size_t k = 0; k < row.size(); ++k) b.diff(int32_t(row[k]) - (k < nf ? 32768 : int32_t(row[k - nf])));
  return b.finish();
}

TEST(LjpegDecode, TwoComponentFrameOfHalfWidthGivesTheSameRow) {
  std::vector<uint16_t> row(256);
  for (size_t k = 0; k < row.size(); ++k) row[k] = static_cast<uint16_t>((k * 2654435761u) >> 20);
  auto one = decode_ljpeg(row_stream(row, 1), 256);
  auto two = decode_ljpeg(row_stream(row, 2), 256);
  ASSERT_TRUE(one && two);
  EXPECT_EQ(two->width, 128u);
  EXPECT_EQ(two->components, 2u);
  EXPECT_EQ(one->samples, row);
  EXPECT_EQ(two->samples, row);
}

TEST(LjpegDecode, TableSlotsFollowTheSegmentsAndTheScan) {
  // One DHT segment with two tables: slot 0 normal, slot 1 reversed. Component 2 uses slot 1.
  StreamBuilder b;
  std::vector<uint8_t> payload = StreamBuilder::table(0x00);
  const auto second = StreamBuilder::table(0x01, true);
  payload.insert(payload.end(), second.begin(), second.end());
  b.segment(0xC4, payload);
  b.sof3(16, 1, 1, {5, 6});
  b.sos({{5, 0}, {6, 1}}, 1);
  b.diff(3);
  b.diff(-9, true);
  EXPECT_EQ(decode_ok(b.finish()), (std::vector<uint16_t>{32771, 32759}));

  // A table whose class byte says AC (0x10) still fills slot 0; a scan selector naming no
  // frame component assigns its slot to the component at its position.
  StreamBuilder c;
  c.segment(0xC4, StreamBuilder::table(0x11, true));  // slot 1, reversed
  c.dht(0x10);                                         // slot 0
  c.sof3(16, 1, 1, {1, 2});
  c.sos({{1, 0}, {9, 1}}, 1);  // 9 is no frame id: position 1 gets slot 1
  c.diff(4);
  c.diff(-2, true);
  EXPECT_EQ(decode_ok(c.finish()), (std::vector<uint16_t>{32772, 32766}));
}

TEST(LjpegDecode, UncoveredCodesAndMarkersDecodeAsZeroDifferences) {
  // The fixed table's codes are 00000..10000; a window starting 10001..11111 matches
  // nothing, consumes one bit and reads as a zero difference. The end of the data (padding
  // ones, then the EOI marker, then zeros) also gives zero differences.
  StreamBuilder b;
  b.dht();
  b.sof3(16, 1, 8, {1});
  b.sos({{1, 0}}, 1);
  b.diff(7);          // 32775
  b.put(0b11111, 5);  // windows 11111, 11110, 11100, 11000, 10001: five skipped bits
  b.diff(2);          // code 00010, bits 10: +2
  const auto s = decode_ok(b.finish());
  EXPECT_EQ(s, (std::vector<uint16_t>{32775, 32775, 32775, 32775, 32775, 32775, 32777, 32777}));
}

TEST(LjpegDecode, MalformedStreamsAreRefused) {
  auto base = [] {
    StreamBuilder b;
    b.dht();
    b.sof3(16, 2, 2, {1});
    return b;
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    uint64_t max;
    const char* error;
  };
  std::vector<Case> cases;
  cases.push_back({"five bytes", {0xFF, 0xD8, 0xFF, 0xC3, 0x00}, 100, "no lossless JPEG scan"});
  {
    StreamBuilder b = base();
    cases.push_back({"no SOS", b.out, 100, "no lossless JPEG scan"});
  }
  {
    StreamBuilder b;
    b.sof3(16, 2, 2, {1});
    b.sos({{1, 0}}, 1);
    cases.push_back({"no table", b.finish(), 100, "missing ljpeg huffman table"});
  }
  {
    StreamBuilder b = base();
    b.sos({{1, 2}}, 1);  // slot 2 is empty
    cases.push_back({"empty slot", b.finish(), 100, "missing ljpeg huffman table"});
  }
  {
    StreamBuilder b = base();
    b.sos({{1, 0}}, 1);
    cases.push_back({"frame above the piece", b.finish(), 3, "lossless JPEG frame 2x2x1 larger than its tile"});
  }
  {
    StreamBuilder b;
    b.dht();
    b.sos({{1, 0}}, 1);
    cases.push_back({"SOS before SOF3", b.finish(), 100, "bad ljpeg scan header"});
  }
  {
    StreamBuilder b;
    b.segment(0xC3, {16, 0, 2, 0, 2});
    cases.push_back({"short SOF3", b.finish(), 100, "bad ljpeg frame header"});
  }
  {
    StreamBuilder b;
    b.sof3(16, 2, 2, {});
    cases.push_back({"no components", b.finish(), 100, "bad ljpeg frame header"});
  }
  {
    StreamBuilder b = base();
    b.segment(0xDA, {2, 1, 0});
    cases.push_back({"short SOS", b.finish(), 100, "bad ljpeg scan header"});
  }
  {
    StreamBuilder b = base();
    b.out.insert(b.out.end(), {0xFF, 0xE0, 0x00, 0x01});
    cases.push_back({"segment length 1", b.finish(), 100, "bad ljpeg segment length"});
  }
  {
    std::vector<uint8_t> t{0x00, 3};  // three codes of length 1 cannot exist
    t.resize(17, 0);
    t.insert(t.end(), {0, 1, 2});
    StreamBuilder b;
    b.segment(0xC4, t);
    cases.push_back({"codes past 16 bits", b.finish(), 100, "bad ljpeg huffman table"});
  }
  {
    std::vector<uint8_t> t{0x00, 0, 0, 0, 0, 40};  // 40 codes of length 5, 3 symbols given
    t.resize(17, 0);
    t.insert(t.end(), {0, 1, 2});
    StreamBuilder b;
    b.segment(0xC4, t);
    cases.push_back({"counts past the segment", b.finish(), 100, "bad ljpeg huffman table"});
  }
  {
    std::vector<uint8_t> t{0x00, 2};  // symbols 0 and 40: category 40 is no lossless category
    t.resize(17, 0);
    t.insert(t.end(), {0, 40});
    StreamBuilder b;
    b.segment(0xC4, t);
    b.sof3(16, 2, 2, {1});
    b.sos({{1, 0}}, 1);
    cases.push_back({"category above 16", b.finish(), 100, "bad ljpeg huffman table"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = decode_ljpeg(c.bytes, c.max);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), c.error);
  }
}

TEST(LjpegDecode, CutAndCorruptedStreamsNeverReadOutside) {
  std::vector<uint16_t> row(64);
  for (size_t k = 0; k < row.size(); ++k) row[k] = static_cast<uint16_t>(k * 977);
  const auto good = row_stream(row, 2);
  for (size_t n = 0; n <= good.size(); ++n) {
    SCOPED_TRACE(n);
    auto r = decode_ljpeg(std::span(good).first(n), 64);
    if (r) {
      EXPECT_EQ(r->samples.size(), r->width * r->height * r->components);
    }
  }
  for (size_t i = 2; i < good.size(); ++i) {
    for (uint8_t flip : {0x01, 0x80, 0xFF}) {
      auto bad = good;
      bad[i] ^= flip;
      auto r = decode_ljpeg(bad, 1 << 16);
      if (r) {
        EXPECT_EQ(r->samples.size(), r->width * r->height * r->components);
      }
    }
  }
}

// The real lossless streams: predictors 1 to 7 at 16 bits, 8, 10 and 12 bits, against
// their PNG references (decoded by PIL into npy files).
TEST(LjpegDecode, RealStreamsMatchTheirReferences) {
  TSL_REQUIRE_SHARED_DATA();
  TSL_REQUIRE_PYTHON("numpy PIL");
  const fs::path dir = test::shared_data_dir() / "jpeg-image-rs-reftest/reftest/images/lossless";
  if (!fs::is_directory(dir)) GTEST_SKIP() << "lossless reference images absent";
  TempDir tmp;
  std::vector<fs::path> jpgs;
  for (const auto& sub : {dir / "1", dir / "2"})
    for (const auto& e : fs::directory_iterator(sub))
      if (e.path().extension() == ".jpg") jpgs.push_back(e.path());
  std::sort(jpgs.begin(), jpgs.end());
  ASSERT_GE(jpgs.size(), 9u);
  const std::string script =
      "import sys, numpy as np\nfrom PIL import Image\n"
      "for i, p in enumerate(sys.argv[2:]):\n"
      "    np.save('%s/%d.npy' % (sys.argv[1], i), np.array(Image.open(p)).astype(np.int32))\n";
  test::write_file_text(tmp / "png.py", script);
  std::string cmd = test::python3() + " " + test::shell_quote((tmp / "png.py").string()) + " " +
                    test::shell_quote(tmp.path().string());
  for (const auto& j : jpgs) cmd += " " + test::shell_quote(fs::path(j).replace_extension(".png").string());
  auto made = test::run_command(cmd);
  ASSERT_EQ(made.exit_code, 0) << made.err;
  for (size_t i = 0; i < jpgs.size(); ++i) {
    SCOPED_TRACE(jpgs[i].filename().string());
    const auto bytes = test::read_file_bytes(jpgs[i]);
    auto frame = decode_ljpeg(bytes, uint64_t{1} << 24);
    ASSERT_TRUE(frame.has_value()) << frame.error();
    auto ref = npy_read(test::read_file_bytes(tmp / (std::to_string(i) + ".npy")));
    ASSERT_TRUE(ref.has_value());
    ASSERT_EQ(ref->shape, (std::vector<uint64_t>{frame->height, frame->width}));
    const auto& expected = std::get<std::vector<int32_t>>(ref->data);
    ASSERT_EQ(frame->samples.size(), expected.size());
    size_t mismatches = 0;
    for (size_t k = 0; k < expected.size(); ++k) mismatches += frame->samples[k] != expected[k];
    EXPECT_EQ(mismatches, 0u);
  }
}

}  // namespace
}  // namespace tsl
