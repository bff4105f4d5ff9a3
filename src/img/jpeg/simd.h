#pragma once
// Which road the JPEG codec's hot loops take: the vector road (the same loops compiled for AVX2
// and vectorised, chosen at run time on processors that have it) or the plain road (the same
// loops compiled for the baseline processor). Both give the same bytes, bit for bit: the loops
// use integer arithmetic, or float arithmetic whose per-lane order vectorisation keeps (no
// fused multiply-add on either road).
#include <atomic>

namespace tsl {

namespace jpeg_detail {
inline std::atomic<bool>& vector_flag() {
#if defined(__x86_64__) || defined(__i386__)
  static std::atomic<bool> flag{__builtin_cpu_supports("avx2") != 0};
#else
  static std::atomic<bool> flag{false};
#endif
  return flag;
}
}  // namespace jpeg_detail

// Whether the vector road is taken.
inline bool jpeg_vector_path() { return jpeg_detail::vector_flag().load(std::memory_order_relaxed); }

// Chooses the road for later calls (tests compare the two); asking for the vector road on a
// processor without AVX2 keeps the plain one.
inline void set_jpeg_vector_path(bool on) {
#if defined(__x86_64__) || defined(__i386__)
  jpeg_detail::vector_flag().store(on && __builtin_cpu_supports("avx2") != 0);
#else
  (void)on;
#endif
}

}  // namespace tsl

// Marks the vector-road copy of a hot function (x86 only; elsewhere both roads are plain).
#if defined(__x86_64__) || defined(__i386__)
#define TSL_JPEG_VECTOR_TARGET [[gnu::target("avx2")]]
#else
#define TSL_JPEG_VECTOR_TARGET
#endif
