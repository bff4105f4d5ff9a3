#include "server/post_routes.h"

#include <cctype>
#include <filesystem>

#include "cache/disk_cache.h"
#include "config/settings_argv.h"
#include "meta/meta_reader.h"
#include "pipeline/last_run.h"
#include "server/diag_endpoint.h"
#include "server/dialogs.h"
#include "server/file_access.h"
#include "server/job.h"
#include "server/preview.h"
#include "server/scan.h"
#include "server/thumbs.h"
#include "util/files.h"
#include "util/path.h"
#include "util/text.h"

namespace tsl {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view RUNNING_BUILD = "a build is running - cancel it first";
constexpr std::string_view RUNNING_RENDER = "a render is running";

HttpResponse ok_response() {
  JsonValue out = JsonValue::empty_object();
  out.set_bool("ok", true);
  return json_response(out, 200);
}

}  // namespace

bool is_build_report(const JsonValue& value) {
  return value.is_object() && value["version"].is_string() && value["output"].is_string() &&
         value["images"].is_number() && value["shots"].is_array() && value["config"].is_object();
}

RouteResult api_run(const JsonValue& body) {
  std::vector<std::string> argv = settings_to_argv(body);
  bool started = false;
  {
    std::lock_guard gate(job_gate());
    started = start_job(argv);
  }
  JsonValue out = JsonValue::empty_object();
  out.set_bool("ok", started);
  out.set_strings("argv", std::move(argv));
  if (!started) out.set_str("error", "a build is already running");
  return json_response(out, started ? 200 : 409);
}

RouteResult api_argv(const JsonValue& body) {
  JsonValue out = JsonValue::empty_object();
  out.set_strings("argv", settings_to_argv(body));
  return json_response(out, 200);
}

RouteResult api_reset(const JsonValue&) {
  {
    // The test and the reset under one hold: a build cannot start in between and be wiped.
    std::lock_guard gate(job_gate());
    if (job_is_running()) return error_response(RUNNING_BUILD, 409);
    reset_job_state();
    clear_last_run();
    clear_preview_slots();
    clear_thumb_cache();
  }
  return ok_response();
}

RouteResult api_cancel(const JsonValue&) {
  cancel_job();
  return ok_response();
}

RouteResult api_report(const JsonValue& body) {
  std::string path(body["path"].str_or(""));
  std::error_code ec;
  if (path.empty() || !fs::is_regular_file(fs::path(path), ec)) {
    JsonValue out = JsonValue::empty_object();
    out.set_string("error", format("report not found: {}", file_name_string(path)));
    out.set_bool("missing", true);
    return json_response(out, 404);
  }
  auto bytes = read_whole_file(fs::path(path), DOCUMENT_FILE_LIMIT);
  if (!bytes) return std::unexpected(bytes.error());
  auto value = json_parse(sanitize_utf8(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size())));
  if (!value) return std::unexpected(value.error());
  // Any other JSON file would be shown to the page and widen what /api/file serves.
  if (!is_build_report(*value)) return std::unexpected(format("not a build report: {}", file_name_string(path)));
  allow_loaded_report(path, *value);
  return json_response(*value, 200);
}

namespace {

// A cache entry ("<24 hex>.tslc") or a store's temporary file ("<24 hex>.<pid>.ThreadId<n>.tmp").
bool is_cache_file_name(std::string_view name) {
  auto hex = [](std::string_view s) {
    for (char c : s)
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
  };
  if (name.size() < 24 || !hex(name.substr(0, 24))) return false;
  std::string_view rest = name.substr(24);
  if (rest == ".tslc") return true;
  return rest.size() > 4 && rest.substr(rest.size() - 4) == ".tmp" && rest[0] == '.' &&
         rest.find(".ThreadId") != std::string_view::npos;
}

bool is_shard_name(std::string_view name) {
  return name.size() == 2 && std::isxdigit(static_cast<unsigned char>(name[0])) &&
         std::isxdigit(static_cast<unsigned char>(name[1]));
}

}  // namespace

