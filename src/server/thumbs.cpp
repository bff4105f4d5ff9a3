#include "server/thumbs.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <semaphore>
#include <utility>

#include "img/dng/develop.h"
#include "img/jpeg/decode.h"
#include "img/jpeg/encode.h"
#include "img/ops/resample.h"
#include "img/tiff/tiff_file.h"
#include "img/tiff/tiff_image.h"
#include "meta/file_kind.h"
#include "meta/meta_reader.h"
#include "util/files.h"

namespace tsl {
namespace {

using ThumbKey = std::pair<std::string, uint64_t>;

struct ThumbCache {
  std::mutex mutex;
  std::map<ThumbKey, std::shared_ptr<const std::vector<uint8_t>>> entries;
  uint64_t bytes = 0;  // of all entries
};

ThumbCache& thumb_cache() {
  static ThumbCache c;
  return c;
}

// Thumbnails made at once: each holds its whole file (up to PHOTO_FILE_LIMIT) and a decoded
// image, so their number bounds the memory of thumbnail work; a page loads its list a few at a
// time anyway.
std::counting_semaphore<>& thumb_workers() {
  static std::counting_semaphore<> s(THUMB_WORKERS);
  return s;
}

struct WorkerSlot {
  WorkerSlot() { thumb_workers().acquire(); }
  ~WorkerSlot() { thumb_workers().release(); }
  WorkerSlot(const WorkerSlot&) = delete;
  WorkerSlot& operator=(const WorkerSlot&) = delete;
};

// The target size of a W x H image for `size`: never larger, at least 1 x 1.
std::pair<size_t, size_t> thumb_dims(size_t w, size_t h, uint64_t size) {
  double s = std::min(static_cast<double>(size) / static_cast<double>(std::max(w, h)), 1.0);
  auto side = [&](size_t v) { return std::max<size_t>(1, static_cast<size_t>(std::round(static_cast<double>(v) * s))); };
  return {side(w), side(h)};
}

ImageF32 resized(const ImageF32& image, uint64_t size) {
  auto [w, h] = thumb_dims(image.width, image.height, size);
  return resize(image, w, h);
}

// 0..255 float samples to bytes, rounded halves away from zero.
ImageU8 to_bytes(const ImageF32& image) {
  ImageU8 out(image.width, image.height, image.channels);
  for (size_t i = 0; i < image.data.size(); ++i)
    out.data[i] = static_cast<uint8_t>(std::clamp(std::round(image.data[i]), 0.0f, 255.0f));
  return out;
}

std::expected<std::vector<uint8_t>, std::string> encode(const ImageU8& image) { return encode_jpeg(image, 82); }

std::expected<std::vector<uint8_t>, std::string> jpeg_route(std::span<const uint8_t> bytes, uint64_t size) {
  auto info = probe_jpeg(bytes);
  if (!info) return std::unexpected(std::string("not a JPEG"));
  unsigned d = thumb_denominator(info->width, info->height, size);
  auto decoded = decode_jpeg(bytes, d);
  if (!decoded) return std::unexpected(decoded.error());
  ImageF32 f(decoded->width, decoded->height, 3);
  for (size_t i = 0; i < f.data.size(); ++i) f.data[i] = decoded->data[i];
  return encode(to_bytes(resized(f, size)));
}

std::expected<std::vector<uint8_t>, std::string> tiff_route(std::span<const uint8_t> bytes, uint64_t size) {
  auto image = read_tiff_image(bytes);
  if (!image) return std::unexpected(image.error());
  ImageF32 f(image->width, image->height, 3);
  const bool wide = image->bits_per_sample == 16;
  for (size_t i = 0; i < f.data.size(); ++i) f.data[i] = static_cast<float>(wide ? image->samples[i] >> 8 : image->samples[i]);
  return encode(to_bytes(resized(f, size)));
}

// The largest embedded JPEG preview of a DNG, as a byte range.
std::optional<std::span<const uint8_t>> dng_preview(std::span<const uint8_t> bytes) {
  auto file = parse_tiff(bytes);
  if (!file) return std::nullopt;
  const bool le = file->little_endian;
  std::optional<std::span<const uint8_t>> best;
  uint64_t best_width = 0;
  // A tag that is present must hold a value; such a directory is skipped otherwise.
  auto value = [&](const Ifd& ifd, uint16_t tag, bool& broken) -> std::optional<uint64_t> {
    const TiffEntry* e = find_entry(ifd, tag);
    if (!e) return std::nullopt;
    auto values = tag_u64s(*e, le);
    if (values.empty()) {
      broken = true;
      return std::nullopt;
    }
    return values[0];
  };
  for (const Ifd* ifd : image_ifds(*file)) {
    bool broken = false;
    auto compression = value(*ifd, 259, broken);
    auto photometric = value(*ifd, 262, broken);
    auto width = value(*ifd, 256, broken);
    if (broken || !compression || (*compression != 6 && *compression != 7)) continue;
    if (photometric && (*photometric == 32803 || *photometric == 34892)) continue;
    const TiffEntry* start_entry = find_entry(*ifd, 273);
    if (!start_entry) start_entry = find_entry(*ifd, 513);
    if (!start_entry) continue;
    auto starts = tag_u64s(*start_entry, le);
    if (starts.size() != 1) continue;
    const TiffEntry* length_entry = find_entry(*ifd, 279);
    if (!length_entry) length_entry = find_entry(*ifd, 514);
    if (!length_entry) continue;
    auto lengths = tag_u64s(*length_entry, le);
    if (lengths.empty()) continue;
    uint64_t start = starts[0], length = lengths[0];
    if (start > bytes.size() || length > bytes.size() - start) continue;
    uint64_t w = width.value_or(0);
    if (!best || w > best_width) {
      best = bytes.subspan(start, length);
      best_width = w;
    }
  }
  return best;
}

std::expected<std::vector<uint8_t>, std::string> dng_route(std::span<const uint8_t> bytes, uint64_t size) {
  if (auto preview = dng_preview(bytes)) {
    if (size >= 400) return std::vector<uint8_t>(preview->begin(), preview->end());
    return jpeg_route(*preview, size);
  }
  auto developed = develop_dng(bytes, true);
  if (!developed) return std::unexpected(developed.error());
  ImageF32 f(developed->width, developed->height, 3);
  for (size_t i = 0; i < f.data.size(); ++i) f.data[i] = static_cast<float>(developed->data[i]) / 65535.0f;
  ImageF32 small = resized(f, size);
  ImageU8 out(small.width, small.height, 3);
  for (size_t i = 0; i < small.data.size(); ++i) {
    double x = std::clamp(static_cast<double>(small.data[i]), 0.0, 1.0);
    double e = x <= 0.0031308 ? 12.92 * x : 1.055 * std::pow(x, 1.0 / 2.4) - 0.055;
    out.data[i] = static_cast<uint8_t>(std::clamp(std::round(e * 255.0), 0.0, 255.0));
  }
  return encode(out);
}

}  // namespace

unsigned thumb_denominator(uint64_t w, uint64_t h, uint64_t size) {
  for (unsigned d : {8u, 4u, 2u})
    if (w / d >= size && h / d >= size / 2) return d;
  return 1;
}

std::expected<std::vector<uint8_t>, std::string> make_thumbnail(std::string_view path, std::span<const uint8_t> bytes,
                                                                uint64_t size) {
  std::string ext = lower_extension(std::filesystem::path(std::string(path)));
  if (ext == "dng") return dng_route(bytes, size);
  if (ext == "tif" || ext == "tiff") return tiff_route(bytes, size);
  return jpeg_route(bytes, size);
}

HttpResponse api_thumb(const HttpRequest& request) {
  std::string path = query_param(request, "path");
  uint64_t size = parse_unsigned_plus(query_param(request, "size")).value_or(320);
  ThumbKey key{path, size};
  std::shared_ptr<const std::vector<uint8_t>> bytes;
  {
    ThumbCache& cache = thumb_cache();
    std::lock_guard lock(cache.mutex);
    auto it = cache.entries.find(key);
    if (it != cache.entries.end()) bytes = it->second;
  }
  if (!bytes) {
    WorkerSlot slot;
    // The size is known before the read: a file larger than any photo is refused unread.
    auto file = read_whole_file(std::filesystem::path(path), PHOTO_FILE_LIMIT);
    if (!file) return error_response(file.error(), 404);
    auto thumb = make_thumbnail(path, *file, size);
    if (!thumb) return error_response(thumb.error(), 404);
    bytes = std::make_shared<const std::vector<uint8_t>>(std::move(*thumb));
    ThumbCache& cache = thumb_cache();
    std::lock_guard lock(cache.mutex);
    if (cache.entries.size() > THUMB_CACHE_LIMIT || cache.bytes + bytes->size() > THUMB_CACHE_MAX_BYTES) {
      cache.entries.clear();
      cache.bytes = 0;
    }
    auto [it, added] = cache.entries.insert_or_assign(std::move(key), bytes);
    (void)it;
    if (added) cache.bytes += bytes->size();
  }
  HttpResponse r;
  r.content_type = "image/jpeg";
  r.body.assign(bytes->begin(), bytes->end());
  r.cacheable = true;
  return r;
}

void clear_thumb_cache() {
  ThumbCache& cache = thumb_cache();
  std::lock_guard lock(cache.mutex);
  cache.entries.clear();
  cache.bytes = 0;
}

size_t thumb_cache_size() {
  ThumbCache& cache = thumb_cache();
  std::lock_guard lock(cache.mutex);
  return cache.entries.size();
}

}  // namespace tsl
