#include "img/dng/develop.h"

#include <algorithm>
#include <cmath>

#include "img/dng/dng_raw.h"
#include "img/dng/orientation.h"
#include "img/tiff/tiff_file.h"
#include "img/tiff/tiff_tags.h"
#include "util/par.h"

namespace tsl {
namespace {

constexpr uint16_t TAG_COLOR_MATRIX_1 = 50721;
constexpr uint16_t TAG_COLOR_MATRIX_2 = 50722;
constexpr uint16_t TAG_AS_SHOT_NEUTRAL = 50728;
constexpr uint16_t TAG_CALIBRATION_ILLUMINANT_1 = 50778;
constexpr uint16_t TAG_CALIBRATION_ILLUMINANT_2 = 50779;
constexpr uint64_t ILLUMINANT_D65 = 21;

// Linear sRGB to XYZ for the D65 white point (rows X, Y, Z).
constexpr std::array<double, 9> SRGB_TO_XYZ = {0.412453, 0.357580, 0.180423, 0.212671, 0.715160,
                                               0.072169, 0.019334, 0.119193, 0.950227};

// Rows per work item of the row loops: enough to amortise the per-item scratch.
constexpr size_t ROWS_PER_ITEM = 8;

std::optional<std::vector<double>> raw_first_f64s(const Ifd* raw, const Ifd* first, bool le, uint16_t tag) {
  for (const Ifd* ifd : {raw, first}) {
    if (!ifd) continue;
    if (const TiffEntry* e = find_entry(*ifd, tag)) return tag_f64s(*e, le);
  }
  return std::nullopt;
}

// 0 for NaN and below, 1 and above stay 1.
inline float clamp01(float v) { return v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f; }

// A value in [0, 1] to 16 bits, rounding halves away from zero. For non-negative x the
// fraction x - trunc(x) is exact, so the comparison with 0.5 decides the rounding exactly.
inline uint16_t quantize(float v) {
  const float x = clamp01(v) * 65535.0f;
  const float t = std::trunc(x);
  return static_cast<uint16_t>(static_cast<uint32_t>(t) + static_cast<uint32_t>(x - t >= 0.5f));
}

// The per-position black levels: one per repeat position and channel when there are enough
// values, else one per repeat position shared by all channels; indices past the list use
// its last value. Positions come from saturating arithmetic, because repeat sizes are file
// values and any index at or past the list's end means its last value.
struct BlackLevels {
  std::vector<float> values;
  uint64_t rows = 1, cols = 1, spp = 1;
  bool per_channel = false;

  float at(uint64_t y, uint64_t x_mod, uint64_t channel) const {
    const uint64_t n = values.size();
    uint64_t idx = 0;
    if (__builtin_mul_overflow(cols, y % rows, &idx) || __builtin_add_overflow(idx, x_mod, &idx)) idx = UINT64_MAX;
    if (per_channel && (__builtin_mul_overflow(idx, spp, &idx) || __builtin_add_overflow(idx, channel, &idx)))
      idx = UINT64_MAX;
    return values[std::min(idx, n - 1)];
  }
};

BlackLevels black_levels_of(const DngRaw& raw) {
  BlackLevels b;
  b.values.assign(raw.black_levels.begin(), raw.black_levels.end());
  b.rows = raw.black_repeat_rows;
  b.cols = raw.black_repeat_cols;
  b.spp = raw.samples_per_pixel;
  uint64_t cells = 0, need = 0;
  b.per_channel = !__builtin_mul_overflow(b.rows, b.cols, &cells) && !__builtin_mul_overflow(cells, b.spp, &need) &&
                  b.values.size() >= need;
  return b;
}

struct Develop {
  const DngRaw& raw;

  explicit Develop(const DngRaw& r) : raw(r) {}
  std::array<float, 3> wb{};
  std::array<float, 9> m{};       // camera to sRGB
  std::array<uint8_t, 4> cfa{};   // colours limited to 2
  BlackLevels black;

  uint8_t colour(size_t x, size_t y) const { return cfa[2 * (y & 1) + (x & 1)]; }

