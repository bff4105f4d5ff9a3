#pragma once
// Seam misalignment analysis: every overlapping pair of photos, placed by a finished build's
// poses, lens terms and ground, is resampled onto one ground grid and measured by optical flow;
// whatever flow remains is the misalignment a seam between the two would show.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diag/sampling.h"
#include "flow/optical_flow.h"
#include "img/image.h"
#include "meta/image_meta.h"
#include "util/json.h"

namespace tsl {

struct SeamPair {
  std::string kind;  // "same line" or "cross line"
  size_t i = 0;      // photo indices, i < j
  size_t j = 0;
  double overlap = 0.0;
  uint64_t x0 = 0, x1 = 0, y0 = 0, y1 = 0;  // half-open cell ranges of the common window
};

struct PairStats {
  JsonValue object;
  uint64_t x0 = 0, x1 = 0, y0 = 0, y1 = 0;
  std::vector<float> errors;  // per window cell: misalignment in cm where measured, -1 elsewhere
};

struct SeamAnalysis {
  JsonValue seams;   // {"summary": ..., "pairs": [...]}
  ImageU8 heat_map;  // nx x ny RGB, one pixel per grid cell, row 0 north
};

// The grid of a report: its raster's top-left corner and extent, cells of at least 5 cm and at
// most 25 million of them. Errors when "origin_utm" or "size_px" hold fewer than two numbers.
std::expected<AnalysisGrid, std::string> analysis_grid(const JsonValue& report, double origin_e, double origin_n);

// A report value as a number: Number as is, Bool 1/0, a String trimmed and parsed, else `d`.
double report_number(const JsonValue& value, double d);

// The poses of the photos from the report's "shots", matched by file name.
std::vector<ShotPose> shot_poses(std::span<const ImageMeta> photos, const JsonValue& report, double origin_e,
                                 double origin_n);

// "same line" when the two headings (radians, clockwise from north) are parallel or
// antiparallel within 20 degrees and photo j lies within 4 m of photo i's flight axis.
std::string pair_kind(double heading_i, double heading_j, double de, double dn);

struct PairContext {
  std::span<const SeamPair> pairs;
  std::span<const std::optional<SeamSample>> samples;
  std::span<const ImageMeta> photos;
  double cell = 0.05;
  FlowOptions flow;  // the optical flow's back end
};

// The measurement of one pair, or nothing when fewer than 500 cells could be measured.
std::optional<PairStats> pair_alignment_stats(const PairContext& context, size_t index);

// The median "median_cm" of the pair objects of one kind; NaN when there are none.
double median_cm_of_kind(const JsonArray& pairs, std::string_view kind);

// The heat-map colour of t in [0, 1] (30 cm at 1): a polynomial approximation of Turbo.
std::array<uint8_t, 3> heat_colour(float t);

// Where a file the report names lies: an absolute path as stored; a relative one (the report
// keeps the path as typed, relative to the build's working folder, unknown here) by its name
// in `report_dir`, where the build wrote it beside the report; as stored without a folder.
std::filesystem::path report_named_file(std::string_view stored, const std::filesystem::path& report_dir);

// Errors: those of analysis_grid. Photos in capture order with their lens terms applied. The
// report's "surface_file" is found with report_named_file.
std::expected<SeamAnalysis, std::string> analyse_seams(std::span<const ImageMeta> photos, const JsonValue& report,
                                                       double origin_e, double origin_n, uint64_t workers,
                                                       const FlowOptions& flow,
                                                       const std::filesystem::path& report_dir = {});

}  // namespace tsl
