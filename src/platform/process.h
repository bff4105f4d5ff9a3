#pragma once
// Child processes started from an argument list, never through a shell, so no word of a path
// or address is ever interpreted.
#include <expected>
#include <span>
#include <string>

namespace tsl::platform {

// Starts argv[0] (searched on PATH) with the standard streams inherited, waits for it to end
// and returns its exit status; an error text when it could not be started.
std::expected<int, std::string> run_and_wait(std::span<const std::string> argv);

struct CapturedRun {
  int exit_code = -1;  // -1 when it did not exit normally
  std::string out;     // standard output; standard error is discarded
};

// Starts argv[0] (searched on PATH) with its standard output captured and waits at most
// `timeout_ms`; a child still running then is killed and the run fails with "timed out".
std::expected<CapturedRun, std::string> run_captured(std::span<const std::string> argv, int timeout_ms);

// Starts argv[0] (searched on PATH) with its standard streams on the null device and does not
// wait for it; the child is reaped in the background. False when it could not be started.
bool start_detached(std::span<const std::string> argv);

}  // namespace tsl::platform
