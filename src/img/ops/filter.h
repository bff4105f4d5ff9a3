#pragma once
// Separable convolution with a choice of border rule, and the blurs and Laplacian built on
// it. Every operation returns a new image of the source's size and leaves the source alone;
// the passes run row-parallel and their results do not depend on the thread count.
#include <cstdint>
#include <span>
#include <vector>

#include "img/image.h"
#include "img/ops/border.h"

namespace tsl {

// Gives `image` the shape width x height x channels for a caller that overwrites every value:
// storage that is large enough is kept (its values are left as they were), otherwise it is
// replaced by fresh zeroed storage, mapped in parallel when large.
void shape_for_overwrite(ImageF32& image, size_t width, size_t height, size_t channels);

// Normalised gaussian for the offsets -k..k with k = floor(n / 2) (so an even n gives n + 1
// entries, n 0 or 1 the single entry 1), formed in double precision and rounded to f32.
std::vector<float> gaussian_kernel(double sigma, uint64_t n);

// Gaussian blur with round(8 sigma + 1) taps forced odd, edges clamped. sigma <= 0 (or NaN)
// returns a copy; a sigma that would need more than a million taps is an internal error.
ImageF32 gaussian_blur(const ImageF32& src, double sigma);

// gaussian_blur into `out` (the same values): out takes src's shape and keeps its storage
// when that is large enough, so a caller blurring many images maps no fresh memory for
// each. `out` must not be `src`.
void gaussian_blur(const ImageF32& src, double sigma, ImageF32& out);

// Horizontal pass with `kernel_x`, then vertical pass with `kernel_y`, channels kept. Entry
// i of a kernel of length L pairs with offset i - floor(L / 2): the kernel is not flipped,
// so [-0.125, 0, 0.125] gives 0.125 (S(x+1) - S(x-1)). An empty kernel makes its pass
// produce zeros. Short image data is an internal error.
ImageF32 convolve_separable(const ImageF32& src, std::span<const float> kernel_x, std::span<const float> kernel_y,
                            BorderMode border);

// convolve_separable into `out`, storage reused as for gaussian_blur; `out` must not be `src`.
void convolve_separable(const ImageF32& src, std::span<const float> kernel_x, std::span<const float> kernel_y,
                        BorderMode border, ImageF32& out);

// Box of n entries of 1/n on both axes, mirrored edges.
ImageF32 box_blur(const ImageF32& src, uint64_t n);

// 3x3 Laplacian of the first width x height floats read as one plane, mirrored edges; a
// one-channel result. Aperture 1: 4-neighbour sum minus 4 centre; any other aperture:
// 2 x the diagonal sum minus 8 centre.
ImageF32 laplacian(const ImageF32& src, uint64_t aperture);

}  // namespace tsl
