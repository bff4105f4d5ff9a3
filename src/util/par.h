#pragma once
// Parallel loops. Each call starts its own worker threads and joins them before it returns,
// so item functions may borrow the caller's data. A loop never starts more threads than it
// has work, and a loop called on a worker thread runs inline, so nesting never multiplies
// threads. Workers inherit the starting thread's LogContext (capture, mute, cancellable).
//
// par_map and par_map_progress are cancellation points: on a cancellable thread with a
// cancellation requested, workers stop claiming items and the loop raises Cancelled after
// they have ended. par_chunks always runs to its end.
//
// A fault in an item is reported on its worker, the other workers run on, and the starting
// thread then throws InternalError("a scoped thread panicked").
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "logx.h"

namespace tsl {

// True on a loop's worker threads.
bool in_par_worker();

namespace par_detail {

// Runs `body` on `threads` workers that inherit `context`, joins them all, then throws
// InternalError when any of them faulted.
void run_workers(size_t threads, const LogContext& context, const std::function<void()>& body);

// As run_workers, and runs `on_start_thread` on the calling thread while the workers run.
void run_workers_with_reporter(size_t threads, const LogContext& context, const std::function<void()>& body,
                               const std::function<void()>& on_start_thread);

bool worker_should_stop();

// The loop's end on the starting thread: the cancellation point, then the results in index
// order. Workers that stopped early for a cancellation leave slots empty; those are never read,
// even if the request was withdrawn meanwhile.
template <typename R>
std::vector<R> collect(std::vector<std::optional<R>>& slots, bool stopped) {
  check_cancel();
  if (stopped) raise_cancelled();
  std::vector<R> results;
  results.reserve(slots.size());
  for (auto& s : slots) results.push_back(std::move(*s));
  return results;
}

}  // namespace par_detail

// Calls f(i) for i in [0, n) and returns the results in index order.
template <typename F>
auto par_map(size_t n, size_t budget, F&& f) -> std::vector<std::invoke_result_t<F&, size_t>> {
  using R = std::invoke_result_t<F&, size_t>;
  std::vector<R> results;
  const size_t t = std::min(std::max<size_t>(budget, 1), std::max<size_t>(n, 1));
  if (t < 2 || n < 2 || in_par_worker()) {
    results.reserve(n);
    for (size_t i = 0; i < n; ++i) results.push_back(f(i));
    return results;
  }
  std::vector<std::optional<R>> slots(n);
  std::atomic<size_t> next{0};
  std::atomic<bool> stopped{false};
  par_detail::run_workers(t, log_context(), [&] {
    for (;;) {
      if (par_detail::worker_should_stop()) {
        stopped.store(true);
        return;
      }
      size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= n) return;
      slots[i].emplace(f(i));
    }
  });
  return par_detail::collect(slots, stopped.load());
}

// par_map that calls progress(done, n) on the starting thread whenever done is a multiple of
// `step` or equals n.
template <typename F, typename P>
auto par_map_progress(size_t n, size_t budget, size_t step, F&& f, P&& progress)
    -> std::vector<std::invoke_result_t<F&, size_t>> {
  using R = std::invoke_result_t<F&, size_t>;
  step = std::max<size_t>(step, 1);
  std::vector<R> results;
  const size_t t = std::min(std::max<size_t>(budget, 1), std::max<size_t>(n, 1));
  if (t < 2 || n < 2 || in_par_worker()) {
    results.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      results.push_back(f(i));
      size_t done = i + 1;
      if (done % step == 0 || done == n) progress(done, n);
    }
    return results;
  }
  std::vector<std::optional<R>> slots(n);
  std::atomic<size_t> next{0};
  // Finished items are counted under a mutex; the starting thread waits on the condition
  // and reports progress in increasing order.
  std::mutex mutex;
  std::condition_variable cv;
  size_t finished = 0;
  size_t running = t;
  const bool cancellable = log_cancellable();
  std::atomic<bool> stopped{false};
  auto worker = [&] {
    struct Done {
      std::mutex& m;
      std::condition_variable& cv;
      size_t& running;
      ~Done() {
        std::lock_guard lock(m);
        --running;
        cv.notify_one();
      }
    } done{mutex, cv, running};
    for (;;) {
      if (par_detail::worker_should_stop()) {
        stopped.store(true);
        return;
      }
      size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= n) return;
      slots[i].emplace(f(i));
      std::lock_guard lock(mutex);
      ++finished;
      cv.notify_one();
    }
  };
  auto reporter = [&] {
    size_t reported = 0;
    std::unique_lock lock(mutex);
    for (;;) {
      cv.wait(lock, [&] { return finished > reported || running == 0; });
      while (reported < finished) {
        ++reported;
        bool quiet = cancellable && cancel_requested.load(std::memory_order_relaxed);
        if (!quiet && (reported % step == 0 || reported == n)) {
          lock.unlock();
          progress(reported, n);
          lock.lock();
        }
      }
      if (running == 0 && reported == finished) return;
    }
  };
  par_detail::run_workers_with_reporter(t, log_context(), worker, reporter);
  return par_detail::collect(slots, stopped.load());
}

