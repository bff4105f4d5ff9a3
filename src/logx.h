#pragma once
// The one channel for progress and diagnostics text, the stage timer, cancellation and the
// fault report.
//
// A line goes to the calling thread's capture list when it has one (and nowhere else), is
// dropped on a muted thread, and otherwise goes under the log lock to the history and to
// stdout, or to the installed sink instead of stdout. A line such as "[1/6] metadata: ..."
// opens a stage and closes the one before it; the closed stages are the build's timings.
#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/text.h"

namespace tsl {

struct StageTime {
  std::string name;
  double seconds = 0.0;  // rounded to hundredths, half away from zero
};

struct CaptureList {
  std::mutex mutex;
  std::vector<std::string> lines;
};

struct LogContext {
  std::shared_ptr<CaptureList> capture;
  bool mute = false;
  bool cancellable = false;
};

using LogSink = std::function<void(std::string_view)>;

// Writes one line (no newline). May raise Cancelled after the line was written.
void log(std::string line);
void log_str(std::string_view line);

template <typename... Args>
void logf(std::string_view fmt, const Args&... args) {
  log(format(fmt, args...));
}

// The stage name of a line such as "[1/6] metadata: 18 files" ("metadata"), or nothing.
std::optional<std::string> stage_name(std::string_view line);

std::vector<std::string> log_history();
// Empties the history and timings; an open stage is dropped unrecorded. The sink stays.
void reset_log();
// Closes the open stage, if any, and returns all closed stages since the last reset.
std::vector<StageTime> close_stage_times();
// Installs a sink (nothing, or an empty callable, removes it). The sink runs under the log
// lock and must not log.
void set_log_sink(std::optional<LogSink> sink);

// The calling thread's context: replaced whole, its capture list replaced, its mute flag set
// (returning the previous value, which the caller restores), or copied.
void set_log_capture(std::shared_ptr<CaptureList> capture);
void set_log_context(LogContext context);
bool set_log_mute(bool mute);
LogContext log_context();
// The calling thread's `cancellable` mark, without copying the context.
bool log_cancellable();
void set_log_cancellable(bool cancellable);

// --- cancellation ----------------------------------------------------------------------

// The marker that unwinds a cancelled build; carries nothing.
struct Cancelled {};

// Process-wide request flag, set by the studio's cancel request.
extern std::atomic<bool> cancel_requested;

[[noreturn]] void raise_cancelled();
// Raises Cancelled when a cancellation is requested and this thread is cancellable.
void check_cancel();

// --- fault report ----------------------------------------------------------------------
//
// C++ has no hook at the moment an exception is raised, so faults are reported where they are
// caught: parallel workers report their own, the entry reports what reaches it, and a process
// terminate handler reports anything that escapes a thread and ends the process with 101.

// The name fault reports give the calling thread ("main", "<unnamed>" unless set).
void set_thread_name(std::string name);
std::string_view thread_name();

// Reports a fault on stderr: "thread '{name}' panicked at {file}:{line}: {message}" (the place
// only for internal errors). Silent for Cancelled and while a cancellation is requested.
void report_fault(std::exception_ptr fault, std::string_view thread_name);
void report_fault(std::exception_ptr fault);

// Installs the process-wide terminate handler: it reports the fault that ended a thread (as
// above, so silent when cancelled) and ends the process with exit code 101.
void install_quiet_fault_handler();

// The exit code of a process ended by an internal error.
inline constexpr int FAULT_EXIT_CODE = 101;

// The message of a fault, for the studio's "internal error: {}" replies.
std::string fault_message(std::exception_ptr fault);

bool is_cancelled_fault(std::exception_ptr fault);

}  // namespace tsl
