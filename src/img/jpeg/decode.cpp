#include "img/jpeg/decode.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <exception>
#include <memory>
#include <mutex>
#include <utility>

#include "img/jpeg/frame.h"
#include "img/jpeg/reconstruct.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {

namespace {

using Result = std::expected<void, std::string>;

uint32_t be16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }

size_t ceil_div(size_t a, size_t b) { return (a + b - 1) / b; }

Result read_frame_header(JpegDecoder& dec, std::span<const uint8_t> p, bool progressive) {
  if (p.size() < 6 || p.size() < 6 + 3 * size_t{p[5]}) return std::unexpected("bad SOF segment");
  // 12-bit samples would come out as garbage through the 8-bit path.
  if (p[0] != 8) return std::unexpected(format("JPEG sample precision {} not supported", p[0]));
  dec.height = be16(&p[1]);
  dec.width = be16(&p[3]);
  dec.progressive = progressive;
  const size_t nf = p[5];
  for (size_t i = 0; i < nf; ++i) {
    JpegComponent c;
    c.id = p[6 + 3 * i];
    c.h = p[7 + 3 * i] >> 4;
    c.v = p[7 + 3 * i] & 15;
    c.tq = p[8 + 3 * i] & 3;
    if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4)
      return std::unexpected(format("bad JPEG sampling factors {}x{}", c.h, c.v));
    dec.components.push_back(std::move(c));
  }
  const size_t n = dec.components.size();
  if (n == 4) return std::unexpected("CMYK/YCCK JPEG not supported");
  if (n == 2 || n > 4) return std::unexpected(format("JPEG with {} components not supported", n));
  dec.hmax = 1;
  dec.vmax = 1;
  for (const auto& c : dec.components) {
    dec.hmax = std::max(dec.hmax, c.h);
    dec.vmax = std::max(dec.vmax, c.v);
  }
  dec.mcus_x = ceil_div(dec.width, 8 * size_t{dec.hmax});
  dec.mcus_y = ceil_div(dec.height, 8 * size_t{dec.vmax});
  // Prove the coefficient buffers fit before any of them is allocated.
  uint64_t samples = 0;
  for (const auto& c : dec.components) samples += uint64_t{c.h} * dec.mcus_x * c.v * dec.mcus_y * 64;
  if (samples > JPEG_MAX_SAMPLES)
    return std::unexpected(format("JPEG frame too large: {}x{} with {} components", dec.width, dec.height, n));
  for (auto& c : dec.components) {
    c.blocks_w = c.h * dec.mcus_x;
    c.blocks_h = c.v * dec.mcus_y;
    c.coeffs.reset();
    c.ring_mcu_rows = 0;
  }
  return {};
}

// Gives every component its whole zeroed coefficient buffer, unless it has one.
void ensure_full_coeffs(JpegDecoder& dec) {
  for (auto& c : dec.components) {
    if (c.coeffs && c.ring_mcu_rows == 0) continue;
    const size_t n = c.blocks_w * c.blocks_h * 64;
    c.coeffs = std::make_unique_for_overwrite<int16_t[]>(n);
    c.ring_mcu_rows = 0;
    par_chunks(std::span<int16_t>(c.coeffs.get(), n), size_t{1} << 16, cpu_budget(),
               [](size_t, std::span<int16_t> chunk) { std::fill(chunk.begin(), chunk.end(), int16_t{0}); });
  }
}

Result read_quant_tables(JpegDecoder& dec, std::span<const uint8_t> p) {
  size_t i = 0;
  while (i < p.size()) {
    const uint8_t b = p[i];
    const bool wide = b >= 16;
    const size_t len = wide ? 129 : 65;
    if (i + len > p.size()) return std::unexpected("bad DQT segment");
    auto& q = dec.quant[b & 3];
    for (size_t k = 0; k < 64; ++k)
      q[JPEG_ZIGZAG[k]] = static_cast<uint16_t>(wide ? be16(&p[i + 1 + 2 * k]) : p[i + 1 + k]);
    i += len;
  }
  return {};
}

