#include "adjust/threads.h"

#include <algorithm>

#include "util/par.h"

namespace tsl {

size_t adjust_threads(size_t items) {
  return std::min(std::max<size_t>(items, 1), std::min(cpu_budget(), ADJUST_MAX_THREADS));
}

}  // namespace tsl
