#include "server/job.h"

#include <chrono>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <thread>

#include "config/config.h"
#include "config/parse_args.h"
#include "logx.h"
#include "drivers/run_pipeline.h"
#include "server/file_access.h"
#include "server/http.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {

double unix_now() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  double s = std::chrono::duration<double>(since).count();
  return s > 0.0 ? s : 0.0;
}

std::mutex& job_mutex() {
  static std::mutex m;
  return m;
}

JobState& job_state() {
  static JobState state;
  return state;
}

std::mutex& job_gate() {
  static std::mutex m;
  return m;
}

bool job_is_running() {
  std::lock_guard lock(job_mutex());
  return job_state().state == "running";
}

JsonValue api_job(uint64_t since) {
  JsonValue out = JsonValue::empty_object();
  double now = unix_now();
  std::lock_guard lock(job_mutex());
  const JobState& job = job_state();
  out.set_str("state", job.state);
  out.set_u64("stage", job.stage);
  out.set_f64("progress", std::round(job.progress * 10000.0) / 10000.0);
  std::vector<JsonValue> lines;
  if (since < job.lines.size()) {
    lines.reserve(job.lines.size() - since);
    for (size_t i = since; i < job.lines.size(); ++i) lines.emplace_back(job.lines[i]);
  }
  out.set_array("lines", std::move(lines));
  out.set_u64("next", job.lines.size());
  // A finished job's clock stops at its end.
  double end = job.finished.value_or(now);
  out.set_f64("elapsed", job.started > 0.0 ? std::round((end - job.started) * 10.0) / 10.0 : 0.0);
  out.set("error", job.error ? JsonValue(*job.error) : JsonValue());
  out.set("report", job.state == "done" && job.report ? job.report->clone() : JsonValue());
  return out;
}

std::optional<double> parse_counter_fraction(std::string_view line, std::string_view keyword) {
  size_t at = line.find(keyword);
  if (at == std::string_view::npos) return std::nullopt;
  size_t i = at + keyword.size();
  auto digits = [&](size_t from) {
    size_t j = from;
    while (j < line.size() && line[j] >= '0' && line[j] <= '9') ++j;
    return j;
  };
  size_t a_end = digits(i);
  if (a_end >= line.size() || line[a_end] != '/') return std::nullopt;
  size_t b_end = digits(a_end + 1);
  if (a_end == i || b_end == a_end + 1) return std::nullopt;
  double a = std::strtod(std::string(line.substr(i, a_end - i)).c_str(), nullptr);
  double b = std::strtod(std::string(line.substr(a_end + 1, b_end - a_end - 1)).c_str(), nullptr);
  return a / std::max(b, 1.0);
}

namespace {

// The first `n` characters (code points) of UTF-8 text.
std::string_view first_chars(std::string_view text, size_t n) {
  size_t i = 0;
  for (size_t k = 0; k < n && i < text.size(); ++k) {
    char32_t c = 0;
    size_t len = decode_utf8(text, i, c);
    i += len == 0 ? 1 : len;
  }
  return text.substr(0, i);
}

// Stage number and mark name of a stage line such as "[2/6] pairs + features".
std::optional<std::pair<uint32_t, std::string>> parse_stage_line(std::string_view line) {
  if (line.size() <= 4 || line[0] != '[' || line[1] < '0' || line[1] > '9') return std::nullopt;
  size_t r = line.find("/6]");
  if (r == std::string_view::npos) return std::nullopt;
  std::string_view number = line.substr(1, r - 1);
  size_t dash = number.rfind('-');
  if (dash != std::string_view::npos) number = number.substr(dash + 1);
  auto n = parse_unsigned_plus(number);
  if (!n || *n < 1 || *n > 6) return std::nullopt;
  std::string_view name = trim_unicode(line.substr(r + 3));
  name = name.substr(0, name.find(':'));
  std::string mark(first_chars(name, 28));
  if (mark.empty()) mark = format("stage {}", *n);
  return std::pair{static_cast<uint32_t>(*n), std::move(mark)};
}

std::optional<double> progress_fraction(std::string_view line) {
  for (std::string_view keyword : {"features ", "block row ", "pairs "})
    if (auto f = parse_counter_fraction(line, keyword)) return f;
  if (line.find("BA ") == std::string_view::npos) return std::nullopt;
  size_t round = line.find(" round ");
  if (round == std::string_view::npos) return std::nullopt;
  size_t i = round + 7, j = i;
  while (j < line.size() && line[j] >= '0' && line[j] <= '9') ++j;
  if (j == i) return std::nullopt;
  double k = std::strtod(std::string(line.substr(i, j - i)).c_str(), nullptr);
  return std::min(0.4 * k, 1.0);
}

void ingest_line(std::string_view line) {
  std::string out(line);
  out.push_back('\n');
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
  auto stage = parse_stage_line(line);
  auto f = progress_fraction(line);
  double now = stage ? unix_now() : 0.0;
  std::lock_guard lock(job_mutex());
  JobState& job = job_state();
  job.lines.emplace_back(line);
  // Progress only grows: a stage may count a second pass (the adjustment after dense matching
  // starts its rounds again) and must not take the bar back.
  if (stage) {
    job.stage = stage->first;
    job.progress = std::max(job.progress, STAGE_SPANS[job.stage].first);
    job.stage_marks.push_back({std::move(stage->second), now});
  }
  if (f && job.stage >= 1 && job.stage <= 6) {
    auto [start, end] = STAGE_SPANS[job.stage];
    job.progress = std::max(job.progress, start + *f * (end - start));
  }
}

}  // namespace

