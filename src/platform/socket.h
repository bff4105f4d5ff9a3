#pragma once
// TCP over IPv4 loopback for the studio: a listener bound to 127.0.0.1, accepted connections
// with a receive time-out, and whole-buffer sends. Descriptors are close-on-exec, so child
// processes (the browser opener, the GPU probe) never hold a connection open.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace tsl::platform {

// One owned socket descriptor, closed when the object goes.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket();

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void close();

 private:
  int fd_ = -1;
};

// Writes to a connection whose peer has gone must fail with an error, not end the process.
void ignore_broken_pipe_signal();

// A listening socket on 127.0.0.1:port with the given backlog (address reuse on, so a port
// left in TIME_WAIT by an earlier run can be bound again; a port with a live listener cannot).
std::expected<Socket, std::string> listen_loopback(uint16_t port, int backlog);

// The port a socket is bound to; 0 when unknown.
uint16_t local_port(const Socket& socket);

// The next connection of a listener; the error text when accepting failed.
std::expected<Socket, std::string> accept_connection(const Socket& listener);

// A receive that gets no data for `ms` milliseconds fails. Failures are ignored.
void set_receive_timeout(const Socket& socket, int ms);
void set_send_timeout(const Socket& socket, int ms);
// Small replies go out at once instead of waiting for the peer's acknowledgement.
void set_no_delay(const Socket& socket);

// Up to `size` bytes into `buffer`: the count received (> 0), 0 at the end of the stream, -1 on
// an error or time-out.
long receive_some(const Socket& socket, char* buffer, size_t size);

// Sends all bytes; false when the connection failed.
bool send_all(const Socket& socket, std::string_view bytes);

// A second descriptor on the same connection (close-on-exec); invalid when none could be made.
Socket duplicate(const Socket& socket);
// Wakes a thread blocked on this connection from another thread: both directions are shut, so
// its pending receive returns the end of the stream. Descriptors stay open for their owners.
void shut_down(const Socket& socket);

// Ends a connection after a final reply: the sending side is shut and input that already
// arrived (or arrives within `wait_ms`, up to a bound) is read and dropped, so the peer gets
// the reply instead of a reset for bytes the server never read.
void close_after_reply(Socket& socket, int wait_ms);

}  // namespace tsl::platform
