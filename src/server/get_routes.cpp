#include "server/get_routes.h"

#include <cmath>
#include <filesystem>

#include "cache/disk_cache.h"
#include "config/options.h"
#include "config/usage.h"
#include "meta/file_kind.h"
#include "meta/meta_reader.h"
#include "platform/system.h"
#include "server/file_access.h"
#include "server/job.h"
#include "server/perf.h"
#include "util/files.h"
#include "util/text.h"

namespace tsl {
namespace fs = std::filesystem;

namespace {

std::string_view kind_text(OptionKind kind) {
  switch (kind) {
    case OptionKind::Flag: return "bool";
    case OptionKind::List: return "list";
    case OptionKind::Append: return "append";
    default: return "value";
  }
}

JsonValue schema_object() {
  JsonValue schema = JsonValue::empty_object();
  for (const OptionSpec& row : OPTION_TABLE) {
    JsonValue entry = JsonValue::empty_object();
    entry.set_str("flag", row.flag);
    entry.set("default", row.default_value());
    entry.set_str("help", row.help);
    if (row.choices.empty()) {
      entry.set("choices", JsonValue());
    } else {
      std::vector<JsonValue> choices;
      for (std::string_view c : row.choices) {
        if (row.kind == OptionKind::Int) {
          choices.emplace_back(parse_decimal(c).value_or(0.0));
        } else {
          choices.emplace_back(c);
        }
      }
      entry.set_array("choices", std::move(choices));
    }
    entry.set_str("kind", kind_text(row.kind));
    schema.set(row.key, std::move(entry));
  }
  return schema;
}

std::string current_dir_text() {
  std::error_code ec;
  fs::path cwd = fs::current_path(ec);
  return ec ? std::string() : sanitize_utf8(cwd.string());
}

double round2(double x) { return std::round(x * 100.0) / 100.0; }

// The workers of the studio's build when there is one (its report's count, else its own
// --workers), else the default a new build gets.
uint64_t shown_workers() {
  std::lock_guard lock(job_mutex());
  const JobState& job = job_state();
  if (job.report && job.report->is_object() && job.report->index("workers").is_number()) {
    const double w = job.report->index("workers").as_f64();
    if (w >= 1.0 && w < 1e6) return static_cast<uint64_t>(w);
  }
  for (size_t i = 0; i + 1 < job.argv.size(); ++i)
    if (job.argv[i] == "--workers")
      if (auto n = parse_unsigned_plus(job.argv[i + 1]); n && *n > 0) return *n;
  return server_worker_count();
}

}  // namespace

HttpResponse api_job_route(const HttpRequest& request) {
  uint64_t since = parse_unsigned_plus(query_param(request, "since")).value_or(0);
  return json_response(api_job(since), 200);
}

JsonValue info_object() {
  JsonValue out = JsonValue::empty_object();
  out.set_str("version", PROGRAM_VERSION);
  out.set_bool("ready", true);
  out.set_bool("rawpy", true);
  out.set_str("engine", "native");
  unsigned cpus = platform::logical_processors();
  out.set_u64("cpu", cpus == 0 ? 4 : cpus);
  out.set("gpu", JsonValue());
  out.set_bool("lightglue", false);
  out.set("schema", schema_object());
  out.set_string("cwd", current_dir_text());
  return out;
}

HttpResponse api_info(const HttpRequest&) {
  // The schema never changes while the program runs; only the folder may.
  static const std::string head = [] {
    JsonValue v = info_object();
    std::string text = json_reply_text(v);
    return text.substr(0, text.rfind(", \"cwd\": "));
  }();
  std::string cwd;
  json_write_string(cwd, current_dir_text());
  HttpResponse r;
  r.content_type = "application/json";
  r.body.reserve(head.size() + cwd.size() + 12);
  r.body = head;
  r.body += ", \"cwd\": ";
  r.body += cwd;
  r.body += "}";
  return r;
}

HttpResponse api_perf(const HttpRequest& request) {
  double since = parse_decimal(query_param(request, "since")).value_or(0.0);
  if (std::isnan(since)) since = 0.0;
  PerfSnapshot snap = perf_snapshot(since);
  JsonValue static_info = std::move(snap.static_info);
  static_info.set_u64("workers", shown_workers());
  JsonValue timings;
  {
    std::lock_guard lock(job_mutex());
    const JobState& job = job_state();
    if (job.report && job.report->is_object() && !job.report->index("timings").is_null())
      timings = job.report->index("timings").clone();
  }
  std::vector<JsonValue> live;
  {
    double now = unix_now();
    std::lock_guard lock(job_mutex());
    const JobState& job = job_state();
    for (size_t i = 0; i < job.stage_marks.size(); ++i) {
      const StageMark& mark = job.stage_marks[i];
      double end = 0.0;
      if (i + 1 < job.stage_marks.size()) {
        end = job.stage_marks[i + 1].t;
      } else if (job.state == "running") {
        end = now;
      } else {
        end = job.finished.value_or(mark.t);
      }
      JsonValue entry = JsonValue::empty_object();
      entry.set_string("stage", mark.name);
      entry.set_f64("start", round2(mark.t - job.started));
      entry.set_f64("dur", round2(end - mark.t));
      live.push_back(std::move(entry));
    }
  }
  JsonValue out = JsonValue::empty_object();
  out.set("static", std::move(static_info));
  out.set_array("samples", std::move(snap.samples));
  out.set("timings", std::move(timings));
  out.set_array("live_stage_times", std::move(live));
  return json_response(out, 200);
}

std::string content_type_for(std::string_view path) {
  std::string ext = lower_extension(fs::path(std::string(path)));
  if (ext == "jpg" || ext == "jpeg") return "image/jpeg";
  if (ext == "png") return "image/png";
  if (ext == "json") return "application/json";
  return "text/plain";
}

HttpResponse api_file(const HttpRequest& request) {
  std::string path = query_param(request, "path");
  std::string ext = lower_extension(fs::path(path));
  static const std::vector<std::string> served = {"jpg", "jpeg", "png", "tfw", "json", "txt"};
  if (std::find(served.begin(), served.end(), ext) == served.end()) return not_found_response();
  // Only the files of builds this studio ran or loaded, never any other file on the disk.
  if (!file_allowed(path)) return not_found_response();
  std::error_code ec;
  if (!fs::is_regular_file(fs::path(path), ec)) return not_found_response();
  // The size is known before the read; previews and reports are far below this bound.
  auto bytes = read_whole_file(fs::path(path), PHOTO_FILE_LIMIT);
  if (!bytes) return not_found_response();
  HttpResponse r;
  r.content_type = content_type_for(path);
  r.body.assign(bytes->begin(), bytes->end());
  return r;
}

HttpResponse api_cache(const HttpRequest&) {
  CacheDirInfo info = cache_dir_info();
  CacheStats stats = cache_stats();
  JsonValue out = JsonValue::empty_object();
  out.set_string("dir", info.dir);
  out.set_u64("files", info.files);
  out.set_f64("gb", info.gb);
  out.set_u64("hits", stats.hits);
  out.set_u64("misses", stats.misses);
  out.set_bool("enabled", stats.enabled);
  out.set_f64("max_gb", stats.limit_gb);
  return json_response(out, 200);
}

}  // namespace tsl
