#include "platform/thread.h"

#include <pthread.h>

#include <cstring>
#include <exception>
#include <string>
#include <utility>

#include "util/error.h"

namespace tsl::platform {

struct Thread::Start {
  std::function<void()> body;
};

namespace {

void* run_start(void* arg) {
  std::unique_ptr<Thread::Start> start(static_cast<Thread::Start*>(arg));
  try {
    start->body();
  } catch (...) {
    // Terminating inside the handler keeps the fault current, so the process's terminate
    // handler can report it before the process ends.
    std::terminate();
  }
  return nullptr;
}

}  // namespace

Thread::Thread(size_t stack_bytes, std::function<void()> body) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stack_bytes > 0) pthread_attr_setstacksize(&attr, stack_bytes);
  auto start = std::make_unique<Start>(Start{std::move(body)});
  pthread_t tid;
  int rc = pthread_create(&tid, &attr, &run_start, start.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) internal_error(std::string("cannot start a thread: ") + std::strerror(rc));
  start.release();
  handle_ = static_cast<unsigned long>(tid);
  started_ = true;
}

Thread::Thread(Thread&& other) noexcept
    : handle_(std::exchange(other.handle_, 0)), started_(std::exchange(other.started_, false)) {}

Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    join();
    handle_ = std::exchange(other.handle_, 0);
    started_ = std::exchange(other.started_, false);
  }
  return *this;
}

Thread::~Thread() { join(); }

void Thread::join() {
  if (!started_) return;
  pthread_join(static_cast<pthread_t>(handle_), nullptr);
  started_ = false;
}

}  // namespace tsl::platform
