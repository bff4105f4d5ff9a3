#include "server/diag_endpoint.h"

#include <cmath>
#include <filesystem>
#include <mutex>

#include "config/environment.h"
#include "diag/diagnostics.h"
#include "drivers/stage_options.h"
#include "server/body_values.h"
#include "server/job.h"
#include "util/path.h"
#include "util/text.h"

namespace tsl {

uint64_t diagnostics_max_px(const JsonValue& body) {
  const std::optional<double> v = body_number(body["max_px"]);
  const uint64_t px = v ? saturate_u64(*v) : 2048;
  return std::max(px, DIAG_ENDPOINT_MIN_PX);
}

bool diagnostics_images(const JsonValue& body) {
  const JsonValue& v = body["images"];
  if (v.is_bool()) return v.as_bool();
  if (v.is_number()) return v.as_f64() != 0.0;  // NaN counts as true
  return true;
}

std::string report_path_of_output(std::string_view output) {
  // The build names its report this way, so the comparison below matches what it wrote.
  return sibling_path(std::filesystem::path(std::string(output)), "_report.json").string();
}

std::optional<std::vector<std::string>> live_log_for(std::string_view path) {
  std::lock_guard lock(job_mutex());
  const JobState& job = job_state();
  if (!job.report) return std::nullopt;
  const std::string_view output = (*job.report)["output"].str_or("");
  if (report_path_of_output(output) != path) return std::nullopt;
  return job.lines;
}

std::expected<JsonValue, std::string> api_diagnostics(const JsonValue& body) {
  const std::string path(body["path"].str_or(""));
  std::optional<std::vector<std::string>> log = live_log_for(path);
  auto result = write_diagnostics(std::filesystem::path(path), log, diagnostics_max_px(body), diagnostics_images(body),
                                  true, flow_options(read_environment()));
  if (!result) return std::unexpected(result.error());
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(result->zip_path, ec);
  const double bytes = ec ? 0.0 : static_cast<double>(size);
  JsonValue out = JsonValue::empty_object();
  out.set_string("path", sanitize_utf8(result->zip_path.string()));
  out.set_f64("size_mb", std::round(bytes / 1e6 * 10.0) / 10.0);
  out.set("seams", std::move(result->summary));
  return out;
}

}  // namespace tsl