  void to_rgb16(float r, float g, float b, uint16_t* out) const {
    out[0] = quantize(m[0] * r + m[1] * g + m[2] * b);
    out[1] = quantize(m[3] * r + m[4] * g + m[5] * b);
    out[2] = quantize(m[6] * r + m[7] * g + m[8] * b);
  }
};

// CFA normalisation of row y: black subtracted, divided by the white range, white-balanced,
// clipped. Only the first white level counts for CFA data, so highlights clip at 1 after the
// balance. `out` may alias the row's raw samples when there is one sample per pixel.
void dng_normalize_row(const Develop& d, size_t y, float* out) {
  const DngRaw& raw = d.raw;
  const size_t w = raw.width, spp = raw.samples_per_pixel;
  const float* src = raw.samples.data() + y * w * spp;
  const float white = static_cast<float>(raw.white_levels[0]);
  if (d.black.values.empty()) {
    const float range = std::max(white, 1e-6f);
    for (size_t x = 0; x < w; ++x) out[x] = clamp01(src[x * spp] / range * d.wb[d.colour(x, y)]);
    return;
  }
  uint64_t x_mod = 0;
  for (size_t x = 0; x < w; ++x) {
    const float b = d.black.at(y, x_mod, 0);
    out[x] = clamp01((src[x * spp] - b) / std::max(white - b, 1e-6f) * d.wb[d.colour(x, y)]);
    if (++x_mod == d.black.cols) x_mod = 0;
  }
}

// Neighbour index reflected about the edge without repeating it, then clamped, so that
// images of one or two pixels stay inside.
inline size_t reflect(ptrdiff_t i, size_t n) {
  const ptrdiff_t last = static_cast<ptrdiff_t>(n) - 1;
  if (i < 0) i = -i;
  if (i > last) i = 2 * last - i;
  return static_cast<size_t>(std::clamp<ptrdiff_t>(i, 0, last));
}

// One demosaicked pixel from the normalised plane: the 5x5 gradient-corrected linear
// interpolation. `col` holds the five reflected column indices x-2 .. x+2, `rows` the five
// reflected row pointers y-2 .. y+2.
inline void demosaic_pixel(const Develop& d, const float* const* rows, const size_t* col, size_t x, size_t y,
                           float* out) {
  const float z = rows[2][col[2]];
  const float h1 = rows[2][col[1]] + rows[2][col[3]];
  const float v1 = rows[1][col[2]] + rows[3][col[2]];
  const float h2 = rows[2][col[0]] + rows[2][col[4]];
  const float v2 = rows[0][col[2]] + rows[4][col[2]];
  const float dg = rows[1][col[1]] + rows[1][col[3]] + rows[3][col[1]] + rows[3][col[3]];
  float o[3] = {0.0f, 0.0f, 0.0f};
  const uint8_t k = d.colour(x, y);
  o[k] = z;
  if (k == 1) {
    const uint8_t kh = d.colour(x + 1, y);
    const uint8_t kv = d.colour(x, y + 1);
    o[kh] = (4.0f * h1 + 0.5f * v2 + 5.0f * z - (dg + h2)) * 0.125f;
    o[kv] = (0.5f * h2 + 5.0f * z - (dg + v2) + 4.0f * v1) * 0.125f;
  } else {
    o[1] = (2.0f * (h1 + v1) + 4.0f * z - (h2 + v2)) * 0.125f;
    o[2 - k] = (-1.5f * (h2 + v2) + 2.0f * dg + 6.0f * z) * 0.125f;
  }
  out[0] = clamp01(o[0]);
  out[1] = clamp01(o[1]);
  out[2] = clamp01(o[2]);
}

// Demosaic of row y into `rgb` (width x 3), interior columns without reflection.
void dng_demosaic_row(const Develop& d, std::span<const float> plane, size_t y, float* rgb) {
  const size_t w = d.raw.width, h = d.raw.height;
  const float* rows[5];
  for (int j = 0; j < 5; ++j) rows[j] = plane.data() + reflect(static_cast<ptrdiff_t>(y) + j - 2, h) * w;
  size_t col[5];
  auto border = [&](size_t x) {
    for (int i = 0; i < 5; ++i) col[i] = reflect(static_cast<ptrdiff_t>(x) + i - 2, w);
    demosaic_pixel(d, rows, col, x, y, rgb + 3 * x);
  };
  const size_t inner_end = w >= 2 ? w - 2 : 0;
  size_t x = 0;
  for (; x < std::min<size_t>(2, w); ++x) border(x);
  for (; x < inner_end; ++x) {
    for (int i = 0; i < 5; ++i) col[i] = x + i - 2;
    demosaic_pixel(d, rows, col, x, y, rgb + 3 * x);
  }
  for (; x < w; ++x) border(x);
}

// The matrix and quantisation of one demosaicked row.
void dng_matrix_row(const Develop& d, const float* rgb, size_t w, uint16_t* out) {
  for (size_t x = 0; x < w; ++x) d.to_rgb16(rgb[3 * x], rgb[3 * x + 1], rgb[3 * x + 2], out + 3 * x);
}

// Half-size output row y: each 2x2 cell averaged per colour (an odd last row or column is
// counted twice; a colour missing from the cell gives 0), then the matrix.
void dng_half_row(const Develop& d, std::span<const float> plane, size_t y, size_t out_w, uint16_t* out) {
  const size_t w = d.raw.width, h = d.raw.height;
  const size_t ys[2] = {std::min(2 * y, h - 1), std::min(2 * y + 1, h - 1)};
  for (size_t x = 0; x < out_w; ++x) {
    const size_t xs[2] = {std::min(2 * x, w - 1), std::min(2 * x + 1, w - 1)};
    float sum[3] = {0.0f, 0.0f, 0.0f};
    float count[3] = {0.0f, 0.0f, 0.0f};
    for (size_t yy : ys)
      for (size_t xx : xs) {
        const uint8_t c = d.colour(xx, yy);
        sum[c] += plane[yy * w + xx];
        count[c] += 1.0f;
      }
    d.to_rgb16(sum[0] / std::max(count[0], 1.0f), sum[1] / std::max(count[1], 1.0f),
               sum[2] / std::max(count[2], 1.0f), out + 3 * x);
  }
}

// LinearRaw output row y at block factor f: each f x f block's samples normalised per
// channel with that channel's white level, averaged, then the matrix.
void dng_linear_raw_row(const Develop& d, size_t f, size_t y, size_t out_w, uint16_t* out) {
  const DngRaw& raw = d.raw;
  const size_t w = raw.width, h = raw.height, spp = raw.samples_per_pixel;
  const size_t offsets[3] = {0, spp != 1 ? size_t{1} : size_t{0}, std::min<size_t>(spp - 1, 2)};
  const size_t nw = raw.white_levels.size();
  float white[3];
  for (int c = 0; c < 3; ++c) white[c] = static_cast<float>(raw.white_levels[std::min(nw - 1, offsets[c])]);
  const bool no_black = d.black.values.empty();
  const float inv_count = 1.0f / static_cast<float>(f * f);
  for (size_t x = 0; x < out_w; ++x) {
    float sum[3] = {0.0f, 0.0f, 0.0f};
    for (size_t j = 0; j < f; ++j) {
      const size_t sy = std::min(f * y + j, h - 1);
      for (size_t i = 0; i < f; ++i) {
        const size_t sx = std::min(f * x + i, w - 1);
        const float* px = raw.samples.data() + (sy * w + sx) * spp;
        for (int c = 0; c < 3; ++c) {
          const float s = px[offsets[c]];
          float v;
          if (no_black) {
            v = s / std::max(white[c], 1e-9f) * d.wb[c];
          } else {
            const float b = d.black.at(sy, sx % d.black.cols, offsets[c]);
            v = (s - b) / std::max(white[c] - b, 1e-9f) * d.wb[c];
          }
          sum[c] += clamp01(v);
        }
      }
    }
    // The mean as a sum over the count: f is 1 or 2, so the division is exact either way.
    d.to_rgb16(sum[0] * inv_count, sum[1] * inv_count, sum[2] * inv_count, out + 3 * x);
  }
}

ImageU16 develop_cfa(const Develop& d, DngRaw& raw, bool half) {
  const size_t w = raw.width, h = raw.height;
  // With one sample per pixel the normalised values replace the raw ones in place: each
  // row reads only its own samples, so no row job sees another's output.
  std::vector<float> plane;
  const bool in_place = raw.samples_per_pixel == 1;
  if (!in_place) plane = make_zeroed<float>(w * h);
  float* target = in_place ? raw.samples.data() : plane.data();
  par_rows(h, ROWS_PER_ITEM, cpu_budget(), [&](size_t first, size_t last) {
    for (size_t y = first; y < last; ++y) dng_normalize_row(d, y, target + y * w);
  });
  if (in_place) plane = std::move(raw.samples);
  raw.samples = {};

  if (half) {
    ImageU16 out((w + 1) / 2, (h + 1) / 2, 3);
    par_rows(out.height, ROWS_PER_ITEM, cpu_budget(), [&](size_t first, size_t last) {
      for (size_t y = first; y < last; ++y) dng_half_row(d, plane, y, out.width, out.row(y));
    });
    return out;
  }
  // Demosaic and matrix run per row through a scratch row: the matrix reads only the pixel
  // the demosaic just wrote, so this equals two full passes without the full float image.
  ImageU16 out(w, h, 3);
  par_rows(h, ROWS_PER_ITEM, cpu_budget(), [&](size_t first, size_t last) {
    std::vector<float> rgb(3 * w);
    for (size_t y = first; y < last; ++y) {
      dng_demosaic_row(d, plane, y, rgb.data());
      dng_matrix_row(d, rgb.data(), w, out.row(y));
    }
  });
  return out;
}

ImageU16 develop_linear_raw(const Develop& d, const DngRaw& raw, bool half) {
  const size_t f = half ? 2 : 1;
  ImageU16 out((raw.width + f - 1) / f, (raw.height + f - 1) / f, 3);
  par_rows(out.height, ROWS_PER_ITEM, cpu_budget(), [&](size_t first, size_t last) {
    for (size_t y = first; y < last; ++y) dng_linear_raw_row(d, f, y, out.width, out.row(y));
  });
  return out;
}

std::array<double, 9> multiply(const std::array<double, 9>& a, const std::array<double, 9>& b) {
  std::array<double, 9> r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) r[3 * i + j] += a[3 * i + k] * b[3 * k + j];
  return r;
}

std::optional<std::array<double, 9>> inverse(const std::array<double, 9>& m) {
  const double c00 = m[4] * m[8] - m[5] * m[7];
  const double c01 = m[5] * m[6] - m[3] * m[8];
  const double c02 = m[3] * m[7] - m[4] * m[6];
  const double det = m[0] * c00 + m[1] * c01 + m[2] * c02;
  if (!(std::abs(det) >= 1e-12)) return std::nullopt;
  return std::array<double, 9>{c00 / det, (m[2] * m[7] - m[1] * m[8]) / det, (m[1] * m[5] - m[2] * m[4]) / det,
                               c01 / det, (m[0] * m[8] - m[2] * m[6]) / det, (m[2] * m[3] - m[0] * m[5]) / det,
                               c02 / det, (m[1] * m[6] - m[0] * m[7]) / det, (m[0] * m[4] - m[1] * m[3]) / det};
}

}  // namespace

