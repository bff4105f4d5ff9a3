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

uint64_t row_samples(const DngTileSource& s) { return s.tile_width * s.samples_per_pixel; }

// Samples of the first `rows` rows of a piece, unpacked from its stored bytes: only the rows
// the bytes reach are made (rows start on a byte boundary), so a short piece of a wide tile
// costs what it holds; the caller treats the rest as 0.
std::vector<float> samples_from_bytes(const DngTileSource& s, std::span<const uint8_t> bytes, uint64_t rows) {
  const uint64_t row_bytes = (row_samples(s) * s.bits_per_sample + 7) / 8;
  const uint64_t have_rows = row_bytes == 0 ? 0 : (bytes.size() + row_bytes - 1) / row_bytes;
  const SampleLayout layout{static_cast<size_t>(std::min(rows, have_rows) * row_samples(s)), s.bits_per_sample,
                            s.little_endian, s.predictor, static_cast<size_t>(s.samples_per_pixel),
                            static_cast<size_t>(s.tile_width)};
  return s.is_float ? float_samples_from_bytes(bytes, layout) : unpack_integer_samples(bytes, layout);
}

std::expected<std::vector<float>, std::string> lossy_piece(const DngTileSource& s, std::span<const uint8_t> bytes,
                                                          uint64_t rows_wanted) {
  // Checked before decoding: a small piece must not make the decoder allocate a huge frame.
  if (auto info = probe_jpeg(bytes); info && info->width * info->height > s.tile_width * s.tile_length)
    return std::unexpected(format("lossy JPEG frame {}x{} larger than its tile", info->width, info->height));
  auto rgb = decode_jpeg(bytes, 1);
  if (!rgb) return std::unexpected(rgb.error());
  const size_t rows = std::min<size_t>({rgb->height, s.tile_length, rows_wanted});
  std::vector<float> out(rows * row_samples(s), 0.0f);
  const size_t spp = s.samples_per_pixel;
  const size_t take = std::min<size_t>(spp, 3);
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

// The samples of the first `rows` rows of one piece, row-major over the tile width; fewer when
// the piece holds fewer (the missing ones are 0).
std::expected<std::vector<float>, std::string> decode_piece(const DngTileSource& s, size_t index, uint64_t rows) {
  auto piece = piece_bytes(s, index);
  if (!piece) return std::unexpected(piece.error());
  const std::span<const uint8_t> bytes = *piece;
  switch (s.compression) {
    case COMPRESSION_NONE:
      return samples_from_bytes(s, bytes, rows);
    case COMPRESSION_DEFLATE:
    case COMPRESSION_DEFLATE_OLD: {
      if (bytes.size() < 2) return std::unexpected("zlib stream too short");
      // The zlib header is skipped unread and the trailer not checked. A stream may inflate to
      // twice what the piece needs (padding some writers add); more is refused, so a small
      // piece cannot expand without bound.
      const uint64_t need = tile_samples(s) * ((s.bits_per_sample + 7) / 8);
      auto raw = inflate(bytes.subspan(2), 2 * need + 4096);
      if (!raw) return std::unexpected(raw.error());
      return samples_from_bytes(s, *raw, rows);
    }
    case COMPRESSION_LJPEG:
      if (has_sof3(bytes)) return lossless_piece(s, bytes);
      return lossy_piece(s, bytes, rows);
    case COMPRESSION_LOSSY_JPEG:
      return lossy_piece(s, bytes, rows);
    default:
      return std::unexpected(format("DNG compression {} not supported", s.compression));
  }
}

// The rectangle of the stored image that is kept (the active area), in pixels.
struct Area {
  uint64_t top = 0, left = 0, bottom = 0, right = 0;
};

struct Geometry {
  DngTileSource source;
  uint64_t width = 0, height = 0, spp = 1;
  uint64_t tiles_across = 1;
  Area kept;
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

// The part of piece i inside the kept area: piece rows [r0, r1) and columns [c0, c1), and the
// kept plane's pixel where (r0, c0) lands. Empty (r0 == r1) when the piece misses the area.
struct Cut {
  size_t r0 = 0, r1 = 0, c0 = 0, c1 = 0;
  uint64_t out_y = 0, out_x = 0;
};

Cut cut_of(const Geometry& g, size_t i) {
  const DngTileSource& s = g.source;
  const uint64_t x0 = (i % g.tiles_across) * s.tile_width;
  const uint64_t y0 = (i / g.tiles_across) * s.tile_length;
  const Area& a = g.kept;
  const uint64_t ya = std::max(y0, a.top), yb = std::min(y0 + s.tile_length, a.bottom);
  const uint64_t xa = std::max(x0, a.left), xb = std::min(x0 + s.tile_width, a.right);
  Cut c;
  if (ya >= yb || xa >= xb) return c;
  c.r0 = static_cast<size_t>(ya - y0);
  c.r1 = static_cast<size_t>(yb - y0);
  c.c0 = static_cast<size_t>(xa - x0);
  c.c1 = static_cast<size_t>(xb - x0);
  c.out_y = ya - a.top;
  c.out_x = xa - a.left;
  return c;
}

// Copies the cut of a decoded piece (`have` samples row-major over the tile width, possibly
// fewer than the cut reaches) into the zero-filled kept plane; what the piece lacks stays 0.
template <typename T>
void copy_cut(const Geometry& g, const Cut& c, const T* src, size_t have, std::vector<float>& plane) {
  const size_t spp = g.spp;
  const size_t row_len = g.source.tile_width * spp;
  const size_t kept_w = g.kept.right - g.kept.left;
  for (size_t r = c.r0; r < c.r1; ++r) {
    const size_t start = r * row_len + c.c0 * spp;
    if (start >= have) return;
    const size_t n = std::min((c.c1 - c.c0) * spp, have - start);
    float* dst = plane.data() + ((c.out_y + r - c.r0) * kept_w + c.out_x) * spp;
    for (size_t k = 0; k < n; ++k) dst[k] = static_cast<float>(src[start + k]);
  }
}

// The drones' case on its own road: the frame's rows down to the cut's last are decoded into a
// per-thread buffer and turned into floats straight in the plane, with no tile-sized vector per
// piece.
std::optional<std::string> lossless_into_plane(const Geometry& g, const Cut& c, std::span<const uint8_t> bytes,
                                               std::vector<float>& plane) {
  const DngTileSource& s = g.source;
  thread_local std::vector<uint16_t> frame;
  auto shape = decode_ljpeg_head(bytes, tile_samples(s), c.r1 * row_samples(s), frame);
  if (!shape) return std::move(shape.error());
  copy_cut(g, c, frame.data(), frame.size(), plane);
  return std::nullopt;
}

// The most samples the data of the pieces reaching into the kept area can decode to (each
// compression's largest expansion: stored samples as they are, a deflate block 1032 to 1, and
// for JPEG, lossless or lossy, generously 96 samples per bit), plus room for a file cut short.
uint64_t fillable_samples(const Geometry& g) {
  constexpr uint64_t SHORT_FILE_ROOM = uint64_t{1} << 20;
  const DngTileSource& s = g.source;
  const uint64_t tiles_down = (g.height + s.tile_length - 1) / s.tile_length;
  const size_t used = static_cast<size_t>(std::min<uint64_t>(s.offsets.size(), g.tiles_across * tiles_down));
  uint64_t total = SHORT_FILE_ROOM;
  for (size_t i = 0; i < used; ++i) {
    if (const Cut c = cut_of(g, i); c.r0 == c.r1) continue;
    const uint64_t bytes = std::min<uint64_t>(s.byte_counts[i], s.file.size());
    uint64_t samples = 0;
    switch (s.compression) {
      case COMPRESSION_NONE: samples = bytes * 8 / s.bits_per_sample + 1; break;
      case COMPRESSION_DEFLATE:
      case COMPRESSION_DEFLATE_OLD: samples = bytes * 1032 * 8 / s.bits_per_sample + 1; break;
      case COMPRESSION_LJPEG:
      case COMPRESSION_LOSSY_JPEG: samples = bytes * 8 * 96; break;
      default: return UINT64_MAX;  // refused by the piece decoder with its own message
    }
    total += std::min(samples, tile_samples(s));
  }
  return total;
}

// Decodes the pieces that reach into the kept area, each only down to its last row there, and
// copies their part straight into its place; pieces never overlap, so the workers write
// disjoint rectangles. Returns the message of the lowest failing piece.
std::expected<void, std::string> assemble_pieces(const Geometry& g, std::vector<float>& plane) {
  const DngTileSource& s = g.source;
  const uint64_t tiles_down = (g.height + s.tile_length - 1) / s.tile_length;
  const size_t used = static_cast<size_t>(std::min<uint64_t>(s.offsets.size(), g.tiles_across * tiles_down));
  auto errors = par_map(used, cpu_budget(), [&](size_t i) -> std::optional<std::string> {
    const Cut c = cut_of(g, i);
    if (c.r0 == c.r1) return std::nullopt;
    if (s.compression == COMPRESSION_LJPEG) {
      auto bytes = piece_bytes(s, i);
      if (!bytes) return std::move(bytes.error());
      if (has_sof3(*bytes)) return lossless_into_plane(g, c, *bytes, plane);
    }
    auto tile = decode_piece(s, i, c.r1);
    if (!tile) return std::move(tile.error());
    copy_cut(g, c, tile->data(), tile->size(), plane);
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
  auto samples = decode_piece(source, index, source.tile_length);
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
  const auto photometric = find_u64(ifd, TAG_PHOTOMETRIC, le);

  // Only the active area is ever stored: a large declared image cropped to a small area costs
  // the area, not the declaration.
  Geometry g = std::move(*geometry);
  g.kept = {0, 0, g.height, g.width};
  if (auto area = all_u64(ifd, TAG_ACTIVE_AREA, le); area && area->size() == 4) {
    const uint64_t top = (*area)[0], left = (*area)[1], bottom = (*area)[2], right = (*area)[3];
    if (right <= g.width && bottom <= g.height && top < bottom && left < right) g.kept = {top, left, bottom, right};
  }

  DngRaw raw;
  raw.width = g.kept.right - g.kept.left;
  raw.height = g.kept.bottom - g.kept.top;
  // Memory in proportion to the file: a header declaring far more than its data can fill is
  // refused before the plane is allocated.
  if (raw.width * raw.height * g.spp > fillable_samples(g))
    return std::unexpected(format("DNG raw image {}x{} larger than its data can fill", raw.width, raw.height));
  raw.samples_per_pixel = g.spp;
  raw.is_float = g.source.is_float;
  // Zero-filled with its pages mapped by all threads: places no piece covers stay 0.
  raw.samples = make_zeroed<float>(raw.width * raw.height * g.spp);
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

  return raw;
}

}  // namespace tsl
