#pragma once
// Zero-filled buffers and images for the operations' results; large ones are mapped in
// parallel (see image_detail::prepare_storage).
#include <cstddef>
#include <vector>

#include "img/image.h"

namespace tsl {

// n zero values.
template <typename T>
std::vector<T> make_buffer(size_t n) {
  return make_zeroed<T>(n);
}

// A zero-filled width x height x channels image.
template <typename T>
Image<T> make_image(size_t width, size_t height, size_t channels) {
  Image<T> img;
  img.data = make_buffer<T>(width * height * channels);
  img.width = width;
  img.height = height;
  img.channels = channels;
  return img;
}

}  // namespace tsl
