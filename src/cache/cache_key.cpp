#include "cache/cache_key.h"

#include <chrono>
#include <cstdint>

#include "util/sha1.h"
#include "util/text.h"

namespace tsl {

namespace {

// Every key starts from this text; changing it would give every entry a new key.
constexpr std::string_view KEY_PREFIX = "3";
constexpr size_t KEY_DIGITS = 24;

template <typename Part>
std::string key_of(std::span<const Part> parts) {
  std::string text(KEY_PREFIX);
  for (const Part& p : parts) {
    text += '|';
    text += p;
  }
  const auto digest = sha1(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  static constexpr char HEX[] = "0123456789abcdef";
  std::string hex;
  for (uint32_t word : digest)
    for (int shift = 28; shift >= 0; shift -= 4) hex += HEX[(word >> shift) & 0xF];
  return hex.substr(0, KEY_DIGITS);
}

}  // namespace

std::string cache_key(std::span<const std::string_view> parts) { return key_of(parts); }

std::string cache_key(std::span<const std::string> parts) { return key_of(parts); }

std::optional<std::string> file_fingerprint(const std::filesystem::path& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const uintmax_t size = fs::file_size(path, ec);
  if (ec) return std::nullopt;
  const fs::file_time_type modified = fs::last_write_time(path, ec);
  if (ec) return std::nullopt;
  const auto since_epoch = std::chrono::file_clock::to_sys(modified).time_since_epoch();
  if (since_epoch.count() < 0) return std::nullopt;
  const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
  fs::path canonical = fs::canonical(path, ec);
  if (ec) canonical = path;
  return format("{}|{}|{}", canonical.string(), static_cast<uint64_t>(size), ns);
}

}  // namespace tsl
