#pragma once
// The studio's one build job: its shared state, the job thread, the log sink that turns the
// build's log lines into output lines, a stage and a progress fraction, and GET /api/job's
// reply.
//
// Starting, resetting and cache clearing are decided under `job_gate`, so a build cannot start
// between another request's "is a build running?" test and its action. The job thread removes
// its log sink and clears the cancellation flag before it publishes the final state, so a new
// build started the moment the state leaves "running" finds both in place.
#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/json.h"

namespace tsl {

struct StageMark {
  std::string name;
  double t = 0.0;  // Unix time the stage line arrived
};

struct JobState {
  std::optional<double> finished;
  std::string state = "idle";  // idle, running, done, error, cancelled
  std::vector<std::string> lines;
  std::vector<std::string> argv;
  std::vector<StageMark> stage_marks;
  std::optional<std::string> error;
  std::optional<JsonValue> report;
  uint32_t stage = 0;
  double progress = 0.0;
  double started = 0.0;
};

// Progress-bar share (start, end) of stages 1..6; index 0 unused.
inline constexpr std::array<std::pair<double, double>, 7> STAGE_SPANS = {{
    {0.0, 0.0}, {0.00, 0.05}, {0.05, 0.35}, {0.35, 0.50}, {0.50, 0.62}, {0.62, 0.64}, {0.64, 1.00}}};

// Seconds since 1970 with the fraction; 0 for a clock before 1970.
double unix_now();

// The process-wide job record and its lock. The log state's lock may be held when this one is
// taken, never the other way round.
std::mutex& job_mutex();
JobState& job_state();  // only under job_mutex

// Held across "is a build running?" and the action that depends on it (start, reset, cache
// clearing). Taken before job_mutex.
std::mutex& job_gate();

bool job_is_running();

// GET /api/job's reply for a client that holds `since` lines.
JsonValue api_job(uint64_t since);

// Splits a sink text into lines and feeds each into the job state (stage, progress, marks).
void ingest_job_log(std::string_view text);

// a / max(b, 1) of "{keyword}{a}/{b}" at the keyword's first occurrence, or nothing.
std::optional<double> parse_counter_fraction(std::string_view line, std::string_view keyword);

// "$ tessaly " and the words, a word holding a blank wrapped in double quotes.
std::string echo_command_line(const std::vector<std::string>& argv);

// Starts a build on its own thread when none runs (the caller holds job_gate); false when one
// is running.
bool start_job(std::vector<std::string> argv);

// Asks a running build to stop; does nothing while none runs.
void cancel_job();

// Puts back the idle record (the caller holds job_gate and has checked that none runs).
void reset_job_state();

// The job thread's body.
void run_job(std::vector<std::string> argv);

}  // namespace tsl
