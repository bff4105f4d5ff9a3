#pragma once
// Interleaved images: rows from the top stored back to back without padding, channels
// interleaved. Every loaded photo is a 3-channel linear-light ImageU16 (0..65535).
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tsl {

template <typename T>
struct Image {
  std::vector<T> data;
  size_t width = 0;
  size_t height = 0;
  size_t channels = 0;

  Image() = default;
  Image(size_t w, size_t h, size_t c) : data(w * h * c), width(w), height(h), channels(c) {}

  size_t row_len() const { return width * channels; }
  T* row(size_t y) { return data.data() + y * row_len(); }
  const T* row(size_t y) const { return data.data() + y * row_len(); }
  bool empty() const { return data.empty(); }
};

using ImageU8 = Image<uint8_t>;
using ImageU16 = Image<uint16_t>;
using ImageF32 = Image<float>;

}  // namespace tsl