void ingest_job_log(std::string_view text) {
  while (!text.empty()) {
    size_t nl = text.find('\n');
    if (nl == std::string_view::npos) {
      ingest_line(text);
      return;
    }
    std::string_view line = text.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    ingest_line(line);
    text.remove_prefix(nl + 1);
  }
}

std::string echo_command_line(const std::vector<std::string>& argv) {
  std::string out = "$ tessaly ";
  for (size_t i = 0; i < argv.size(); ++i) {
    if (i > 0) out.push_back(' ');
    if (argv[i].find(' ') != std::string::npos) {
      out += '"' + argv[i] + '"';
    } else {
      out += argv[i];
    }
  }
  return out;
}

bool start_job(std::vector<std::string> argv) {
  {
    std::lock_guard lock(job_mutex());
    JobState& job = job_state();
    if (job.state == "running") return false;
    job = JobState{};
    job.state = "running";
    job.argv = argv;
    job.started = unix_now();
    cancel_requested.store(false);
  }
  try {
    std::thread(run_job, std::move(argv)).detach();
  } catch (...) {
    // No thread will ever end this job: record the failure so the studio is not stuck.
    std::string message = format("internal error: {}", fault_message(std::current_exception()));
    std::lock_guard lock(job_mutex());
    JobState& job = job_state();
    job.state = "error";
    job.error = message;
    job.lines.push_back(message);
    job.finished = unix_now();
    internal_error("failed to spawn thread");
  }
  return true;
}

void cancel_job() {
  // Under the job's lock, so a request cannot outlive the build it was meant for.
  std::lock_guard lock(job_mutex());
  if (job_state().state == "running") cancel_requested.store(true);
}

void reset_job_state() {
  std::lock_guard lock(job_mutex());
  job_state() = JobState{};
}

void run_job(std::vector<std::string> argv) {
  set_thread_name("job");
  set_log_cancellable(true);
  set_log_sink(LogSink([](std::string_view text) { ingest_job_log(text); }));
  ingest_job_log(echo_command_line(argv));

  std::optional<JsonValue> report;
  std::optional<std::string> error;
  std::exception_ptr fault;
  try {
    auto options = parse_args(argv);
    if (!options) {
      error = options.error();
    } else {
      const Config config = Config::from_options(*options);
      auto result = run_pipeline(config);
      if (result) {
        report = std::move(*result);
      } else {
        error = result.error();
      }
    }
  } catch (...) {
    fault = std::current_exception();
  }
  const bool cancelled = cancel_requested.load();
  set_log_cancellable(false);
  // The sink goes before the state leaves "running": a build started right after must find
  // its own sink, not lose it to this thread's clean-up.
  set_log_sink(std::nullopt);
  if (report) allow_report_files(*report);

  std::lock_guard lock(job_mutex());
  JobState& job = job_state();
  if (error) {
    job.state = "error";
    job.error = *error;
    job.lines.push_back(format("error: {}", *error));
  } else if (report) {
    job.report = std::move(*report);
    job.progress = 1.0;
    job.state = "done";
  } else if (cancelled) {
    job.state = "cancelled";
    job.lines.emplace_back("cancelled");
  } else {
    std::string message = format("internal error: {}", fault ? fault_message(fault) : std::string("unknown fault"));
    job.state = "error";
    job.error = message;
    job.lines.push_back(message);
  }
  job.finished = unix_now();
  cancel_requested.store(false);
}

}  // namespace tsl
