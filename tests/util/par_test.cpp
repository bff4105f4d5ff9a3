#include "util/par.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "util/error.h"

namespace tsl {
namespace {

using namespace std::chrono_literals;

// Blocks each caller until `count` callers are inside at once; reports false after a timeout.
// A loop that runs on fewer threads than claimed can never get them all in.
class Rendezvous {
 public:
  explicit Rendezvous(size_t count) : count_(count) {}
  bool arrive() {
    std::unique_lock lock(mutex_);
    if (++inside_ >= count_) cv_.notify_all();
    return cv_.wait_for(lock, 10s, [&] { return inside_ >= count_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  size_t count_;
  size_t inside_ = 0;
};

// Restores the process-wide flag and this thread's context after each test.
struct ParFixture : ::testing::Test {
  void TearDown() override {
    cancel_requested.store(false);
    set_log_context({});
  }
};

using ParMap = ParFixture;
using ParChunks = ParFixture;
using ParCancel = ParFixture;

TEST_F(ParMap, ResultsInIndexOrderWhateverTheFinishOrder) {
  auto r = par_map(64, 8, [](size_t i) {
    std::this_thread::sleep_for(std::chrono::microseconds((64 - i) * 50));  // early items finish last
    return std::to_string(i);
  });
  ASSERT_EQ(r.size(), 64u);
  for (size_t i = 0; i < r.size(); ++i) EXPECT_EQ(r[i], std::to_string(i));
}

TEST_F(ParMap, InlineWhenThereIsNoParallelWork) {
  const auto me = std::this_thread::get_id();
  struct Case {
    size_t n, budget;
  };
  for (Case c : {Case{0, 8}, Case{1, 8}, Case{10, 0}, Case{10, 1}}) {
    SCOPED_TRACE(testing::Message() << c.n << " items, budget " << c.budget);
    size_t calls = 0;  // unsynchronised on purpose: inline runs touch it from this thread only
    auto r = par_map(c.n, c.budget, [&](size_t i) {
      EXPECT_EQ(std::this_thread::get_id(), me);
      EXPECT_FALSE(in_par_worker());
      ++calls;
      return i;
    });
    EXPECT_EQ(calls, c.n);
    EXPECT_EQ(r.size(), c.n);
  }
}

TEST_F(ParMap, StartsOneThreadPerItemUpToTheBudget) {
  Rendezvous all_three(3);
  std::mutex mutex;
  std::set<std::thread::id> threads;
  auto r = par_map(3, 16, [&](size_t i) {
    {
      std::lock_guard lock(mutex);
      threads.insert(std::this_thread::get_id());
    }
    EXPECT_TRUE(in_par_worker());
    return all_three.arrive();
  });
  EXPECT_EQ(r, (std::vector<bool>{true, true, true}));
  EXPECT_EQ(threads.size(), 3u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
}

TEST_F(ParMap, NestedLoopsRunInlineOnTheWorker) {
  auto outer = par_map(4, 4, [](size_t i) {
    const auto worker = std::this_thread::get_id();
    auto inner = par_map(50, 64, [&](size_t j) { return std::this_thread::get_id() == worker ? i * 100 + j : 0; });
    std::vector<int> chunk_buf(40);
    bool chunks_inline = true;
    par_chunks(std::span<int>(chunk_buf), 4, 64, [&](size_t, std::span<int>) {
      chunks_inline = chunks_inline && std::this_thread::get_id() == worker;
    });
    size_t sum = 0;
    for (size_t v : inner) sum += v;
    return chunks_inline ? sum : 0;
  });
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(outer[i], i * 100 * 50 + 49 * 50 / 2) << i;
}

TEST_F(ParMap, ProgressOnTheStartingThreadInIncreasingOrder) {
  struct Case {
    size_t n, budget, step;
    std::vector<size_t> want;
  };
  const Case cases[] = {
      {25, 4, 10, {10, 20, 25}}, {25, 1, 10, {10, 20, 25}}, {7, 4, 10, {7}},
      {7, 1, 10, {7}},           {6, 3, 0, {1, 2, 3, 4, 5, 6}}, {0, 4, 10, {}},
  };
  const auto me = std::this_thread::get_id();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.n << " items, budget " << c.budget << ", step " << c.step);
    std::vector<size_t> seen;
    auto r = par_map_progress(
        c.n, c.budget, c.step, [](size_t i) { return i * 2; },
        [&](size_t done, size_t n) {
          EXPECT_EQ(std::this_thread::get_id(), me);
          EXPECT_EQ(n, c.n);
          seen.push_back(done);
        });
    EXPECT_EQ(seen, c.want);
    ASSERT_EQ(r.size(), c.n);
    for (size_t i = 0; i < c.n; ++i) EXPECT_EQ(r[i], i * 2);
  }
}

TEST_F(ParMap, WorkersInheritTheLogContext) {
  auto list = std::make_shared<CaptureList>();
  set_log_capture(list);
  par_map(20, 4, [](size_t i) {
    logf("  item {}", i);
    return 0;
  });
  set_log_capture(nullptr);
  std::set<std::string> lines(list->lines.begin(), list->lines.end());
  EXPECT_EQ(lines.size(), 20u);
  EXPECT_TRUE(lines.count("  item 19"));
}

// A fault in one item is reported on its worker; the others run to the end; the starting
// thread then raises an internal error.
TEST_F(ParMap, FaultInAnItemEndsTheLoopAfterAllItems) {
  std::atomic<size_t> done{0};
  testing::internal::CaptureStderr();
  try {
    par_map(40, 4, [&](size_t i) {
      if (i == 3) internal_error("item 3 broke");
      done.fetch_add(1);
      return i;
    });
    ADD_FAILURE() << "no fault raised";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "a scoped thread panicked");
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(done.load(), 39u);
  EXPECT_NE(err.find("panicked at tests/util/par_test.cpp"), std::string::npos) << err;
  EXPECT_NE(err.find("item 3 broke"), std::string::npos) << err;
}

// A progress callback that throws while workers still run must not unwind past the state
// they borrow: the loop lets them finish, joins them, then passes the fault on.
TEST_F(ParMap, FailingProgressCallbackJoinsWorkersFirst) {
  std::atomic<size_t> done{0};
  EXPECT_THROW(par_map_progress(
                   200, 4, 1,
                   [&](size_t i) {
                     std::this_thread::sleep_for(100us);
                     done.fetch_add(1);
                     return i;
                   },
                   [](size_t, size_t) { throw std::runtime_error("sink failed"); }),
               std::runtime_error);
  EXPECT_EQ(done.load(), 200u);
}

TEST_F(ParChunks, CutsTheBufferIntoChunks) {
  struct Case {
    size_t len, chunk, budget;
    std::vector<size_t> sizes;  // per chunk index
  };
  const Case cases[] = {
      {10, 4, 1, {4, 4, 2}}, {10, 4, 8, {4, 4, 2}}, {10, 0, 8, {}},
      {10, 40, 8, {10}},     {0, 4, 8, {}},         {1000, 7, 4, std::vector<size_t>(142, 7)},
  };
  for (Case c : cases) {
    SCOPED_TRACE(testing::Message() << c.len << " elements in chunks of " << c.chunk << ", budget " << c.budget);
    if (c.len == 1000) c.sizes.push_back(6);  // 142 whole chunks and a last one of 6
    std::vector<size_t> buf(c.len);
    std::mutex mutex;
    std::vector<size_t> sizes(c.sizes.size(), 0);
    size_t calls = 0;
    par_chunks(std::span<size_t>(buf), c.chunk, c.budget, [&](size_t k, std::span<size_t> chunk) {
      for (size_t& v : chunk) v = k;
      std::lock_guard lock(mutex);
      ++calls;
      ASSERT_LT(k, sizes.size());
      sizes[k] += chunk.size();
    });
    EXPECT_EQ(calls, c.sizes.size());
    EXPECT_EQ(sizes, c.sizes);
    if (c.chunk > 0) {
      for (size_t i = 0; i < buf.size(); ++i) ASSERT_EQ(buf[i], i / c.chunk) << i;
    }
  }
}

TEST_F(ParChunks, UsesNoMoreThreadsThanWholeChunks) {
  // 2 whole chunks and a budget of 8: two threads, each inside one chunk at the same time.
  Rendezvous both(2);
  std::vector<int> buf(8);
  std::atomic<int> met{0};
  par_chunks(std::span<int>(buf), 4, 8, [&](size_t, std::span<int>) {
    if (both.arrive()) met.fetch_add(1);
  });
  EXPECT_EQ(met.load(), 2);
}

// A stage held to n workers holds the image operations it calls (their budget is
// cpu_budget()) to n threads as well, on its own thread only and until the cap ends.
TEST_F(ParMap, BudgetCapHoldsCpuBudgetOnItsThread) {
  const size_t all = cpu_budget();
  {
    const BudgetCap outer(2);
    EXPECT_EQ(cpu_budget(), std::min<size_t>(all, 2));
    {
      const BudgetCap inner(0);  // 0 counts as 1
      EXPECT_EQ(cpu_budget(), 1u);
      size_t elsewhere = 0;
      std::thread([&] { elsewhere = cpu_budget(); }).join();
      EXPECT_EQ(elsewhere, all);
    }
    EXPECT_EQ(cpu_budget(), std::min<size_t>(all, 2));
    const BudgetCap wide(all + 5);  // never more than the processors
    EXPECT_EQ(cpu_budget(), all);
  }
  EXPECT_EQ(cpu_budget(), all);
}

TEST_F(ParCancel, MapStopsClaimingAndRaisesOnCancellableThreads) {
  set_log_cancellable(true);
  std::atomic<size_t> started{0}, finished{0};
  testing::internal::CaptureStderr();
  EXPECT_THROW(par_map(1000, 4,
                       [&](size_t i) {
                         started.fetch_add(1);
                         if (i == 5) cancel_requested.store(true);
                         std::this_thread::sleep_for(200us);
                         finished.fetch_add(1);
                         return i;
                       }),
               Cancelled);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_LT(started.load(), 1000u);
  EXPECT_EQ(started.load(), finished.load());  // items in progress finished
}

TEST_F(ParCancel, ProgressLoopStopsAndStaysQuiet) {
  set_log_cancellable(true);
  std::vector<size_t> seen;
  EXPECT_THROW(par_map_progress(
                   1000, 4, 1,
                   [&](size_t i) {
                     if (i == 5) cancel_requested.store(true);
                     std::this_thread::sleep_for(200us);
                     return i;
                   },
                   [&](size_t done, size_t) { seen.push_back(done); }),
               Cancelled);
  EXPECT_TRUE(seen.empty() || seen.back() < 1000u);
}

TEST_F(ParCancel, ChunksAndUncancellableThreadsRunToTheEnd) {
  cancel_requested.store(true);
  auto r = par_map(100, 4, [](size_t i) { return i; });  // this thread is not cancellable
  EXPECT_EQ(r.size(), 100u);
  set_log_cancellable(true);
  std::vector<int> buf(1000, 0);
  par_chunks(std::span<int>(buf), 10, 4, [](size_t, std::span<int> c) {
    for (int& v : c) v = 1;
  });
  for (int v : buf) ASSERT_EQ(v, 1);
  // The inline path has no cancellation test of its own.
  EXPECT_EQ(par_map(3, 1, [](size_t i) { return i; }).size(), 3u);
}

}  // namespace
}  // namespace tsl