Result read_huffman_tables(JpegDecoder& dec, std::span<const uint8_t> p) {
  size_t i = 0;
  while (p.size() - i >= 17) {
    const uint8_t b = p[i];
    std::span<const uint8_t, 16> counts(p.data() + i + 1, 16);
    size_t total = 0;
    for (uint8_t c : counts) total += c;
    if (i + 17 + total > p.size()) return std::unexpected("bad DHT segment");
    auto table = JpegHuffTable::build(counts, p.subspan(i + 17, total));
    if (!table) return std::unexpected("bad DHT segment: " + table.error());
    (b > 15 ? dec.ac_tables : dec.dc_tables)[b & 3] = std::move(*table);
    i += 17 + total;
  }
  return {};
}

enum class ScanMode { Sequential, DcFirst, DcRefine, AcFirst, AcRefine };

struct ScanComponent {
  JpegComponent* comp = nullptr;
  const JpegHuffTable* dc = nullptr;
  const JpegHuffTable* ac = nullptr;
};

// What the marker walk carries besides the decoder: the requested reduction and an image made
// while the only scan of a sequential frame was decoding. That image keeps only a ring of
// coefficient rows; when anything after its scan would need them all, the walk stops with
// needs_full_decode and the file is decoded again the ordinary way.
struct WalkState {
  unsigned denominator = 1;
  bool allow_pipeline = true;
  bool needs_full_decode = false;
  std::optional<ImageU8> early_image;
  uint64_t early_generation = 0;
  // With `keep_partial`, an undecodable code ends the walk instead of failing the decode, and
  // what decoded stays. Per component (frame order): the MCU rows whose DC data came from
  // complete scan data, SIZE_MAX for all; `damaged` once any scan ended early or was corrupt.
  // The caller's image whose storage the output reuses, or null.
  ImageU8* storage = nullptr;
  bool keep_partial = false;
  std::vector<size_t> clean_rows;
  bool damaged = false;
  bool scanned = false;  // a scan has been decoded
};

// Eight 16-byte stores (not a call into the library's memset, which a block is too small for).
inline void clear_block(int16_t* block) {
#if defined(__SSE2__)
  for (int i = 0; i < 8; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * i), _mm_setzero_si128());
#else
  std::memset(block, 0, 64 * sizeof(int16_t));
#endif
}

bool is_restart_marker(uint8_t m) { return m >= 0xD0 && m <= 0xD7; }

// The reader has loaded the last byte of the scan's data (end of file, or a marker other than
// a restart): from here on it feeds zero bits once its buffer is spent.
bool past_scan_data(const JpegBitReader& r) {
  if (r.pos >= r.length) return true;
  return r.marker_hit && r.pos + 1 < r.length && !is_restart_marker(r.data[r.pos + 1]);
}

// The frame MCU rows of one scan that decoded from its own data. `ran_out_at` is the count
// of finished rows when the reader was first seen past its data at a row's end, `done` the
// count finished in all, `total` the scan's rows. The row during which the data ran out may
// hold zero bits, so it is not counted, unless the scan ended on a marker within its last two
// rows: the reader reads ahead up to 8 bytes, so a complete scan meets its closing marker
// while the last row is still decoding.
// `dry_at` is the count of finished rows when the reader was first seen to have decoded bits
// past the data (a stray marker mid-scan, a restart marker where none belongs): that row and
// all below it are lost, wherever the scan ends.
size_t clean_scan_rows(const JpegBitReader& r, size_t ran_out_at, size_t dry_at, size_t done, size_t total,
                       bool failed) {
  if (failed) return done > 0 ? done - 1 : 0;
  const size_t dry = dry_at == SIZE_MAX ? SIZE_MAX : dry_at > 0 ? dry_at - 1 : 0;
  if (ran_out_at == SIZE_MAX) return dry;
  const bool closing_marker = r.pos < r.length;
  if (closing_marker && ran_out_at + 2 >= total && done >= total) return dry;
  return std::min(dry, ran_out_at > 0 ? ran_out_at - 1 : 0);
}

std::string entropy_message(JpegEntropyError e) {
  return e == JpegEntropyError::BadDcCategory ? "bad DC difference category" : "bad huffman code";
}

struct ScanGrid {
  size_t cols = 0;
  size_t rows = 0;
};

