#include "platform/signals.h"

#include <csignal>
#include <cstdlib>

#ifndef _WIN32
#include <signal.h>
#endif

namespace tsl::platform {
namespace {

// Only lock-free atomics may be touched from a signal handler.
std::atomic<int> g_received{0};
std::atomic<std::atomic<bool>*> g_flag{nullptr};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free &&
              std::atomic<std::atomic<bool>*>::is_always_lock_free);

extern "C" void on_stop_signal(int signal_number) {
  int none = 0;
  g_received.compare_exchange_strong(none, signal_number);
  if (std::atomic<bool>* flag = g_flag.load()) flag->store(true);
}

}  // namespace

void install_stop_signals(std::atomic<bool>& flag) {
  g_flag.store(&flag);
#ifdef _WIN32
  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGTERM, on_stop_signal);
#else
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  // SA_RESTART: reads and writes in progress go on instead of failing with EINTR; the build
  // notices the flag at its next cancellation point. The handler stays for later signals:
  // tools such as timeout send the same signal to the process and to its group, and the
  // second copy must not kill the build half-way through its clean-up.
  action.sa_flags = SA_RESTART;
  for (int signal_number : {SIGINT, SIGTERM}) {
    struct sigaction previous {};
    sigaction(signal_number, &action, &previous);
    // A signal the parent chose to ignore (a background job of a shell without job control)
    // stays ignored.
    if (previous.sa_handler == SIG_IGN) sigaction(signal_number, &previous, nullptr);
  }
#endif
}

void ignore_file_size_signal() {
#ifndef _WIN32
  std::signal(SIGXFSZ, SIG_IGN);
#endif
}

int received_stop_signal() { return g_received.load(); }

void end_by_signal(int signal_number) {
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
  // Only reached when the signal is blocked or ignored by the parent's set-up.
  std::_Exit(128 + signal_number);
}

}  // namespace tsl::platform
