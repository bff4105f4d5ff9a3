#include "server/http.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>

#include "logx.h"
#include "server/connections.h"
#include "util/text.h"

namespace tsl {

void json_reply_write(const JsonValue& value, std::string& out) {
  switch (value.kind()) {
    case JsonValue::Kind::Number: {
      double x = value.as_f64();
      out += std::isfinite(x) ? json_number_text(x) : "null";
      return;
    }
    case JsonValue::Kind::Array: {
      const JsonArray& a = value.as_array();
      out.push_back('[');
      for (size_t i = 0; i < a.size(); ++i) {
        if (i > 0) out += ", ";
        json_reply_write(a[i], out);
      }
      out.push_back(']');
      return;
    }
    case JsonValue::Kind::Object: {
      const JsonObject& o = value.as_object();
      out.push_back('{');
      for (size_t i = 0; i < o.size(); ++i) {
        if (i > 0) out += ", ";
        json_write_string(out, o[i].first);
        out += ": ";
        json_reply_write(o[i].second, out);
      }
      out.push_back('}');
      return;
    }
    default:
      json_write(value, out, false, 0);
  }
}

std::string json_reply_text(const JsonValue& value) {
  std::string out;
  json_reply_write(value, out);
  return out;
}

HttpResponse json_response(const JsonValue& value, uint16_t status) {
  HttpResponse r;
  r.content_type = "application/json";
  r.body = json_reply_text(value);
  r.status = status;
  return r;
}

HttpResponse error_response(std::string_view message, uint16_t status) {
  JsonValue body = JsonValue::empty_object();
  body.set_str("error", message);
  return json_response(body, status);
}

HttpResponse not_found_response() { return error_response("not found", 404); }

std::string query_param(const HttpRequest& request, std::string_view key) {
  auto it = request.query.find(std::string(key));
  return it == request.query.end() ? std::string() : it->second;
}

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string url_decode(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      bytes.push_back(' ');
    } else if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
      bytes.push_back(static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
      i += 2;
    } else {
      bytes.push_back(c);
    }
  }
  return sanitize_utf8(bytes);
}

std::unordered_map<std::string, std::string> parse_query(std::string_view query) {
  std::unordered_map<std::string, std::string> map;
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view piece = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (piece.empty()) continue;
    size_t eq = piece.find('=');
    std::string key = url_decode(piece.substr(0, eq));
    if (map.contains(key)) continue;
    map.emplace(std::move(key), eq == std::string_view::npos ? std::string() : url_decode(piece.substr(eq + 1)));
  }
  return map;
}

std::optional<uint64_t> parse_unsigned_plus(std::string_view text) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (n > (UINT64_MAX - d) / 10) return std::nullopt;
    n = n * 10 + d;
  }
  return n;
}

uint64_t parse_content_length(std::string_view value) { return parse_unsigned_plus(value).value_or(0); }

std::string_view reason_phrase(uint16_t status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 409: return "Conflict";
    case 413: return "Payload Too Large";
    case 415: return "Unsupported Media Type";
    case 503: return "Service Unavailable";
    default: return "Internal Server Error";
  }
}

std::string response_head(const HttpResponse& response, bool close) {
  std::string head = format("HTTP/1.1 {} {}\r\nServer: tessaly\r\nContent-Type: {}\r\nContent-Length: {}\r\nCache-Control: {}\r\n",
                            response.status, reason_phrase(response.status), response.content_type,
                            response.body.size(), response.cacheable ? "max-age=3600" : "no-store");
  head += "X-Frame-Options: DENY\r\nX-Content-Type-Options: nosniff\r\nContent-Security-Policy: ";
  head += PAGE_SECURITY_POLICY;
  head += "\r\n";
  for (const auto& [name, value] : response.headers) {
    head += name;
    head += ": ";
    head += value;
    head += "\r\n";
  }
  head += close ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
  return head;
}

bool accepts_gzip(std::string_view value) {
  while (!value.empty()) {
    const size_t comma = value.find(',');
    std::string_view item = trim_unicode(value.substr(0, comma));
    value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    const size_t semi = item.find(';');
    if (to_lower_ascii(trim_unicode(item.substr(0, semi))) != "gzip") continue;
    if (semi == std::string_view::npos) return true;
    std::string q = to_lower_ascii(trim_unicode(item.substr(semi + 1)));
    q.erase(std::remove(q.begin(), q.end(), ' '), q.end());
    // "q=0", "q=0.0", "q=0.000": refused; any other weight accepts.
    if (!q.starts_with("q=")) return true;
    return q.find_first_not_of("0.", 2) != std::string::npos;
  }
  return false;
}

bool foreign_fetch_site(std::string_view value) {
  const std::string v = to_lower_ascii(trim_unicode(value));
  return v == "cross-site" || v == "same-site";
}

bool host_allowed(std::string_view host, uint16_t port) {
  const std::string h = to_lower_ascii(host);
  return h == format("127.0.0.1:{}", port) || h == format("localhost:{}", port);
}

