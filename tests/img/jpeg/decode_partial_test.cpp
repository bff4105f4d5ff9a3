// Photos whose scan data ends early or is corrupt: the decoder keeps the rows that came from
// the file's own data, says how many they are, and those rows are exactly what the intact
// file gives. Files made by cjpeg (baseline, with restart markers, progressive).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "img/jpeg/decode.h"
#include "img/jpeg/jpeg_fixture.h"
#include "support/test_util.h"
#include "util/par.h"

namespace tsl {
namespace {

// [start, end) of the entropy-coded data of every scan, in file order.
std::vector<std::pair<size_t, size_t>> scan_ranges(const std::vector<uint8_t>& f) {
  std::vector<std::pair<size_t, size_t>> out;
  size_t p = 2;
  while (p + 4 <= f.size() && f[p] == 0xFF && f[p + 1] != 0xD9) {
    const uint8_t marker = f[p + 1];
    p += 2 + ((size_t{f[p + 2]} << 8) | f[p + 3]);
    if (marker != 0xDA) continue;
    // The data runs to the next marker that is neither a stuffed byte nor a restart.
    size_t q = p;
    while (q + 1 < f.size() && !(f[q] == 0xFF && f[q + 1] != 0 && (f[q + 1] < 0xD0 || f[q + 1] > 0xD7))) ++q;
    out.emplace_back(p, q);
    p = q;
  }
  return out;
}

std::vector<uint8_t> make_jpeg(const test::TempDir& dir, const std::string& cjpeg_args) {
  const ImageU8 photo = test::synthetic_photo(320, 240, 3, 5);
  test::write_pnm(dir / "in.ppm", photo);
  const auto out = dir / "out.jpg";
  const auto r = test::run_command("cjpeg " + cjpeg_args + " -outfile " + test::shell_quote(out.string()) + " " +
                                   test::shell_quote((dir / "in.ppm").string()));
  if (r.exit_code != 0) return {};
  return test::read_file_bytes(out);
}

// How a case damages the file, given the ranges of its scans.
using Damage = std::function<void(std::vector<uint8_t>&, const std::vector<std::pair<size_t, size_t>>&)>;

// Cuts the file inside scan `k` at `frac` of its data.
Damage cut_in_scan(size_t k, double frac) {
  return [=](std::vector<uint8_t>& f, const auto& scans) {
    f.resize(scans[k].first + static_cast<size_t>(frac * static_cast<double>(scans[k].second - scans[k].first)));
  };
}

// Puts `bytes` into the middle of the first scan's data, at a byte that is not part of a
// stuffed 0xFF 0x00 pair or a marker.
Damage insert_mid_scan(std::vector<uint8_t> bytes) {
  return [bytes](std::vector<uint8_t>& f, const auto& scans) {
    size_t at = (scans[0].first + scans[0].second) / 2;
    while (f[at - 1] == 0xFF || f[at] == 0xFF) ++at;
    f.insert(f.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin(), bytes.end());
  };
}

double mean_abs_diff(const ImageU8& a, const ImageU8& b, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += std::abs(int{a.data[i]} - int{b.data[i]});
  return sum / static_cast<double>(to - from);
}

struct Case {
  const char* name;
  const char* cjpeg_args;
  Damage damage;
  bool damaged;
  bool all_rows;  // every row valid (a late progressive scan lost only detail)
  // The valid rows equal the intact file's byte for byte; otherwise (a progressive file, whose
  // later scans add detail to every row) they stay within 16 levels on average (the first
  // scan's coarse DC alone is 12 off on this busy picture).
  bool exact = true;
  // The rows below the valid ones are lost. Not so for a file missing only its end marker:
  // its last MCU row decoded whole, but nothing can tell it from one cut inside that row.
  bool lost_below = true;
};

TEST(DecodePartial, KeepsExactlyTheRowsItsDataReached) {
  TSL_REQUIRE_TOOL("cjpeg");
  const Damage none = [](std::vector<uint8_t>&, const auto&) {};
  const Case cases[] = {
      {"intact baseline", "-quality 90", none, false, true},
      {"intact with restart markers every MCU row", "-quality 90 -restart 1", none, false, true},
      {"intact progressive", "-quality 90 -progressive", none, false, true},
      {"baseline cut at half its data", "-quality 90", cut_in_scan(0, 0.5), true, false},
      {"baseline cut just after its scan header", "-quality 90", cut_in_scan(0, 0.0), true, false},
      {"baseline without its end marker", "-quality 90",
       [](std::vector<uint8_t>& f, const auto&) { f.resize(f.size() - 2); }, true, false, true, false},
      {"restart markers, cut at half", "-quality 90 -restart 1", cut_in_scan(0, 0.5), true, false},
      {"tail replaced by zeros", "-quality 90",
       [](std::vector<uint8_t>& f, const auto& scans) {
         std::fill(f.begin() + static_cast<std::ptrdiff_t>((scans[0].first + scans[0].second) / 2), f.end(), 0);
       },
       true, false},
      {"a run of 0xFF (a false marker) mid-scan", "-quality 90",
       [](std::vector<uint8_t>& f, const auto& scans) {
         std::fill_n(f.begin() + static_cast<std::ptrdiff_t>((scans[0].first + scans[0].second) / 2), 64, 0xFF);
       },
       true, false},
      {"undecodable codes mid-scan", "-quality 90",
       [](std::vector<uint8_t>& f, const auto& scans) {
         // FF 00 is a stuffed 0xFF data byte: a run of one bits, which no Huffman table codes.
         const size_t at = (scans[0].first + scans[0].second) / 2;
         for (size_t i = 0; i < 64; i += 2) f[at + i] = 0xFF, f[at + i + 1] = 0x00;
       },
       true, false},
      // Stray markers mid-scan: the decoder feeds zero bits from the marker on, which decode
      // as a picture; neither the rows after the marker nor the garbage past it are data.
      {"a stray DHT marker mid-scan, garbage after it", "-quality 90",
       insert_mid_scan({0xFF, 0xC4, 0x00, 0x40, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), true, false},
      {"a restart marker mid-scan of a file without restarts", "-quality 90", insert_mid_scan({0xFF, 0xD0}), true, false},
      {"RST0, EOI, DHT and zeros mid-scan", "-quality 90",
       [](std::vector<uint8_t>& f, const auto& scans) {
         std::vector<uint8_t> junk = {0xFF, 0xD0, 0xFF, 0xD9, 0xFF, 0xC4};
         junk.resize(junk.size() + 5000, 0);
         insert_mid_scan(junk)(f, scans);
       },
       true, false},
      {"a restart marker inside a restart interval", "-quality 90 -restart 2", insert_mid_scan({0xFF, 0xD3}), true, false},
      {"progressive cut in its first scan", "-quality 90 -progressive", cut_in_scan(0, 0.5), true, false, false},
      {"progressive cut in its last scan", "-quality 90 -progressive",
       [](std::vector<uint8_t>& f, const auto& scans) { f.resize((scans.back().first + scans.back().second) / 2); },
       true, true, false},
  };
  test::TempDir dir;
  for (const Case& c : cases) {
    for (unsigned d : {1u, 4u}) {
      SCOPED_TRACE(std::string(c.name) + ", 1/" + std::to_string(d));
      std::vector<uint8_t> file = make_jpeg(dir, c.cjpeg_args);
      ASSERT_FALSE(file.empty());
      const auto scans = scan_ranges(file);
      ASSERT_FALSE(scans.empty());
      auto intact = decode_jpeg(file, d);
      ASSERT_TRUE(intact.has_value());
      c.damage(file, scans);
      auto got = decode_jpeg_partial(file, d);
      ASSERT_TRUE(got.has_value()) << got.error();
      const ImageU8& img = got->image;
      ASSERT_EQ(img.width, intact->width);
      ASSERT_EQ(img.height, intact->height);
      EXPECT_EQ(got->damaged, c.damaged);
      if (c.all_rows) {
        EXPECT_EQ(got->valid_rows, img.height);
      } else {
        EXPECT_LT(got->valid_rows, img.height);
      }
      const size_t n = std::min(got->valid_rows, img.height) * img.width * 3;
      if (c.exact) {
        EXPECT_TRUE(std::equal(img.data.begin(), img.data.begin() + static_cast<std::ptrdiff_t>(n), intact->data.begin()));
      } else if (n > 0) {
        EXPECT_LT(mean_abs_diff(img, *intact, 0, n), 16.0);
      }
      // Below the valid rows the picture is lost: further from the intact one than above.
      if (c.lost_below && n > 0 && n < img.data.size()) {
        EXPECT_GT(mean_abs_diff(img, *intact, n, img.data.size()), mean_abs_diff(img, *intact, 0, n));
      }
      // Within one MCU row (16 pixels, 4 at 1/4) of where the data ended, no further.
      if (std::string(c.name).find("cut at half") != std::string::npos) {
        EXPECT_GT(got->valid_rows, img.height / 4);
      }
    }
  }
}

// The decode on a parallel loop's worker goes the one-thread way; the answer is the same.
TEST(DecodePartial, SameRowsOnALoopWorker) {
  TSL_REQUIRE_TOOL("cjpeg");
  test::TempDir dir;
  std::vector<uint8_t> file = make_jpeg(dir, "-quality 90");
  ASSERT_FALSE(file.empty());
  const auto scans = scan_ranges(file);
  cut_in_scan(0, 0.5)(file, scans);
  auto main_thread = decode_jpeg_partial(file, 1);
  ASSERT_TRUE(main_thread.has_value());
  std::vector<size_t> rows(2, 0);
  std::vector<std::vector<uint8_t>> pixels(2);
  par_rows(2, 1, 2, [&](size_t first, size_t last) {
    for (size_t i = first; i < last; ++i)
      if (auto w = decode_jpeg_partial(file, 1)) rows[i] = w->valid_rows, pixels[i] = std::move(w->image.data);
  });
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(rows[i], main_thread->valid_rows);
    EXPECT_EQ(pixels[i], main_thread->image.data);
  }
}

}  // namespace
}  // namespace tsl
