#include "server/routes.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "cache/disk_cache.h"
#include "server/job.h"
#include "server/page_files.h"
#include "support/test_util.h"

namespace tsl {
namespace {

// Any method but GET can be sent by a foreign page's form without the browser asking; only the
// JSON-only guard keeps such requests away, so every row they reach must carry it.
TEST(RouteTable, EveryPostRowIsJsonOnlyAndEveryRowIsUnique) {
  std::set<std::pair<std::string_view, std::string_view>> seen;
  size_t posts = 0;
  for (const Route& r : studio_routes()) {
    SCOPED_TRACE(std::string(r.method) + " " + std::string(r.path));
    EXPECT_TRUE(r.method == "GET" || r.method == "POST");
    EXPECT_TRUE(r.path.starts_with("/"));
    EXPECT_NE(r.handler, nullptr);
    EXPECT_TRUE(seen.emplace(r.method, r.path).second);
    if (r.method == "POST") {
      EXPECT_TRUE(r.json_only);
      ++posts;
    }
  }
  EXPECT_EQ(posts, 11u);
}

TEST(RouteTable, MethodsOtherThanGetAndHeadTakeThePostRows) {
  for (std::string_view method : {"POST", "PUT", "DELETE", "head", "post"}) {
    const Route* r = find_route(method, "/api/argv");
    ASSERT_NE(r, nullptr) << method;
    EXPECT_EQ(r->method, "POST");
    EXPECT_EQ(find_route(method, "/api/info"), nullptr) << method;
  }
  EXPECT_EQ(find_route("GET", "/api/argv"), nullptr);
  EXPECT_EQ(find_route("GET", "/api/info")->method, "GET");
  // HEAD is answered as GET; the writer leaves the body out.
  EXPECT_EQ(find_route("HEAD", "/")->method, "GET");
  EXPECT_EQ(find_route("HEAD", "/api/argv"), nullptr);
  for (std::string_view path : {"/api/run/", "/API/RUN", "/api/run?x=1", ""}) EXPECT_EQ(find_route("POST", path), nullptr) << path;
}

// A request that does not say JSON never reaches a POST handler, whatever the endpoint.
TEST(RouteTable, RequestsWithoutJsonNeverReachAPostHandler) {
  // Should the guard fail, /api/cache_clear empties this folder, not the user's cache.
  test::TempDir cache;
  configure_disk_cache(cache.path().string(), 1.0);
  std::filesystem::create_directories(cache / "features/ab");
  test::write_file_text(cache / "features/ab/0123456789abcdef01234567.tslc", "x");
  const std::optional<std::string> types[] = {std::nullopt, "text/plain", "application/x-www-form-urlencoded",
                                              "multipart/form-data; boundary=x", "application/jsonp", "json", ""};
  for (const Route& route : studio_routes()) {
    if (!route.json_only) continue;
    for (const auto& type : types) {
      for (std::string_view method : {"POST", "PUT"}) {
        SCOPED_TRACE(std::string(method) + " " + std::string(route.path) + " " + type.value_or("(none)"));
        HttpRequest request;
        request.method = std::string(method);
        request.path = std::string(route.path);
        request.content_type = type;
        request.body = R"({"input": ["/nowhere"], "path": "/nowhere/x_report.json"})";
        HttpResponse reply = route_request(request);
        EXPECT_EQ(reply.status, 415);
        EXPECT_EQ(reply.body, R"({"error": "requests must be sent as application/json"})");
      }
    }
  }
  EXPECT_FALSE(job_is_running());
  EXPECT_TRUE(std::filesystem::exists(cache / "features/ab/0123456789abcdef01234567.tslc"));
}

TEST(RouteTable, JsonContentTypes) {
  const std::pair<std::optional<std::string>, bool> cases[] = {
      {"application/json", true},         {"Application/JSON; charset=utf-8", true}, {" application/json ;x", true},
      {"application/json-patch", false},  {"text/json", false},                      {"", false},
      {std::nullopt, false},
  };
  for (const auto& [value, want] : cases) EXPECT_EQ(is_json_content_type(value), want) << value.value_or("(none)");
}

TEST(PageFiles, ContentTypeByExtension) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"index.html", "text/html; charset=utf-8"},
      {"main.js", "text/javascript; charset=utf-8"},
      {"views/MAP.JS", "text/javascript; charset=utf-8"},
      {"studio.css", "text/css; charset=utf-8"},
      {"favicon.png", "image/png"},
      {"a.json", "application/json"},
      {"logo.svg", "image/svg+xml"},
      {"README", "application/octet-stream"},
      {".js", "application/octet-stream"},
      {"js.d/x", "application/octet-stream"},
  };
  for (const auto& [path, want] : cases) EXPECT_EQ(asset_content_type(path), want) << path;
}

TEST(PageFiles, UnknownPathsAreNotFound) {
  for (std::string_view path : {"/nothing.js", "/api/run", "/../index.html", "index.html", "/INDEX.HTML", ""}) {
    HttpRequest request;
    request.method = "GET";
    request.path = std::string(path);
    HttpResponse reply = route_request(request);
    EXPECT_EQ(reply.status, 404) << path;
    EXPECT_EQ(reply.body, R"({"error": "not found"})") << path;
  }
}

}  // namespace
}  // namespace tsl
