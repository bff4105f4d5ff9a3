#pragma once
// GET /api/thumb: small JPEGs of input photos (JPEG, TIFF, DNG) for the page's image lists,
// made on demand and kept in a process-wide memory cache keyed by path text and size.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "server/http.h"

namespace tsl {

// The cache is emptied whole when it passes either bound. 2000 thumbnails of 320 px are about
// 40 MB; embedded DNG previews served as they are run to a few MB each, hence the byte bound.
inline constexpr size_t THUMB_CACHE_LIMIT = 2000;
inline constexpr uint64_t THUMB_CACHE_MAX_BYTES = 128ull << 20;
inline constexpr std::ptrdiff_t THUMB_WORKERS = 4;

// Photos above PHOTO_FILE_LIMIT are refused before they are read.
HttpResponse api_thumb(const HttpRequest& request);

// The thumbnail's JPEG bytes for a file's bytes, routed by the file name's extension; the
// longer side is at most `size` (images are never enlarged).
std::expected<std::vector<uint8_t>, std::string> make_thumbnail(std::string_view path, std::span<const uint8_t> bytes,
                                                                uint64_t size);

// The decoding denominator for a JPEG of w x h: the largest of 8, 4, 2 that keeps the width at
// least `size` and the height at least size / 2; 1 when none does.
unsigned thumb_denominator(uint64_t w, uint64_t h, uint64_t size);

// Empties the cache (POST /api/reset).
void clear_thumb_cache();
size_t thumb_cache_size();

}  // namespace tsl
