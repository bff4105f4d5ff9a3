#pragma once
// Developing a DNG into linear-light RGB (sRGB primaries, 0..65535, clipped at the white
// level): colour matrix and white balance from the file's tags, black and white
// normalisation, a 5x5 gradient-corrected demosaic of CFA data (or 2x2 cell averages at half
// size), the camera-to-sRGB matrix, 16-bit quantisation, and the Orientation turn. There is
// no tone curve, gamma or exposure step.
#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "img/image.h"

namespace tsl {

// White balance and colour matrix of one development, in double precision.
struct DngColor {
  std::array<double, 3> wb{1.0, 1.0, 1.0};  // per output channel, the smallest is 1
  std::array<double, 9> camera_to_srgb{1, 0, 0, 0, 1, 0, 0, 0, 1};  // row-major
};

// Which ColorMatrix maps XYZ to camera values: the one calibrated for D65 (illuminant 21),
// first ColorMatrix1, then ColorMatrix2; else ColorMatrix2 when it has 9 values; else
// ColorMatrix1. Nothing when the choice has fewer than 9 values or there is none.
std::optional<std::array<double, 9>> choose_color_matrix(const std::optional<std::vector<double>>& matrix1,
                                                         const std::optional<std::vector<double>>& matrix2,
                                                         std::optional<uint64_t> illuminant1,
                                                         std::optional<uint64_t> illuminant2);

// White balance and matrix from the chosen ColorMatrix and AsShotNeutral (used when it has
// at least 3 values, all above 0). Without a matrix the matrix is the identity; without a
// usable AsShotNeutral the balance makes sRGB white equal in camera values. A singular
// matrix falls back to the identity.
DngColor dng_color(const std::optional<std::array<double, 9>>& color_matrix,
                   const std::optional<std::vector<double>>& as_shot_neutral);

// A development before the Orientation turn, with the file's Orientation value (1 when the
// first directory has none), so that corrections in sensor coordinates can run first.
struct DevelopedDng {
  ImageU16 image;
  uint64_t orientation = 1;
};

// Develops the file's bytes at full size, or with `half` at ceil(width / 2) x ceil(height / 2)
// without demosaicking, and leaves the image in sensor orientation. Errors: those of
// parse_tiff and read_dng_raw, unchanged.
std::expected<DevelopedDng, std::string> develop_dng_unoriented(std::span<const uint8_t> bytes, bool half);

// develop_dng_unoriented, then turned upright (orient_image).
std::expected<ImageU16, std::string> develop_dng(std::span<const uint8_t> bytes, bool half);

}  // namespace tsl
