#include "imageio/image_cache.h"

#include <algorithm>
#include <utility>

#include "logx.h"
#include "util/path.h"

namespace tsl {

ImageCache::ImageCache(double budget_bytes, ImageLoader load) : budget(budget_bytes), loader(std::move(load)) {}

void ImageCache::warn_damaged(const ImageMeta& photo, const DecodedImage& image) {
  {
    std::lock_guard lock(mutex);
    if (!warned.insert(photo.path.native()).second) return;
  }
  const uint64_t h = image.image.height;
  const uint64_t valid = std::min<uint64_t>(image.valid_rows, h);
  logf("  warning: {}: image data ends early or is corrupt; {} of {} rows decoded ({:.0}%), the rest is not used",
       file_name_string(photo.path.native()), valid, h, h == 0 ? 0.0 : 100.0 * static_cast<double>(valid) / static_cast<double>(h));
}

std::expected<std::shared_ptr<const DecodedImage>, std::string> ImageCache::get(const std::string& key,
                                                                                const ImageMeta& photo, double scale) {
  {
    std::lock_guard lock(mutex);
    const uint64_t t = ++tick;
    if (auto it = entries.find(key); it != entries.end()) {
      it->second.last_use = t;
      return it->second.image;
    }
  }
  auto loaded = loader(photo, scale);
  if (!loaded) return std::unexpected(std::move(loaded.error()));
  auto image = std::make_shared<const DecodedImage>(std::move(*loaded));
  if (image->damaged) warn_damaged(photo, *image);

  std::lock_guard lock(mutex);
  if (entries.contains(key)) return image;
  const uint64_t bytes = static_cast<uint64_t>(image->image.data.size()) * 2;
  entries.emplace(key, Entry{image, ++tick});
  used_bytes += bytes;
  while (static_cast<double>(used_bytes) > budget && entries.size() > 1) {
    auto oldest = entries.begin();
    for (auto it = entries.begin(); it != entries.end(); ++it)
      if (it->second.last_use < oldest->second.last_use) oldest = it;
    used_bytes -= static_cast<uint64_t>(oldest->second.image->image.data.size()) * 2;
    entries.erase(oldest);
  }
  return image;
}

}  // namespace tsl
