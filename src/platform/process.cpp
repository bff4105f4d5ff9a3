#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

extern char** environ;

namespace tsl::platform {
namespace {

std::vector<char*> c_argv(std::span<const std::string> argv) {
  std::vector<char*> out;
  for (const std::string& a : argv) out.push_back(const_cast<char*>(a.c_str()));
  out.push_back(nullptr);
  return out;
}

int wait_exit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::expected<int, std::string> run_and_wait(std::span<const std::string> argv) {
  if (argv.empty()) return std::unexpected(std::string("no program"));
  auto args = c_argv(argv);
  pid_t pid = 0;
  int rc = ::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ);
  if (rc != 0) return std::unexpected(std::string(std::strerror(rc)));
  return wait_exit(pid);
}

std::expected<CapturedRun, std::string> run_captured(std::span<const std::string> argv, int timeout_ms) {
  if (argv.empty()) return std::unexpected(std::string("no program"));
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(std::string(std::strerror(errno)));
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  auto args = c_argv(argv);
  pid_t pid = 0;
  int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    return std::unexpected(std::string(std::strerror(rc)));
  }
  CapturedRun run;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  bool timed_out = false;
  char buffer[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      timed_out = ready == 0;
      break;
    }
    ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    // The probe's answer is one short line; a child that floods its output is cut off.
    if (run.out.size() < (1u << 20)) run.out.append(buffer, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  if (timed_out) {
    ::kill(pid, SIGKILL);
    wait_exit(pid);
    return std::unexpected(std::string("timed out"));
  }
  // The output is closed; a child that closed it early and keeps running is not waited for
  // past the deadline either.
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return run;
    }
    if (r < 0 && errno != EINTR) return std::unexpected(std::string(std::strerror(errno)));
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      wait_exit(pid);
      return std::unexpected(std::string("timed out"));
    }
    ::usleep(10000);
  }
}

bool start_detached(std::span<const std::string> argv) {
  if (argv.empty()) return false;
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  auto args = c_argv(argv);
  pid_t pid = 0;
  int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  try {
    std::thread([pid] { wait_exit(pid); }).detach();
  } catch (...) {
    // No thread to reap it: the child stays a zombie until the server ends, which is harmless.
  }
  return true;
}

}  // namespace tsl::platform
