#include "matching/tie_files.h"

#include <cmath>
#include <optional>

#include "logx.h"
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

std::expected<std::vector<PairMatch>, std::string> read_tie_file(const std::filesystem::path& path) {
  auto text = read_text_file(path, DOCUMENT_FILE_LIMIT);
  if (!text) return std::unexpected(text.error());
  auto doc = json_parse(*text);
  if (!doc) return std::unexpected(doc.error());
  if (!doc->is_array()) return std::vector<PairMatch>{};
  return read_matches_json(doc->as_array());
}

std::expected<void, std::string> write_tie_file(const std::filesystem::path& path, std::span<const PairMatch> pairs) {
  return write_file_atomic(path, json_to_string(JsonValue(write_matches_json(pairs))));
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

std::expected<std::vector<PairMatch>, std::string> inject_tie_file(const std::filesystem::path& path,
                                                                   size_t photo_count) {
  auto pairs = read_tie_file(path);
  if (!pairs) return std::unexpected(format("cannot read tie file {}: {}", path.string(), pairs.error()));
  std::vector<PairMatch> kept = keep_usable_ties(std::move(*pairs), photo_count);
  logf("  {} matches injected", kept.size());
  return kept;
}

}  // namespace tsl
