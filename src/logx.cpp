#include "logx.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <source_location>
#include <utility>

#include "util/error.h"

namespace tsl {

std::atomic<bool> cancel_requested{false};

namespace {

using Clock = std::chrono::steady_clock;

struct LogState {
  std::mutex mutex;
  std::vector<std::string> history;
  std::vector<StageTime> stage_times;
  std::optional<std::string> open_stage;
  Clock::time_point open_since;
  std::optional<LogSink> sink;
};

LogState& state() {
  static LogState s;
  return s;
}

thread_local LogContext t_context;
thread_local std::string t_thread_name = "<unnamed>";

double rounded_seconds(Clock::time_point from, Clock::time_point to) {
  double d = std::chrono::duration<double>(to - from).count();
  if (!(d > 0.0)) return 0.0;
  return std::round(d * 100.0) / 100.0;
}

// Caller holds the lock.
void close_open_stage(LogState& s, Clock::time_point now) {
  if (s.open_stage) {
    s.stage_times.push_back({*s.open_stage, rounded_seconds(s.open_since, now)});
    s.open_stage.reset();
  }
}

}  // namespace

std::optional<std::string> stage_name(std::string_view line) {
  if (line.size() <= 4 || line[0] != '[' || line[1] < '0' || line[1] > '9') return std::nullopt;
  size_t mark = line.find("/6]");
  if (mark == std::string_view::npos) return std::nullopt;
  std::string_view rest = trim_unicode(line.substr(mark + 3));
  size_t colon = rest.find(':');
  if (colon != std::string_view::npos) rest = trim_unicode(rest.substr(0, colon));
  if (!rest.empty()) return std::string(rest);
  return std::string(line.substr(0, mark + 3));
}

void log_str(std::string_view line) {
  const LogContext& ctx = t_context;
  if (ctx.capture) {
    if (!ctx.mute) {
      std::lock_guard lock(ctx.capture->mutex);
      ctx.capture->lines.emplace_back(line);
    }
    return;
  }
  if (ctx.mute) return;
  {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    if (auto name = stage_name(line)) {
      auto now = Clock::now();
      close_open_stage(s, now);
      s.open_stage = std::move(*name);
      s.open_since = now;
    }
    s.history.emplace_back(line);
    if (s.sink) {
      (*s.sink)(line);
    } else {
      std::fwrite(line.data(), 1, line.size(), stdout);
      std::fputc('\n', stdout);
      std::fflush(stdout);
    }
  }
  check_cancel();
}

void log(std::string line) { log_str(line); }

std::vector<std::string> log_history() {
  LogState& s = state();
  std::lock_guard lock(s.mutex);
  return s.history;
}

void reset_log() {
  LogState& s = state();
  std::lock_guard lock(s.mutex);
  s.history.clear();
  s.stage_times.clear();
  s.open_stage.reset();
}

std::vector<StageTime> close_stage_times() {
  LogState& s = state();
  std::lock_guard lock(s.mutex);
  close_open_stage(s, Clock::now());
  return s.stage_times;
}

void set_log_sink(std::optional<LogSink> sink) {
  // An empty callable (set_log_sink(nullptr) reaches here as one) means no sink, not a sink
  // that throws on every line.
  if (sink && !*sink) sink.reset();
  std::optional<LogSink> old;
  {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    old = std::exchange(s.sink, std::move(sink));
  }
  // `old` is destroyed outside the lock, in case its destructor logs.
}

void set_log_capture(std::shared_ptr<CaptureList> capture) { t_context.capture = std::move(capture); }

void set_log_context(LogContext context) { t_context = std::move(context); }

bool set_log_mute(bool mute) { return std::exchange(t_context.mute, mute); }

LogContext log_context() { return t_context; }

bool log_cancellable() { return t_context.cancellable; }

void set_log_cancellable(bool cancellable) { t_context.cancellable = cancellable; }

void raise_cancelled() { throw Cancelled{}; }

void check_cancel() {
  if (cancel_requested.load(std::memory_order_relaxed) && t_context.cancellable) raise_cancelled();
}

bool is_cancelled_fault(std::exception_ptr fault) {
  if (!fault) return false;
  try {
    std::rethrow_exception(fault);
  } catch (const Cancelled&) {
    return true;
  } catch (...) {
    return false;
  }
}

std::string fault_message(std::exception_ptr fault) {
  if (!fault) return "terminate called without an active exception";
  try {
    std::rethrow_exception(fault);
  } catch (const Cancelled&) {
    return "cancelled";
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown fault";
  }
}

void set_thread_name(std::string name) { t_thread_name = std::move(name); }

std::string_view thread_name() { return t_thread_name; }

namespace {

// "src/util/par.cpp:12" for an internal error, nothing for other faults.
std::string fault_place(std::exception_ptr fault) {
  if (!fault) return {};
  try {
    std::rethrow_exception(fault);
  } catch (const InternalError& e) {
    // Name the file from the source tree's root, not the machine's build path: this file's
    // own path, less "src/logx.cpp", is that root.
    std::string_view file = e.where.file_name();
    std::string_view self = std::source_location::current().file_name();
    std::string_view root = self.ends_with("src/logx.cpp") ? self.substr(0, self.size() - 12) : std::string_view();
    if (!root.empty() && file.starts_with(root)) file.remove_prefix(root.size());
    return format("{}:{}", file, e.where.line());
  } catch (...) {
    return {};
  }
}

[[noreturn]] void on_terminate() {
  report_fault(std::current_exception());
  std::fflush(nullptr);
  // Other threads may still run: leave without static destructors pulling state from under them.
  std::_Exit(FAULT_EXIT_CODE);
}

}  // namespace

void report_fault(std::exception_ptr fault, std::string_view thread_name) {
  if (is_cancelled_fault(fault) || cancel_requested.load(std::memory_order_relaxed)) return;
  std::string place = fault_place(fault);
  std::string text = place.empty() ? format("thread '{}' panicked: {}\n", thread_name, fault_message(fault))
                                   : format("thread '{}' panicked at {}: {}\n", thread_name, place, fault_message(fault));
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void report_fault(std::exception_ptr fault) { report_fault(fault, t_thread_name); }

void install_quiet_fault_handler() { std::set_terminate(on_terminate); }

}  // namespace tsl
