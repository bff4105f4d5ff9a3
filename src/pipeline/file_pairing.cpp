#include "pipeline/file_pairing.h"

#include <algorithm>
#include <map>

#include "meta/file_kind.h"
#include "pipeline/input_scan.h"
#include "util/lower_case.h"
#include "util/path.h"

namespace tsl {

namespace fs = std::filesystem;

namespace {

// Below this a key such as "dsc1" is too generic to say that one name extends another.
constexpr size_t MIN_MERGE_KEY_BYTES = 6;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_separator(char c) { return c == '-' || c == '_' || c == ' ' || c == '.' || c == '(' || c == ')'; }

std::string group_key(const fs::path& file) {
  if (auto k = dji_name_key(file_name_string(file.native()))) return *k;
  return normalised_stem(file);
}

std::vector<fs::path> originals_dng_first(std::vector<fs::path> originals) {
  std::stable_partition(originals.begin(), originals.end(), [](const fs::path& p) { return is_dng_file(p); });
  return originals;
}

// Merges into each group the groups of the same folder whose key continues its key,
// shortest keys first. DJI keys identify a shot exactly and never merge.
void merge_groups(std::vector<std::optional<InputGroup>>& groups) {
  struct Entry {
    size_t group;
    std::string folder_id;
    bool mergeable;
  };
  std::vector<Entry> entries;
  for (size_t g = 0; g < groups.size(); ++g)
    entries.push_back({g, path_identity(groups[g]->folder), !dji_name_key(groups[g]->key).has_value()});
  std::stable_sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
    return groups[a.group]->key.size() < groups[b.group]->key.size();
  });
  for (size_t a = 0; a < entries.size(); ++a) {
    const Entry& ea = entries[a];
    if (!ea.mergeable || !groups[ea.group]) continue;
    for (size_t b = a + 1; b < entries.size(); ++b) {
      const Entry& eb = entries[b];
      if (!eb.mergeable || !groups[eb.group] || eb.folder_id != ea.folder_id) continue;
      if (!key_continues(groups[eb.group]->key, groups[ea.group]->key)) continue;
      auto& into = groups[ea.group]->files;
      auto& from = groups[eb.group]->files;
      into.insert(into.end(), from.begin(), from.end());
      groups[eb.group].reset();
    }
  }
}

}  // namespace

std::optional<std::string> dji_name_key(std::string_view name) {
  const std::string s = lower_unicode(file_stem_string(name));
  if (s.size() < 4) return std::nullopt;
  for (size_t i = 0; (i = s.find("dji_", i)) != std::string::npos; ++i) {
    const size_t digits_start = i + 4;
    size_t j = digits_start;
    while (j < s.size() && is_digit(s[j])) ++j;
    const size_t run = j - digits_start;
    if (run < 8 || run > 14 || j + 5 > s.size() || s[j] != '_') continue;
    if (!std::all_of(s.begin() + j + 1, s.begin() + j + 5, is_digit)) continue;
    return s.substr(i, j + 5 - i);
  }
  return std::nullopt;
}

std::string normalised_stem(const fs::path& path) {
  std::string s = lower_unicode(file_stem_string(path.native()));
  std::erase(s, ' ');
  return s;
}

bool key_continues(std::string_view longer, std::string_view shorter) {
  return shorter.size() >= MIN_MERGE_KEY_BYTES && longer.size() > shorter.size() && longer.starts_with(shorter) &&
         is_separator(longer[shorter.size()]);
}

bool match_original(const fs::path& file, std::string_view key) {
  const std::string stem = file_stem_string(file.native());
  if (auto k = dji_name_key(stem)) {
    const std::string s = lower_unicode(stem);
    if (s == *k) return true;
    return s.size() == k->size() + 2 && s.starts_with(*k) && s[k->size()] == '_' && s.back() >= 'a' &&
           s.back() <= 'z';
  }
  if (dji_name_key(file_name_string(file.native()))) return false;
  return normalised_stem(file) == key;
}

const fs::path& pick_preferred(std::string_view prefer, std::span<const fs::path> files) {
  const bool want_dng = prefer == "dng";
  for (const fs::path& f : files)
    if (is_dng_file(f) == want_dng) return f;
  return files.front();
}

PairedInputs pair_inputs(std::span<const fs::path> inputs, std::string_view prefer, bool use_originals) {
  const std::vector<fs::path> files = scan_inputs(inputs);
  std::vector<std::optional<InputGroup>> groups;
  std::map<std::pair<std::string, std::string>, size_t> index;  // (folder identity, key) -> group
  for (const fs::path& f : files) {
    fs::path folder = f.parent_path();
    std::string key = group_key(f);
    auto [it, added] = index.try_emplace({path_identity(folder), key}, groups.size());
    if (added)
      groups.push_back(InputGroup{std::move(folder), std::move(key), {f}});
    else
      groups[it->second]->files.push_back(f);
  }
  merge_groups(groups);

  PairedInputs out;
  for (const auto& g : groups) {
    if (!g) continue;
    std::vector<fs::path> originals, processed;
    for (const fs::path& f : g->files) (match_original(f, g->key) ? originals : processed).push_back(f);
    if (originals.empty() || processed.empty()) {
      out.read_list.push_back(pick_preferred(prefer, g->files));
      continue;
    }
    const fs::path& p = pick_preferred(prefer, processed);
    out.read_list.push_back(p);
    if (use_originals) out.read_list.push_back(pick_preferred(prefer, originals));
    out.pairs.push_back({p, originals_dng_first(std::move(originals))});
  }
  std::sort(out.read_list.begin(), out.read_list.end());
  return out;
}

std::vector<std::pair<std::string, std::string>> find_excluded(std::span<const fs::path> read_list,
                                                               std::span<const std::string> names) {
  std::vector<std::string> lowered;
  for (const std::string& n : names) lowered.push_back(lower_unicode(n));
  std::vector<std::pair<std::string, std::string>> out;
  for (const fs::path& p : read_list) {
    const std::string name = file_name_string(p.native());
    if (std::find(lowered.begin(), lowered.end(), lower_unicode(name)) != lowered.end())
      out.emplace_back(name, "excluded");
  }
  return out;
}

}  // namespace tsl
