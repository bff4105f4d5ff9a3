#pragma once
// The last step of decoding: dequantisation and the inverse DCT of every block into 8-bit
// samples (at full size or reduced by 2, 4 or 8 inside the transform), then chroma
// upsampling and colour conversion to RGB.
//
// The work is cut into bands of output rows, one per MCU row. A band transforms only the
// block rows it reads (its own and the edge rows of its neighbours that bilinear chroma
// needs) into small windows, so no full-size sample planes are ever built, and a band can
// be reconstructed as soon as the MCU rows it reads are decoded.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "img/image.h"
#include "img/jpeg/frame.h"

namespace tsl {

// The n-point inverse DCT basis (n = 1..8): entry x * 8 + u holds C(u) cos((2x + 1) u pi / 2n)
// with C(0) = 1/sqrt(2) and C(u) = 1 otherwise; entries with x or u >= n are 0.
std::array<float, 64> idct_basis(unsigned n);

// The reduction (1, 2, 4 or 8) a requested denominator stands for: 0 and 1 full size,
// 2 half, 3 and 4 a quarter, 5 and more an eighth.
unsigned jpeg_scale_denominator(unsigned denominator);

// Where output sample i of a subsampled component falls in its plane: two neighbours and the
// weight of the second in 1/256 (centre-aligned bilinear).
struct JpegTap {
  uint32_t i0 = 0;
  uint32_t i1 = 0;
  uint32_t w = 0;
};

// How one component's plane is made and sampled.
struct JpegComponentPlan {
  uint32_t block_w = 8;  // output samples per block side, 1..8
  uint32_t block_h = 8;
  size_t plane_w = 0;  // blocks_w x block_w
  size_t plane_h = 0;
  bool direct = true;          // full resolution: plane sample (r, x) is output sample (r, x)
  bool half_cols = false;      // columns subsampled by exactly 2 (taps of weight 1/4 and 3/4)
  std::vector<JpegTap> cols;   // per output column, when not direct
  std::vector<JpegTap> rows;   // per output row, when not direct
  std::array<float, 64> txt{}; // horizontal basis transposed (u * 8 + x)
  std::array<float, 64> ty{};  // vertical basis (y * 8 + v)
};

struct JpegOutputPlan {
  size_t width = 0;  // output size
  size_t height = 0;
  size_t band_rows = 0;  // output rows per band (per MCU row)
  size_t bands = 0;
  bool is_rgb = false;
  std::vector<JpegComponentPlan> comps;
  // Per band: the first and last MCU row whose coefficients it reads (both non-decreasing).
  std::vector<size_t> first_mcu_row;
  std::vector<size_t> last_mcu_row;
};

// Sizes, sampling and colour facts of the reconstruction at a requested denominator.
JpegOutputPlan plan_jpeg_output(const JpegDecoder& dec, unsigned denominator);

// Writes the output rows of one band to `rows` (its first row; rows of plan.width x 3 bytes back
// to back). Reads only the
// coefficients of MCU rows first_mcu_row[band] to last_mcu_row[band]; bands may run on any thread at once.
void reconstruct_jpeg_band(const JpegDecoder& dec, const JpegOutputPlan& plan, size_t band, uint8_t* rows);

// The whole 3-channel RGB image of a decoded frame, bands run on worker threads.
ImageU8 jpeg_reconstruct(const JpegDecoder& dec, unsigned denominator);

// jpeg_reconstruct into `out`, whose storage is reused (resized to the output, not cleared).
void jpeg_reconstruct_into(const JpegDecoder& dec, unsigned denominator, ImageU8& out);

// `out` shaped as a plan.width x plan.height RGB image, its storage reused: every byte is
// written by the reconstruction, so only growth is zeroed.
void jpeg_shape_output(const JpegOutputPlan& plan, ImageU8& out);

}  // namespace tsl
