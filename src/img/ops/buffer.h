#pragma once
// Zero-filled buffers and images for the operations' results. A full-size photo buffer is
// hundreds of megabytes that the allocator maps fresh on every call, and faulting it in
// page by page on one thread costs more than the operation itself. So a large buffer asks
// the kernel for huge pages (where the platform offers them) and is first touched by all
// threads before the vector zero-fills it on the calling thread.
#include <cstddef>
#include <vector>

#include "img/image.h"

namespace tsl {

namespace buffer_detail {
// Advises huge pages for the whole 2 MiB pages inside the allocated but not yet constructed
// storage [data, data + bytes) and touches its pages on worker threads, so that they are
// mapped in parallel. Small ranges are left alone.
void prepare_storage(void* data, size_t bytes);
}  // namespace buffer_detail

// n zero values.
template <typename T>
std::vector<T> make_buffer(size_t n) {
  std::vector<T> v;
  v.reserve(n);
  buffer_detail::prepare_storage(v.data(), n * sizeof(T));
  v.resize(n);
  return v;
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
