#pragma once
// Disk-cache keys: a hash of everything a cached result depends on, with file identities
// given by their fingerprints.
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tsl {

// The first 24 lower-case hex digits of the SHA-1 of "3" followed by "|" and each part.
// Parts are not escaped: the single part "a|b" and the parts "a", "b" give the same key.
std::string cache_key(std::span<const std::string_view> parts);
std::string cache_key(std::span<const std::string> parts);
inline std::string cache_key(std::initializer_list<std::string_view> parts) {
  return cache_key(std::span<const std::string_view>(parts.begin(), parts.size()));
}

// "{canonical path}|{size in bytes}|{modification time in ns since 1970}" of a file, links
// followed; the path stays as given when it cannot be made canonical. Nothing when the
// file's metadata cannot be read or it was modified before 1970. A change of size or time
// gives a new fingerprint; another relative path to the same file gives the same one.
std::optional<std::string> file_fingerprint(const std::filesystem::path& path);

}  // namespace tsl
