#pragma once
// The detector's per-row loops, written on vectors of 8 floats: difference rows, the 3 x 3 x 3
// extremum test and the orientation histogram's gradient bins. Each kernel has a plain road
// (baseline processor) and a vector road (AVX2, chosen at run time where the processor has
// it). Both do the scalar code's operations on the same values in the same order, without
// fused multiply-adds, so they give the scalar code's bits exactly.
#include <cstddef>
#include <cstdint>

namespace tsl {

// Where descriptor_samples writes, n entries each.
struct DescriptorSampleRow {
  int32_t* keep;
  float* rbin;
  float* cbin;
  float* arg;
  float* ori;
  float* mag;
};

struct SiftRowKernels {
  // out[x] = hi[x] - lo[x] for x < n.
  void (*difference)(const float* hi, const float* lo, float* out, size_t n);
  // For 1 <= x < n - 1: hmax[x] and hmin[x] are the largest and smallest of d[x - 1 .. x + 1].
  // Entries 0 and n - 1 are left alone. d holds no NaN.
  void (*extremes3)(const float* d, float* hmax, float* hmin, size_t n);
  // The columns x in [x0, x1), ascending, whose value v = cur[x] is nonzero and not exceeded
  // (v > 0) or undercut (v < 0) by the 3 x 3 x 3 block around it: hmax[k] / hmin[k] are the
  // extremes3 rows of the block's nine rows (three rows of each of three layers). Returns
  // how many were written to `out` (at most x1 - x0).
  size_t (*extrema)(const float* cur, const float* const* hmax, const float* const* hmin, size_t x0, size_t x1,
                    uint32_t* out);
  // For t < n, at the pixel p = row + t of an image whose rows are `stride` floats apart:
  // dx = p[1] - p[-1], dy = p[-stride] - p[stride]; mag[t] = sqrt(dx^2 + dy^2) and bin[t]
  // the orientation bin of atan2_deg(dy, dx) (made positive) among 36 bins of 10 degrees,
  // rounded half away from zero and wrapped to 0..35.
  void (*gradient_bins)(const float* row, ptrdiff_t stride, size_t n, int32_t* bin, float* mag);
  // The descriptor's samples of one window row, i sample rows off the centre, for column
  // offsets j = j0 + t, t < n, at the pixel p = row + t (rows `stride` floats apart), with
  // the rotation (cos_t, sin_t) already divided by the histogram width and i_cos = i x cos_t,
  // i_sin = i x sin_t: c_rot = j cos_t - i_sin and r_rot = j sin_t + i_cos; keep[t] is 1 when
  // rbin = r_rot + 1.5 and cbin = c_rot + 1.5 both lie strictly within (-1, 4), else 0; then
  // rbin[t], cbin[t], arg[t] = (c_rot^2 + r_rot^2) x -0.125, ori[t] = atan2_deg(dy, dx) made
  // positive and mag[t] = sqrt(dx^2 + dy^2), with dx, dy as for gradient_bins.
  void (*descriptor_samples)(const float* row, ptrdiff_t stride, int64_t j0, size_t n, float cos_t, float sin_t,
                             float i_cos, float i_sin, const DescriptorSampleRow& out);
  // The blur's two passes, each sum formed from 0 in tap order: out[x] = sum over i < len of
  // k[i] x pad[x + i] (horizontal, on a row padded by len - 1 values), and out[x] = sum over
  // j < len of k[j] x rows[j][x] (vertical), for x < n.
  void (*blur_h)(const float* pad, const float* k, size_t len, float* out, size_t n);
  void (*blur_v)(const float* const* rows, const float* k, size_t len, float* out, size_t n);
};

// The kernels to run now: the vector road where platform::cpu_features() allows AVX2.
const SiftRowKernels& sift_row_kernels();

// One road by name, for tests that compare them: the vector road on a processor without AVX2
// (whatever the switch allows) is the plain one.
const SiftRowKernels& sift_row_kernels(bool vector);

}  // namespace tsl
