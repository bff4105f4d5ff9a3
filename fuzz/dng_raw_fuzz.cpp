// Feeds arbitrary bytes to the DNG raw reader and, when it yields a small plane, to the
// developer at full and half size: no input may crash, read out of bounds or hit undefined
// behaviour, and every result must have the size it claims.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "img/dng/develop.h"
#include "img/dng/dng_raw.h"
#include "img/tiff/tiff_file.h"
#include "util/par.h"

namespace {

// Kept planes above this are read correctly but slowly; the fuzzer learns nothing from them.
// Only the kept area (the ActiveArea when it fits) counts: a huge declared sensor cropped
// small must cost the crop, and the fuzzer's memory limit checks that it does.
constexpr uint64_t MAX_SAMPLES = uint64_t{1} << 16;

bool small_claim(const tsl::TiffFile& file) {
  const tsl::Ifd* ifd = tsl::find_raw_ifd(file);
  if (!ifd) return true;
  const bool le = file.little_endian;
  uint64_t w = tsl::find_u64(*ifd, 256, le).value_or(0);
  uint64_t h = tsl::find_u64(*ifd, 257, le).value_or(0);
  const uint64_t spp = tsl::find_u64(*ifd, 277, le).value_or(1);
  if (const tsl::TiffEntry* e = tsl::find_entry(*ifd, 50829)) {
    const auto a = tsl::tag_u64s(*e, le);  // top, left, bottom, right
    if (a.size() == 4 && a[3] <= w && a[2] <= h && a[0] < a[2] && a[1] < a[3]) {
      w = a[3] - a[1];
      h = a[2] - a[0];
    }
  }
  return w <= MAX_SAMPLES && h <= MAX_SAMPLES && spp <= 16 && w * h * spp <= MAX_SAMPLES;
}

// The reader's checks; true when the development should follow.
bool read(std::span<const uint8_t> bytes) {
  auto file = tsl::parse_tiff(bytes);
  if (!file || !small_claim(*file)) return false;
  auto raw = tsl::read_dng_raw(*file);
  if (!raw) return false;
  if (raw->samples.size() != raw->width * raw->height * raw->samples_per_pixel) std::abort();
  if (raw->white_levels.empty() || raw->black_repeat_rows == 0 || raw->black_repeat_cols == 0) std::abort();
  return true;
}

void develop(std::span<const uint8_t> bytes) {
  for (bool half : {false, true}) {
    auto image = tsl::develop_dng(bytes, half);
    if (!image) std::abort();  // the raw read succeeded, so development cannot fail
    if (image->channels != 3 || image->data.size() != image->width * image->height * 3) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  // Even sizes read their pieces on worker threads, odd sizes inline on a loop worker; the
  // development runs inline (its row loops hold no piece logic, and threads are slow here).
  bool ok = false;
  if (size % 2 == 0) ok = read(bytes);
  tsl::par_map(2, 2, [&](size_t i) {
    if (i == 0 && size % 2 == 1) ok = read(bytes);
    return 0;
  });
  if (ok) {
    tsl::par_map(2, 2, [&](size_t i) {
      if (i == 0) develop(bytes);
      return 0;
    });
  }
  return 0;
}
