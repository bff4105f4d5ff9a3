#pragma once
// Row loops of the flow back ends. Every row's result depends only on data the loop does not
// write, so running rows on worker threads gives the same bits as running them in order.
#include <cstddef>

#include "util/par.h"

namespace tsl::flow_detail {

// Below this many pixels a level's loops run inline: starting the workers would cost more
// than the rows (a few microseconds per thread against about 1 ns per pixel).
constexpr size_t PAR_MIN_PIXELS = 1u << 16;

// Calls f(first, last) over the row range [0, rows) of a level of `pixels` pixels.
template <typename F>
void for_rows(size_t rows, size_t pixels, F&& f) {
  if (pixels < PAR_MIN_PIXELS || rows < 2) {
    f(size_t{0}, rows);
    return;
  }
  par_rows(rows, 1, cpu_budget(), f);
}

}  // namespace tsl::flow_detail
