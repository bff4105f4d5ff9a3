#pragma once
// The studio's one route table: every endpoint with its method, its exact path, whether its
// requests must carry JSON, and its handler; and the routing of a request through it.
//
// A GET request takes the GET row of its path, else the page file of that path (page_files.h).
// HEAD is answered as GET (the writer leaves the body out). Every other method takes the
// "POST" row of its path (PUT and the rest count as POST).
// A row marked json_only answers 415 before its handler runs unless the request says
// Content-Type application/json: a form or text/plain post from another page needs no
// permission from the browser, JSON does, so foreign pages can neither start builds nor clear
// the cache. Every POST row is json_only.
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "server/http.h"
#include "server/post_routes.h"
#include "util/json.h"

namespace tsl {

// `body` is the request body read as JSON for a POST row: an empty object when the body is
// empty or not JSON, and always for a GET row.
using RouteHandler = RouteResult (*)(const HttpRequest& request, const JsonValue& body);

struct Route {
  std::string_view method;  // "GET", or "POST" for every method other than GET
  std::string_view path;    // the decoded path, compared exactly (case kept, no trailing "/")
  bool json_only = false;   // requests without Content-Type application/json get 415
  RouteHandler handler = nullptr;
};

// Every endpoint, in the order of the API's index.
std::span<const Route> studio_routes();

// The row for a request method (as sent) and a decoded path, or null.
const Route* find_route(std::string_view method, std::string_view path);

// Whether a Content-Type value is application/json: the media type compared without case,
// parameters such as "; charset=utf-8" ignored.
bool is_json_content_type(const std::optional<std::string>& value);

// The reply to a request. A handler's error message becomes {"error": message} with 404 when
// it begins "file not found", else 400. Faults are left to the caller (handle_connection
// turns them into 500).
HttpResponse route_request(const HttpRequest& request);

}  // namespace tsl
