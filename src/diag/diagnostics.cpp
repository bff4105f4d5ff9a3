#include "diag/diagnostics.h"

#include <algorithm>
#include <cmath>

#include "config/config.h"
#include "diag/frame.h"
#include "diag/seam_analysis.h"
#include "img/jpeg/encode.h"
#include "img/ops/resample.h"
#include "logx.h"
#include "meta/meta_reader.h"
#include "pipeline/collect_images.h"
#include "pipeline/output_files.h"
#include "util/text.h"
#include "util/zipf.h"

namespace tsl {

namespace {

constexpr std::string_view REPORT_SUFFIX = "_report.json";
constexpr std::string_view ZIP_SUFFIX = "_diagnostics.zip";

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
  size_t pos = 0;
  while ((pos = text.find(from, pos)) != std::string::npos) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
  return text;
}

std::span<const uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string pretty(const JsonValue& value) {
  std::string out;
  json_write(value, out, true);
  return out;
}

// The heat map as it goes into the archive: scaled down by area averaging when a side is
// beyond what a JPEG can hold comfortably.
ImageU8 heat_map_for_jpeg(const ImageU8& heat) {
  const size_t side = std::max(heat.width, heat.height);
  if (side <= DIAG_HEAT_MAX_PX) return heat;
  const double f = static_cast<double>(DIAG_HEAT_MAX_PX) / static_cast<double>(side);
  const auto w = std::max<size_t>(1, static_cast<size_t>(std::floor(static_cast<double>(heat.width) * f)));
  const auto h = std::max<size_t>(1, static_cast<size_t>(std::floor(static_cast<double>(heat.height) * f)));
  ImageF32 wide(heat.width, heat.height, 3);
  for (size_t i = 0; i < heat.data.size(); ++i) wide.data[i] = heat.data[i];
  const ImageF32 small = resize(wide, w, h);
  ImageU8 out(w, h, 3);
  for (size_t i = 0; i < out.data.size(); ++i)
    out.data[i] = static_cast<uint8_t>(std::clamp(std::round(small.data[i]), 0.0f, 255.0f));
  return out;
}

}  // namespace

std::filesystem::path diagnostics_zip_path(const std::filesystem::path& report_path) {
  const std::string name = file_name_string(report_path.native());
  std::string zip_name;
  if (name.find(REPORT_SUFFIX) != std::string::npos) zip_name = replace_all(name, REPORT_SUFFIX, ZIP_SUFFIX);
  else if (!name.empty()) zip_name = file_stem_string(report_path.native()) + std::string(ZIP_SUFFIX);
  return report_path.parent_path() / zip_name;
}

std::string diagnostics_stem(const std::filesystem::path& report_path) {
  const std::string whole = sanitize_utf8(report_path.string());
  if (file_name_string(report_path.native()).find(REPORT_SUFFIX) != std::string::npos) return replace_all(whole, REPORT_SUFFIX, "");
  return (report_path.parent_path() / file_stem_string(report_path.native())).string();
}

std::vector<std::string> report_log_lines(const JsonValue& report) {
  std::vector<std::string> lines;
  const JsonValue& log = report.index("log");
  if (!log.is_array()) return lines;
  for (const JsonValue& line : log.as_array())
    if (line.is_string()) lines.push_back(line.as_string());
  return lines;
}

std::string json_number_text(const JsonValue& object, std::string_view key) {
  const double x = report_number(object.index(key), std::nan(""));
  return std::isnan(x) ? std::string("nan") : format("{:.1}", x);
}

void log_unless_quiet(bool quiet, std::string line) {
  if (!quiet) log(std::move(line));
}

bool capture_order_cmp(const ImageMeta& a, const ImageMeta& b) {
  if (a.time != b.time) return a.time < b.time;
  return file_name_string(a.path.native()) < file_name_string(b.path.native());
}

