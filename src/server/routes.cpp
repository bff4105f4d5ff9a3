#include "server/routes.h"

#include "server/get_routes.h"
#include "server/page_files.h"
#include "server/thumbs.h"
#include "util/text.h"

namespace tsl {
namespace {

template <HttpResponse (*F)(const HttpRequest&)>
RouteResult get(const HttpRequest& request, const JsonValue&) {
  return F(request);
}

template <RouteResult (*F)(const JsonValue&)>
RouteResult post(const HttpRequest&, const JsonValue& body) {
  return F(body);
}

constexpr Route ROUTES[] = {
    {"GET", "/", false, get<serve_page>},
    {"GET", "/index.html", false, get<serve_page>},
    {"GET", "/favicon.png", false, get<serve_favicon>},
    {"GET", "/favicon.ico", false, get<serve_favicon>},
    {"GET", "/api/job", false, get<api_job_route>},
    {"GET", "/api/info", false, get<api_info>},
    {"GET", "/api/perf", false, get<api_perf>},
    {"GET", "/api/file", false, get<api_file>},
    {"GET", "/api/cache", false, get<api_cache>},
    {"GET", "/api/thumb", false, get<api_thumb>},
    {"POST", "/api/run", true, post<api_run>},
    {"POST", "/api/scan", true, post<scan_endpoint>},
    {"POST", "/api/argv", true, post<api_argv>},
    {"POST", "/api/pick", true, post<pick_endpoint>},
    {"POST", "/api/reset", true, post<api_reset>},
    {"POST", "/api/cancel", true, post<api_cancel>},
    {"POST", "/api/reveal", true, post<reveal_endpoint>},
    {"POST", "/api/report", true, post<api_report>},
    {"POST", "/api/preview", true, post<preview_endpoint>},
    {"POST", "/api/cache_clear", true, post<api_cache_clear>},
    {"POST", "/api/diagnostics", true, post<diagnostics_endpoint>},
};

HttpResponse reply_of(RouteResult result) {
  if (result) return std::move(*result);
  return error_response(result.error(), result.error().starts_with("file not found") ? 404 : 400);
}

}  // namespace

std::span<const Route> studio_routes() { return ROUTES; }

const Route* find_route(std::string_view method, std::string_view path) {
  const std::string_view kind = method == "GET" || method == "HEAD" ? "GET" : "POST";
  for (const Route& r : ROUTES)
    if (r.method == kind && r.path == path) return &r;
  return nullptr;
}

bool is_json_content_type(const std::optional<std::string>& value) {
  if (!value) return false;
  std::string_view v = *value;
  v = trim_unicode(v.substr(0, v.find(';')));
  return to_lower_ascii(v) == "application/json";
}

HttpResponse route_request(const HttpRequest& request) {
  const Route* route = find_route(request.method, request.path);
  if (!route) return request.method == "GET" || request.method == "HEAD" ? serve_asset(request) : not_found_response();
  if (route->json_only && !is_json_content_type(request.content_type))
    return error_response("requests must be sent as application/json", 415);
  JsonValue body = JsonValue::empty_object();
  if (route->method == "POST" && !request.body.empty()) {
    auto parsed = json_parse(sanitize_utf8(request.body));
    if (parsed) body = std::move(*parsed);
  }
  return reply_of(route->handler(request, body));
}

}  // namespace tsl
