#include "matching/tie_files.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "logx.h"
#include "matching/match_pair.h"
#include "util/count.h"
#include "util/files.h"
#include "util/json.h"
#include "util/text.h"

namespace tsl {
namespace {

std::vector<Vec2> member_points(const JsonValue& pair, std::string_view key) {
  const JsonValue& v = pair[key];
  if (!v.is_array()) return {};
  return parse_xy_list(v.as_array());
}

bool all_finite(const std::vector<Vec2>& points) {
  for (const Vec2& p : points)
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) return false;
  return true;
}

// Why later stages could not use the pair, or nothing.
std::optional<std::string> unusable_reason(const PairMatch& p, size_t photo_count) {
  if (p.i >= photo_count || p.j >= photo_count)
    return format("photo index out of range (the build has {} photos)", photo_count);
  if (p.i == p.j) return std::string("pairs a photo with itself");
  if (p.a.size() != p.b.size()) return format("\"a\" has {} points but \"b\" {}", p.a.size(), p.b.size());
  if (p.a_all.size() != p.b_all.size())
    return format("\"a_all\" has {} points but \"b_all\" {}", p.a_all.size(), p.b_all.size());
  if (!all_finite(p.a) || !all_finite(p.b) || !all_finite(p.a_all) || !all_finite(p.b_all))
    return std::string("a point is not a finite number");
  return std::nullopt;
}

std::expected<JsonValue, std::string> read_document(const std::filesystem::path& path) {
  auto text = read_text_file(path, DOCUMENT_FILE_LIMIT);
  if (!text) return std::unexpected(text.error());
  return json_parse(*text);
}

// The entries `order` picks from both lists.
void keep_entries(std::vector<Vec2>& a, std::vector<Vec2>& b, const std::vector<size_t>& order) {
  std::vector<Vec2> ka, kb;
  ka.reserve(order.size());
  kb.reserve(order.size());
  for (size_t t : order) {
    ka.push_back(a[t]);
    kb.push_back(b[t]);
  }
  a = std::move(ka);
  b = std::move(kb);
}

}  // namespace

std::vector<JsonValue> xy_list_to_json(std::span<const Vec2> points) {
  std::vector<JsonValue> out;
  out.reserve(points.size());
  for (const Vec2& p : points) out.emplace_back(JsonArray{JsonValue(p.x), JsonValue(p.y)});
  return out;
}

std::vector<Vec2> parse_xy_list(std::span<const JsonValue> items) {
  std::vector<Vec2> out;
  out.reserve(items.size());
  for (const JsonValue& e : items) out.push_back({json_number_or_zero(e.at(0)), json_number_or_zero(e.at(1))});
  return out;
}

std::vector<JsonValue> write_matches_json(std::span<const PairMatch> pairs) {
  std::vector<JsonValue> out;
  out.reserve(pairs.size());
  for (const PairMatch& p : pairs) {
    JsonValue o = JsonValue::empty_object();
    o.set_u64("i", p.i);
    o.set_u64("j", p.j);
    o.set_array("a", xy_list_to_json(p.a));
    o.set_array("b", xy_list_to_json(p.b));
    o.set_array("a_all", xy_list_to_json(p.a_all));
    o.set_array("b_all", xy_list_to_json(p.b_all));
    out.push_back(std::move(o));
  }
  return out;
}

std::vector<PairMatch> read_matches_json(std::span<const JsonValue> items) {
  std::vector<PairMatch> out;
  out.reserve(items.size());
  for (const JsonValue& e : items) {
    PairMatch p;
    p.a = member_points(e, "a");
    const std::vector<double> ratio = e["logratio"].to_f64_vec();
    if (ratio.size() == 3) p.log_ratio = std::array<double, 3>{ratio[0], ratio[1], ratio[2]};
    p.i = to_count(json_number_or_zero(e["i"]));
    p.j = to_count(json_number_or_zero(e["j"]));
    p.b = member_points(e, "b");
    p.a_all = member_points(e, "a_all");
    p.b_all = member_points(e, "b_all");
    p.n = p.a.size();
    out.push_back(std::move(p));
  }
  return out;
}

