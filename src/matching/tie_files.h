#pragma once
// Tie points exchanged with a JSON file: a build can dump the pairs its matching kept and a
// later build can take its pairs from such a file instead of matching (the environment
// variables TSL_DUMP_MATCHES and TSL_MATCHES).
//
// The file is one Array with one Object per pair: "i", "j" (photo indices in the build's
// photo order), "a", "b" (the kept ties in photos i and j as [x, y] full-resolution pixels),
// "a_all", "b_all" (all inliers), and when injected optionally "logratio" (three log colour
// ratios, ln of photo j's colour over photo i's, for red, green and blue). The first Object of
// a dump also holds "turned": the file names of the photos the heading check turned (the ties
// were matched under the turned headings); readers that do not know it pass it by.
#include <cstddef>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "geo/vec.h"
#include "matching/pair_match.h"
#include "meta/image_meta.h"
#include "util/json.h"

namespace tsl {

// [x, y] Arrays, one per point, in order.
std::vector<JsonValue> xy_list_to_json(std::span<const Vec2> points);

// One point per element: x and y from its first two elements when it is an Array (a missing
// coordinate reads as 0), (0, 0) for anything else. Numbers read leniently (a String holding
// a number counts, anything unreadable is 0).
std::vector<Vec2> parse_xy_list(std::span<const JsonValue> items);

// One Object per pair with "i", "j", "a", "b", "a_all", "b_all". Counts, colour ratios and
// dense figures are not written.
std::vector<JsonValue> write_matches_json(std::span<const PairMatch> pairs);

// One pair per element (a non-Object reads as if every member were missing): points by
// parse_xy_list, indices cut toward zero (negative or NaN give 0), n = the length of "a",
// colour ratios only from a "logratio" of exactly three values. Never fails; whether the
// pairs fit the build is checked by keep_usable_ties.
std::vector<PairMatch> read_matches_json(std::span<const JsonValue> items);

// The pairs a tie file holds: the file read whole as UTF-8 and parsed; a document that is not
// an Array holds none. Errors: the system's text (also "too large" past DOCUMENT_FILE_LIMIT and
// "not a regular file (FIFO)"), "stream did not contain valid UTF-8", or the
// JSON parser's message, unchanged.
std::expected<std::vector<PairMatch>, std::string> read_tie_file(const std::filesystem::path& path);

// The photos a tie file says its build turned: the Strings of every "turned" Array, in order,
// each once; nothing when no Object has a "turned" Array.
std::optional<std::vector<std::string>> read_turned_json(std::span<const JsonValue> items);

// Writes the pairs as a compact Array, whole, replacing the file, with `turned` (when given and
// there is a pair) as "turned" of the first Object; the error is the system's text.
std::expected<void, std::string> write_tie_file(const std::filesystem::path& path, std::span<const PairMatch> pairs,
                                                const std::optional<std::vector<std::string>>& turned = std::nullopt);

// The pairs later stages can use with `photo_count` photos: a pair naming a photo out of range,
// pairing a photo with itself, with point lists of unequal length ("a" and "b", or "a_all" and
// "b_all") or with a point that is not finite is dropped with a line
// "  warning: tie pair {k} ({i}, {j}) dropped: {reason}" (k counts from 0 in file order).
std::vector<PairMatch> keep_usable_ties(std::vector<PairMatch> pairs, size_t photo_count);

// Thins a pair to what matching keeps: at most `max_ties` ties (thin_order over photo i's
// frame) and `max_inliers` correspondences. Whether it had more.
bool thin_injected(PairMatch& pair, const ImageMeta& photo_i, uint64_t max_ties, uint64_t max_inliers);

// A tie file's pairs for this build, and the photos its build turned (indices, ascending),
// when the file says.
struct InjectedTies {
  std::vector<PairMatch> pairs;
  std::optional<std::vector<size_t>> turned;
};

// The injection road of matching: the file's pairs that the build's photos can use
// (keep_usable_ties), thinned by thin_injected with the line "  {} injected pair(s) thinned to
// {} ties and {} correspondences each", and the line "  {} matches injected" counting them.
// A turned photo the build does not have is named in a warning and passed by. Errors: "cannot
// read tie file {path}: {reason}" with read_tie_file's message.
std::expected<InjectedTies, std::string> inject_tie_file(const std::filesystem::path& path,
                                                         std::span<const ImageMeta> images, uint64_t max_ties,
                                                         uint64_t max_inliers);

}  // namespace tsl
