#include "server/studio.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/cpu_counts.h"
#include "platform/desktop.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "config/environment.h"
#include "config/usage.h"
#include "logx.h"
#include "server/connections.h"
#include "server/http.h"
#include "server/perf.h"
#include "server/routes.h"
#include "util/text.h"

namespace tsl {
namespace {

void write_stdout(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

JsonValue static_perf_info() {
  JsonValue info = JsonValue::empty_object();
  // Both counts are of the processors this process may use, as the worker budget is.
  const platform::CpuCounts cpus = platform::allowed_cpus();
  info.set_u64("cores_logical", cpus.threads == 0 ? 4 : cpus.threads);
  info.set("cores_physical", cpus.cores ? JsonValue(static_cast<uint64_t>(*cpus.cores)) : JsonValue());
  uint64_t total = platform::total_memory_bytes();
  info.set("ram_total", total > 0 ? JsonValue(total) : JsonValue());
  info.set("gpu_name", JsonValue());
  return info;
}

void open_browser(std::string address) {
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  // Without a graphical session there is no browser to show the page.
  if (!graphical_session()) return;
  (void)platform::open_with_desktop(address);
}

void start_connection(platform::Socket socket, uint16_t port) {
  const uint64_t id = connection_opened(socket);
  if (id == 0) {
    HttpResponse busy = error_response("too many connections", 503);
    platform::set_send_timeout(socket, 1000);
    platform::send_all(socket, response_head(busy, true) + busy.body);
    platform::close_after_reply(socket, 0);
    return;
  }
  try {
    std::thread([s = std::move(socket), port, id]() mutable {
      set_thread_name("connection");
      handle_connection(std::move(s), port, route_request, id);
      connection_closed(id);
    }).detach();
  } catch (...) {
    // No thread for this connection: it is closed unanswered; the server goes on.
    connection_closed(id);
  }
}

}  // namespace

void serve_studio(uint16_t port, bool open_browser_flag) {
  platform::ignore_broken_pipe_signal();
  const uint32_t last = static_cast<uint32_t>(port) + 11;
  platform::Socket listener;
  for (uint32_t p = port; p <= last && p <= 65535; ++p) {
    auto s = platform::listen_loopback(static_cast<uint16_t>(p), 128);
    if (s) {
      listener = std::move(*s);
      break;
    }
  }
  if (!listener.valid()) {
    std::string text = format("no free port in {}-{}\n", port, last);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    return;
  }
  const uint16_t bound = platform::local_port(listener);
  init_perf_state(static_perf_info());
  std::thread([] {
    set_thread_name("perf");
    perf_sampler();
  }).detach();
  const std::string address = format("http://127.0.0.1:{}/", bound);
  write_stdout(format("tessaly studio {} -> {}   (close this window to quit)\n", PROGRAM_VERSION, address));
  if (open_browser_flag) std::thread(open_browser, address).detach();
  for (;;) {
    auto connection = platform::accept_connection(listener);
    if (!connection) {
      // Out of descriptors or a transient network error: wait instead of spinning.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    start_connection(std::move(*connection), bound);
  }
}

}  // namespace tsl
