#include "img/ops/feature_image.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "img/ops/border.h"
#include "img/ops/luma.h"
#include "util/error.h"
#include "util/par.h"
#include "util/text.h"

namespace tsl {

namespace {

constexpr size_t TILES = 8;
constexpr size_t BINS = 256;

// Rounding to nearest with halves away from zero for 0 <= x < 2^23, where the truncation and
// the fraction are exact. std::round is a library call per pixel on the baseline target, and
// a branch on the fraction mispredicts half the time, so the comparison is added as 0 or 1.
inline int32_t round_nonneg(float x) {
  const int32_t t = static_cast<int32_t>(x);
  return t + static_cast<int32_t>(x - static_cast<float>(t) >= 0.5f);
}

// Rounded luma is an integer 0..65535, so the gamma step is a table: one powf per level
// instead of one per pixel, with the same values.
const std::array<uint8_t, 65536>& gamma_table() {
  static const std::array<uint8_t, 65536> table = [] {
    std::array<uint8_t, 65536> t{};
    const float e = 1.0f / 2.2f;
    for (size_t y = 0; y < t.size(); ++y) {
      const float v = std::min(std::max(static_cast<float>(y) / 65535.0f, 0.0f), 1.0f);
      const float g = std::round(std::pow(v, e) * 255.0f);
      t[y] = static_cast<uint8_t>(std::min(std::max(g, 0.0f), 255.0f));
    }
    return t;
  }();
  return table;
}

struct TileGeometry {
  size_t tw = 0;  // tile width, ceil(width / 8)
  size_t th = 0;  // tile height, ceil(height / 8)
};

// The mapping table of one tile: histogram of its tw x th positions (those past the image
// read mirrored), clipped at twice the mean bin height, the excess spread evenly with the
// remainder on every s-th bin, then the scaled running sum.
void tile_table(const ImageU8& grey, const TileGeometry& g, size_t ty, size_t tx, uint8_t* table) {
  std::array<uint64_t, BINS> hist{};
  const int64_t w = static_cast<int64_t>(grey.width), h = static_cast<int64_t>(grey.height);
  std::vector<size_t> cols(g.tw);
  for (size_t i = 0; i < g.tw; ++i)
    cols[i] = static_cast<size_t>(border_index(static_cast<int64_t>(tx * g.tw + i), w, BorderMode::Mirror));
  for (size_t j = 0; j < g.th; ++j) {
    const size_t y = static_cast<size_t>(border_index(static_cast<int64_t>(ty * g.th + j), h, BorderMode::Mirror));
    const uint8_t* row = grey.row(y);
    const size_t first = tx * g.tw;
    if (first + g.tw <= grey.width) {
      for (size_t i = 0; i < g.tw; ++i) ++hist[row[first + i]];
    } else {
      for (size_t i = 0; i < g.tw; ++i) ++hist[row[cols[i]]];
    }
  }
  const double area = static_cast<double>(g.tw * g.th);
  const uint64_t clip = std::max<uint64_t>(static_cast<uint64_t>((area + area) * 0.00390625), 1);
  uint64_t excess = 0;
  for (uint64_t& bin : hist) {
    if (bin > clip) {
      excess += bin - clip;
      bin = clip;
    }
  }
  const uint64_t batch = excess / BINS, rest = excess % BINS;
  for (uint64_t& bin : hist) bin += batch;
  if (rest > 0) {
    const size_t stride = BINS / static_cast<size_t>(rest);
    for (size_t i = 0, given = 0; i < BINS && given < rest; i += stride, ++given) ++hist[i];
  }
  const double scale = 255.0 / area;
  uint64_t sum = 0;
  for (size_t j = 0; j < BINS; ++j) {
    sum += hist[j];
    table[j] = static_cast<uint8_t>(std::min(std::max(std::round(static_cast<double>(sum) * scale), 0.0), 255.0));
  }
}

// Columns that blend the same two tile columns (as offsets into a row of tables).
struct ColumnSpan {
  size_t begin = 0, end = 0;
  size_t c1 = 0, c2 = 0;
};

// One output row: four table lookups and a bilinear blend per pixel. t1 and t2 are the
// tables (as floats, which saves a conversion per lookup) of the tile rows above and below;
// fx and gx = 1 - fx are the column weights.
void clahe_row(const uint8_t* __restrict src, uint8_t* __restrict dst, const std::vector<ColumnSpan>& spans,
               const float* t1, const float* t2, float fy, const float* __restrict fx, const float* __restrict gx) {
  const float gy = 1.0f - fy;
  for (const ColumnSpan& s : spans) {
    const float* __restrict t11 = t1 + s.c1;
    const float* __restrict t12 = t1 + s.c2;
    const float* __restrict t21 = t2 + s.c1;
    const float* __restrict t22 = t2 + s.c2;
    for (size_t x = s.begin; x < s.end; ++x) {
      const size_t v = src[x];
      const float top = t12[v] * fx[x] + t11[v] * gx[x];
      const float bottom = t22[v] * fx[x] + t21[v] * gx[x];
      dst[x] = static_cast<uint8_t>(std::min(round_nonneg(bottom * fy + top * gy), 255));
    }
  }
}

}  // namespace

ImageU8 equalize_clahe(const ImageU8& grey) {
  if (grey.channels != 1 || grey.data.size() != grey.width * grey.height)
    internal_error(format("CLAHE input of {} bytes is not {}x{} grey", grey.data.size(), grey.width, grey.height));
  ImageU8 out(grey.width, grey.height, 1);
  if (out.data.empty()) return out;
  const TileGeometry g{(grey.width + TILES - 1) / TILES, (grey.height + TILES - 1) / TILES};

  // 64 tables, tile by tile in row-major tile order; tiles are independent, so they are
  // built in parallel with the same result.
  std::vector<uint8_t> tables(TILES * TILES * BINS);
  par_chunks(std::span<uint8_t>(tables), BINS, cpu_budget(), [&](size_t t, std::span<uint8_t> table) {
    tile_table(grey, g, t / TILES, t % TILES, table.data());
  });

  const std::vector<float> tables_f(tables.begin(), tables.end());

  // Column lookups once for all rows: the two tile columns around x and the blend weight.
  // Fractions come from the unclamped tile index, so the outer half tiles blend a table
  // with itself.
  const float inv_tw = 1.0f / static_cast<float>(g.tw), inv_th = 1.0f / static_cast<float>(g.th);
  std::vector<float> fx(grey.width), gx(grey.width);
  std::vector<ColumnSpan> spans;
  for (size_t x = 0; x < grey.width; ++x) {
    const float txf = static_cast<float>(x) * inv_tw - 0.5f;
    const float tx1 = std::floor(txf);
    fx[x] = txf - tx1;
    gx[x] = 1.0f - fx[x];
    const int64_t i1 = static_cast<int64_t>(tx1);
    const size_t c1 = static_cast<size_t>(std::max<int64_t>(i1, 0)) * BINS;
    const size_t c2 = static_cast<size_t>(std::min<int64_t>(i1 + 1, TILES - 1)) * BINS;
    if (spans.empty() || spans.back().c1 != c1 || spans.back().c2 != c2) spans.push_back({x, x, c1, c2});
    spans.back().end = x + 1;
  }

  // clahe_row: one output row per chunk.
  par_chunks(std::span<uint8_t>(out.data), grey.width, cpu_budget(), [&](size_t y, std::span<uint8_t> row) {
    const float tyf = static_cast<float>(y) * inv_th - 0.5f;
    const float ty1 = std::floor(tyf);
    const int64_t i1 = static_cast<int64_t>(ty1);
    const float* t1 = tables_f.data() + static_cast<size_t>(std::max<int64_t>(i1, 0)) * TILES * BINS;
    const float* t2 = tables_f.data() + static_cast<size_t>(std::min<int64_t>(i1 + 1, TILES - 1)) * TILES * BINS;
    clahe_row(grey.row(y), row.data(), spans, t1, t2, tyf - ty1, fx.data(), gx.data());
  });
  return out;
}

ImageU8 prepare_feature_image(const ImageU16& image) {
  if (image.channels != 3 || image.data.size() != image.width * image.height * 3)
    internal_error(format("feature image input of {} samples is not {}x{} RGB", image.data.size(), image.width,
                          image.height));
  ImageU8 grey(image.width, image.height, 1);
  if (grey.data.empty()) return grey;
  const std::array<uint8_t, 65536>& gamma = gamma_table();
  par_chunks(std::span<uint8_t>(grey.data), image.width, cpu_budget(), [&](size_t y, std::span<uint8_t> row) {
    const uint16_t* px = image.row(y);
    for (size_t x = 0; x < image.width; ++x, px += 3) {
      const float r = px[0], gr = px[1], b = px[2];
      const int32_t y16 = round_nonneg(luma(r, gr, b));
      row[x] = gamma[static_cast<size_t>(std::min(y16, 65535))];
    }
  });
  return equalize_clahe(grey);
}

}  // namespace tsl
