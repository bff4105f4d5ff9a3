#pragma once
// Synthetic image pairs with known flow for the flow tests.
#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

#include "img/image.h"

namespace tsl::test {

// A smooth random texture on the 0..255 scale: band-limited noise built from bilinearly
// interpolated random lattices at a few cell sizes, continuous everywhere, so that it can
// be sampled at fractional positions.
struct Texture {
  struct Octave {
    size_t cell;
    size_t nx, ny;
    std::vector<float> values;
  };
  std::vector<Octave> octaves;

  explicit Texture(uint32_t seed, size_t extent = 1024) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (size_t cell : {3u, 7u, 16u}) {
      Octave o{cell, extent / cell + 3, extent / cell + 3, {}};
      o.values.resize(o.nx * o.ny);
      for (float& v : o.values) v = dist(rng);
      octaves.push_back(std::move(o));
    }
  }

  // The texture at (x, y), x and y in [-16, extent - 32).
  float at(double x, double y) const {
    double sum = 0.0;
    for (const Octave& o : octaves) {
      const double gx = (x + 16.0) / static_cast<double>(o.cell), gy = (y + 16.0) / static_cast<double>(o.cell);
      const double fx0 = std::floor(gx), fy0 = std::floor(gy);
      const double fx = gx - fx0, fy = gy - fy0;
      const size_t i = static_cast<size_t>(fx0), j = static_cast<size_t>(fy0);
      auto v = [&](size_t a, size_t b) { return static_cast<double>(o.values[b * o.nx + a]); };
      // smoothstep weights: a C1 surface, no creases along the lattice lines
      const double sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
      sum += (1 - sy) * ((1 - sx) * v(i, j) + sx * v(i + 1, j)) + sy * ((1 - sx) * v(i, j + 1) + sx * v(i + 1, j + 1));
    }
    return static_cast<float>(128.0 + 40.0 * sum);
  }
};

// An image of the texture shifted by (-dx, -dy): pixel (x, y) shows the texture at
// (x + dx, y + dy), so the flow from this image to the unshifted one is (dx, dy).
inline ImageF32 texture_image(const Texture& t, size_t w, size_t h, double dx = 0.0, double dy = 0.0) {
  ImageF32 img(w, h, 1);
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x)
      img.data[y * w + x] = t.at(static_cast<double>(x) + dx, static_cast<double>(y) + dy);
  return img;
}

inline ImageF32 rounded(ImageF32 img) {
  for (float& s : img.data) s = std::round(s);
  return img;
}

inline ImageF32 scaled(ImageF32 img, float k) {
  for (float& s : img.data) s *= k;
  return img;
}

}  // namespace tsl::test
