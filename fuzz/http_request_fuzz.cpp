// The studio's HTTP reader on arbitrary bytes sent down one connection: requests are read one
// after another until the bytes end or a request is refused, never a crash, a hang or a body
// beyond the bound. A local socket pair stands in for the network; each request gets a reply
// that echoes what was read, so the reply writer runs too. One thread does it all: the bytes
// are sent before the server starts (the input is cut to what the pair's buffer holds), and
// the handler takes the earlier replies off the client's side, so no write ever waits.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/socket.h"
#include "server/http.h"

namespace {

constexpr uint16_t PORT = 8765;
constexpr size_t MAX_INPUT = 16384;
constexpr int BUFFER_BYTES = 1 << 22;  // the system caps it; asked for so replies never fill it

int g_client = -1;

void drain_client() {
  char buffer[4096];
  while (::recv(g_client, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
  }
}

tsl::HttpResponse echo(const tsl::HttpRequest& request) {
  if (request.body.size() > tsl::HTTP_MAX_BODY) std::abort();
  drain_client();
  tsl::JsonValue out = tsl::JsonValue::empty_object();
  out.set_string("method", request.method);
  out.set_string("path", request.path);
  out.set_string("type", request.content_type.value_or(""));
  out.set_string("q", tsl::query_param(request, "q"));
  out.set_bool("close", request.close);
  return tsl::json_response(out, 200);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size = std::min(size, MAX_INPUT);
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
  for (int fd : fds) {
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &BUFFER_BYTES, sizeof BUFFER_BYTES);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &BUFFER_BYTES, sizeof BUFFER_BYTES);
  }
  g_client = fds[0];
  if (size > 0 && ::send(g_client, data, size, MSG_NOSIGNAL | MSG_DONTWAIT) != static_cast<ssize_t>(size)) std::abort();
  ::shutdown(g_client, SHUT_WR);
  tsl::handle_connection(tsl::platform::Socket(fds[1]), PORT, echo);
  ::close(g_client);
  return 0;
}
