#include "img/tiff/tiff_image.h"

#include <algorithm>
#include <optional>

#include "img/tiff/tiff_codecs.h"
#include "img/tiff/tiff_file.h"
#include "img/tiff/tiff_tags.h"
#include "util/deflate.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {
namespace {


// Tile sides are capped so that a chunk's byte size cannot overflow (strips are bounded by the
// image itself); no real tile comes near 2^24 pixels on a side.
constexpr uint64_t MAX_CHUNK_SIDE = uint64_t{1} << 24;

// How the chunks of the chosen directory cover the image.
struct Layout {
  uint64_t width = 0, height = 0;
  unsigned bytes_per_sample = 1;
  uint64_t samples = 0;       // S, samples per pixel
  bool planar = false;        // S planes of 1-sample chunks
  bool predictor = false;     // horizontal differencing
  uint64_t compression = 1;
  bool little_endian = true;
  uint64_t chunk_w = 0, chunk_h = 0;
  uint64_t chunk_samples = 0;  // samples per chunk pixel: 1 when planar, else S
  uint64_t across = 0, down = 0;
  uint64_t expected = 0;       // bytes of one decoded chunk
  std::vector<uint64_t> offsets, counts;
};

// The directory to decode: the widest full-resolution one, the later of equal widths.
const Ifd* choose_directory(const TiffFile& file) {
  const Ifd* best = nullptr;
  uint64_t best_width = 0;
  for (const Ifd* ifd : image_ifds(file)) {
    auto width = find_u64(*ifd, TAG_IMAGE_WIDTH, file.little_endian);
    if (!width) continue;
    auto kind = find_u64(*ifd, TAG_NEW_SUBFILE_TYPE, file.little_endian);
    if (kind && (*kind & 1)) continue;
    if (best == nullptr || *width >= best_width) {
      best = ifd;
      best_width = *width;
    }
  }
  return best;
}

std::expected<Layout, std::string> read_layout(const TiffFile& file, const Ifd& ifd) {
  const bool le = file.little_endian;
  auto get = [&](uint16_t tag) { return find_u64(ifd, tag, le); };
  Layout l;
  l.little_endian = le;
  l.width = *get(TAG_IMAGE_WIDTH);
  auto height = get(TAG_IMAGE_LENGTH);
  if (!height) return std::unexpected("no height");
  l.height = *height;
  const uint64_t bits = get(TAG_BITS_PER_SAMPLE).value_or(8);
  const uint64_t photometric = get(TAG_PHOTOMETRIC).value_or(2);
  if ((bits != 8 && bits != 16) || (photometric != 1 && photometric != 2))
    return std::unexpected(
        format("TIFF variant not supported ({} bit, photometric {}) - export 8/16-bit RGB TIFF or JPG", bits, photometric));
  // Signed and floating-point samples have the same widths as unsigned ones; read as
  // unsigned they would give a plausible-looking but wrong picture.
  const uint64_t sample_format = get(TAG_SAMPLE_FORMAT).value_or(1);
  if (sample_format == 2 || sample_format == 3)
    return std::unexpected(format("TIFF {} samples not supported - export 8/16-bit RGB TIFF or JPG",
                                  sample_format == 2 ? "signed integer" : "floating-point"));
  l.bytes_per_sample = static_cast<unsigned>(bits / 8);
  l.compression = get(TAG_COMPRESSION).value_or(1);
  l.samples = get(TAG_SAMPLES_PER_PIXEL).value_or(photometric == 2 ? 3 : 1);
  l.planar = get(TAG_PLANAR_CONFIGURATION).value_or(1) == 2;
  l.predictor = get(TAG_PREDICTOR).value_or(1) == 2;

  if (l.width == 0 || l.height == 0) return std::unexpected(format("empty TIFF image ({}x{})", l.width, l.height));
  if (l.width > TIFF_MAX_PIXELS || l.height > TIFF_MAX_PIXELS || l.width * l.height > TIFF_MAX_PIXELS)
    return std::unexpected(format("TIFF image too large ({}x{})", l.width, l.height));
  if (l.samples == 0 || l.samples > TIFF_MAX_SAMPLES)
    return std::unexpected(format("TIFF samples per pixel {} not supported", l.samples));

  const TiffEntry* offsets = nullptr;
  const TiffEntry* counts = nullptr;
  if (auto tile_w = get(TAG_TILE_WIDTH)) {
    auto tile_h = get(TAG_TILE_LENGTH);
    if (!tile_h) return std::unexpected("no tile length");
    if (*tile_w == 0 || *tile_h == 0 || *tile_w > MAX_CHUNK_SIDE || *tile_h > MAX_CHUNK_SIDE)
      return std::unexpected(format("bad TIFF tile size {}x{}", *tile_w, *tile_h));
    l.chunk_w = *tile_w;
    l.chunk_h = *tile_h;
    offsets = find_entry(ifd, TAG_TILE_OFFSETS);
    if (offsets == nullptr) return std::unexpected("no tile offsets");
    counts = find_entry(ifd, TAG_TILE_BYTE_COUNTS);
    if (counts == nullptr) return std::unexpected("no tile counts");
  } else {
    l.chunk_w = l.width;
    l.chunk_h = std::max<uint64_t>(std::min(get(TAG_ROWS_PER_STRIP).value_or(l.height), l.height), 1);
    offsets = find_entry(ifd, TAG_STRIP_OFFSETS);
    if (offsets == nullptr) return std::unexpected("no strips");
    counts = find_entry(ifd, TAG_STRIP_BYTE_COUNTS);
    if (counts == nullptr) return std::unexpected("no strip counts");
  }
  l.chunk_samples = l.planar ? 1 : l.samples;
  l.across = (l.width + l.chunk_w - 1) / l.chunk_w;
  l.down = (l.height + l.chunk_h - 1) / l.chunk_h;
  // At most 2^24 * 2^24 * 64 * 2 = 2^55 bytes: no overflow.
  l.expected = l.bytes_per_sample * l.chunk_h * l.chunk_w * l.chunk_samples;
  l.offsets = tag_u64s(*offsets, le);
  l.counts = tag_u64s(*counts, le);
  // Chunks past the last plane are never read, so a longer list is harmless.
  const uint64_t planes = l.planar ? l.samples : 1;
  const uint64_t needed = std::min<uint64_t>(l.offsets.size(), planes * l.across * l.down);
  if (l.counts.size() < needed)
    return std::unexpected(format("TIFF has {} byte counts for {} chunks", l.counts.size(), needed));
  l.offsets.resize(needed);
  return l;
}

// The decoded bytes of chunk k, at most the expected size; may borrow from the file.
std::expected<std::span<const uint8_t>, std::string> decode_chunk(const Layout& l, std::span<const uint8_t> file,
                                                                  size_t k, std::vector<uint8_t>& storage) {
  const uint64_t offset = l.offsets[k], count = l.counts[k];
  if (offset > file.size() || count > file.size() - offset) return std::unexpected("TIFF data outside the file");
  const auto raw = file.subspan(offset, count);
  const size_t limit = l.expected;
  switch (l.compression) {
    case 1: return raw.first(std::min<size_t>(raw.size(), limit));
    case 5: {
      auto out = lzw_decode(raw, limit);
      if (!out) return std::unexpected(std::move(out.error()));
      storage = std::move(*out);
      break;
    }
    case 8:
    case 32946: {
      if (raw.size() < 2) return std::unexpected("zlib stream too short");
      auto out = inflate(raw.subspan(2), limit);
      if (!out) return std::unexpected(std::move(out.error()));
      storage = std::move(*out);
      break;
    }
    case 32773: storage = packbits_decode(raw, limit); break;
    default: return std::unexpected(format("TIFF compression {} not supported", l.compression));
  }
  return std::span<const uint8_t>(storage);
}

// Writes `cols` pixels of one chunk row to `out` (RGB). Only the channels shown are read:
// the first (gray, or one plane) or the first three; differencing is undone per channel with
// a running sum, so no row buffer is needed whatever the row length. Plane < 0: not planar.
template <bool Predictor, unsigned Channels, typename Sample>
void place_pixels(uint64_t cols, uint64_t spp, uint16_t mask, int plane, uint16_t* out, Sample sample) {
  uint16_t acc[3] = {0, 0, 0};
  for (uint64_t c = 0; c < cols; ++c) {
    uint16_t v[Channels];
    for (unsigned j = 0; j < Channels; ++j) {
      v[j] = sample(c * spp + j);
      if constexpr (Predictor) v[j] = acc[j] = static_cast<uint16_t>((acc[j] + v[j]) & mask);
    }
    uint16_t* px = out + 3 * c;
    if constexpr (Channels == 3) {
      px[0] = v[0];
      px[1] = v[1];
      px[2] = v[2];
    } else if (plane >= 0) {
      px[plane] = v[0];
    } else {
      px[0] = px[1] = px[2] = v[0];
    }
  }
}

template <typename Sample>
void place_row(const Layout& l, uint64_t cols, int plane, uint16_t* out, Sample sample) {
  const uint16_t mask = l.bytes_per_sample == 1 ? 0xFF : 0xFFFF;
  const uint64_t spp = l.chunk_samples;
  if (l.planar || l.samples < 3) {
    if (l.predictor) place_pixels<true, 1>(cols, spp, mask, plane, out, sample);
    else place_pixels<false, 1>(cols, spp, mask, plane, out, sample);
  } else {
    if (l.predictor) place_pixels<true, 3>(cols, spp, mask, plane, out, sample);
    else place_pixels<false, 3>(cols, spp, mask, plane, out, sample);
  }
}

// Places one decoded chunk into the RGB output. Bytes past `data` count as zero (a sample cut
// in half takes a zero byte as its other half), and rows wholly past it are skipped: the
// output is zero there already.
void place_chunk(const Layout& l, size_t k, std::span<const uint8_t> data, std::span<uint16_t> rgb) {
  const uint64_t per_plane = l.across * l.down;
  const uint64_t plane = k / per_plane;
  const uint64_t in_plane = k % per_plane;
  const uint64_t x0 = (in_plane % l.across) * l.chunk_w;
  const uint64_t y0 = (in_plane / l.across) * l.chunk_h;
  // Planes after the first of a gray image, and after the third of a colour one, are decoded
  // for their errors but not shown.
  const bool gray = l.samples < 3;
  if (l.planar && (gray ? plane > 0 : plane > 2)) return;
  const int out_plane = l.planar && !gray ? static_cast<int>(plane) : -1;
  const uint64_t cols = std::min(l.chunk_w, l.width - x0);
  const uint64_t rows = std::min(l.chunk_h, l.height - y0);
  const unsigned bps = l.bytes_per_sample;
  const uint64_t row_bytes = l.chunk_w * l.chunk_samples * bps;
  const uint64_t rows_with_data = (data.size() + row_bytes - 1) / row_bytes;
  const uint64_t shown_bytes = cols * l.chunk_samples * bps;
  const bool le = l.little_endian;
  for (uint64_t r = 0; r < std::min(rows, rows_with_data); ++r) {
    const uint8_t* src = data.data() + r * row_bytes;
    const uint64_t avail = std::min<uint64_t>(data.size() - r * row_bytes, row_bytes);
    uint16_t* out = rgb.data() + ((y0 + r) * l.width + x0) * 3;
    if (avail >= shown_bytes) {
      // The whole visible row is there: loads without bounds checks.
      if (bps == 1) {
        place_row(l, cols, out_plane, out, [src](uint64_t i) -> uint16_t { return src[i]; });
      } else if (le) {
        place_row(l, cols, out_plane, out,
                  [src](uint64_t i) { return static_cast<uint16_t>(src[2 * i] | src[2 * i + 1] << 8); });
      } else {
        place_row(l, cols, out_plane, out,
                  [src](uint64_t i) { return static_cast<uint16_t>(src[2 * i] << 8 | src[2 * i + 1]); });
      }
    } else {
      place_row(l, cols, out_plane, out, [src, avail, bps, le](uint64_t i) -> uint16_t {
        const uint64_t at = i * bps;
        if (bps == 1) return at < avail ? src[at] : 0;
        const uint16_t first = at < avail ? src[at] : 0, second = at + 1 < avail ? src[at + 1] : 0;
        return le ? static_cast<uint16_t>(first | second << 8) : static_cast<uint16_t>(first << 8 | second);
      });
    }
  }
}

// The most bytes the chunks' data can decode to (each compression's largest expansion: LZW
// strings grow by at most one byte per 9- to 12-bit code, a deflate block by 1032 to 1, a
// PackBits run 2 bytes to 128), plus room for a file cut short. Unknown compressions are not
// bounded here: their chunks fail with their own message.
uint64_t fillable_bytes(const Layout& l, uint64_t file_size) {
  constexpr uint64_t SHORT_FILE_ROOM = uint64_t{4} << 20;
  uint64_t ratio = 0;
  switch (l.compression) {
    case 1: ratio = 1; break;
    case 5: ratio = 4096; break;
    case 8:
    case 32946: ratio = 1032; break;
    case 32773: ratio = 64; break;
    default: return UINT64_MAX;
  }
  uint64_t total = SHORT_FILE_ROOM;
  for (size_t k = 0; k < l.offsets.size(); ++k) total += std::min(l.counts[k], file_size) * ratio;
  return total;
}

}  // namespace

