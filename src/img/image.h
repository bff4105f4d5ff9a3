#pragma once
// Interleaved images: rows from the top stored back to back without padding, channels
// interleaved. Every loaded photo is a 3-channel linear-light ImageU16 (0..65535).
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tsl {

namespace image_detail {
// Readies freshly allocated, not yet constructed storage [data, data + bytes) for a large
// image: advises huge pages and maps its pages on worker threads. Faulting hundreds of
// megabytes in page by page on one thread can cost more than the operation that fills them.
// Small ranges are left alone.
void prepare_storage(void* data, size_t bytes);
}  // namespace image_detail

// n zero values, mapped in parallel when large.
template <typename T>
std::vector<T> make_zeroed(size_t n) {
  std::vector<T> v;
  v.reserve(n);
  image_detail::prepare_storage(v.data(), n * sizeof(T));
  v.resize(n);
  return v;
}

template <typename T>
struct Image {
  std::vector<T> data;
  size_t width = 0;
  size_t height = 0;
  size_t channels = 0;

  Image() = default;
  Image(size_t w, size_t h, size_t c) : data(make_zeroed<T>(w * h * c)), width(w), height(h), channels(c) {}

  size_t row_len() const { return width * channels; }
  T* row(size_t y) { return data.data() + y * row_len(); }
  const T* row(size_t y) const { return data.data() + y * row_len(); }
  bool empty() const { return data.empty(); }
};

using ImageU8 = Image<uint8_t>;
using ImageU16 = Image<uint16_t>;
using ImageF32 = Image<float>;

}  // namespace tsl