CacheClearResult clear_cache_files(const std::string& dir) {
  CacheClearResult result;
  auto fail = [&](const fs::path& p, const std::error_code& ec) {
    if (result.failed++ == 0) result.first_error = format("cannot remove {}: {}", p.string(), ec.message());
  };
  for (std::string_view kind : {"features", "decoded"}) {
    fs::path kind_dir = fs::path(dir) / std::string(kind);
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(kind_dir, ec))) continue;
    for (fs::directory_iterator shard(kind_dir, ec), end; !ec && shard != end; shard.increment(ec)) {
      const fs::path shard_path = shard->path();
      if (!is_shard_name(shard_path.filename().string())) continue;
      std::error_code sec;
      if (!fs::is_directory(fs::symlink_status(shard_path, sec))) continue;
      std::vector<fs::path> files;
      for (fs::directory_iterator f(shard_path, sec), fend; !sec && f != fend; f.increment(sec))
        if (is_cache_file_name(f->path().filename().string())) files.push_back(f->path());
      for (const fs::path& f : files) {
        std::error_code rec;
        if (fs::remove(f, rec)) {
          ++result.removed;
        } else if (rec) {
          fail(f, rec);
        }
      }
      // The shard folder goes only when nothing else is left in it.
      std::error_code rec;
      if (fs::is_empty(shard_path, rec)) fs::remove(shard_path, rec);
    }
    if (ec) fail(kind_dir, ec);
    std::error_code rec;
    if (fs::is_empty(kind_dir, rec)) fs::remove(kind_dir, rec);
  }
  return result;
}

RouteResult api_cache_clear(const JsonValue&) {
  CacheClearResult cleared;
  {
    std::lock_guard gate(job_gate());
    if (job_is_running()) return error_response(RUNNING_BUILD, 409);
    cleared = clear_cache_files(current_cache_dir().string());
  }
  CacheDirInfo info = cache_dir_info();
  JsonValue out = JsonValue::empty_object();
  out.set_string("dir", info.dir);
  out.set_u64("files", info.files);
  out.set_f64("gb", info.gb);
  out.set_bool("ok", cleared.failed == 0);
  if (cleared.failed > 0) out.set_string("error", cleared.first_error);
  return json_response(out, 200);
}

namespace {

// Why the inputs hold no photo at all: a missing folder and an empty one ask for different
// fixes. The first input that explains it is named; "no images found" when none does.
std::string no_images_text(const JsonValue& body) {
  std::vector<std::string> inputs;
  const JsonValue& input = body["input"];
  if (input.is_string()) inputs.push_back(input.as_string());
  if (input.is_array())
    for (const JsonValue& v : input.as_array())
      if (v.is_string()) inputs.push_back(v.as_string());
  for (const std::string& in : inputs) {
    std::error_code ec;
    const fs::file_status st = fs::status(fs::path(in), ec);
    if (!fs::exists(st)) return format("folder not found: {}", in);
    if (fs::is_directory(st)) {
      if (fs::is_empty(fs::path(in), ec)) return format("folder is empty: {}", in);
      return format("no photos (JPEG, DNG, TIFF) in {}", in);
    }
  }
  return "no images found";
}

}  // namespace

// A scan only reads the photos' metadata, so it runs beside a build (a page reloaded during a
// build needs its image list).
RouteResult scan_endpoint(const JsonValue& body) {
  auto scan = api_scan(body);
  if (!scan && scan.error() == "no images found") return std::unexpected(no_images_text(body));
  if (!scan) return std::unexpected(scan.error());
  return json_response(*scan, 200);
}

RouteResult preview_endpoint(const JsonValue& body) {
  auto preview = api_preview(body);
  if (!preview) return std::unexpected(preview.error());
  HttpResponse r;
  r.cacheable = false;
  if (!*preview) {
    r.status = 204;
    r.content_type = "text/plain";
    return r;
  }
  r.status = 200;
  r.content_type = "image/png";
  r.body = std::move((*preview)->png);
  r.headers.emplace_back("X-Preview", json_reply_text((*preview)->meta));
  return r;
}

RouteResult diagnostics_endpoint(const JsonValue& body) {
  if (job_is_running()) return error_response(RUNNING_RENDER, 409);
  auto written = api_diagnostics(body);
  if (!written) return std::unexpected(written.error());
  return json_response(*written, 200);
}

RouteResult pick_endpoint(const JsonValue& body) {
  auto picked = api_pick(body);
  if (!picked) return std::unexpected(picked.error());
  return json_response(*picked, 200);
}

RouteResult reveal_endpoint(const JsonValue& body) {
  auto shown = api_reveal(body);
  if (!shown) return std::unexpected(shown.error());
  return json_response(*shown, 200);
}

}  // namespace tsl
