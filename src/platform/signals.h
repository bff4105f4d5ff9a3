#pragma once
// The stop requests a console sends a running build: Ctrl-C (SIGINT) and a polite kill
// (SIGTERM). They are turned into the build's ordinary cancellation, so that the build unwinds
// and removes what it had begun, instead of dying with half-written files on disk.
#include <atomic>

namespace tsl::platform {

// Routes SIGINT and SIGTERM to `flag` (set, never cleared) for the rest of the process; a
// repeated signal changes nothing (SIGKILL or SIGQUIT still end the process at once). A signal
// ignored when the process started stays ignored.
void install_stop_signals(std::atomic<bool>& flag);

// The first stop signal received since install_stop_signals, or 0.
int received_stop_signal();

// A write past the file-size limit (ulimit -f) then fails with EFBIG, which the writer reports
// as an error naming its file, instead of SIGXFSZ killing the process with its files half
// written. For the rest of the process.
void ignore_file_size_signal();

// Ends the process the way the signal itself would have (the shell then shows 128 + signal).
[[noreturn]] void end_by_signal(int signal_number);

}  // namespace tsl::platform
