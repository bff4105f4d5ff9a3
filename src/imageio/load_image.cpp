#include "imageio/load_image.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <variant>

#include "cache/cache_key.h"
#include "cache/disk_cache.h"
#include "img/dng/develop.h"
#include "img/dng/orientation.h"
#include "img/jpeg/decode.h"
#include "img/ops/resample.h"
#include "img/tiff/tiff_image.h"
#include "imageio/lens_corrections.h"
#include "imageio/srgb.h"
#include "logx.h"
#include "meta/file_kind.h"
#include "meta/meta_reader.h"
#include "util/text.h"

namespace tsl {
namespace {

// Requests this close below 1/2, 1/4 and 1/8 are served by the JPEG decoder's reduced sizes.
constexpr double JPEG_REDUCTION_SLACK = 1.02;
// A decoded image up to 5 % larger than requested is kept as it is.
constexpr double KEEP_ABOVE = 0.95;
constexpr double TOO_LARGE = 1.05;

std::expected<std::vector<uint8_t>, std::string> read_photo(const ImageMeta& photo) {
  auto bytes = read_whole_file(photo.path, PHOTO_FILE_LIMIT);
  if (!bytes) return std::unexpected(format("cannot read {}: {}", photo.path.string(), bytes.error()));
  return bytes;
}

// A photo's full size on one axis. A record without a size (a caller's own, never the
// reader's for a decodable file) takes the decoded size rather than dividing by zero.
double full_size(uint64_t meta_size, uint64_t decoded) {
  return static_cast<double>(meta_size != 0 ? meta_size : decoded);
}

// A size scaled and rounded halves away from zero, at least 1.
size_t scaled_size(size_t n, double factor) {
  const double v = std::round(static_cast<double>(n) * factor);
  return v >= 1.0 ? static_cast<size_t>(v) : 1;
}

template <typename T>
ImageF32 to_f32(const Image<T>& src) {
  ImageF32 out;
  out.width = src.width;
  out.height = src.height;
  out.channels = src.channels;
  out.data.assign(src.data.begin(), src.data.end());
  return out;
}

// Back to integers, rounding halves away from zero and clamping to 0..top.
template <typename T>
Image<T> from_f32(const ImageF32& src, float top) {
  Image<T> out(src.width, src.height, src.channels);
  for (size_t i = 0; i < src.data.size(); ++i) {
    const float v = src.data[i];
    out.data[i] = static_cast<T>(v > 0.0f ? std::min(std::round(v), top) : 0.0f);
  }
  return out;
}

// The final size rule: an image more than 5 % larger than requested is resampled, in linear
// light, to the requested fraction of the full size.
ImageU16 fit_to_scale(ImageU16 image, double s, double full_w) {
  const double w = static_cast<double>(image.width);
  if (!(s < KEEP_ABOVE) || !(w / full_w > TOO_LARGE * s)) return image;
  const double t = s * full_w / w;
  const ImageF32 resized =
      resize(to_f32(image), scaled_size(image.width, t), scaled_size(image.height, t));
  return from_f32<uint16_t>(resized, 65535.0f);
}

// Applies the lens items in stored order; an item that cannot be applied is skipped with a
// warning, so a malformed correction never fails the photo or reads outside its map.
void apply_lens_ops(ImageU16& image, const ImageMeta& photo) {
  for (const LensOp& op : photo.lens_ops) {
    std::optional<std::string> problem;
    if (const auto* v = std::get_if<VignOp>(&op)) {
      problem = vignette_problem(*v);
      if (!problem) apply_vignette(image, *v);
    } else if (const auto* g = std::get_if<GainOp>(&op)) {
      problem = gain_map_problem(*g);
      if (!problem) apply_gain_map(image, *g);
    }
    if (problem)
      logf("  warning: {}: {} correction skipped ({})", photo.path.filename().string(), lens_op_name(op), *problem);
  }
}

std::expected<ImageU16, std::string> decode_dng(const ImageMeta& photo, double s) {
  auto developed = [&]() -> std::expected<DevelopedDng, std::string> {
    auto bytes = read_photo(photo);
    if (!bytes) return std::unexpected(bytes.error());
    auto dng = develop_dng_unoriented(*bytes, s <= 0.5);
    if (!dng) return std::unexpected(format("cannot read {}: {}", photo.path.string(), dng.error()));
    return dng;
  }();
  if (!developed) return std::unexpected(developed.error());
  // The corrections are in sensor coordinates, so they run before the image is turned.
  apply_lens_ops(developed->image, photo);
  return orient_image(std::move(developed->image), developed->orientation);
}

std::expected<ImageU16, std::string> decode_tiff(const ImageMeta& photo) {
  auto bytes = read_photo(photo);
  if (!bytes) return std::unexpected(bytes.error());
  auto tiff = read_tiff_image(*bytes);
  if (!tiff) return std::unexpected(format("cannot read {}: {}", photo.path.string(), tiff.error()));
  const auto& t8 = srgb_to_linear_8();
  const auto t16 = srgb_to_linear_16();
  ImageU16 out;
  out.width = tiff->width;
  out.height = tiff->height;
  out.channels = 3;
  out.data = std::move(tiff->samples);
  if (tiff->bits_per_sample == 8)
    for (uint16_t& v : out.data) v = t8[std::min<uint16_t>(v, 255)];
  else
    for (uint16_t& v : out.data) v = t16[v];
  return out;
}

// A JPEG decoded reduced when the request allows, shrunk further in sRGB-encoded 8 bits when
// still too large, then linearised; with the fraction still to apply.
struct JpegPhoto {
  ImageU16 image;
  double remaining_scale = 1.0;
  uint64_t valid_rows = UINT64_MAX;
  bool damaged = false;
};

// Valid rows carried through a resize from `from` to `to` rows: only rows made wholly from
// valid ones stay valid.
uint64_t resized_valid_rows(uint64_t valid, size_t from, size_t to) {
  if (valid >= from) return UINT64_MAX;
  return static_cast<uint64_t>(std::floor(static_cast<double>(valid) * static_cast<double>(to) / static_cast<double>(from)));
}

std::expected<JpegPhoto, std::string> decode_jpeg_photo(const ImageMeta& photo, double s, double full_w) {
  auto bytes = read_photo(photo);
  if (!bytes) return std::unexpected(bytes.error());
  const unsigned d = s <= JPEG_REDUCTION_SLACK / 8   ? 8
                     : s <= JPEG_REDUCTION_SLACK / 4 ? 4
                     : s <= JPEG_REDUCTION_SLACK / 2 ? 2
                                                     : 1;
  // The 8-bit decode lives only until its 16-bit copy is made; a thread decoding photo after
  // photo keeps its buffer, so that each decode does not map and fault in fresh pages.
  thread_local ImageU8 scratch;
  auto decoded = decode_jpeg_partial(*bytes, d, &scratch);
  if (!decoded) return std::unexpected(format("cannot read {}: {}", photo.path.string(), decoded.error()));
  bytes->clear();
  bytes->shrink_to_fit();
  JpegPhoto out;
  out.damaged = decoded->damaged;
  ImageU8 reduced = std::move(decoded->image);
  out.valid_rows = decoded->valid_rows >= reduced.height ? UINT64_MAX : decoded->valid_rows;
  const double w = static_cast<double>(reduced.width);
  if (KEEP_ABOVE * full_w > w) s = s * full_w / w;
  if (s < KEEP_ABOVE) {
    const size_t h = reduced.height;
    const ImageF32 resized = resize(to_f32(reduced), scaled_size(reduced.width, s), scaled_size(reduced.height, s));
    reduced = from_f32<uint8_t>(resized, 255.0f);
    out.valid_rows = resized_valid_rows(out.valid_rows, h, reduced.height);
    s = 1.0;
  }
  const auto& t8 = srgb_to_linear_8();
  out.image = ImageU16(reduced.width, reduced.height, 3);
  for (size_t i = 0; i < reduced.data.size(); ++i) out.image.data[i] = t8[reduced.data[i]];
  out.remaining_scale = s;
  scratch = std::move(reduced);
  return out;
}

std::optional<DecodedImage> cached_image(const CacheRecord& record, const ImageMeta& photo) {
  const auto dims = record.get_f64s("dims");
  auto img = record.get_u16s("img");
  if (!dims || dims->size() < 2 || !img) return std::nullopt;
  // Saturating conversion: NaN and negatives give 0, values past the range the largest.
  auto to_u64 = [](double v) -> uint64_t {
    if (!(v > 0.0)) return 0;
    if (v >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(v);
  };
  const uint64_t w = to_u64((*dims)[0]), h = to_u64((*dims)[1]);
  uint64_t pixels = 0, samples = 0;
  if (w == 0 || h == 0 || __builtin_mul_overflow(w, h, &pixels) || __builtin_mul_overflow(pixels, 3, &samples) ||
      samples != img->size())
    return std::nullopt;
  DecodedImage out;
  out.image.width = w;
  out.image.height = h;
  out.image.channels = 3;
  out.image.data = std::move(*img);
  out.scale_x = static_cast<double>(w) / full_size(photo.width, w);
  out.scale_y = static_cast<double>(h) / full_size(photo.height, h);
  return out;
}

// The largest decoded record of the photo: its full size in 16-bit RGB (a load never
// enlarges), a row and a column more for rounding, and the record's few header bytes.
uint64_t decoded_record_max_bytes(const ImageMeta& photo) {
  constexpr double HEADER_BYTES = 64.0;
  const double bytes = (static_cast<double>(photo.width) + 1.0) * (static_cast<double>(photo.height) + 1.0) * 6.0 + HEADER_BYTES;
  return bytes < 1.8e19 ? static_cast<uint64_t>(bytes) : UINT64_MAX;
}

}  // namespace

std::string cache_scale_text(double scale) { return shortest_positional(std::round(scale * 10000.0) / 10000.0); }

std::string lens_kinds_text(const ImageMeta& photo) {
  std::string text = "(";
  for (size_t i = 0; i < photo.lens_ops.size(); ++i) {
    if (i) text += ", ";
    text += format("'{}'", lens_op_name(photo.lens_ops[i]));
  }
  return text + ")";
}

std::expected<DecodedImage, std::string> decode_image(const ImageMeta& photo, double scale) {
  std::expected<ImageU16, std::string> image;
  double s = scale;
  uint64_t valid_rows = UINT64_MAX;
  bool damaged = false;
  if (photo.is_dng) {
    image = decode_dng(photo, s);
  } else {
    const std::string ext = lower_extension(photo.path);
    if (ext == "tif" || ext == "tiff") {
      image = decode_tiff(photo);
    } else {
      auto jpeg = decode_jpeg_photo(photo, s, static_cast<double>(photo.width));
      if (!jpeg) return std::unexpected(jpeg.error());
      image = std::move(jpeg->image);
      s = jpeg->remaining_scale;
      valid_rows = jpeg->valid_rows;
      damaged = jpeg->damaged;
    }
  }
  if (!image) return std::unexpected(image.error());
  const double full_w = full_size(photo.width, image->width);
  const double full_h = full_size(photo.height, image->height);
  DecodedImage out;
  const size_t decoded_h = image->height;
  out.image = fit_to_scale(std::move(*image), s, full_w);
  out.scale_x = static_cast<double>(out.image.width) / full_w;
  out.scale_y = static_cast<double>(out.image.height) / full_h;
  out.valid_rows = resized_valid_rows(valid_rows, decoded_h, out.image.height);
  out.damaged = damaged;
  return out;
}

float covered_photo_rows(const DecodedImage& image) {
  if (image.valid_rows >= image.image.height) return std::numeric_limits<float>::infinity();
  // A bicubic sample reaches two rows below its position.
  const double rows = std::max(static_cast<double>(image.valid_rows) - 2.0, 0.0);
  return static_cast<float>(rows / image.scale_y);
}

std::expected<DecodedImage, std::string> load_image(const ImageMeta& photo, double scale) {
  if (!photo.is_dng || !cache_enabled()) return decode_image(photo, scale);
  const auto fingerprint = file_fingerprint(photo.path);
  if (!fingerprint) return decode_image(photo, scale);
  const std::string scale_text = cache_scale_text(scale);
  const std::string kinds = lens_kinds_text(photo);
  const std::string key = cache_key({"dec", *fingerprint, scale_text, kinds});
  if (auto record = cache_load("decoded", key, decoded_record_max_bytes(photo))) {
    if (auto hit = cached_image(*record, photo)) return std::move(*hit);
    cache_hit_unusable();
  }
  auto decoded = decode_image(photo, scale);
  if (!decoded) return decoded;
  CacheRecord record;
  record.put_f64_pair("dims", static_cast<double>(decoded->image.width), static_cast<double>(decoded->image.height));
  record.put_u16s("img", decoded->image.data);
  cache_store("decoded", key, record);
  return decoded;
}

}  // namespace tsl