bool origin_allowed(std::string_view origin, uint16_t port) {
  const std::string o = to_lower_ascii(origin);
  return o == format("http://127.0.0.1:{}", port) || o == format("http://localhost:{}", port);
}

namespace {

// The reading side of a connection: an 8192-byte buffer kept for the connection's life, so
// bytes of a pipelined request stay for the next one.
class ConnectionReader {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ConnectionReader(const platform::Socket& socket) : socket_(socket) {}

  // Reads from now on fail once `at` has passed; cleared, they wait HTTP_RECEIVE_TIMEOUT_MS
  // for each piece again.
  void set_deadline(Clock::time_point at) { deadline_ = at; }
  void clear_deadline() { deadline_.reset(); }
  // The deadline of the next request head: `ms` from now when its bytes are already buffered,
  // else `ms` from the arrival of its first byte.
  void deadline_for_next(int ms) {
    if (pos_ < end_) {
      set_deadline(Clock::now() + std::chrono::milliseconds(ms));
    } else {
      arm_ms_ = ms;
    }
  }

  enum class Status { Ok, End, TooLong };

  // One line including its "\n"; End on a read failure or when the stream ends first.
  Status read_line(std::string& line) {
    line.clear();
    for (;;) {
      if (pos_ == end_ && !fill()) return Status::End;
      const char* start = buffer_ + pos_;
      const void* nl = std::memchr(start, '\n', end_ - pos_);
      size_t take = nl ? static_cast<size_t>(static_cast<const char*>(nl) - start) + 1 : end_ - pos_;
      if (line.size() + take > HTTP_MAX_LINE) return Status::TooLong;
      line.append(start, take);
      pos_ += take;
      if (nl) return Status::Ok;
    }
  }

  // Exactly n bytes (n is bounded by the caller); false when the stream ends or fails first.
  bool read_exact(std::string& out, size_t n) {
    out.clear();
    while (out.size() < n) {
      if (pos_ == end_ && !fill()) return false;
      size_t take = std::min(n - out.size(), end_ - pos_);
      out.append(buffer_ + pos_, take);
      pos_ += take;
    }
    return true;
  }

 private:
  bool fill() {
    // The time-out is changed only when a deadline is in force or was, so a connection that
    // reads whole requests at once costs no extra system calls.
    if (deadline_) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - Clock::now()).count();
      if (left <= 0) return false;
      platform::set_receive_timeout(socket_, static_cast<int>(left));
      short_timeout_ = true;
    } else if (short_timeout_) {
      platform::set_receive_timeout(socket_, HTTP_RECEIVE_TIMEOUT_MS);
      short_timeout_ = false;
    }
    long got = platform::receive_some(socket_, buffer_, sizeof buffer_);
    if (got <= 0) return false;
    if (arm_ms_ > 0) {
      set_deadline(Clock::now() + std::chrono::milliseconds(arm_ms_));
      arm_ms_ = 0;
    }
    pos_ = 0;
    end_ = static_cast<size_t>(got);
    return true;
  }

  const platform::Socket& socket_;
  std::optional<Clock::time_point> deadline_;
  bool short_timeout_ = false;
  int arm_ms_ = 0;
  char buffer_[8192];
  size_t pos_ = 0;
  size_t end_ = 0;
};

// Splits at runs of Unicode white space.
std::vector<std::string_view> split_tokens(std::string_view line) {
  std::vector<std::string_view> tokens;
  size_t i = 0, start = std::string_view::npos;
  while (i < line.size()) {
    char32_t c = 0;
    size_t len = decode_utf8(line, i, c);
    if (len == 0) len = 1;  // lines are checked for UTF-8 before
    bool space = is_unicode_space(c);
    if (space && start != std::string_view::npos) {
      tokens.push_back(line.substr(start, i - start));
      start = std::string_view::npos;
    } else if (!space && start == std::string_view::npos) {
      start = i;
    }
    i += len;
  }
  if (start != std::string_view::npos) tokens.push_back(line.substr(start));
  return tokens;
}

bool write_reply(const platform::Socket& socket, const HttpResponse& response, bool close, bool head_only = false) {
  if (!platform::send_all(socket, response_head(response, close))) return false;
  return head_only || response.body.empty() || platform::send_all(socket, response.body);
}

std::atomic<uint64_t> g_body_bytes{0};

// A share of HTTP_BODY_BUDGET held while a request's body is read and handled.
class BodyBudget {
 public:
  bool take(uint64_t n) {
    uint64_t used = g_body_bytes.load();
    do {
      if (n > HTTP_BODY_BUDGET - used) return false;
    } while (!g_body_bytes.compare_exchange_weak(used, used + n));
    held_ = n;
    return true;
  }
  ~BodyBudget() { g_body_bytes.fetch_sub(held_); }

 private:
  uint64_t held_ = 0;
};

