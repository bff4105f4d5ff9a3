#pragma once
// The studio's read-only API GET routes other than thumbnails: the settings schema and
// environment facts, the job poll, the load history, a build's preview files and the
// disk-cache figures (the page's own files: page_files.h).
#include <string>
#include <string_view>

#include "server/http.h"
#include "util/json.h"

namespace tsl {

HttpResponse api_job_route(const HttpRequest& request);
HttpResponse api_info(const HttpRequest& request);
HttpResponse api_perf(const HttpRequest& request);
HttpResponse api_file(const HttpRequest& request);
HttpResponse api_cache(const HttpRequest& request);

// The reply object of /api/info.
JsonValue info_object();

// By the file name's lower-cased extension: image/jpeg, image/png, application/json, else
// text/plain.
std::string content_type_for(std::string_view path);

}  // namespace tsl
