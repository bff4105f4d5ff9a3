#pragma once
// The decoded-photo memory cache of one build: decoded photos shared by every thread that asks
// for them, under a byte budget with least-recently-used eviction. Rendering, the seam pass
// and the dense stage key their entries by their own texts, so uses never share an entry.
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "imageio/load_image.h"
#include "meta/image_meta.h"

namespace tsl {

// Loads a photo at a fraction of its full size (load_image; tests hand in their own).
using ImageLoader = std::function<std::expected<DecodedImage, std::string>(const ImageMeta& photo, double scale)>;

struct ImageCache {
  struct Entry {
    std::shared_ptr<const DecodedImage> image;
    uint64_t last_use = 0;
  };

  double budget = 0.0;  // bytes; the images' samples only (2 bytes each)
  ImageLoader loader;

  std::mutex mutex;  // guards everything below; never held while a photo is decoded
  std::unordered_map<std::string, Entry> entries;
  uint64_t tick = 0;
  uint64_t used_bytes = 0;
  std::unordered_set<std::string> warned;  // paths of damaged photos already named in a warning

  explicit ImageCache(double budget_bytes, ImageLoader load = load_image);

  // The photo decoded at `scale`, from the cache or loaded (outside the lock) and inserted.
  // Insertion evicts the least recently used entries while the budget is exceeded, never the
  // new one; hits never evict. When two threads load the same key, the first insertion stays
  // and the second thread gets its own, uncached copy. A load error is returned unchanged and
  // leaves the entries as they were. The first load of a damaged photo (data cut short or
  // corrupt) logs one warning line with how much of it decoded.
  std::expected<std::shared_ptr<const DecodedImage>, std::string> get(const std::string& key, const ImageMeta& photo,
                                                                      double scale);
  // Logs the damage warning unless this photo was named already.
  void warn_damaged(const ImageMeta& photo, const DecodedImage& image);
};

}  // namespace tsl
