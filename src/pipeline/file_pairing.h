#pragma once
// One file per shot: a flight folder often holds the drone's JPG and DNG of one exposure
// and files a raw developer wrote from them. Files are grouped by folder and by a key taken
// from the name, one file of each group is read, a processed file is preferred over its
// originals, and the originals are remembered so their pose metadata can be borrowed.
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tsl {

// One shot's files during pairing.
struct InputGroup {
  std::filesystem::path folder;  // parent of the files, empty when a path has none
  std::string key;               // DJI key of the file name, else its normalised stem
  std::vector<std::filesystem::path> files;  // scan order, merged groups appended
};

// A processed file that is read, with the originals found next to it.
struct ProcessedPair {
  std::filesystem::path processed;
  std::vector<std::filesystem::path> originals;  // DNG files first, otherwise group order
};

struct PairedInputs {
  std::vector<std::filesystem::path> read_list;  // path order
  std::vector<ProcessedPair> pairs;              // group order
};

// The drone's capture key in the lower-cased file stem of `name`: "dji_" + 8 to 14 digits +
// "_" + 4 digits (DJI_20240315103012_0001_D gives dji_20240315103012_0001); nothing when the
// stem holds none. Old-style names such as DJI_0001 have none.
std::optional<std::string> dji_name_key(std::string_view name);

// The lower-cased file stem without spaces.
std::string normalised_stem(const std::filesystem::path& path);

// True when `longer` continues `shorter` past a separator (- _ space . parentheses), as a
// developer's "IMG_1234-Enhanced-NR" continues "IMG_1234"; never past a letter or digit, so
// "photo10" does not continue "photo1". Keys shorter than 6 bytes continue nothing.
bool key_continues(std::string_view longer, std::string_view shorter);

// Whether `file` looks like an original of the group keyed `key`: its stem is the DJI key
// itself or the key plus "_" and one letter; or, without a DJI key, its normalised stem is
// the group key.
bool match_original(const std::filesystem::path& file, std::string_view key);

// With `prefer` exactly "dng" the first DNG, otherwise the first non-DNG; the first file
// when none qualifies. `files` must not be empty.
const std::filesystem::path& pick_preferred(std::string_view prefer, std::span<const std::filesystem::path> files);

// Expands the inputs, groups, merges and selects. `use_originals` also reads one original
// of each processed file.
PairedInputs pair_inputs(std::span<const std::filesystem::path> inputs, std::string_view prefer, bool use_originals);

// (file name, "excluded") for each path whose file name equals one of `names`, in any
// letter case; names never match folders.
std::vector<std::pair<std::string, std::string>> find_excluded(std::span<const std::filesystem::path> read_list,
                                                               std::span<const std::string> names);

}  // namespace tsl
