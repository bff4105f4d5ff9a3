#include "img/dng/dng_raw.h"

#include <algorithm>
#include <cstring>

#include "img/dng/dng_samples.h"
#include "img/dng/ljpeg.h"
#include "img/image.h"
#include "img/jpeg/decode.h"
#include "img/tiff/tiff_tags.h"
#include "util/deflate.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {
namespace {

constexpr uint16_t TAG_CFA_REPEAT_DIM = 33421;
constexpr uint16_t TAG_CFA_PATTERN = 33422;
constexpr uint16_t TAG_LINEARIZATION = 50712;
constexpr uint16_t TAG_BLACK_REPEAT_DIM = 50713;
constexpr uint16_t TAG_BLACK_LEVEL = 50714;
constexpr uint16_t TAG_WHITE_LEVEL = 50717;

constexpr uint64_t PHOTOMETRIC_CFA = 32803;
constexpr uint64_t PHOTOMETRIC_LINEAR_RAW = 34892;
constexpr uint64_t COMPRESSION_NONE = 1;
constexpr uint64_t COMPRESSION_LJPEG = 7;
constexpr uint64_t COMPRESSION_DEFLATE = 8;
constexpr uint64_t COMPRESSION_DEFLATE_OLD = 32946;
constexpr uint64_t COMPRESSION_LOSSY_JPEG = 34892;
constexpr uint64_t COMPRESSION_JPEG_XL = 52546;
constexpr uint64_t SAMPLE_FORMAT_FLOAT = 3;

// A lossless JPEG piece announces itself by its SOF3 marker within this many bytes.
constexpr size_t SOF3_SEARCH_BYTES = 4096;

// The first value of a tag that is read as one number: nothing when absent, an error when
// present without values (a malformed directory, not a default).
std::expected<std::optional<uint64_t>, std::string> one_value(const Ifd& ifd, uint16_t tag, bool le) {
  const TiffEntry* e = find_entry(ifd, tag);
  if (!e) return std::nullopt;
  const std::vector<uint64_t> v = tag_u64s(*e, le);
  if (v.empty()) return std::unexpected(format("DNG tag {} has no value", tag));
  return v[0];
}

std::optional<std::vector<uint64_t>> all_u64(const Ifd& ifd, uint16_t tag, bool le) {
  const TiffEntry* e = find_entry(ifd, tag);
  if (!e) return std::nullopt;
  return tag_u64s(*e, le);
}

std::optional<std::vector<double>> all_f64(const Ifd& ifd, uint16_t tag, bool le) {
  const TiffEntry* e = find_entry(ifd, tag);
  if (!e) return std::nullopt;
  return tag_f64s(*e, le);
}

bool checked_mul(uint64_t a, uint64_t b, uint64_t& out) { return !__builtin_mul_overflow(a, b, &out); }

bool has_sof3(std::span<const uint8_t> bytes) {
  const size_t end = std::min(bytes.size(), SOF3_SEARCH_BYTES + 1);
  for (size_t i = 0; i + 1 < end; ++i)
    if (bytes[i] == 0xFF && bytes[i + 1] == 0xC3) return true;
  return false;
}

uint64_t tile_samples(const DngTileSource& s) { return s.tile_width * s.tile_length * s.samples_per_pixel; }

SampleLayout layout_of(const DngTileSource& s) {
  return {static_cast<size_t>(tile_samples(s)), s.bits_per_sample, s.little_endian, s.predictor,
          static_cast<size_t>(s.samples_per_pixel), static_cast<size_t>(s.tile_width)};
}

std::vector<float> samples_from_bytes(const DngTileSource& s, std::span<const uint8_t> bytes) {
  return s.is_float ? float_samples_from_bytes(bytes, layout_of(s)) : unpack_integer_samples(bytes, layout_of(s));
}

std::expected<std::vector<float>, std::string> lossy_piece(const DngTileSource& s, std::span<const uint8_t> bytes) {
  // Checked before decoding: a small piece must not make the decoder allocate a huge frame.
  if (auto info = probe_jpeg(bytes); info && info->width * info->height > s.tile_width * s.tile_length)
    return std::unexpected(format("lossy JPEG frame {}x{} larger than its tile", info->width, info->height));
  auto rgb = decode_jpeg(bytes, 1);
  if (!rgb) return std::unexpected(rgb.error());
  std::vector<float> out(tile_samples(s), 0.0f);
  const size_t spp = s.samples_per_pixel;
  const size_t take = std::min<size_t>(spp, 3);
  const size_t rows = std::min<size_t>(rgb->height, s.tile_length);
  const size_t cols = std::min<size_t>(rgb->width, s.tile_width);
  for (size_t k = 0; k < rows; ++k)
    for (size_t l = 0; l < cols; ++l)
      for (size_t c = 0; c < take; ++c) out[(k * s.tile_width + l) * spp + c] = rgb->row(k)[l * 3 + c];
  return out;
}

std::expected<std::vector<float>, std::string> lossless_piece(const DngTileSource& s, std::span<const uint8_t> bytes) {
  std::vector<uint16_t> frame(tile_samples(s));
  auto shape = decode_ljpeg_into(bytes, frame);
  if (!shape) return std::unexpected(shape.error());
  std::vector<float> out(frame.size(), 0.0f);
  std::copy_n(frame.begin(), shape->width * shape->components * shape->height, out.begin());
  return out;
}

// The bytes of one piece; the sum of offset and count is never formed, so it cannot wrap.
std::expected<std::span<const uint8_t>, std::string> piece_bytes(const DngTileSource& s, size_t index) {
  const uint64_t offset = s.offsets[index];
  const uint64_t count = s.byte_counts[index];
  if (count > s.file.size() || offset > s.file.size() - count) return std::unexpected("tile outside file");
  return s.file.subspan(offset, count);
}

// The samples of one piece, at least tile width x length x spp of them.
std::expected<std::vector<float>, std::string> decode_piece(const DngTileSource& s, size_t index) {
  auto piece = piece_bytes(s, index);
  if (!piece) return std::unexpected(piece.error());
  const std::span<const uint8_t> bytes = *piece;
  switch (s.compression) {
    case COMPRESSION_NONE:
      return samples_from_bytes(s, bytes);
    case COMPRESSION_DEFLATE:
    case COMPRESSION_DEFLATE_OLD: {
      if (bytes.size() < 2) return std::unexpected("zlib stream too short");
      // The zlib header is skipped unread and the trailer not checked. A stream may inflate to
      // twice what the piece needs (padding some writers add); more is refused, so a small
      // piece cannot expand without bound.
      const uint64_t need = tile_samples(s) * ((s.bits_per_sample + 7) / 8);
      auto raw = inflate(bytes.subspan(2), 2 * need + 4096);
      if (!raw) return std::unexpected(raw.error());
      return samples_from_bytes(s, *raw);
    }
    case COMPRESSION_LJPEG:
      if (has_sof3(bytes)) return lossless_piece(s, bytes);
      return lossy_piece(s, bytes);
    case COMPRESSION_LOSSY_JPEG:
      return lossy_piece(s, bytes);
    default:
      return std::unexpected(format("DNG compression {} not supported", s.compression));
  }
}

struct Geometry {
  DngTileSource source;
  uint64_t width = 0, height = 0, spp = 1;
  uint64_t tiles_across = 1;
};

std::expected<Geometry, std::string> read_geometry(const TiffFile& file, const Ifd& raw) {
  const bool le = file.little_endian;
  Geometry g;
  DngTileSource& s = g.source;
  s.file = file.data;
  s.little_endian = le;

  auto width = one_value(raw, TAG_IMAGE_WIDTH, le);
  if (!width) return std::unexpected(width.error());
  if (!*width) return std::unexpected("no width");
  auto height = one_value(raw, TAG_IMAGE_LENGTH, le);
  if (!height) return std::unexpected(height.error());
  if (!*height) return std::unexpected("no height");
  g.width = **width;
  g.height = **height;

  uint64_t bits = 16, compression = 1, spp = 1, predictor = 1, sample_format = 1;
  const std::pair<uint16_t, uint64_t*> singles[] = {{TAG_BITS_PER_SAMPLE, &bits},
                                                     {TAG_COMPRESSION, &compression},
                                                     {TAG_SAMPLES_PER_PIXEL, &spp},
                                                     {TAG_PREDICTOR, &predictor},
                                                     {TAG_SAMPLE_FORMAT, &sample_format}};
  for (auto [tag, target] : singles) {
    auto v = one_value(raw, tag, le);
    if (!v) return std::unexpected(v.error());
    if (*v) *target = **v;
  }
  if (compression == COMPRESSION_JPEG_XL)
    return std::unexpected("JPEG XL compressed DNG is not supported - export uncompressed/lossless DNG or JPG");
  s.is_float = sample_format == SAMPLE_FORMAT_FLOAT;
  if (s.is_float && bits != 16 && bits != 24 && bits != 32)
    return std::unexpected(format("DNG float samples of {} bits not supported", bits));
  if (!s.is_float && (bits == 0 || bits > 32))
    return std::unexpected(format("DNG samples of {} bits not supported", bits));
  if (spp == 0) return std::unexpected("DNG samples per pixel is 0");
  if (g.width == 0 || g.height == 0) return std::unexpected(format("empty DNG raw image {}x{}", g.width, g.height));
  uint64_t pixels = 0, plane = 0;
  if (!checked_mul(g.width, g.height, pixels) || !checked_mul(pixels, spp, plane) || plane > DNG_MAX_SAMPLES)
    return std::unexpected(format("DNG raw image too large: {}x{} with {} samples per pixel", g.width, g.height, spp));
  g.spp = spp;
  s.bits_per_sample = static_cast<unsigned>(bits);
  s.compression = compression;
  s.samples_per_pixel = spp;
  s.predictor = predictor;

  auto tw = one_value(raw, TAG_TILE_WIDTH, le);
  auto tl = one_value(raw, TAG_TILE_LENGTH, le);
  if (!tw) return std::unexpected(tw.error());
  if (!tl) return std::unexpected(tl.error());
  auto tile_offsets = all_u64(raw, TAG_TILE_OFFSETS, le);
  auto tile_counts = all_u64(raw, TAG_TILE_BYTE_COUNTS, le);
  if (*tw && *tl && tile_offsets && tile_counts) {
    s.tile_width = **tw;
    s.tile_length = **tl;
    s.offsets = std::move(*tile_offsets);
    s.byte_counts = std::move(*tile_counts);
  } else {
    auto rows = one_value(raw, TAG_ROWS_PER_STRIP, le);
    if (!rows) return std::unexpected(rows.error());
    auto strip_offsets = all_u64(raw, TAG_STRIP_OFFSETS, le);
    if (!strip_offsets) return std::unexpected("no strips");
    auto strip_counts = all_u64(raw, TAG_STRIP_BYTE_COUNTS, le);
    if (!strip_counts) return std::unexpected("no strip counts");
    s.tile_width = g.width;
    s.tile_length = std::min(g.height, rows->value_or(g.height));
    s.offsets = std::move(*strip_offsets);
    s.byte_counts = std::move(*strip_counts);
  }
  if (s.tile_width == 0 || s.tile_length == 0)
    return std::unexpected(format("DNG tile size {}x{} is empty", s.tile_width, s.tile_length));
  if (s.byte_counts.size() < s.offsets.size()) return std::unexpected("fewer DNG byte counts than offsets");
  uint64_t tile_pixels = 0, tile_n = 0;
  if (!checked_mul(s.tile_width, s.tile_length, tile_pixels) || !checked_mul(tile_pixels, spp, tile_n) ||
      tile_n > std::max(plane, DNG_MAX_TILE_SAMPLES))
    return std::unexpected(
        format("DNG tile {}x{} too large for a {}x{} image", s.tile_width, s.tile_length, g.width, g.height));
  g.tiles_across = (g.width + s.tile_width - 1) / s.tile_width;
  return g;
}

// Where piece i lands in the plane.
struct Placement {
  uint64_t x0 = 0, y0 = 0;  // pixels
  size_t width = 0, rows = 0;
};

Placement place(const Geometry& g, size_t i) {
  const DngTileSource& s = g.source;
  Placement p;
  p.x0 = (i % g.tiles_across) * s.tile_width;
  p.y0 = (i / g.tiles_across) * s.tile_length;
  p.width = static_cast<size_t>(std::min(s.tile_width, g.width - p.x0));
  p.rows = static_cast<size_t>(std::min(s.tile_length, g.height - p.y0));
  return p;
}

// The drones' case on its own road: the frame is decoded into a per-thread buffer and turned
// into floats straight in the plane, with no tile-sized vector per piece. Samples past the
// frame's end (a frame smaller than its tile) are 0.
std::optional<std::string> lossless_into_plane(const Geometry& g, size_t i, std::span<const uint8_t> bytes,
                                               std::vector<float>& plane) {
  const DngTileSource& s = g.source;
  thread_local std::vector<uint16_t> frame;
  frame.resize(tile_samples(s));
  auto shape = decode_ljpeg_into(bytes, frame);
  if (!shape) return std::move(shape.error());
  const size_t written = shape->width * shape->components * shape->height;
  const size_t spp = g.spp;
  const size_t row_samples = s.tile_width * spp;
  const Placement p = place(g, i);
  for (size_t r = 0; r < p.rows; ++r) {
    const size_t start = r * row_samples;
    const size_t have = written > start ? std::min(written - start, p.width * spp) : 0;
    float* dst = plane.data() + ((p.y0 + r) * g.width + p.x0) * spp;
    const uint16_t* src = frame.data() + start;
    for (size_t k = 0; k < have; ++k) dst[k] = src[k];
    std::fill(dst + have, dst + p.width * spp, 0.0f);
  }
  return std::nullopt;
}

// Decodes the pieces that reach into the image and copies each straight into its place;
// pieces never overlap, so the workers write disjoint rectangles. Returns the message of the
// lowest failing piece.
std::expected<void, std::string> assemble_pieces(const Geometry& g, std::vector<float>& plane) {
  const DngTileSource& s = g.source;
  const uint64_t tiles_down = (g.height + s.tile_length - 1) / s.tile_length;
  const size_t used = static_cast<size_t>(std::min<uint64_t>(s.offsets.size(), g.tiles_across * tiles_down));
  const size_t spp = g.spp;
  auto errors = par_map(used, cpu_budget(), [&](size_t i) -> std::optional<std::string> {
    if (s.compression == COMPRESSION_LJPEG) {
      auto bytes = piece_bytes(s, i);
      if (!bytes) return std::move(bytes.error());
      if (has_sof3(*bytes)) return lossless_into_plane(g, i, *bytes, plane);
    }
    auto tile = decode_piece(s, i);
    if (!tile) return std::move(tile.error());
    const Placement p = place(g, i);
    for (size_t r = 0; r < p.rows; ++r) {
      const float* src = tile->data() + r * s.tile_width * spp;
      std::copy(src, src + p.width * spp, plane.data() + ((p.y0 + r) * g.width + p.x0) * spp);
    }
    return std::nullopt;
  });
  for (auto& e : errors)
    if (e) return std::unexpected(std::move(*e));
  return {};
}

void linearize(std::vector<float>& plane, std::span<const uint64_t> table) {
  const uint64_t last = table.size() - 1;
  std::vector<float> lut(table.begin(), table.end());
  par_chunks(std::span<float>(plane), size_t{1} << 16, cpu_budget(), [&](size_t, std::span<float> chunk) {
    for (float& v : chunk) {
      // NaN and negatives index 0, the fraction is cut, and large values stop at the end.
      const uint64_t k = !(v > 0.0f) ? 0 : v >= 18446744073709551616.0f ? UINT64_MAX : static_cast<uint64_t>(v);
      v = lut[std::min(k, last)];
    }
  });
}

// Crops in place: row i of the result comes from at or after its own position, so copying
// rows front to back never overwrites a row still to be read.
void crop_active_area(DngRaw& raw, uint64_t top, uint64_t left, uint64_t bottom, uint64_t right) {
  const size_t spp = raw.samples_per_pixel;
  const size_t new_w = right - left, new_h = bottom - top;
  float* data = raw.samples.data();
  for (size_t i = 0; i < new_h; ++i)
    std::memmove(data + i * new_w * spp, data + ((top + i) * raw.width + left) * spp, new_w * spp * sizeof(float));
  raw.samples.resize(new_w * new_h * spp);
  raw.samples.shrink_to_fit();
  raw.width = new_w;
  raw.height = new_h;
}

}  // namespace

