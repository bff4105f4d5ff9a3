#pragma once
// Pair matching: one candidate photo pair turned into verified tie points, or into nothing.
//
// Every keypoint is first carried into the other photo through its metadata pose and a
// horizontal ground plane, so only keypoints both photos can see are compared and every
// putative match must land near its predicted position. A robust two-view model then keeps
// the geometrically consistent matches, which are thinned to an even spread over the photo;
// the colours under the kept ties give the pair's colour ratios for the gain solve.
// Deterministic: all random choices are seeded from the pair's photo indices.
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "geo/vec.h"
#include "matching/pair_match.h"
#include "matching/pair_selection.h"
#include "matching/two_view.h"
#include "meta/placed_photos.h"
#include "sift/feature_set.h"
#include "sift/sift.h"

namespace tsl {

// Fundamental-matrix threshold, working-scale pixels, unless TSL_FTHR gives another.
inline constexpr double FTHR_DEFAULT = 0.6;

// The options of the matching stage, from pair selection to the tie files.
struct MatchOptions {
  uint64_t neighbors = 10;    // best-overlapping partners each photo keeps as candidate pairs
  double sigma_gps = 3;       // position prior, metres: the gate is 2.5 of it, the overlap margin 1
  double sigma_ang = 3;       // heading prior, degrees: likewise
  uint64_t min_inliers = 25;  // fewer verified matches leave a pair without ties
  uint64_t max_ties = 60;     // ties kept per pair, thinned to an even spread beyond that
  uint64_t max_inliers = 4000;  // correspondences an injected pair keeps: matching finds no more than a photo's keypoints
  double fundamental_threshold = FTHR_DEFAULT;  // working-scale pixels (TSL_FTHR)
  uint64_t workers = 1;                         // matching threads at most
  std::optional<std::filesystem::path> inject;  // tie file used in place of matching (TSL_MATCHES)
  std::optional<std::filesystem::path> dump;    // tie file the matched pairs go to (TSL_DUMP_MATCHES)
  // Features of a photo that matching left without ties, extracted again for a second try;
  // nothing: no second try.
  std::optional<SiftOptions> retry_features;
};

// The read-only input shared by every match_pair call of one matching stage. Spans borrow the
// stage's lists, one entry per photo (pairs: one per candidate pair).
struct MatchContext {
  std::span<const PhotoPair> pairs;
  std::span<const FeatureSet> features;
  PlacedPhotos photos;         // metadata poses; each photo with its camera model
  double ground_height = 0.0;  // the prediction plane, metres, the positions' height reference
  double gate_dist = 0.0;      // gate tolerance, metres
  double gate_ang = 0.0;       // gate tolerance, radians
  double margin_dist = 0.0;    // widening of the other photo's frame, metres
  double margin_ang = 0.0;     // and radians
  uint64_t min_inliers = 25;
  uint64_t max_ties = 60;
  double fundamental_threshold = FTHR_DEFAULT;  // working-scale pixels
  uint64_t workers = 1;  // threads one pair's descriptor matching may use (inline on a worker)
};

// The context of one stage: the take-off height as the prediction plane, the gate at 2.5
// sigmas and the overlap margin at one sigma of the position and heading priors, and the
// options' inlier, tie and threshold settings. Borrows pairs, features and photos.
MatchContext make_match_context(std::span<const PhotoPair> pairs, std::span<const FeatureSet> features,
                                const PlacedPhotos& photos, const MatchOptions& options);
inline constexpr double HOMOGRAPHY_THRESHOLD = 3.0;
// Fewer gated matches than this skip the fundamental matrix: its 8-point samples need room.
inline constexpr size_t FUNDAMENTAL_MIN_MATCHES = 15;
// Fewer overlap candidates on either side than this: no pair.
inline constexpr size_t MIN_CANDIDATES = 8;
// At least this many colour samples make the pair's colour ratios valid.
inline constexpr size_t MIN_COLOUR_SAMPLES = 11;

// The threshold a TSL_FTHR text gives: the text when all of it is a decimal number, else
// FTHR_DEFAULT (no text, blanks around the number, anything else).
double fundamental_threshold(const char* text);

// Pixel (x, y) of photo a carried through the prediction plane into photo b (full-resolution
// pixels); nothing when the point falls behind photo b, outside the range where its lens
// model is monotonic, or off to infinity.
std::optional<Vec2> predict_in_other(const MatchContext& ctx, size_t a, size_t b, Vec2 p);

// The ascending indices of `points` (pixels of photo a) whose prediction lands strictly inside
// photo b's frame widened by the overlap margin; `predicted` (when given) receives the
// predictions of all points, nothing where there is none.
std::vector<uint32_t> overlap_candidates(const MatchContext& ctx, size_t a, size_t b, std::span<const Vec2> points,
                                         std::vector<std::optional<Vec2>>* predicted = nullptr);

// The gate radius around a prediction in photo j, full-resolution pixels.
double gate_radius(const MatchContext& ctx, size_t j);

// Whether keypoint q of photo j lies within the gate radius of the prediction `predicted_i`
// of a keypoint of photo i (nothing: no prediction, no match).
bool gate_match(const MatchContext& ctx, size_t j, const std::optional<Vec2>& predicted_i, Vec2 observed_j);

// The thumbnail's (red, green, blue) under a full-resolution point, clamped to the thumbnail.
std::array<double, 3> thumb_color(const FeatureSet& features, Vec2 p);

// Why a feature set cannot be matched safely (descriptors not 128 per keypoint, a thumbnail
// whose size disagrees with its values), or nothing when it can.
std::optional<std::string> feature_set_fault(const FeatureSet& features);

// Thinning cells across each side of photo i.
inline constexpr double THIN_CELLS = 12.0;

// The seed of pair (i, j): i x 100003 + j.
uint64_t pair_seed(uint64_t i, uint64_t j);

// The order in which m correspondences are kept when there are more than max_ties: one per
// thumbnail cell first (12 x 12 cells of photo i, random among a cell's points), then the rest
// shuffled, cut to max_ties. `seed` is the pair's seed; `a_all` are photo i's points.
std::vector<size_t> thin_order(const FeatureSet& features_i, std::span<const Vec2> a_all, uint64_t max_ties,
                               uint64_t seed);
// The same with the cell size given in full-resolution pixels.
std::vector<size_t> thin_order(double cell_w, double cell_h, std::span<const Vec2> a_all, uint64_t max_ties,
                               uint64_t seed);

// Per channel, the median over the ties of ln(colour j) - ln(colour i), from the ties whose six
// colour values all lie strictly within (0.01, 0.9); nothing with fewer than 11 such ties.
std::optional<std::array<double, 3>> colour_log_ratios(const FeatureSet& fi, const FeatureSet& fj,
                                                       std::span<const Vec2> a, std::span<const Vec2> b);

struct Verified {
  TwoViewKind kind = TwoViewKind::Fundamental;  // the model whose mask was taken
  std::vector<uint8_t> mask;
};

// Geometric verification of matches given as model points of photos i and j (the undistorted
// working frames): the fundamental matrix (threshold `fundamental_px`, seed + 7) when there
// are at least 15 matches and it keeps min_inliers, else the homography (threshold 3, seed +
// 8); nothing when neither keeps min_inliers. `seed` is the pair's.
std::optional<Verified> verify_matches(std::span<const Vec2> ma, std::span<const Vec2> mb, uint64_t seed,
                                       uint64_t min_inliers, double fundamental_px);

// The verified ties of candidate pair k, or nothing when the pair has too few candidates,
// gated matches or inliers, or when either photo's features are damaged. Logs nothing. A
// photo without a camera model is a caller's bug (internal error "lens").
std::optional<PairMatch> match_pair(const MatchContext& ctx, size_t k);

}  // namespace tsl