// Runs the MCUs of one scan in order. `decode(sc, block)` decodes one block, `begin_row(k)`
// prepares MCU row k before its first block (false stops the scan), and `row_done(n)` hears
// how many MCU rows of the frame are complete.
template <typename Decode, typename BeginRow, typename RowDone>
JpegEntropyError run_mcus(JpegDecoder& dec, JpegBitReader& reader, std::vector<ScanComponent>& scan,
                          const ScanGrid& grid, Decode&& decode, BeginRow&& begin_row, RowDone&& row_done) {
  uint32_t counter = 0;
  const bool single = scan.size() == 1;
  // First block of each scan component's block rows in this MCU row, found once per row (the
  // ring's row lookup divides).
  int16_t* rows[4][4] = {};
  for (size_t my = 0; my < grid.rows; ++my) {
    if (single ? my % scan[0].comp->v == 0 : true) {
      if (!begin_row(single ? my / scan[0].comp->v : my)) return JpegEntropyError::None;
    }
    if (!single)
      for (size_t i = 0; i < scan.size() && i < 4; ++i)
        for (size_t by = 0; by < scan[i].comp->v; ++by) rows[i][by] = jpeg_block_row(*scan[i].comp, my * scan[i].comp->v + by);
    for (size_t mx = 0; mx < grid.cols; ++mx) {
      if (dec.restart_interval != 0 && counter == dec.restart_interval) {
        reader.resync_restart();
        for (auto& c : dec.components) c.dc_pred = 0;
        dec.eob_run = 0;
        counter = 0;
      }
      ++counter;
      if (single) {
        const auto e = decode(scan[0], jpeg_block_row(*scan[0].comp, my) + mx * 64);
        if (e != JpegEntropyError::None) return e;
        continue;
      }
      for (size_t i = 0; i < scan.size(); ++i) {
        ScanComponent& sc = scan[i];
        JpegComponent& c = *sc.comp;
        for (size_t by = 0; by < c.v; ++by) {
          // A malformed scan may name more than four components; those take the slow lookup.
          int16_t* block = (i < 4 ? rows[i][by] : jpeg_block_row(c, my * c.v + by)) + mx * c.h * 64;
          for (size_t bx = 0; bx < c.h; ++bx, block += 64) {
            const auto e = decode(sc, block);
            if (e != JpegEntropyError::None) return e;
          }
        }
      }
    }
    row_done(single ? (my + 1) / scan[0].comp->v : my + 1);
  }
  return JpegEntropyError::None;
}

// The largest number of MCU rows one band reads.
size_t band_span(const JpegOutputPlan& plan) {
  size_t span = 1;
  for (size_t b = 0; b < plan.bands; ++b) span = std::max(span, plan.last_mcu_row[b] - plan.first_mcu_row[b] + 1);
  return span;
}

// Ring buffers a thread keeps between decodes, one per component: a photograph's ring runs to
// megabytes, and allocating it afresh had the kernel map and clear every page of it again for
// each photo. Larger rings than RING_POOL_MAX (coefficients) are not kept.
struct PooledRing {
  std::unique_ptr<int16_t[]> coeffs;
  size_t capacity = 0;
};
constexpr size_t RING_POOL_MAX = size_t{8} << 20;
thread_local std::array<PooledRing, 3> ring_pool;

void allocate_ring(JpegDecoder& dec, size_t ring) {
  for (size_t i = 0; i < dec.components.size(); ++i) {
    JpegComponent& c = dec.components[i];
    c.ring_mcu_rows = ring;
    const size_t n = c.blocks_w * c.v * ring * 64;
    if (i < ring_pool.size() && ring_pool[i].capacity >= n) {
      c.coeffs = std::move(ring_pool[i].coeffs);
      c.coeffs_capacity = std::exchange(ring_pool[i].capacity, 0);
    } else {
      // Zeroed once: blocks past a lone component's scan grid are transformed but never
      // decoded (their samples are not shown), and must not be read uninitialised.
      c.coeffs = std::make_unique<int16_t[]>(n);
      c.coeffs_capacity = n;
    }
  }
}

// Gives the decoder's rings back to the thread's pool when its own decode is done with them.
struct RingReturn {
  JpegDecoder& dec;
  ~RingReturn() {
    for (size_t i = 0; i < dec.components.size() && i < ring_pool.size(); ++i) {
      JpegComponent& c = dec.components[i];
      if (c.ring_mcu_rows == 0 || !c.coeffs || c.coeffs_capacity > RING_POOL_MAX) continue;
      if (c.coeffs_capacity <= ring_pool[i].capacity) continue;
      ring_pool[i] = {std::move(c.coeffs), c.coeffs_capacity};
    }
  }
};

