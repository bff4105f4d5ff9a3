#pragma once
// Helpers shared by the JPEG tests: a synthetic photograph, PNM files for the outside tools,
// and pixel statistics between two images.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "img/image.h"

namespace tsl::test {

// A deterministic image with smooth shading, hard edges, fine texture and noise, so that every
// part of the codec (DC, low and high AC, clamping) has work to do. channels 1 or 3.
ImageU8 synthetic_photo(size_t width, size_t height, size_t channels, uint32_t seed = 1);

// Binary PPM (3 channels) or PGM (1 channel).
void write_pnm(const std::filesystem::path& path, const ImageU8& image);
// Reads a binary PPM or PGM (maxval 255); an empty image when the file is not one.
ImageU8 read_pnm(const std::filesystem::path& path);

struct PixelDiff {
  int max_abs = 0;
  double mean_abs = 0.0;
  bool same_shape = false;
};
PixelDiff pixel_diff(const ImageU8& a, const ImageU8& b);
// Peak signal-to-noise ratio over all samples, in dB (infinity when equal).
double psnr(const ImageU8& a, const ImageU8& b);

// An image with gray expanded to RGB, so that gray decodes compare with RGB ones.
ImageU8 to_rgb(const ImageU8& image);

// Decodes `path` with djpeg (extra arguments before the file) to RGB; empty on failure. Files
// djpeg only warns about (a premature end) still decode.
ImageU8 djpeg(const std::filesystem::path& path, const std::string& args);

}  // namespace tsl::test