const Ifd* find_raw_ifd(const TiffFile& file) {
  const bool le = file.little_endian;
  const Ifd* best = nullptr;
  uint64_t best_width = 0;
  for (const Ifd* ifd : image_ifds(file)) {
    const auto subfile = find_u64(*ifd, TAG_NEW_SUBFILE_TYPE, le);
    const auto photometric = find_u64(*ifd, TAG_PHOTOMETRIC, le);
    const auto width = find_u64(*ifd, TAG_IMAGE_WIDTH, le);
    if (subfile != 0u || !width) continue;
    if (photometric != PHOTOMETRIC_CFA && photometric != PHOTOMETRIC_LINEAR_RAW) continue;
    if (!best || *width > best_width) {
      best = ifd;
      best_width = *width;
    }
  }
  return best;
}

std::optional<uint64_t> dng_tag_u64(const Ifd* raw, const Ifd* first, bool little_endian, uint16_t tag) {
  for (const Ifd* ifd : {raw, first}) {
    if (!ifd) continue;
    if (const TiffEntry* e = find_entry(*ifd, tag)) {
      const std::vector<uint64_t> v = tag_u64s(*e, little_endian);
      if (v.empty()) return std::nullopt;
      return v[0];
    }
  }
  return std::nullopt;
}

std::expected<DngTile, std::string> decode_dng_tile(const DngTileSource& source, size_t index) {
  if (index >= source.offsets.size() || index >= source.byte_counts.size())
    internal_error(format("DNG piece {} out of range", index));
  auto samples = decode_piece(source, index);
  if (!samples) return std::unexpected(samples.error());
  return DngTile{index, std::move(*samples)};
}

