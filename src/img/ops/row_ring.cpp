#include "img/ops/row_ring.h"

#include <atomic>

namespace tsl::ops_detail {

namespace {
thread_local RowRing t_ring;
std::atomic<uint64_t> g_generation{0};
}  // namespace

uint64_t next_ring_generation() { return g_generation.fetch_add(1, std::memory_order_relaxed) + 1; }

RowRing& thread_ring(uint64_t generation, size_t capacity, size_t row_len) {
  if (t_ring.generation != generation) {
    t_ring.generation = generation;
    t_ring.row_len = row_len;
    t_ring.rows.resize(capacity * row_len);
    t_ring.ids.assign(capacity, -1);
    t_ring.users.assign(capacity, -1);
  }
  return t_ring;
}

void release_thread_ring() { t_ring = RowRing{}; }

}  // namespace tsl::ops_detail