std::expected<DiagnosticsResult, std::string> write_diagnostics(const std::filesystem::path& report_path,
                                                                const std::optional<std::vector<std::string>>& log_lines,
                                                                uint64_t max_px, bool images, bool quiet,
                                                                const FlowOptions& flow) {
  auto text = read_text_file(report_path);
  if (!text) return std::unexpected(text.error());
  auto parsed = json_parse(*text);
  if (!parsed) return std::unexpected(parsed.error());
  const JsonValue& report = *parsed;
  const JsonValue& stored = report.index("config");
  if (stored.is_null()) return std::unexpected("report has no stored configuration (made with an older version) - rebuild once");
  const Config config = Config::from_options(stored);

  const bool was_muted = set_log_mute(true);
  auto set = collect_images(config);
  set_log_mute(was_muted);
  if (!set) return std::unexpected(set.error());
  std::vector<ImageMeta> photos = std::move(set->images);

  if (const JsonValue& selfcal = report.index("selfcal"); selfcal.is_object()) {
    for (const auto& [key, value] : selfcal.as_object()) {
      const std::vector<double> terms = value.to_f64_vec();
      for (ImageMeta& photo : photos)
        if (photo.lens && camera_key(photo) == key) photo.lens->selfcal = terms;
    }
  }
  std::stable_sort(photos.begin(), photos.end(), capture_order_cmp);

  const std::filesystem::path zip_path = diagnostics_zip_path(report_path);
  const std::string stem = diagnostics_stem(report_path);
  if (zip_path == report_path || file_name_string(zip_path.native()).empty())
    return std::unexpected(format("cannot derive a diagnostics archive name from {}", report_path.string()));

  log_unless_quiet(quiet, format("diagnostics: seam analysis over {} images ...", photos.size()));
  auto analysis = analyse_seams(photos, report, set->origin_e, set->origin_n, config.workers, flow,
                                report_path.parent_path());
  if (!analysis) return std::unexpected(analysis.error());

  // Written under a partial name: a failed or cancelled run leaves no truncated archive under
  // the final name, and an earlier complete archive stays until the new one is whole.
  PendingFile pending(zip_path);
  if (auto r = reserve_partial(pending); !r) return std::unexpected(r.error());
  auto cannot_write = [&](const std::string& error) {
    return std::unexpected(format("cannot write {}: {}", zip_path.string(), error));
  };
  auto zip = ZipWriter::create(pending.partial);
  if (!zip) return cannot_write(zip.error());
  auto add = [&](std::string_view name, std::span<const uint8_t> data, bool deflate) -> std::expected<void, std::string> {
    if (auto r = zip->add(name, data, deflate); !r) return cannot_write(r.error());
    return {};
  };

  const std::vector<std::string> lines = log_lines ? *log_lines : report_log_lines(report);
  std::string log_text;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) log_text += '\n';
    log_text += lines[i];
  }
  const std::string report_text = pretty(report), config_text = pretty(stored), seams_text = pretty(analysis->seams);
  for (auto [name, body] : {std::pair{"report.json", std::string_view(report_text)},
                            std::pair{"config.json", std::string_view(config_text)},
                            std::pair{"log.txt", std::string_view(log_text)},
                            std::pair{"seams.json", std::string_view(seams_text)}}) {
    if (auto r = add(name, bytes_of(body), true); !r) return std::unexpected(r.error());
  }
  const ImageU8& heat = analysis->heat_map;
  if (heat.width == 0 || heat.height == 0) {
    log_unless_quiet(quiet, format("diagnostics: no seams.jpg (the seam grid has {}x{} cells)", heat.width, heat.height));
  } else {
    auto jpeg = encode_jpeg(heat_map_for_jpeg(heat), 88);
    if (!jpeg) return std::unexpected(jpeg.error());
    if (auto r = add("seams.jpg", *jpeg, false); !r) return std::unexpected(r.error());
  }
  analysis->heat_map = {};

  // Only files of this build: a DSM or preview beside the report may be an earlier build's,
  // left by a build that did not write one. The DSM comes with the terrain archive.
  struct SideFile {
    const char* suffix;
    const char* member;
    const char* report_key;  // the report names the file, or the one it comes with, here
  };
  for (const SideFile& side : {SideFile{"_dsm.tif", "dsm.tif", "surface_file"},
                               SideFile{"_preview.jpg", "preview.jpg", "preview"},
                               SideFile{"_preview_mask.png", "preview_mask.png", "preview"}}) {
    if (!report.index(side.report_key).is_string()) continue;
    const std::string_view member = side.member;
    const std::filesystem::path path = stem + side.suffix;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) continue;
    auto bytes = read_file_head(path, UINT64_MAX);
    if (!bytes) return std::unexpected(bytes.error());
    const bool deflate = member.ends_with(".tif");
    if (auto r = add(member, *bytes, deflate); !r) return std::unexpected(r.error());
  }

  if (images) {
    const size_t n = photos.size();
    for (size_t i = 1; i <= n; ++i) {
      const ImageMeta& photo = photos[i - 1];
      if (i % 10 == 0 || i == n) log_unless_quiet(quiet, format("diagnostics: images {}/{}", i, n));
      auto frame = diag_frame_jpeg(photo, max_px);
      if (!frame) {
        log_unless_quiet(quiet, format("diagnostics: {} skipped ({})", file_name_string(photo.path.native()), frame.error()));
        continue;
      }
      if (auto r = add(format("images/{}.jpg", file_stem_string(photo.path.native())), *frame, false); !r)
        return std::unexpected(r.error());
    }
  }
  if (auto r = zip->finish(); !r) return cannot_write(r.error());
  if (auto r = commit(pending); !r) return cannot_write(r.error());

  DiagnosticsResult result;
  result.zip_path = zip_path;
  result.summary = analysis->seams.index("summary").clone();
  std::error_code ec;
  const auto bytes = std::filesystem::file_size(zip_path, ec);
  const double mb = ec ? 0.0 : static_cast<double>(bytes) / 1e6;
  const JsonValue& s = result.summary;
  log_unless_quiet(quiet, format("diagnostics: {} ({:.1} MB) | seams median {} cm (same line {}, cross line {}, frame edges {})",
                                 file_name_string(zip_path.native()), mb, json_number_text(s, "median_cm"),
                                 json_number_text(s, "sequence_median_cm"), json_number_text(s, "side_median_cm"),
                                 json_number_text(s, "edge_median_cm")));
  return result;
}

}  // namespace tsl