// The output image of a decode: the caller's storage when it holds enough, else a fresh image.
ImageU8 take_output(const JpegOutputPlan& plan, ImageU8* storage) {
  if (storage == nullptr || storage->data.capacity() < plan.width * plan.height * 3)
    return ImageU8(plan.width, plan.height, 3);
  ImageU8 out = std::move(*storage);
  jpeg_shape_output(plan, out);
  return out;
}

// The one-thread form of the pipeline below (on a loop worker, or with one processor): each
// band is reconstructed as soon as its MCU rows are decoded, before their ring slots are
// reused, so a photograph never needs its whole coefficient buffer.
template <typename Run>
JpegEntropyError run_streamed(JpegDecoder& dec, WalkState& walk, Run&& run) {
  const JpegOutputPlan plan = plan_jpeg_output(dec, walk.denominator);
  // Bands finish in order, so when row k starts every band reading row k - span is done.
  allocate_ring(dec, std::min(dec.mcus_y, band_span(plan) + 1));
  ImageU8 out = take_output(plan, walk.storage);
  const size_t row_bytes = plan.width * 3;
  size_t next_band = 0;
  auto flush = [&](size_t rows_done) {
    for (; next_band < plan.bands && plan.last_mcu_row[next_band] < rows_done; ++next_band)
      reconstruct_jpeg_band(dec, plan, next_band, out.data.data() + next_band * plan.band_rows * row_bytes);
  };
  // Every ring block is cleared by the sequential decode just before it is filled.
  const JpegEntropyError result = run([](size_t) { return true; }, flush);
  if (result != JpegEntropyError::None) return result;
  flush(SIZE_MAX);
  walk.early_image = std::move(out);
  walk.early_generation = dec.generation;
  return result;
}

// Decodes the only scan of a sequential frame while worker threads reconstruct each band of
// the image as soon as the MCU rows it reads are complete, so the transform and the colour
// step hide behind the serial entropy decoding. The
// coefficients live in a ring of MCU rows that the decoder refills once the bands reading a
// row are done with it, so no frame-sized coefficient buffer is ever touched.
template <typename Run>
JpegEntropyError run_pipelined(JpegDecoder& dec, WalkState& walk, Run&& run) {
  const JpegOutputPlan plan = plan_jpeg_output(dec, walk.denominator);
  const size_t workers = std::max<size_t>(cpu_budget(), 2) - 1;
  const size_t ring = std::min(dec.mcus_y, band_span(plan) + 2 * workers + 4);
  allocate_ring(dec, ring);

  constexpr size_t ALL = SIZE_MAX;
  std::atomic<size_t> ready{0};  // complete MCU rows
  std::atomic<bool> abort{false};
  std::atomic<size_t> next_band{0};
  std::atomic<size_t> finished{0};
  std::vector<std::atomic<uint8_t>> done(plan.bands);
  // Allocated up front: its zeroing faults in tens of megabytes of pages, which on a worker
  // only kept the bands (and through the ring the decoder) waiting.
  ImageU8 out = take_output(plan, walk.storage);
  JpegEntropyError result = JpegEntropyError::None;
  std::mutex fault_mutex;
  std::exception_ptr fault;
  auto fail = [&](std::exception_ptr e) {
    {
      std::lock_guard lock(fault_mutex);
      if (!fault) fault = e;
    }
    abort.store(true);
    finished.fetch_add(1);
    finished.notify_all();
  };

  const size_t row_bytes = plan.width * 3;
  auto worker = [&] {
    try {
      for (;;) {
        const size_t b = next_band.fetch_add(1);
        if (b >= plan.bands) return;
        size_t r;
        while ((r = ready.load(std::memory_order_acquire)) <= plan.last_mcu_row[b]) ready.wait(r);
        if (abort.load()) return;
        reconstruct_jpeg_band(dec, plan, b, out.data.data() + b * plan.band_rows * row_bytes);
        done[b].store(1, std::memory_order_release);
        finished.fetch_add(1);
        finished.notify_all();
      }
    } catch (...) {
      fail(std::current_exception());
    }
  };

  // Before MCU row k takes the ring slot of row k - ring, every band reading that row is done.
  size_t prefix = 0;  // bands [0, prefix) are done
  auto begin_row = [&](size_t k) {
    if (k >= ring) {
      const size_t old_row = k - ring;
      for (;;) {
        while (prefix < plan.bands && done[prefix].load(std::memory_order_acquire) != 0) ++prefix;
        if (prefix == plan.bands || plan.first_mcu_row[prefix] > old_row) break;
        if (abort.load()) return false;
        const size_t f = finished.load();
        if (done[prefix].load(std::memory_order_acquire) != 0 || abort.load()) continue;
        finished.wait(f);
      }
    }
    return true;
  };

  auto decoder = [&] {
    try {
      result = run(begin_row, [&](size_t rows) {
        ready.store(rows, std::memory_order_release);
        ready.notify_all();
      });
      if (result != JpegEntropyError::None) abort.store(true);
    } catch (...) {
      fail(std::current_exception());
    }
    ready.store(ALL, std::memory_order_release);
    ready.notify_all();
  };
  par_detail::run_workers_with_reporter(workers, log_context(), worker, decoder);
  if (fault) std::rethrow_exception(fault);
  if (result == JpegEntropyError::None) {
    walk.early_image = std::move(out);
    walk.early_generation = dec.generation;
  }
  return result;
}

