#pragma once
// The studio's HTTP/1.1 core: one accepted connection served request after request
// (persistent, pipelining tolerated), the request and reply records every endpoint uses, and
// the reply helpers.
//
// Only the studio's own page may drive it: a Host other than 127.0.0.1:PORT or localhost:PORT,
// an Origin other than the page's own and a Sec-Fetch-Site of "cross-site" or "same-site" are
// refused (403), so neither another web page (a frame, an image, a form) nor a DNS-rebound
// name can reach the API; every reply forbids framing. Request lines, header counts and bodies
// are bounded before anything is allocated for them, the bodies of all connections together
// too. A request head must arrive whole within HTTP_HEAD_DEADLINE_MS of its first byte (of the
// connection's start for its first request), so half-open connections do not linger.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/socket.h"
#include "util/json.h"

namespace tsl {

inline constexpr size_t HTTP_MAX_LINE = 64 * 1024;       // request line or one header line
inline constexpr size_t HTTP_MAX_HEADERS = 100;          // header lines per request
inline constexpr uint64_t HTTP_MAX_BODY = 16ull << 20;   // body bytes
inline constexpr int HTTP_RECEIVE_TIMEOUT_MS = 120000;
inline constexpr int HTTP_HEAD_DEADLINE_MS = 5000;
// Body bytes of all requests in flight: a few large preview or settings bodies fit, 24 parallel
// maximal bodies do not (a body becomes several times its size once parsed).
inline constexpr uint64_t HTTP_BODY_BUDGET = 64ull << 20;

// The policy sent with every reply: the page's own scripts, styles inline in the page, images
// of its own or made in the page; no framing by any page.
inline constexpr std::string_view PAGE_SECURITY_POLICY =
    "default-src 'self'; script-src 'self'; style-src 'unsafe-inline'; img-src 'self' data: blob:; "
    "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

struct HttpRequest {
  std::string method;  // as sent
  std::string path;    // decoded, before the first "?"
  std::unordered_map<std::string, std::string> query;  // first occurrence of a key wins
  bool close = false;
  std::string body;
  std::optional<std::string> content_type;  // the last Content-Type header, trimmed
  bool accepts_gzip = false;                 // Accept-Encoding names gzip
};

struct HttpResponse {
  std::string content_type;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // written after Cache-Control
  uint16_t status = 200;
  bool cacheable = false;
};

// The compact JSON text of a reply: as json_write, but NaN and the infinities are written as
// null, since the page's JSON reader refuses the bare words. Files keep the bare words.
std::string json_reply_text(const JsonValue& value);
void json_reply_write(const JsonValue& value, std::string& out);

HttpResponse json_response(const JsonValue& value, uint16_t status);
HttpResponse not_found_response();
// {"error": message} with the status.
HttpResponse error_response(std::string_view message, uint16_t status);

// The decoded value of a query key, or "" when absent.
std::string query_param(const HttpRequest& request, std::string_view key);

// "+" to a space, "%hh" to its byte (a "%" without two hex digits stays), then invalid UTF-8
// replaced by U+FFFD.
std::string url_decode(std::string_view text);

// The query map of a query string ("a=1&b=2"): empty pieces skipped, a piece without "=" has an
// empty value, the first occurrence of a key wins.
std::unordered_map<std::string, std::string> parse_query(std::string_view query);

// Decimal digits with one optional leading "+", fitting 64 bits; nothing for anything else
// (the form of Content-Length values and of the numeric query keys).
std::optional<uint64_t> parse_unsigned_plus(std::string_view text);

// A Content-Length value: as parse_unsigned_plus, 0 for anything else.
uint64_t parse_content_length(std::string_view value);

// The reason phrase written for a status.
std::string_view reason_phrase(uint16_t status);

// Whether an Accept-Encoding value accepts gzip (listed, and not with q=0).
bool accepts_gzip(std::string_view value);

// Whether a Sec-Fetch-Site value comes from another site's page ("cross-site", "same-site");
// "same-origin", "none" and an absent header (curl, older browsers) are the studio's own.
bool foreign_fetch_site(std::string_view value);

// The head of a reply, up to and including the blank line.
std::string response_head(const HttpResponse& response, bool close);

// The routes: called once per request, on the connection's thread. Faults it raises become 500
// replies.
using RequestHandler = std::function<HttpResponse(const HttpRequest&)>;

// Serves one connection until the client closes, a read or write fails, the receive time-out
// expires or a request asks to close; `port` is the studio's own, for the Host and Origin
// checks; `connection_id` (connections.h, 0 for none) is told when the connection is busy.
// A HEAD request is answered as the GET of its path without the body. Never lets a fault
// escape.
void handle_connection(platform::Socket socket, uint16_t port, const RequestHandler& handler,
                       uint64_t connection_id = 0);

// Whether a Host header value, or an Origin header value, names the studio itself.
bool host_allowed(std::string_view host, uint16_t port);
bool origin_allowed(std::string_view origin, uint16_t port);

}  // namespace tsl
