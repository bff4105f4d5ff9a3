#pragma once
// The engine of the separable two-pass operations. Written out whole, the intermediate
// image of a horizontal pass is as large as a photo: mapping it and the traffic to fill and
// re-read it cost more than the arithmetic. Instead every worker keeps the horizontal rows
// it computed last in a small ring and computes a row only when an output row of its band
// needs it and the ring does not hold it. Each value comes from the same code as in a
// written-out pass, so results are the same bit for bit and do not depend on the thread
// count; rows near band starts are merely computed twice.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "img/ops/buffer.h"
#include "util/error.h"
#include "util/par.h"

namespace tsl::ops_detail {

// Above this many bytes of ring per worker, the intermediate is written out whole instead.
constexpr size_t RING_BYTES_MAX = size_t{32} << 20;

// Up to `capacity` horizontal rows; row r lives in slot r % capacity.
struct RowRing {
  uint64_t generation = 0;
  size_t row_len = 0;
  std::vector<float> rows;
  std::vector<int64_t> ids;    // row number held by each slot, -1 for none
  std::vector<int64_t> users;  // the output row that last fetched each slot
};

// A fresh number for each run, so that a ring never serves rows of another run.
uint64_t next_ring_generation();

// The calling thread's ring, emptied unless it already serves `generation`.
RowRing& thread_ring(uint64_t generation, size_t capacity, size_t row_len);

// Frees the calling thread's ring (the workers' rings go with their threads).
void release_thread_ring();

// Fills `out` (rows of out_row_len floats) in parallel: v_row(y, output row, fetch) adds up
// horizontal rows fetch(r) of h_row_len floats each, r < h_rows, which h_row(r, destination)
// computes. `capacity` must be at least the span of row numbers that one output row fetches;
// then the rows fetched for an output row never share a slot and all stay valid while the
// row is formed (evicting one of them is an internal error).
template <typename HRow, typename VRow>
void run_two_pass(std::span<float> out, size_t out_row_len, size_t h_rows, size_t h_row_len, size_t capacity,
                  HRow&& h_row, VRow&& v_row) {
  if (out.empty() || out_row_len == 0) return;
  capacity = std::max<size_t>(capacity, 1);
  if (capacity * h_row_len * sizeof(float) > RING_BYTES_MAX) {
    std::vector<float> inter = make_buffer<float>(h_rows * h_row_len);
    if (!inter.empty())
      par_chunks(std::span<float>(inter), h_row_len, cpu_budget(),
                 [&](size_t r, std::span<float> row) { h_row(r, row.data()); });
    par_chunks(out, out_row_len, cpu_budget(), [&](size_t y, std::span<float> row) {
      auto fetch = [&](size_t r) -> const float* { return inter.data() + r * h_row_len; };
      v_row(y, row.data(), fetch);
    });
    return;
  }
  const uint64_t generation = next_ring_generation();
  par_chunks(out, out_row_len, cpu_budget(), [&](size_t y, std::span<float> row) {
    RowRing& ring = thread_ring(generation, capacity, h_row_len);
    auto fetch = [&](size_t r) -> const float* {
      const size_t slot = r % ring.ids.size();
      float* dst = ring.rows.data() + slot * ring.row_len;
      if (ring.ids[slot] != static_cast<int64_t>(r)) {
        if (ring.users[slot] == static_cast<int64_t>(y)) internal_error("row ring smaller than a row's span");
        h_row(r, dst);
        ring.ids[slot] = static_cast<int64_t>(r);
      }
      ring.users[slot] = static_cast<int64_t>(y);
      return dst;
    };
    v_row(y, row.data(), fetch);
  });
  release_thread_ring();
}

}  // namespace tsl::ops_detail