// Records how far a scan's data reached: the DC data of sequential and first DC scans decides
// which rows are covered; later refinements only add detail, so their loss marks the image
// damaged without uncovering it.
void note_scan_rows(const JpegDecoder& dec, WalkState& walk, const std::vector<ScanComponent>& scan, ScanMode mode,
                    size_t clean) {
  if (clean != SIZE_MAX) walk.damaged = true;
  if (mode != ScanMode::Sequential && mode != ScanMode::DcFirst) return;
  walk.clean_rows.resize(dec.components.size(), 0);
  for (const ScanComponent& sc : scan) {
    const auto k = static_cast<size_t>(sc.comp - dec.components.data());
    walk.clean_rows[k] = std::max(walk.clean_rows[k], clean);
  }
}

// Decodes one scan whose header is `p`; returns where its entropy-coded data stopped.
std::expected<size_t, std::string> read_scan(JpegDecoder& dec, WalkState& walk, std::span<const uint8_t> data,
                                             size_t data_start, std::span<const uint8_t> p) {
  if (dec.components.empty()) return std::unexpected("SOS before SOF");
  if (p.empty() || p[0] == 0 || p.size() < 1 + 2 * size_t{p[0]} + 3) return std::unexpected("bad SOS segment");
  const size_t ns = p[0];
  std::vector<ScanComponent> scan;
  for (size_t i = 0; i < ns; ++i) {
    const uint8_t id = p[1 + 2 * i];
    const uint8_t t = p[2 + 2 * i];
    auto found = std::find_if(dec.components.begin(), dec.components.end(),
                              [&](const JpegComponent& c) { return c.id == id; });
    if (found == dec.components.end()) return std::unexpected("bad scan component");
    found->dc_table = (t >> 4) & 3;
    found->ac_table = t & 3;
    scan.push_back({&*found, nullptr, nullptr});
  }
  const uint32_t ss = p[1 + 2 * ns];
  const uint32_t se = p[2 + 2 * ns];
  const uint32_t ah = p[3 + 2 * ns] >> 4;
  const uint32_t al = p[3 + 2 * ns] & 15;
  ScanMode mode = ScanMode::Sequential;
  if (dec.progressive) {
    if (ss == 0)
      mode = ah == 0 ? ScanMode::DcFirst : ScanMode::DcRefine;
    else
      mode = ah == 0 ? ScanMode::AcFirst : ScanMode::AcRefine;
  }
  // A refinement walks every position of its band, so the band must stay inside the block.
  if (mode == ScanMode::AcRefine && se > 63) return std::unexpected("bad progressive scan band");

  ScanGrid grid{dec.mcus_x, dec.mcus_y};
  if (ns == 1) {
    const JpegComponent& c = *scan[0].comp;
    grid.cols = ceil_div(ceil_div(dec.width * c.h, dec.hmax), 8);
    grid.rows = ceil_div(ceil_div(dec.height * c.v, dec.vmax), 8);
  }
  // Every MCU holds a block of every scan component, so a table the scan lacks is needed by
  // its first MCU already.
  const bool needs_dc = mode == ScanMode::Sequential || mode == ScanMode::DcFirst;
  const bool needs_ac = mode == ScanMode::Sequential || mode == ScanMode::AcFirst || mode == ScanMode::AcRefine;
  for (auto& sc : scan) {
    const auto& dc = dec.dc_tables[sc.comp->dc_table];
    const auto& ac = dec.ac_tables[sc.comp->ac_table];
    sc.dc = dc ? &*dc : nullptr;
    sc.ac = ac ? &*ac : nullptr;
    if (grid.cols == 0 || grid.rows == 0) continue;
    if (needs_dc && sc.dc == nullptr) return std::unexpected("missing DC table");
    if (needs_ac && sc.ac == nullptr) return std::unexpected("missing AC table");
  }

  JpegBitReader reader;
  reader.data = data.data();
  reader.length = data.size();
  reader.pos = data_start;
  for (auto& c : dec.components) c.dc_pred = 0;
  dec.eob_run = 0;

  // Watching the reader at each row's end (never inside a row) tells how far the scan's own
  // data reached.
  size_t ran_out_at = SIZE_MAX, dry_at = SIZE_MAX, rows_done = 0;
  auto run = [&](auto&& begin_row, auto&& frame_rows_done) -> JpegEntropyError {
    auto row_done = [&](size_t rows) {
      rows_done = rows;
      if (ran_out_at == SIZE_MAX && past_scan_data(reader)) ran_out_at = rows;
      if (dry_at == SIZE_MAX && reader.ran_dry()) dry_at = rows;
      frame_rows_done(rows);
    };
    switch (mode) {
      case ScanMode::Sequential:
        return run_mcus(dec, reader, scan, grid, [&](ScanComponent& sc, int16_t* block) {
          // Cleared here, while the block is about to be written anyway, rather than a row
          // at a time ahead: a ring slot is reused without ever being cleared as a whole.
          clear_block(block);
          return decode_block_baseline(reader, *sc.dc, *sc.ac, sc.comp->dc_pred, block);
        }, begin_row, row_done);
      case ScanMode::DcFirst:
        return run_mcus(dec, reader, scan, grid, [&](ScanComponent& sc, int16_t* block) {
          return decode_dc_first(reader, *sc.dc, sc.comp->dc_pred, al, block);
        }, begin_row, row_done);
      case ScanMode::DcRefine:
        return run_mcus(dec, reader, scan, grid, [&](ScanComponent&, int16_t* block) {
          return decode_dc_refine(reader, al, block);
        }, begin_row, row_done);
      case ScanMode::AcFirst:
        return run_mcus(dec, reader, scan, grid, [&](ScanComponent& sc, int16_t* block) {
          return decode_ac_first(reader, *sc.ac, ss, se, al, dec.eob_run, block);
        }, begin_row, row_done);
      case ScanMode::AcRefine:
        return run_mcus(dec, reader, scan, grid, [&](ScanComponent& sc, int16_t* block) {
          return decode_ac_refine(reader, *sc.ac, ss, se, al, dec.eob_run, block);
        }, begin_row, row_done);
    }
    return JpegEntropyError::None;
  };

  // The pipeline needs the first scan of a sequential frame to hold every component: it then
  // finishes MCU rows for good as it goes.
  bool first_scan = true, ring = false;
  for (const auto& c : dec.components) {
    first_scan = first_scan && !c.coeffs;
    ring = ring || c.ring_mcu_rows != 0;
  }
  if (ring) {
    walk.needs_full_decode = true;
    return data.size();
  }
  bool covers_all = mode == ScanMode::Sequential && first_scan;
  for (const auto& c : dec.components)
    covers_all = covers_all && std::any_of(scan.begin(), scan.end(), [&](const ScanComponent& sc) { return sc.comp == &c; });
  JpegEntropyError e = JpegEntropyError::None;
  const bool pipelined = walk.allow_pipeline && covers_all && dec.width > 0 && dec.mcus_y >= 2;
  if (pipelined) {
    e = cpu_budget() >= 2 && !in_par_worker() ? run_pipelined(dec, walk, run) : run_streamed(dec, walk, run);
  } else {
    ensure_full_coeffs(dec);
    e = run([](size_t) { return true; }, [](size_t) {});
  }
  if (e != JpegEntropyError::None && !walk.keep_partial) return std::unexpected(entropy_message(e));
  if (e != JpegEntropyError::None && pipelined) {
    // The pipeline drops its image on a failure; the whole-buffer decode keeps what decoded.
    walk.needs_full_decode = true;
    return data.size();
  }
  // The frame rows a complete scan reports; a lone component's last partial MCU row is never
  // reported.
  const size_t scan_rows = ns == 1 ? grid.rows / scan[0].comp->v : grid.rows;
  walk.scanned = true;
  note_scan_rows(dec, walk, scan, mode,
                 clean_scan_rows(reader, ran_out_at, dry_at, rows_done, scan_rows, e != JpegEntropyError::None));
  // Nothing after a corrupt scan can be trusted; a scan cut by a stray marker leaves that
  // marker's garbage next, which the walk must not read as a segment.
  if (e != JpegEntropyError::None || (walk.keep_partial && reader.ran_dry())) {
    walk.damaged = true;
    return data.size();
  }
  return reader.pos;
}

