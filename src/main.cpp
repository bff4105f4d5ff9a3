// The program's entry: dispatches between the studio, the usage text, the version, the test
// commands and a command-line build, and alone turns their outcome into the exit code:
// 0 success, 1 a failed build (or a studio that could not serve), 2 a rejected command line,
// 101 an internal error. A build stopped by Ctrl-C or SIGTERM ends the way that signal would
// have ended it, once the build has removed its unfinished files.
#include <cstdio>
#include <exception>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "config/environment.h"
#include "config/parse_args.h"
#include "config/studio_words.h"
#include "config/usage.h"
#include "logx.h"
#include "drivers/run_pipeline.h"
#include "platform/signals.h"
#include "server/studio.h"
#include "testcmd.h"
#include "util/error.h"
#include "util/text.h"

namespace tsl {
namespace {

void write_all(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// The words after the program name. A word that is not valid UTF-8 cannot be a path or value
// the rest of the program could handle faithfully.
std::vector<std::string> read_words(int argc, char** argv) {
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    std::string_view w(argv[i]);
    if (auto bad = utf8_error(w)) internal_error(format("argument {} is not valid unicode: {}", i, *bad));
    words.emplace_back(w);
  }
  return words;
}

// Word counts of the hidden test commands; with any other count the word is an input.
bool is_test_command(std::span<const std::string> words) {
  if (words.empty()) return false;
  const std::string& w0 = words[0];
  const size_t n = words.size();
  return (w0 == "__load" && n == 3) || (w0 == "__dngtest" && n == 4) || (w0 == "__sifttest" && n == 2) ||
         (w0 == "__flowtest" && n == 4);
}

[[noreturn]] void end_by_signal(int signal_number) {
  std::fflush(nullptr);
  platform::end_by_signal(signal_number);
}

// The standard library's own faults (bad_alloc, length_error) carry no place; they are reported
// as internal errors at the place where they reached the entry, so that every fault report
// says where it surfaced.
std::exception_ptr with_place(std::exception_ptr fault, std::source_location here = std::source_location::current()) {
  try {
    std::rethrow_exception(fault);
  } catch (const InternalError&) {
    return fault;
  } catch (const Cancelled&) {
    return fault;
  } catch (...) {
    return std::make_exception_ptr(InternalError(fault_message(fault), here));
  }
}

bool has_word(std::span<const std::string> words, std::string_view w) {
  for (const std::string& word : words)
    if (word == w) return true;
  return false;
}

int run_build(std::span<const std::string> words) {
  auto options = parse_args(words);
  if (!options) {
    write_all(stderr, format("tessaly: error: {}\n(see tessaly --help)\n", options.error()));
    return 2;
  }
  const Config config = Config::from_options(*options);
  // Ctrl-C and SIGTERM stop the build the way the studio's cancel does: it unwinds at its next
  // cancellation point and removes the files it had begun.
  platform::install_stop_signals(cancel_requested);
  set_log_cancellable(true);
  auto report = run_pipeline(config);
  if (const int signal_number = platform::received_stop_signal()) end_by_signal(signal_number);
  if (!report) {
    write_all(stderr, format("error: {}\n", report.error()));
    return 1;
  }
  return 0;
}

constexpr std::string_view STUDIO_USAGE =
    "usage: tessaly studio [--port PORT] [--no-browser]\n"
    "\n"
    "Serves the studio page on 127.0.0.1 until the window is closed.\n"
    "\n"
    "  --port PORT   first port to try (default 8765; the next free one up to 11 above is used)\n"
    "  --no-browser  do not open the page in the browser\n";

int run_main(std::span<const std::string> words) {
  if (auto cpu = apply_cpu_switch(read_environment()); !cpu) {
    write_all(stderr, format("tessaly: error: {}\n", cpu.error()));
    return 2;
  }
  if (words.empty() || words[0] == "studio" || words[0] == "--studio") {
    if (words.size() > 1 && (has_word(words.subspan(1), "--help") || has_word(words.subspan(1), "-h"))) {
      write_all(stdout, STUDIO_USAGE);
      return 0;
    }
    StudioWords studio = words.empty() ? StudioWords{} : parse_studio_words(words.subspan(1));
    serve_studio(studio.port, studio.open_browser);
    return 1;  // the studio returns only when it could not serve
  }
  if (is_test_command(words)) {
    run_test_command(words);
    return 0;
  }
  // Help wins over the version when both are given.
  if (has_word(words, "--help") || has_word(words, "-h")) {
    write_all(stdout, usage_text());
    return 0;
  }
  if (has_word(words, "--version")) {
    write_all(stdout, format("{}\n", PROGRAM_VERSION));
    return 0;
  }
  return run_build(words);
}

}  // namespace
}  // namespace tsl

int main(int argc, char** argv) {
  tsl::install_quiet_fault_handler();
  tsl::platform::ignore_file_size_signal();
  tsl::set_thread_name("main");
  try {
    return tsl::run_main(tsl::read_words(argc, argv));
  } catch (...) {
    // A stopped build unwinds with Cancelled and ends the way the signal would have.
    if (const int signal_number = tsl::platform::received_stop_signal()) tsl::end_by_signal(signal_number);
    tsl::report_fault(tsl::with_place(std::current_exception()));
    std::fflush(stdout);
    return tsl::FAULT_EXIT_CODE;
  }
}