std::optional<std::vector<std::string>> read_turned_json(std::span<const JsonValue> items) {
  std::optional<std::vector<std::string>> names;
  for (const JsonValue& e : items) {
    const JsonValue& t = e["turned"];
    if (!t.is_array()) continue;
    if (!names) names.emplace();
    for (const JsonValue& name : t.as_array())
      if (name.is_string() && std::find(names->begin(), names->end(), name.as_string()) == names->end())
        names->push_back(name.as_string());
  }
  return names;
}

std::expected<std::vector<PairMatch>, std::string> read_tie_file(const std::filesystem::path& path) {
  auto doc = read_document(path);
  if (!doc) return std::unexpected(doc.error());
  if (!doc->is_array()) return std::vector<PairMatch>{};
  return read_matches_json(doc->as_array());
}

std::expected<void, std::string> write_tie_file(const std::filesystem::path& path, std::span<const PairMatch> pairs,
                                                const std::optional<std::vector<std::string>>& turned) {
  std::vector<JsonValue> items = write_matches_json(pairs);
  if (turned && !items.empty()) items.front().set_strings("turned", *turned);
  return write_file_atomic(path, json_to_string(JsonValue(std::move(items))));
}

std::vector<PairMatch> keep_usable_ties(std::vector<PairMatch> pairs, size_t photo_count) {
  std::vector<PairMatch> kept;
  kept.reserve(pairs.size());
  for (size_t k = 0; k < pairs.size(); ++k) {
    if (auto why = unusable_reason(pairs[k], photo_count)) {
      logf("  warning: tie pair {} ({}, {}) dropped: {}", k, pairs[k].i, pairs[k].j, *why);
      continue;
    }
    kept.push_back(std::move(pairs[k]));
  }
  return kept;
}

bool thin_injected(PairMatch& pair, const ImageMeta& photo_i, uint64_t max_ties, uint64_t max_inliers) {
  const double cell_w = static_cast<double>(photo_i.width) / THIN_CELLS;
  const double cell_h = static_cast<double>(photo_i.height) / THIN_CELLS;
  const uint64_t seed = pair_seed(pair.i, pair.j);
  bool thinned = false;
  if (pair.a.size() > max_ties) {
    keep_entries(pair.a, pair.b, thin_order(cell_w, cell_h, pair.a, max_ties, seed));
    thinned = true;
  }
  if (pair.a_all.size() > max_inliers) {
    keep_entries(pair.a_all, pair.b_all, thin_order(cell_w, cell_h, pair.a_all, max_inliers, seed));
    thinned = true;
  }
  pair.n = pair.a.size();
  return thinned;
}

std::expected<InjectedTies, std::string> inject_tie_file(const std::filesystem::path& path,
                                                         std::span<const ImageMeta> images, uint64_t max_ties,
                                                         uint64_t max_inliers) {
  auto doc = read_document(path);
  if (!doc) return std::unexpected(format("cannot read tie file {}: {}", path.string(), doc.error()));
  InjectedTies out;
  if (!doc->is_array()) {
    logf("  {} matches injected", 0);
    return out;
  }
  const std::optional<std::vector<std::string>> turned = read_turned_json(doc->as_array());
  out.pairs = keep_usable_ties(read_matches_json(doc->as_array()), images.size());
  *doc = JsonValue();  // the document is many times the size of its points
  size_t thinned = 0;
  for (PairMatch& p : out.pairs) thinned += thin_injected(p, images[p.i], max_ties, max_inliers);
  if (thinned > 0)
    logf("  {} injected pair(s) thinned to {} ties and {} correspondences each", thinned, max_ties, max_inliers);
  logf("  {} matches injected", out.pairs.size());
  if (turned) {
    out.turned.emplace();
    for (const std::string& name : *turned) {
      size_t p = 0;
      while (p < images.size() && images[p].path.filename().string() != name) ++p;
      if (p == images.size())
        logf("  warning: tie file turns {}, which this build does not have", name);
      else
        out.turned->push_back(p);
    }
    std::sort(out.turned->begin(), out.turned->end());
  }
  return out;
}

}  // namespace tsl
