#include "matching/tie_summary.h"

#include <string>
#include <vector>

#include "logx.h"
#include "util/path.h"

namespace tsl {
namespace {

// Names listed in the warning; the report's "unconnected" keeps them all.
constexpr size_t WARNING_NAMES = 8;

// Ties per photo, summed over the pairs that hold it.
std::vector<double> ties_per_photo(std::span<const PairMatch> tie_pairs, size_t photos) {
  std::vector<double> ties(photos, 0.0);
  for (const PairMatch& p : tie_pairs) {
    if (p.i < ties.size()) ties[p.i] += static_cast<double>(p.n);
    if (p.j < ties.size()) ties[p.j] += static_cast<double>(p.n);
  }
  return ties;
}

std::vector<std::string> without_ties(std::span<const PairMatch> tie_pairs, std::span<const ImageMeta> images) {
  const std::vector<double> ties = ties_per_photo(tie_pairs, images.size());
  std::vector<std::string> names;
  for (size_t k = 0; k < images.size(); ++k)
    if (ties[k] == 0.0) names.push_back(file_name_string(images[k].path.native()));
  return names;
}

}  // namespace

void add_tie_summary(JsonValue& adjustment, std::span<const PairMatch> tie_pairs, size_t candidate_pairs,
                     std::span<const ImageMeta> images) {
  adjustment.set_f64s("ties_per_image", ties_per_photo(tie_pairs, images.size()));
  adjustment.set_f64s("pairs_matched", {static_cast<double>(tie_pairs.size()), static_cast<double>(candidate_pairs)});
  adjustment.set_strings("unconnected", without_ties(tie_pairs, images));
}

void settle_unconnected(JsonValue& adjustment, std::span<const PairMatch> solved_ties,
                        std::span<const ImageMeta> images) {
  const std::vector<std::string> unconnected = without_ties(solved_ties, images);
  adjustment.set_strings("unconnected", unconnected);
  if (unconnected.empty()) return;
  std::string names;
  for (size_t k = 0; k < unconnected.size() && k < WARNING_NAMES; ++k) names += (k == 0 ? "" : ", ") + unconnected[k];
  logf("  warning: {} image(s) had no tie points (metadata pose used): {}", unconnected.size(), names);
}

JsonValue tie_pair_list(std::span<const PairMatch> tie_pairs) {
  JsonArray list;
  list.reserve(tie_pairs.size());
  for (const PairMatch& p : tie_pairs)
    list.push_back(JsonValue::from_f64s(
        {static_cast<double>(p.i), static_cast<double>(p.j), static_cast<double>(p.n)}));
  return JsonValue(std::move(list));
}

}  // namespace tsl