// Walks the markers from just after SOI, decoding every scan into the coefficient buffers.
Result walk_markers(JpegDecoder& dec, WalkState& walk, std::span<const uint8_t> data) {
  const size_t n = data.size();
  size_t pos = 2;
  for (;;) {
    while (pos < n && data[pos] != 0xFF) ++pos;
    while (pos < n && data[pos] == 0xFF) ++pos;
    if (pos >= n) return {};
    const uint8_t m = data[pos];
    if (m == 0xD9) return {};
    if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {
      ++pos;
      continue;
    }
    if (pos + 2 >= n) return {};
    const size_t length = be16(&data[pos + 1]);
    if (length < 2) return std::unexpected("bad JPEG segment length");
    const size_t end = pos + 1 + length;
    const auto payload = data.subspan(pos + 3, std::min(end, n) - (pos + 3));
    // A frame, table or scan header cut off by the end of the data is a truncated file, not a
    // malformed one: nothing after it can be read, so the walk ends with what it has.
    const bool header = m == 0xC0 || m == 0xC1 || m == 0xC2 || m == 0xC4 || m == 0xDB || m == 0xDD || m == 0xDA;
    if (header && end > n) return {};
    size_t next = end;
    // A second frame header would remake the components the decoded scans filled.
    if (walk.keep_partial && walk.scanned && m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
      walk.damaged = true;
      return {};
    }
    if (m == 0xC0 || m == 0xC1 || m == 0xC2 || m == 0xDB || m == 0xDA || m == 0xE0 || m == 0xEE) ++dec.generation;
    switch (m) {
      case 0xC0:
      case 0xC1:
      case 0xC2:
        if (auto r = read_frame_header(dec, payload, m == 0xC2); !r) return r;
        break;
      case 0xC3:
      case 0xC5:
      case 0xC6:
      case 0xC7:
      case 0xC9:
      case 0xCA:
      case 0xCB:
      case 0xCD:
      case 0xCE:
      case 0xCF:
        return std::unexpected("unsupported JPEG process (lossless/arithmetic)");
      case 0xC4:
        if (auto r = read_huffman_tables(dec, payload); !r) return r;
        break;
      case 0xDB:
        if (auto r = read_quant_tables(dec, payload); !r) return r;
        break;
      case 0xDD:
        if (payload.size() < 2) return std::unexpected("bad DRI segment");
        dec.restart_interval = be16(payload.data());
        break;
      case 0xDA: {
        auto stop = read_scan(dec, walk, data, end, payload);
        if (!stop) return std::unexpected(stop.error());
        next = *stop;
        break;
      }
      case 0xE0:
        if (payload.size() >= 4 && std::equal(payload.begin(), payload.begin() + 4, "JFIF")) dec.jfif = true;
        break;
      case 0xEE:
        if (payload.size() >= 12 && std::equal(payload.begin(), payload.begin() + 5, "Adobe")) {
          dec.adobe = true;
          dec.adobe_transform = payload[11];
        }
        break;
      default:
        break;
    }
    if (walk.needs_full_decode) return {};
    pos = next;
  }
}

