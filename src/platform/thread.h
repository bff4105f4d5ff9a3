#pragma once
// A joinable thread with a chosen stack size. std::thread cannot set one, and worker
// threads must not depend on the platform's default.
#include <cstddef>
#include <functional>
#include <memory>

namespace tsl::platform {

class Thread {
 public:
  Thread() = default;
  // Starts `body` on a new thread; a failure to start is an internal error. A fault that
  // escapes `body` ends the process through std::terminate.
  Thread(size_t stack_bytes, std::function<void()> body);
  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) noexcept;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  ~Thread();  // joins if still joinable

  void join();
  bool joinable() const { return started_; }

  struct Start;  // the body handed to the new thread

 private:
  unsigned long handle_ = 0;
  bool started_ = false;
};

}  // namespace tsl::platform
