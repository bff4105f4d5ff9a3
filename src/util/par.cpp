#include "util/par.h"

#include "platform/system.h"
#include "platform/thread.h"
#include "util/error.h"

namespace tsl {

namespace {

thread_local bool t_in_par_worker = false;
thread_local size_t t_budget_cap = 0;  // 0: no cap

// Worker stacks: the loops' items keep large buffers on the heap, not the stack.
constexpr size_t WORKER_STACK_BYTES = 2u << 20;

}  // namespace

bool in_par_worker() { return t_in_par_worker; }

size_t cpu_budget() {
  const unsigned n = platform::logical_processors();
  const size_t all = n == 0 ? 4 : n;
  return t_budget_cap == 0 ? all : std::min(all, t_budget_cap);
}

BudgetCap::BudgetCap(size_t cap) : previous(t_budget_cap) { t_budget_cap = std::max<size_t>(cap, 1); }

BudgetCap::~BudgetCap() { t_budget_cap = previous; }

namespace par_detail {

bool worker_should_stop() { return cancel_requested.load(std::memory_order_relaxed) && log_cancellable(); }

void run_workers_with_reporter(size_t threads, const LogContext& context, const std::function<void()>& body,
                               const std::function<void()>& on_start_thread) {
  std::atomic<bool> faulted{false};
  std::exception_ptr reporter_fault;
  {
    std::vector<platform::Thread> workers;
    workers.reserve(threads);
    // If a thread fails to start, the vector's destructor joins the ones already running.
    for (size_t k = 0; k < threads; ++k) {
      workers.emplace_back(WORKER_STACK_BYTES, [&] {
        t_in_par_worker = true;
        set_log_context(context);
        try {
          body();
        } catch (...) {
          report_fault(std::current_exception());
          faulted.store(true);
        }
      });
    }
    // The reporter's progress line may raise Cancelled (or fail); the workers still run on and
    // must be joined before anything unwinds past the state they borrow.
    if (on_start_thread) {
      try {
        on_start_thread();
      } catch (...) {
        reporter_fault = std::current_exception();
      }
    }
    for (auto& w : workers) w.join();
  }
  if (faulted.load()) internal_error("a scoped thread panicked");
  if (reporter_fault) std::rethrow_exception(reporter_fault);
}

void run_workers(size_t threads, const LogContext& context, const std::function<void()>& body) {
  run_workers_with_reporter(threads, context, body, nullptr);
}

}  // namespace par_detail

}  // namespace tsl
