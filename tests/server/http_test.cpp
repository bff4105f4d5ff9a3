#include "server/http.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <thread>

#include "util/error.h"

namespace tsl {
namespace {

TEST(UrlDecode, Cases) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"a%41b", "aAb"}, {"a%4", "a%4"}, {"a%zz", "a%zz"}, {"a+b", "a b"}, {"%FF", "\xEF\xBF\xBD"},
      {"%", "%"},       {"ab%", "ab%"}, {"%2f%2F", "//"}, {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(url_decode(c.in), c.out) << c.in;
}

TEST(ParseQuery, FirstKeyWinsAndEmptyPiecesSkipped) {
  auto q = parse_query("size=200&size=300&flag&&a=1&b=x%20y");
  EXPECT_EQ(q.at("size"), "200");
  EXPECT_EQ(q.at("flag"), "");
  EXPECT_EQ(q.at("a"), "1");
  EXPECT_EQ(q.at("b"), "x y");
  EXPECT_EQ(q.size(), 4u);
}

TEST(ContentLength, Cases) {
  struct Case {
    std::string in;
    uint64_t out;
  };
  const Case cases[] = {{"+3", 3},  {"-5", 0},   {"abc", 0}, {"", 0},     {"+", 0},
                        {"12", 12}, {"1 2", 0}, {"18446744073709551615", UINT64_MAX},
                        {"18446744073709551616", 0}, {"99999999999999999999999", 0}};
  for (const Case& c : cases) EXPECT_EQ(parse_content_length(c.in), c.out) << c.in;
}

TEST(ReplyJson, NonFiniteNumbersAreNull) {
  JsonValue v = JsonValue::empty_object();
  v.set_f64("a", std::nan(""));
  v.set_f64s("b", {1.5, std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()});
  v.set_str("c", "NaN");
  EXPECT_EQ(json_reply_text(v), R"({"a": null, "b": [1.5, null, null], "c": "NaN"})");
  // Files keep the bare words.
  EXPECT_EQ(json_to_string(v), R"({"a": NaN, "b": [1.5, Infinity, -Infinity], "c": "NaN"})");
}

TEST(ReplyHead, LayoutAndPhrases) {
  HttpResponse r;
  r.content_type = "image/png";
  r.body = "xyz";
  r.headers = {{"X-Preview", "{}"}};
  r.cacheable = true;
  EXPECT_EQ(response_head(r, false),
            "HTTP/1.1 200 OK\r\nServer: tessaly\r\nContent-Type: image/png\r\nContent-Length: 3\r\n"
            "Cache-Control: max-age=3600\r\nX-Frame-Options: DENY\r\nX-Content-Type-Options: nosniff\r\n"
            "Content-Security-Policy: " +
                std::string(PAGE_SECURITY_POLICY) + "\r\nX-Preview: {}\r\nConnection: keep-alive\r\n\r\n");
  HttpResponse e = error_response("gone", 500);
  EXPECT_EQ(e.body, R"({"error": "gone"})");
  EXPECT_EQ(response_head(e, true).substr(0, 35), "HTTP/1.1 500 Internal Server Error\r");
  EXPECT_NE(response_head(e, true).find("Cache-Control: no-store\r\n"), std::string::npos);
  EXPECT_TRUE(response_head(e, true).ends_with("\r\nConnection: close\r\n\r\n"));
  EXPECT_EQ(reason_phrase(204), "No Content");
  EXPECT_EQ(reason_phrase(409), "Conflict");
  EXPECT_EQ(reason_phrase(418), "Internal Server Error");
}

TEST(Access, HostAndOrigin) {
  EXPECT_TRUE(host_allowed("127.0.0.1:8765", 8765));
  EXPECT_TRUE(host_allowed("LOCALHOST:8765", 8765));
  EXPECT_FALSE(host_allowed("127.0.0.1:8766", 8765));
  EXPECT_FALSE(host_allowed("evil.example:8765", 8765));
  EXPECT_FALSE(host_allowed("127.0.0.1", 8765));
  EXPECT_TRUE(origin_allowed("http://127.0.0.1:9000", 9000));
  EXPECT_TRUE(origin_allowed("http://localhost:9000", 9000));
  EXPECT_FALSE(origin_allowed("null", 9000));
  EXPECT_FALSE(origin_allowed("https://127.0.0.1:9000", 9000));
  EXPECT_FALSE(origin_allowed("http://evil.example", 9000));
}

TEST(Access, FetchSiteAndAcceptEncoding) {
  struct Case {
    std::string_view value;
    bool expected;
  };
  // Only another site's page is foreign; the page itself, typed addresses and curl are not.
  const Case sites[] = {{"cross-site", true}, {"same-site", true}, {" Same-Site ", true},
                        {"same-origin", false}, {"none", false}, {"", false}};
  for (const Case& c : sites) EXPECT_EQ(foreign_fetch_site(c.value), c.expected) << c.value;
  const Case encodings[] = {{"gzip", true},         {"gzip, deflate, br", true}, {"br;q=1, GZIP;q=0.5", true},
                            {"gzip;q=0", false},    {"gzip; q=0.000", false},    {"x-gzip", false},
                            {"deflate, br", false}, {"", false}};
  for (const Case& c : encodings) EXPECT_EQ(accepts_gzip(c.value), c.expected) << c.value;
}

// A fault inside a route becomes a 500 reply and the connection serves the next request.
TEST(Connection, FaultInARouteIsA500AndTheConnectionGoesOn) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  std::thread server([fd = fds[0]] {
    handle_connection(platform::Socket(fd), 8765, [](const HttpRequest& r) -> HttpResponse {
      if (r.path == "/boom") internal_error("index 7 out of range");
      if (r.path == "/text") throw 42;
      return error_response(r.method + " " + r.path + " " + query_param(r, "a"), 200);
    });
  });
  const std::string requests =
      "GET /boom HTTP/1.1\r\n\r\n"
      "GET /text HTTP/1.1\r\n\r\n"
      "PUT /a%20b?a=1&a=2 HTTP/1.1\r\nConnection: close\r\n\r\n";
  ASSERT_EQ(::write(fds[1], requests.data(), requests.size()), static_cast<ssize_t>(requests.size()));
  std::string got;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[1], buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
  ::close(fds[1]);
  server.join();
  size_t first = got.find("HTTP/1.1 500 Internal Server Error\r\n");
  EXPECT_EQ(first, 0u);
  EXPECT_NE(got.find(R"({"error": "internal error: index 7 out of range"})"), std::string::npos) << got;
  EXPECT_NE(got.find(R"({"error": "internal error: unknown fault"})"), std::string::npos) << got;
  EXPECT_NE(got.find(R"({"error": "PUT /a b 1"})"), std::string::npos) << got;
  EXPECT_NE(got.find("Connection: close\r\n"), std::string::npos);
}

}  // namespace
}  // namespace tsl