// Cuts `buffer` into chunks of `chunk_len` elements (the last one shorter) and calls
// f(k, chunk) for each; chunks are handed out in bands of about 1/(4 t) of the work.
template <typename T, typename F>
void par_chunks(std::span<T> buffer, size_t chunk_len, size_t budget, F&& f) {
  if (chunk_len == 0) return;
  const size_t len = buffer.size();
  const size_t whole = len / chunk_len;
  const size_t t = std::min(std::max<size_t>(whole, 1), std::max<size_t>(budget, 1));
  if (t < 2 || in_par_worker()) {
    for (size_t k = 0, pos = 0; pos < len; ++k, pos += chunk_len)
      f(k, buffer.subspan(pos, std::min(chunk_len, len - pos)));
    return;
  }
  const size_t band_chunks = std::max<size_t>((whole + 4 * t - 1) / (4 * t), 1);
  const size_t band_len = band_chunks * chunk_len;
  struct Band {
    size_t first_chunk, pos, len;
  };
  std::vector<Band> bands;
  for (size_t pos = 0, j = 0; pos < len; pos += band_len, ++j)
    bands.push_back({j * band_chunks, pos, std::min(band_len, len - pos)});
  std::mutex mutex;
  par_detail::run_workers(t, log_context(), [&] {
    for (;;) {
      Band band;
      {
        std::lock_guard lock(mutex);
        if (bands.empty()) return;
        band = bands.back();
        bands.pop_back();
      }
      for (size_t off = 0, k = band.first_chunk; off < band.len; off += chunk_len, ++k)
        f(k, buffer.subspan(band.pos + off, std::min(chunk_len, band.len - off)));
    }
  });
}

// Convenience for row loops: calls f(first, last) over [0, n) in ranges of `rows_per_item`.
template <typename F>
void par_rows(size_t n, size_t rows_per_item, size_t budget, F&& f) {
  if (n == 0) return;
  rows_per_item = std::max<size_t>(rows_per_item, 1);
  const size_t items = (n + rows_per_item - 1) / rows_per_item;
  std::vector<char> dummy(items);
  par_chunks(std::span<char>(dummy), 1, budget, [&](size_t k, std::span<char>) {
    size_t first = k * rows_per_item;
    f(first, std::min(n, first + rows_per_item));
  });
}

// Logical processors, 4 when the system does not say: the budget of image operations. Within
// a BudgetCap on the calling thread, at most the cap.
size_t cpu_budget();

// Caps cpu_budget() on the constructing thread until destroyed, so that a stage held to
// `workers` threads holds the image operations it calls to them too (0 counts as 1). Caps
// nest; the innermost holds. Loops started inside run their items on workers, where nested
// loops run inline anyway.
struct BudgetCap {
  explicit BudgetCap(size_t cap);
  ~BudgetCap();
  BudgetCap(const BudgetCap&) = delete;
  BudgetCap& operator=(const BudgetCap&) = delete;
  size_t previous;
};

}  // namespace tsl