std::optional<std::array<double, 9>> choose_color_matrix(const std::optional<std::vector<double>>& matrix1,
                                                         const std::optional<std::vector<double>>& matrix2,
                                                         std::optional<uint64_t> illuminant1,
                                                         std::optional<uint64_t> illuminant2) {
  const std::vector<double>* chosen = nullptr;
  if (illuminant1 == ILLUMINANT_D65 && matrix1) chosen = &*matrix1;
  else if (illuminant2 == ILLUMINANT_D65 && matrix2) chosen = &*matrix2;
  else if (matrix2 && matrix2->size() >= 9) chosen = &*matrix2;
  else if (matrix1) chosen = &*matrix1;
  if (!chosen || chosen->size() < 9) return std::nullopt;
  std::array<double, 9> m{};
  std::copy_n(chosen->begin(), 9, m.begin());
  return m;
}

DngColor dng_color(const std::optional<std::array<double, 9>>& color_matrix,
                   const std::optional<std::vector<double>>& as_shot_neutral) {
  std::optional<std::array<double, 3>> neutral;
  if (as_shot_neutral && as_shot_neutral->size() >= 3 &&
      std::all_of(as_shot_neutral->begin(), as_shot_neutral->end(), [](double v) { return v > 0.0; }))
    neutral = std::array<double, 3>{1.0 / (*as_shot_neutral)[0], 1.0 / (*as_shot_neutral)[1],
                                    1.0 / (*as_shot_neutral)[2]};
  DngColor out;
  std::array<double, 3> w{1.0, 1.0, 1.0};
  if (!color_matrix) {
    if (neutral) w = *neutral;
  } else {
    std::array<double, 9> m = multiply(*color_matrix, SRGB_TO_XYZ);
    std::array<double, 3> response{};
    for (int i = 0; i < 3; ++i) {
      const double s = m[3 * i] + m[3 * i + 1] + m[3 * i + 2];
      if (std::abs(s) > 1e-9) {
        for (int j = 0; j < 3; ++j) m[3 * i + j] /= s;
        response[i] = 1.0 / s;
      } else {
        response[i] = 1.0;
      }
    }
    w = neutral ? *neutral : response;
    if (auto inv = inverse(m)) out.camera_to_srgb = *inv;
  }
  const double smallest = std::min({w[0], w[1], w[2]});
  for (int i = 0; i < 3; ++i) out.wb[i] = w[i] / smallest;
  return out;
}

