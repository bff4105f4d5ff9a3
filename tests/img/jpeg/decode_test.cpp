// The marker walk, frame and scan handling, and probe_jpeg, on files built byte by byte.
#include "img/jpeg/decode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "img/jpeg/encode.h"
#include "img/jpeg/jpeg_fixture.h"
#include "support/test_util.h"
#include "util/par.h"

namespace tsl {
namespace {

using Bytes = std::vector<uint8_t>;

// One marker segment: 0xFF, the code, the big-endian length (payload + 2), the payload.
Bytes segment(uint8_t marker, const Bytes& payload) {
  Bytes out = {0xFF, marker, static_cast<uint8_t>((payload.size() + 2) >> 8),
               static_cast<uint8_t>((payload.size() + 2) & 0xFF)};
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes SOI = {0xFF, 0xD8};
const Bytes EOI = {0xFF, 0xD9};

// SOF payload: precision 8, height, width, then (id, h << 4 | v, tq) per component.
Bytes sof_payload(uint16_t width, uint16_t height, std::initializer_list<std::array<uint8_t, 3>> comps) {
  Bytes p = {8, static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height), static_cast<uint8_t>(width >> 8),
             static_cast<uint8_t>(width), static_cast<uint8_t>(comps.size())};
  for (const auto& c : comps) p.insert(p.end(), c.begin(), c.end());
  return p;
}

// A DQT with table 0 all `q` (8-bit precision).
Bytes dqt(uint8_t q) {
  Bytes p = {0x00};
  p.insert(p.end(), 64, q);
  return segment(0xDB, p);
}

// Tables with one code of one bit ('0'): DC symbol `dc_symbol`, AC symbol 0x00 (end of block).
Bytes dht_one_code(uint8_t dc_symbol) {
  Bytes dc = {0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, dc_symbol};
  Bytes ac = {0x10, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00};
  return cat({segment(0xC4, dc), segment(0xC4, ac)});
}

// A scan of component 1 with tables 0/0, full band, then `data` as entropy-coded bytes.
Bytes sos_gray(const Bytes& data) {
  return cat({segment(0xDA, {1, 1, 0x00, 0, 63, 0}), data});
}

// An 8x8 gray frame whose one block decodes from zero bits: DC difference 0, end of block.
Bytes gray_file() {
  return cat({SOI, dqt(1), segment(0xC0, sof_payload(8, 8, {{1, 0x11, 0}})), dht_one_code(0), sos_gray({0x00}), EOI});
}

TEST(DecodeJpeg, FlatBlockFromZeroBitsIsMidGrey) {
  const auto img = decode_jpeg(gray_file());
  ASSERT_TRUE(img.has_value()) << img.error();
  EXPECT_EQ(img->width, 8u);
  EXPECT_EQ(img->height, 8u);
  EXPECT_EQ(img->channels, 3u);
  for (uint8_t v : img->data) ASSERT_EQ(v, 128);
}

TEST(DecodeJpeg, FrameWithoutScanIsUniformGrey) {
  const Bytes file = cat({SOI, segment(0xC0, sof_payload(20, 10, {{1, 0x22, 0}, {2, 0x11, 1}, {3, 0x11, 1}})), EOI});
  const auto img = decode_jpeg(file);
  ASSERT_TRUE(img.has_value()) << img.error();
  EXPECT_EQ(img->width, 20u);
  EXPECT_EQ(img->height, 10u);
  for (uint8_t v : img->data) ASSERT_EQ(v, 128);
}

TEST(DecodeJpeg, HeightZeroGivesNoRows) {
  const auto img = decode_jpeg(cat({SOI, segment(0xC0, sof_payload(16, 0, {{1, 0x11, 0}})), EOI}));
  ASSERT_TRUE(img.has_value()) << img.error();
  EXPECT_EQ(img->width, 16u);
  EXPECT_EQ(img->height, 0u);
}

TEST(DecodeJpeg, ToleratesMissingEoiTrailingBytesAndSkippedSegments) {
  Bytes base = gray_file();
  Bytes no_eoi(base.begin(), base.end() - 2);
  Bytes trailing = cat({base, Bytes{0x12, 0x34, 0xFF, 0xD8, 0x00}});
  // An APP1 whose payload holds a whole embedded JPEG (an EXIF thumbnail), and the reserved
  // codes 0xC8 and 0xCC, are skipped by their lengths.
  Bytes thumb = cat({SOI, segment(0xC3, sof_payload(8, 8, {{1, 0x11, 0}})), EOI});
  Bytes with_app = cat({SOI, segment(0xE1, thumb), segment(0xC8, {1, 2, 3}), segment(0xCC, {4}),
                        Bytes(base.begin() + 2, base.end())});
  for (const auto& [name, file] : {std::pair{"no EOI", no_eoi}, {"trailing bytes", trailing}, {"APP1 and reserved", with_app}}) {
    SCOPED_TRACE(name);
    const auto img = decode_jpeg(file);
    ASSERT_TRUE(img.has_value()) << img.error();
    EXPECT_EQ(img->width, 8u);
  }
}

TEST(DecodeJpeg, RefusesBadInputWithItsMessage) {
  const Bytes sof_gray = segment(0xC0, sof_payload(8, 8, {{1, 0x11, 0}}));
  const Bytes gray = gray_file();
  struct Case {
    const char* name;
    Bytes file;
    std::string message;
  };
  const Case cases[] = {
      {"empty", {}, "not a JPEG"},
      {"three bytes", {0xFF, 0xD8, 0xFF}, "not a JPEG"},
      {"png signature", {0x89, 'P', 'N', 'G', 0x0D, 0x0A}, "not a JPEG"},
      {"lossless frame", cat({SOI, segment(0xC3, sof_payload(8, 8, {{1, 0x11, 0}})), EOI}),
       "unsupported JPEG process (lossless/arithmetic)"},
      {"arithmetic frame", cat({SOI, segment(0xC9, sof_payload(8, 8, {{1, 0x11, 0}})), EOI}),
       "unsupported JPEG process (lossless/arithmetic)"},
      {"lossless after a decodable frame",
       cat({Bytes(gray.begin(), gray.end() - 2), segment(0xC3, sof_payload(8, 8, {{1, 0x11, 0}})), EOI}),
       "unsupported JPEG process (lossless/arithmetic)"},
      {"scan before frame", cat({SOI, dht_one_code(0), sos_gray({0}), EOI}), "SOS before SOF"},
      {"scan names unknown id", cat({SOI, sof_gray, dht_one_code(0), segment(0xDA, {1, 7, 0x00, 0, 63, 0}), EOI}),
       "bad scan component"},
      {"no DC table", cat({SOI, sof_gray, sos_gray({0}), EOI}), "missing DC table"},
      {"no AC table",
       cat({SOI, sof_gray, segment(0xC4, {0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), sos_gray({0}), EOI}),
       "missing AC table"},
      {"no frame", cat({SOI, EOI}), "no image in JPEG"},
      {"width zero", cat({SOI, segment(0xC0, sof_payload(0, 8, {{1, 0x11, 0}})), EOI}), "no image in JPEG"},
      // A DC category above 16 would shift the bit buffer past its width.
      {"DC category 17", cat({SOI, sof_gray, dht_one_code(17), sos_gray({0}), EOI}), "bad DC difference category"},
      {"all-ones code", cat({SOI, sof_gray, dht_one_code(0), sos_gray({0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00}), EOI}),
       "bad huffman code"},
      {"cmyk", cat({SOI, segment(0xC0, sof_payload(8, 8, {{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}, {4, 0x11, 0}})), EOI}),
       "CMYK/YCCK JPEG not supported"},
      {"two components", cat({SOI, segment(0xC0, sof_payload(8, 8, {{1, 0x11, 0}, {2, 0x11, 0}})), EOI}),
       "JPEG with 2 components not supported"},
      {"sampling factor 0", cat({SOI, segment(0xC0, sof_payload(8, 8, {{1, 0x01, 0}})), EOI}),
       "bad JPEG sampling factors 0x1"},
      {"sampling factor 5", cat({SOI, segment(0xC0, sof_payload(8, 8, {{1, 0x15, 0}})), EOI}),
       "bad JPEG sampling factors 1x5"},
      {"12-bit samples", cat({SOI, segment(0xC1, [] { auto p = sof_payload(8, 8, {{1, 0x11, 0}}); p[0] = 12; return p; }()), EOI}),
       "JPEG sample precision 12 not supported"},
      // 65535 x 65535 with 4x4 sampling would ask for about 26 GB of coefficients.
      {"huge frame", cat({SOI, segment(0xC0, sof_payload(65535, 65535, {{1, 0x44, 0}, {2, 0x44, 0}, {3, 0x44, 0}})), EOI}),
       "JPEG frame too large: 65535x65535 with 3 components"},
      {"segment length 1", cat({SOI, Bytes{0xFF, 0xE0, 0x00, 0x01, 0x00}, EOI}), "bad JPEG segment length"},
      {"short frame header", cat({SOI, segment(0xC0, {8, 0, 8, 0, 8, 2, 1, 0x11, 0}), EOI}), "bad SOF segment"},
      {"short table", cat({SOI, segment(0xDB, {0x00, 1, 2, 3}), EOI}), "bad DQT segment"},
      {"huffman symbols past segment", cat({SOI, segment(0xC4, {0x00, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), EOI}),
       "bad DHT segment"},
      {"over-full huffman table",
       cat({SOI, segment(0xC4, {0x00, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3}), EOI}),
       "bad DHT segment: over-full huffman table"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto img = decode_jpeg(c.file);
    ASSERT_FALSE(img.has_value());
    EXPECT_EQ(img.error(), c.message);
  }
}

// A progressive refinement walks its whole band, so a band past position 63 must be refused.
TEST(DecodeJpeg, RefusesRefinementBandPastTheBlock) {
  const Bytes file = cat({SOI, dqt(1), segment(0xC2, sof_payload(8, 8, {{1, 0x11, 0}})), dht_one_code(0),
                          segment(0xDA, {1, 1, 0x00, 1, 80, 0x10}), Bytes{0x00}, EOI});
  const auto img = decode_jpeg(file);
  ASSERT_FALSE(img.has_value());
  EXPECT_EQ(img.error(), "bad progressive scan band");
}

TEST(DecodeJpeg, ScaledSizesRoundUp) {
  const Bytes file = cat({SOI, segment(0xC0, sof_payload(100, 75, {{1, 0x22, 0}, {2, 0x11, 1}, {3, 0x11, 1}})), EOI});
  struct Case {
    unsigned denominator;
    size_t width, height;
  };
  for (const auto& c : {Case{0, 100, 75}, Case{1, 100, 75}, Case{2, 50, 38}, Case{3, 25, 19}, Case{4, 25, 19},
                        Case{5, 13, 10}, Case{8, 13, 10}, Case{200, 13, 10}}) {
    SCOPED_TRACE(c.denominator);
    const auto img = decode_jpeg(file, c.denominator);
    ASSERT_TRUE(img.has_value()) << img.error();
    EXPECT_EQ(img->width, c.width);
    EXPECT_EQ(img->height, c.height);
  }
}

// Decodes on a loop worker, where the decoder runs every step on that one thread.
std::expected<ImageU8, std::string> decode_inline(const Bytes& file, unsigned denominator) {
  std::optional<std::expected<ImageU8, std::string>> result;
  par_map(2, 2, [&](size_t i) {
    if (i == 0) result = decode_jpeg(file, denominator);
    return 0;
  });
  return *result;
}

// A sequential frame is reconstructed band by band while its scan decodes, on worker threads
// or (on a loop worker) on one; both must give the image of the plain order of steps, which
// a progressive file holding the very same coefficients (jpegtran's lossless rewrite) takes.
TEST(DecodeJpeg, StreamedDecodesEqualThePlainOrderOfSteps) {
  TSL_REQUIRE_TOOL("jpegtran");
  struct Case {
    size_t width, height, channels;
    uint32_t quality;
  };
  for (const auto& c : {Case{203, 157, 3, 82}, Case{203, 157, 3, 93}, Case{64, 300, 1, 90}, Case{1000, 17, 3, 85}}) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << "x" << c.channels << " q" << c.quality);
    const auto file = encode_jpeg(test::synthetic_photo(c.width, c.height, c.channels, 3), c.quality);
    ASSERT_TRUE(file.has_value());
    test::TempDir dir;
    test::write_file_bytes(dir / "seq.jpg", *file);
    ASSERT_EQ(test::run_command("jpegtran -progressive -outfile " + test::shell_quote((dir / "prog.jpg").string()) + " " +
                                test::shell_quote((dir / "seq.jpg").string()))
                  .exit_code,
              0);
    const Bytes progressive = test::read_file_bytes(dir / "prog.jpg");
    for (unsigned d : {1u, 2u, 4u, 8u}) {
      SCOPED_TRACE(d);
      const auto threaded = decode_jpeg(*file, d);
      const auto one_thread = decode_inline(*file, d);
      const auto plain = decode_jpeg(progressive, d);
      ASSERT_TRUE(threaded.has_value() && one_thread.has_value() && plain.has_value());
      EXPECT_EQ(threaded->data, plain->data);
      EXPECT_EQ(one_thread->data, plain->data);
    }
  }
}

// Segments after the scan that change what the reconstruction reads (a new quantisation
// table, an Adobe segment, another scan) count as if they came first.
TEST(DecodeJpeg, SegmentsAfterTheScanStillApply) {
  const auto file = encode_jpeg(test::synthetic_photo(96, 80, 3, 5), 90);
  ASSERT_TRUE(file.has_value());
  const Bytes body(file->begin(), file->end() - 2);  // without EOI
  const Bytes coarse_dqt = [] {
    Bytes p = {0x00};
    p.insert(p.end(), 64, 50);
    return segment(0xDB, p);
  }();
  // The same file with the coarse table placed just before the frame header instead.
  const Bytes sof_marker = {0xFF, 0xC0};
  const auto sof = std::search(file->begin(), file->end(), sof_marker.begin(), sof_marker.end());
  const Bytes reordered = cat({Bytes(file->begin(), sof), coarse_dqt, Bytes(sof, file->end())});
  const auto expected = decode_inline(reordered, 1);
  ASSERT_TRUE(expected.has_value());
  const auto late = decode_jpeg(cat({body, coarse_dqt, EOI}));
  ASSERT_TRUE(late.has_value()) << late.error();
  EXPECT_EQ(late->data, expected->data);
  const auto plain = decode_jpeg(*file);
  ASSERT_TRUE(plain.has_value());
  EXPECT_NE(late->data, plain->data);

  // The same scan twice: the second decode starts from the first one's coefficients.
  const Bytes sos_marker = {0xFF, 0xDA};
  const auto sos = std::search(file->begin(), file->end(), sos_marker.begin(), sos_marker.end());
  const Bytes scan(sos, file->end() - 2);
  const auto twice = decode_jpeg(cat({body, scan, EOI}));
  const auto twice_inline = decode_inline(cat({body, scan, EOI}), 1);
  ASSERT_TRUE(twice.has_value() && twice_inline.has_value());
  EXPECT_EQ(twice->data, twice_inline->data);
}

TEST(ProbeJpeg, ReadsTheFirstFrameHeader) {
  const auto info = probe_jpeg(gray_file());
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->width, 8u);
  EXPECT_EQ(info->height, 8u);
  EXPECT_EQ(info->components, 1u);
  EXPECT_FALSE(info->progressive);

  const auto prog = probe_jpeg(cat({SOI, segment(0xE1, Bytes(300, 0xFF)),
                                    segment(0xC2, sof_payload(4000, 2250, {{1, 0x21, 0}, {2, 0x11, 1}, {3, 0x11, 1}})), EOI}));
  ASSERT_TRUE(prog.has_value());
  EXPECT_EQ(prog->width, 4000u);
  EXPECT_EQ(prog->height, 2250u);
  EXPECT_EQ(prog->components, 3u);
  EXPECT_TRUE(prog->progressive);

  // Lossless frames are reported though the decoder refuses them.
  const auto lossless = probe_jpeg(cat({SOI, segment(0xC3, sof_payload(16, 16, {{1, 0x11, 0}})), EOI}));
  ASSERT_TRUE(lossless.has_value());
  EXPECT_EQ(lossless->width, 16u);
}

TEST(ProbeJpeg, ReportsNothingWithoutAFrameBeforeTheScan) {
  const Bytes sof = segment(0xC0, sof_payload(8, 8, {{1, 0x11, 0}}));
  struct Case {
    const char* name;
    Bytes data;
  };
  const Case cases[] = {
      {"too short", {0xFF, 0xD8, 0xFF, 0xD9}},
      {"scan first", cat({SOI, segment(0xDA, {1, 1, 0, 0, 63, 0}), sof, EOI})},
      {"end first", cat({SOI, EOI, sof})},
      // The frame header would end past the data: skipped as a segment, and nothing follows.
      {"frame cut short", cat({SOI, Bytes(sof.begin(), sof.begin() + 8)})},
      {"only app segments", cat({SOI, segment(0xE0, Bytes(20, 0)), segment(0xE1, Bytes(20, 0))})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(probe_jpeg(c.data).has_value());
  }
}

}  // namespace
}  // namespace tsl