// walk_markers where, for a photo that may be damaged, a malformed segment after the first scan
// (garbage that merely looks like a marker) ends the data there instead of failing the decode.
Result walk_markers_checked(JpegDecoder& dec, WalkState& walk, std::span<const uint8_t> data) {
  auto r = walk_markers(dec, walk, data);
  if (!r && walk.keep_partial && walk.scanned) {
    walk.damaged = true;
    return {};
  }
  return r;
}

}  // namespace

std::optional<JpegInfo> probe_jpeg(std::span<const uint8_t> data) {
  const size_t n = data.size();
  if (n < 6) return std::nullopt;
  size_t pos = 2;
  while (pos + 4 <= n) {
    if (data[pos] != 0xFF) {
      ++pos;
      continue;
    }
    const uint8_t m = data[pos + 1];
    if (m == 0xD8 || m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {
      pos += 2;
    } else if (m == 0xFF) {
      pos += 1;
    } else if (m >= 0xC0 && m <= 0xC3 && pos + 9 < n) {
      JpegInfo info;
      info.width = be16(&data[pos + 7]);
      info.height = be16(&data[pos + 5]);
      info.components = data[pos + 9];
      info.progressive = m == 0xC2;
      return info;
    } else if (m == 0xD9 || m == 0xDA) {
      return std::nullopt;
    } else {
      pos += 2 + be16(&data[pos + 2]);
    }
  }
  return std::nullopt;
}

namespace {

// The output rows whose every input MCU row is among the first `mcu_rows`.
size_t covered_output_rows(const JpegDecoder& dec, unsigned denominator, size_t mcu_rows) {
  const JpegOutputPlan plan = plan_jpeg_output(dec, denominator);
  size_t bands = 0;
  while (bands < plan.bands && plan.last_mcu_row[bands] < mcu_rows) ++bands;
  return bands == plan.bands ? plan.height : std::min(plan.height, bands * plan.band_rows);
}

std::expected<JpegDecoded, std::string> decode_jpeg_impl(std::span<const uint8_t> data, unsigned denominator,
                                                         bool keep_partial, ImageU8* storage = nullptr) {
  if (data.size() < 4 || data[0] != 0xFF || data[1] != 0xD8) return std::unexpected("not a JPEG");
  if (keep_partial) {
    // A copy cut short often leaves its file padded with zeros, which would decode as flat
    // grey; without an end marker before them they are not data.
    size_t end = data.size();
    while (end > 2 && data[end - 1] == 0) --end;
    if (end < data.size() && !(data[end - 2] == 0xFF && data[end - 1] == 0xD9)) data = data.first(end);
  }
  for (bool allow_pipeline : {true, false}) {
    JpegDecoder dec;
    const RingReturn ring_return{dec};
    WalkState walk;
    walk.storage = storage;
    walk.denominator = denominator;
    walk.allow_pipeline = allow_pipeline;
    walk.keep_partial = keep_partial;
    if (auto r = walk_markers_checked(dec, walk, data); !r) return std::unexpected(r.error());
    // An image the walk made but cannot use gives its storage back for the next try.
    auto drop_early = [&] {
      if (storage != nullptr && walk.early_image) *storage = std::move(*walk.early_image);
    };
    if (walk.needs_full_decode) {
      drop_early();
      continue;
    }
    if (dec.components.empty() || dec.width == 0) return std::unexpected("no image in JPEG");
    walk.clean_rows.resize(dec.components.size(), 0);
    const size_t clean = *std::min_element(walk.clean_rows.begin(), walk.clean_rows.end());
    JpegDecoded out;
    out.damaged = walk.damaged || clean != SIZE_MAX;
    if (walk.early_image && walk.early_generation == dec.generation) {
      out.image = std::move(*walk.early_image);
    } else {
      drop_early();
      if (std::any_of(dec.components.begin(), dec.components.end(),
                      [](const JpegComponent& c) { return c.ring_mcu_rows != 0; }))
        continue;
      ensure_full_coeffs(dec);
      out.image = take_output(plan_jpeg_output(dec, denominator), storage);
      jpeg_reconstruct_into(dec, denominator, out.image);
    }
    out.valid_rows = covered_output_rows(dec, denominator, clean);
    return out;
  }
  internal_error("JPEG decode without the pipeline asked for it again");
}

}  // namespace

std::expected<ImageU8, std::string> decode_jpeg(std::span<const uint8_t> data, unsigned denominator) {
  auto decoded = decode_jpeg_impl(data, denominator, false);
  if (!decoded) return std::unexpected(decoded.error());
  return std::move(decoded->image);
}

std::expected<void, std::string> decode_jpeg_into(std::span<const uint8_t> data, unsigned denominator, ImageU8& out) {
  auto decoded = decode_jpeg_impl(data, denominator, false, &out);
  if (!decoded) return std::unexpected(decoded.error());
  out = std::move(decoded->image);
  return {};
}

std::expected<JpegDecoded, std::string> decode_jpeg_partial(std::span<const uint8_t> data, unsigned denominator,
                                                            ImageU8* storage) {
  return decode_jpeg_impl(data, denominator, true, storage);
}

}  // namespace tsl