std::expected<TiffImage, std::string> read_tiff_image(std::span<const uint8_t> bytes) {
  auto file = parse_tiff(bytes);
  if (!file) return std::unexpected(std::move(file.error()));
  const Ifd* ifd = choose_directory(*file);
  if (ifd == nullptr) return std::unexpected("no image in TIFF");
  auto layout = read_layout(*file, *ifd);
  if (!layout) return std::unexpected(std::move(layout.error()));
  const Layout& l = *layout;
  // Memory in proportion to the file: a header declaring far more than its data can fill is
  // refused before the output is allocated.
  if (l.width * l.height * l.samples * l.bytes_per_sample > fillable_bytes(l, bytes.size()))
    return std::unexpected(format("TIFF image {}x{} larger than its data can fill", l.width, l.height));

  TiffImage image;
  image.width = l.width;
  image.height = l.height;
  image.bits_per_sample = l.bytes_per_sample * 8;
  image.samples.assign(l.width * l.height * 3, 0);
  // Chunks cover disjoint samples of the output, so they decode in parallel; the first
  // failing one in file order gives the error, as a sequential decode would.
  auto errors = par_map(l.offsets.size(), cpu_budget(), [&](size_t k) -> std::optional<std::string> {
    std::vector<uint8_t> storage;
    auto data = decode_chunk(l, bytes, k, storage);
    if (!data) return std::move(data.error());
    place_chunk(l, k, *data, image.samples);
    return std::nullopt;
  });
  for (auto& e : errors)
    if (e) return std::unexpected(std::move(*e));
  return image;
}

}  // namespace tsl