// Marks the connection busy for a request's life.
class BusyMark {
 public:
  explicit BusyMark(uint64_t id) : id_(id) {
    if (id_) connection_busy(id_, true);
  }
  ~BusyMark() {
    if (id_) connection_busy(id_, false);
  }

 private:
  uint64_t id_;
};

HttpResponse route_guarded(const RequestHandler& handler, const HttpRequest& request) {
  try {
    return handler(request);
  } catch (...) {
    return error_response(format("internal error: {}", fault_message(std::current_exception())), 500);
  }
}

}  // namespace

void handle_connection(platform::Socket socket, uint16_t port, const RequestHandler& handler, uint64_t connection_id) {
  try {
    platform::set_receive_timeout(socket, HTTP_RECEIVE_TIMEOUT_MS);
    // A client that stops reading must not hold its thread forever either.
    platform::set_send_timeout(socket, HTTP_RECEIVE_TIMEOUT_MS);
    platform::set_no_delay(socket);
    ConnectionReader reader(socket);
    // The first request head must come within the deadline of the connection's start; later
    // ones may wait idle, but once their first byte is there the head must follow in time.
    reader.set_deadline(ConnectionReader::Clock::now() + std::chrono::milliseconds(HTTP_HEAD_DEADLINE_MS));
    std::string line;
    for (;;) {
      auto status = reader.read_line(line);
      if (status == ConnectionReader::Status::TooLong) {
        write_reply(socket, error_response("request line too long", 400), true);
        platform::close_after_reply(socket, 200);
        return;
      }
      if (status != ConnectionReader::Status::Ok || utf8_error(line)) return;
      auto tokens = split_tokens(line);
      if (tokens.size() < 2) return;
      HttpRequest request;
      request.method = std::string(tokens[0]);
      const std::string target(tokens[1]);  // `line` is reused for the headers
      request.close = tokens.size() >= 3 && tokens[2] == "HTTP/1.0";
      uint64_t content_length = 0;
      bool foreign = false;  // a Host, Origin or Sec-Fetch-Site that is not the studio's own
      size_t header_lines = 0;
      for (;;) {
        status = reader.read_line(line);
        const bool too_long = status == ConnectionReader::Status::TooLong;
        if (!too_long && (status != ConnectionReader::Status::Ok || utf8_error(line))) return;
        std::string_view text = too_long ? std::string_view() : trim_unicode(line);
        if (!too_long && text.empty()) break;
        if (too_long || ++header_lines > HTTP_MAX_HEADERS) {
          write_reply(socket, error_response("request header too large", 400), true);
          platform::close_after_reply(socket, 200);
          return;
        }
        size_t colon = text.find(':');
        if (colon == std::string_view::npos) continue;
        std::string name = to_lower_ascii(trim_unicode(text.substr(0, colon)));
        if (name.empty()) continue;
        std::string_view value = trim_unicode(text.substr(colon + 1));
        if (name == "connection") {
          request.close = to_lower_ascii(value) == "close";
        } else if (name == "content-length") {
          content_length = parse_content_length(value);
        } else if (name == "content-type") {
          request.content_type = std::string(value);
        } else if (name == "accept-encoding") {
          request.accepts_gzip = accepts_gzip(value);
        } else if (name == "host") {
          if (!host_allowed(value, port)) foreign = true;
        } else if (name == "origin") {
          if (!origin_allowed(value, port)) foreign = true;
        } else if (name == "sec-fetch-site") {
          if (foreign_fetch_site(value)) foreign = true;
        }
      }
      reader.clear_deadline();
      // The announced length is checked before any byte of the body is taken.
      if (content_length > HTTP_MAX_BODY) {
        write_reply(socket, error_response("request body too large", 413), true);
        platform::close_after_reply(socket, 200);
        return;
      }
      BodyBudget budget;
      if (!budget.take(content_length)) {
        write_reply(socket, error_response("server busy: too many request bodies at once", 503), true);
        platform::close_after_reply(socket, 200);
        return;
      }
      request.body.reserve(static_cast<size_t>(content_length));
      if (!reader.read_exact(request.body, static_cast<size_t>(content_length))) return;
      // Busy from here: a connection still waiting for body bytes may be closed to make room.
      BusyMark busy(connection_id);
      std::string_view target_view = target;
      size_t question = target_view.find('?');
      request.path = url_decode(target_view.substr(0, question));
      if (question != std::string_view::npos) request.query = parse_query(target_view.substr(question + 1));
      HttpResponse response = foreign ? error_response("forbidden: the studio answers only its own page", 403)
                                      : route_guarded(handler, request);
      if (!write_reply(socket, response, request.close, request.method == "HEAD")) return;
      if (request.close) {
        platform::close_after_reply(socket, 200);
        return;
      }
      reader.deadline_for_next(HTTP_HEAD_DEADLINE_MS);
    }
  } catch (...) {
    // Allocation failures and the like end this connection only.
  }
}

}  // namespace tsl
