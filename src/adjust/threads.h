#pragma once
// The thread budget of the adjustment's parallel loops.
#include <cstddef>

namespace tsl {

// The adjustment's loops use at most this many threads.
constexpr size_t ADJUST_MAX_THREADS = 8;

// min(max(items, 1), logical processors (4 when unknown), 8).
size_t adjust_threads(size_t items);

}  // namespace tsl