std::expected<DngRaw, std::string> read_dng_raw(const TiffFile& file) {
  const Ifd* raw_ifd = find_raw_ifd(file);
  if (!raw_ifd) return std::unexpected("no raw image in DNG");
  const Ifd& ifd = *raw_ifd;
  const bool le = file.little_endian;
  auto geometry = read_geometry(file, ifd);
  if (!geometry) return std::unexpected(geometry.error());
  const Geometry& g = *geometry;
  const auto photometric = find_u64(ifd, TAG_PHOTOMETRIC, le);

  DngRaw raw;
  raw.width = g.width;
  raw.height = g.height;
  raw.samples_per_pixel = g.spp;
  raw.is_float = g.source.is_float;
  // Zero-filled with its pages mapped by all threads: places no piece covers stay 0.
  raw.samples = make_zeroed<float>(g.width * g.height * g.spp);
  if (auto ok = assemble_pieces(g, raw.samples); !ok) return std::unexpected(ok.error());

  if (auto table = all_u64(ifd, TAG_LINEARIZATION, le); table && !table->empty() && !raw.is_float)
    linearize(raw.samples, *table);

  if (photometric == PHOTOMETRIC_CFA) {
    const std::vector<uint64_t> dim = all_u64(ifd, TAG_CFA_REPEAT_DIM, le).value_or(std::vector<uint64_t>{2, 2});
    const std::vector<uint64_t> pattern =
        all_u64(ifd, TAG_CFA_PATTERN, le).value_or(std::vector<uint64_t>{0, 1, 1, 2});
    if (dim.size() < 2 || dim[0] != 2 || dim[1] != 2 || pattern.size() < 4)
      return std::unexpected("only 2x2 CFA patterns are supported");
    std::array<uint8_t, 4> cell{};
    for (size_t k = 0; k < 4; ++k) cell[k] = static_cast<uint8_t>(pattern[k] & 0xFF);
    raw.cfa_pattern = cell;
  }

  if (auto dim = all_u64(ifd, TAG_BLACK_REPEAT_DIM, le)) {
    if (dim->empty()) return std::unexpected(format("DNG tag {} has no value", TAG_BLACK_REPEAT_DIM));
    raw.black_repeat_rows = (*dim)[0] == 0 ? 1 : (*dim)[0];
    raw.black_repeat_cols = dim->size() < 2 || (*dim)[1] == 0 ? 1 : (*dim)[1];
  }
  raw.black_levels = all_f64(ifd, TAG_BLACK_LEVEL, le).value_or(std::vector<double>{0.0});
  raw.white_levels = all_f64(ifd, TAG_WHITE_LEVEL, le).value_or(std::vector<double>{});
  if (raw.white_levels.empty())
    raw.white_levels = {raw.is_float ? 1.0 : static_cast<double>((uint64_t{1} << g.source.bits_per_sample) - 1)};

  if (auto area = all_u64(ifd, TAG_ACTIVE_AREA, le); area && area->size() == 4) {
    const uint64_t top = (*area)[0], left = (*area)[1], bottom = (*area)[2], right = (*area)[3];
    const bool valid = right <= raw.width && bottom <= raw.height && top < bottom && left < right;
    const bool whole = top == 0 && left == 0 && bottom == raw.height && right == raw.width;
    if (valid && !whole) crop_active_area(raw, top, left, bottom, right);
  }
  return raw;
}

}  // namespace tsl