std::expected<DevelopedDng, std::string> develop_dng_unoriented(std::span<const uint8_t> bytes, bool half) {
  auto file = parse_tiff(bytes);
  if (!file) return std::unexpected(file.error());
  auto raw = read_dng_raw(*file);
  if (!raw) return std::unexpected(raw.error());
  const bool le = file->little_endian;
  const Ifd* raw_ifd = find_raw_ifd(*file);
  const Ifd* first = &file->ifds.front();

  const auto cm = choose_color_matrix(raw_first_f64s(raw_ifd, first, le, TAG_COLOR_MATRIX_1),
                                      raw_first_f64s(raw_ifd, first, le, TAG_COLOR_MATRIX_2),
                                      dng_tag_u64(raw_ifd, first, le, TAG_CALIBRATION_ILLUMINANT_1),
                                      dng_tag_u64(raw_ifd, first, le, TAG_CALIBRATION_ILLUMINANT_2));
  const DngColor color = dng_color(cm, raw_first_f64s(raw_ifd, first, le, TAG_AS_SHOT_NEUTRAL));

  Develop d(*raw);
  for (int i = 0; i < 3; ++i) d.wb[i] = static_cast<float>(color.wb[i]);
  for (int i = 0; i < 9; ++i) d.m[i] = static_cast<float>(color.camera_to_srgb[i]);
  d.black = black_levels_of(*raw);
  DevelopedDng out;
  out.orientation = find_u64(*first, TAG_ORIENTATION, le).value_or(1);
  if (raw->cfa_pattern) {
    for (int i = 0; i < 4; ++i) d.cfa[i] = std::min<uint8_t>((*raw->cfa_pattern)[i], 2);
    out.image = develop_cfa(d, *raw, half);
  } else {
    out.image = develop_linear_raw(d, *raw, half);
  }
  return out;
}

std::expected<ImageU16, std::string> develop_dng(std::span<const uint8_t> bytes, bool half) {
  auto developed = develop_dng_unoriented(bytes, half);
  if (!developed) return std::unexpected(developed.error());
  return orient_image(std::move(developed->image), developed->orientation);
}

}  // namespace tsl
