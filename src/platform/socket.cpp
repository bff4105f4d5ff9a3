#include "platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <utility>

namespace tsl::platform {

Socket::Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

Socket::~Socket() { close(); }

void Socket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void ignore_broken_pipe_signal() { std::signal(SIGPIPE, SIG_IGN); }

std::expected<Socket, std::string> listen_loopback(uint16_t port, int backlog) {
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return std::unexpected(std::string(std::strerror(errno)));
  int one = 1;
  ::setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(s.fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s.fd(), backlog) != 0)
    return std::unexpected(std::string(std::strerror(errno)));
  return s;
}

uint16_t local_port(const Socket& socket) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

std::expected<Socket, std::string> accept_connection(const Socket& listener) {
  for (;;) {
    int fd = ::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return Socket(fd);
    if (errno == EINTR) continue;
    return std::unexpected(std::string(std::strerror(errno)));
  }
}

namespace {

void set_timeout(const Socket& socket, int option, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  ::setsockopt(socket.fd(), SOL_SOCKET, option, &tv, sizeof tv);
}

}  // namespace

void set_receive_timeout(const Socket& socket, int ms) { set_timeout(socket, SO_RCVTIMEO, ms); }
void set_send_timeout(const Socket& socket, int ms) { set_timeout(socket, SO_SNDTIMEO, ms); }

void set_no_delay(const Socket& socket) {
  int one = 1;
  ::setsockopt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

long receive_some(const Socket& socket, char* buffer, size_t size) {
  for (;;) {
    ssize_t n = ::recv(socket.fd(), buffer, size, 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return -1;
  }
}

bool send_all(const Socket& socket, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(socket.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

Socket duplicate(const Socket& socket) {
  if (!socket.valid()) return Socket();
  return Socket(::fcntl(socket.fd(), F_DUPFD_CLOEXEC, 0));
}

void shut_down(const Socket& socket) {
  if (socket.valid()) ::shutdown(socket.fd(), SHUT_RDWR);
}

void close_after_reply(Socket& socket, int wait_ms) {
  if (!socket.valid()) return;
  ::shutdown(socket.fd(), SHUT_WR);
  char buffer[4096];
  size_t dropped = 0;
  const int flags = wait_ms > 0 ? 0 : MSG_DONTWAIT;
  if (wait_ms > 0) set_receive_timeout(socket, wait_ms);
  while (dropped < (1u << 20)) {
    ssize_t n = ::recv(socket.fd(), buffer, sizeof buffer, flags);
    if (n <= 0) break;
    dropped += static_cast<size_t>(n);
  }
  socket.close();
}

}  // namespace tsl::platform
